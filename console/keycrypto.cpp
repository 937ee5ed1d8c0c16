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

KeyMaterial NewKeyMaterial(KeyEncoding encoding) {
    std::vector<BYTE> value = RandomBytes(kKeyBytes);
    const std::vector<BYTE> salt = RandomBytes(kSaltBytes);
    std::vector<BYTE> derived(kKeyBytes);
    {
        Provider hmac(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
        CheckStatus(BCryptDeriveKeyPBKDF2(hmac.Get(), value.data(), kKeyBytes,
                                          const_cast<BYTE*>(salt.data()), kSaltBytes,
                                          kDerivationIterations, derived.data(), kKeyBytes, 0),
                    L"BCryptDeriveKeyPBKDF2");
    }
    KeyMaterial material;
    material.value = EncodeBytes(value, encoding);
    material.derived = EncodeBytes(derived, encoding);
    material.salt = EncodeBytes(salt, encoding);
    SecureZeroMemory(value.data(), value.size());
    SecureZeroMemory(derived.data(), derived.size());
    return material;
}

}  // namespace KeyTool
