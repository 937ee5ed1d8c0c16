// Key material for new keys.
#include "keycrypto.h"

#include <bcrypt.h>
#include <wincrypt.h>

#include "failure.h"
#include "text.h"

namespace KeyTool {

namespace {

void CheckStatus(NTSTATUS status, const wchar_t* call) {
    if (status >= 0) return;
    Fail(kExitRefused, std::wstring(L"the system's cryptography refused ") + call + L" (NTSTATUS " +
                           HexStatus(static_cast<HRESULT>(status)) + L")");
}

std::vector<BYTE> RandomBytes(ULONG count) {
    std::vector<BYTE> bytes(count);
    CheckStatus(BCryptGenRandom(nullptr, bytes.data(), count, BCRYPT_USE_SYSTEM_PREFERRED_RNG),
                L"BCryptGenRandom");
    return bytes;
}

// Closes an algorithm provider on every path.
class Provider {
  public:
    Provider(const wchar_t* algorithm, ULONG flags) {
        CheckStatus(BCryptOpenAlgorithmProvider(&m_handle, algorithm, nullptr, flags),
                    L"BCryptOpenAlgorithmProvider");
    }
    ~Provider() { BCryptCloseAlgorithmProvider(m_handle, 0); }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    BCRYPT_ALG_HANDLE Get() const noexcept { return m_handle; }

  private:
    BCRYPT_ALG_HANDLE m_handle = nullptr;
};

}  // namespace

std::wstring EncodeBytes(const std::vector<BYTE>& bytes, KeyEncoding encoding) {
    const DWORD flags = (encoding == KeyEncoding::Hex ? CRYPT_STRING_HEXRAW : CRYPT_STRING_BASE64) |
                        CRYPT_STRING_NOCRLF;
    DWORD size = 0;
    if (!CryptBinaryToStringW(bytes.data(), static_cast<DWORD>(bytes.size()), flags, nullptr,
                              &size))
        Fail(kExitRefused, L"the system could not encode the key (CryptBinaryToStringW)");
    std::wstring text(size, L'\0');
    if (!CryptBinaryToStringW(bytes.data(), static_cast<DWORD>(bytes.size()), flags, text.data(),
                              &size))
        Fail(kExitRefused, L"the system could not encode the key (CryptBinaryToStringW)");
    text.resize(size);
    while (!text.empty() && (text.back() == L'\0' || text.back() == L'\r' || text.back() == L'\n'))
        text.pop_back();
    return text;
}

std::vector<BYTE> DeriveKey(const std::vector<BYTE>& value, const std::vector<BYTE>& salt,
                            ULONG iterations) {
    std::vector<BYTE> derived(kKeyBytes);
    Provider hmac(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    CheckStatus(BCryptDeriveKeyPBKDF2(
                    hmac.Get(), const_cast<BYTE*>(value.data()), static_cast<ULONG>(value.size()),
                    const_cast<BYTE*>(salt.data()), static_cast<ULONG>(salt.size()), iterations,
                    derived.data(), kKeyBytes, 0),
                L"BCryptDeriveKeyPBKDF2");
    return derived;
}

bool DecodeBytes(const std::wstring& text, KeyEncoding encoding, std::vector<BYTE>& bytes) {
    bytes.clear();
    if (encoding == KeyEncoding::Hex) {
        if (text.size() % 2 != 0) return false;
        const auto digit = [](wchar_t c) {
            if (c >= L'0' && c <= L'9') return c - L'0';
            if (c >= L'a' && c <= L'f') return c - L'a' + 10;
            if (c >= L'A' && c <= L'F') return c - L'A' + 10;
            return -1;
        };
        for (size_t i = 0; i < text.size(); i += 2) {
            const int high = digit(text[i]), low = digit(text[i + 1]);
            if (high < 0 || low < 0) return false;
            bytes.push_back(static_cast<BYTE>(high * 16 + low));
        }
        return true;
    }
    // Base64 as EncodeBytes writes it: no line breaks, padded to a multiple of four.
    if (text.size() % 4 != 0) return false;
    for (const wchar_t c : text)
        if (!iswalnum(c) && c != L'+' && c != L'/' && c != L'=') return false;
    DWORD size = 0;
    if (text.empty()) return true;
    if (!CryptStringToBinaryW(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                              nullptr, &size, nullptr, nullptr))
        return false;
    bytes.resize(size);
    if (!CryptStringToBinaryW(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                              bytes.data(), &size, nullptr, nullptr))
        return false;
    bytes.resize(size);
    return EncodeBytes(bytes, KeyEncoding::Base64) == text;
}

KeyMaterial NewKeyMaterial(KeyEncoding encoding, ULONG iterations) {
    std::vector<BYTE> value = RandomBytes(kKeyBytes);
    const std::vector<BYTE> salt = RandomBytes(kSaltBytes);
    std::vector<BYTE> derived = DeriveKey(value, salt, iterations);
    KeyMaterial material;
    material.value = EncodeBytes(value, encoding);
    material.derived = EncodeBytes(derived, encoding);
    material.salt = EncodeBytes(salt, encoding);
    material.iterations = iterations;
    SecureZeroMemory(value.data(), value.size());
    SecureZeroMemory(derived.data(), derived.size());
    return material;
}

}  // namespace KeyTool
