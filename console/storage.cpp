// Files of the repository.
#include "storage.h"

#include <sddl.h>

#include <algorithm>
#include <vector>

#include "failure.h"
#include "text.h"

namespace KeyTool {

namespace {

std::wstring LastErrorText() {
    return StatusText(HRESULT_FROM_WIN32(GetLastError()));
}

// Closes a file handle on every path.
class Handle {
  public:
    explicit Handle(HANDLE handle) noexcept : m_handle(handle) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE Get() const noexcept { return m_handle; }
    bool Valid() const noexcept { return m_handle != INVALID_HANDLE_VALUE; }
    BOOL Close() noexcept {
        if (!Valid()) return TRUE;
        const BOOL closed = CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        return closed;
    }

  private:
    HANDLE m_handle;
};

// A security descriptor that grants the current user full access and nobody else any.
class OwnerOnly {
  public:
    OwnerOnly() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<BYTE> buffer(size);
        wchar_t* sid = nullptr;
        if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
            const std::wstring sddl =
                L"O:" + std::wstring(sid) + L"D:P(A;;GRGWSD;;;" + std::wstring(sid) + L")";
            ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                 &m_descriptor, nullptr);
        }
        LocalFree(sid);
        CloseHandle(token);
        m_attributes.lpSecurityDescriptor = m_descriptor;
    }
    ~OwnerOnly() { LocalFree(m_descriptor); }
    OwnerOnly(const OwnerOnly&) = delete;
    OwnerOnly& operator=(const OwnerOnly&) = delete;

    // Null when no descriptor could be made.
    SECURITY_ATTRIBUTES* Attributes() { return m_descriptor ? &m_attributes : nullptr; }

  private:
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;
    SECURITY_ATTRIBUTES m_attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

// Opens path for writing, creating it owner-only as `disposition` says.
HANDLE CreateProtected(const std::wstring& path, DWORD access, DWORD disposition) {
    static OwnerOnly protection;
    if (protection.Attributes() == nullptr)
        Fail(kExitRepository, L"cannot make a security descriptor for the current user, so " +
                                  path + L" is not created: " + LastErrorText());
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       protection.Attributes(), disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool WriteAll(HANDLE file, const char* data, size_t size) {
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

}  // namespace

void CreateOwnerOnlyFile(const std::wstring& path) {
    Handle file(CreateProtected(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW));
    if (!file.Valid() && GetLastError() != ERROR_FILE_EXISTS)
        Fail(kExitRepository, L"cannot create " + path + L": " + LastErrorText());
}

std::string ReadFileStart(const std::wstring& path, size_t count) {
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes(count, '\0');
    DWORD read = 0;
    if (!file.Valid() ||
        !ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(count), &read, nullptr))
        return {};
    bytes.resize(read);
    return bytes;
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return path;
    full.resize(length);
    return full;
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadWholeFile(const std::wstring& path, size_t maxBytes) {
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) Fail(kExitRepository, L"cannot open " + path + L": " + LastErrorText());
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size))
        Fail(kExitRepository, L"cannot read " + path + L": " + LastErrorText());
    if (static_cast<ULONGLONG>(size.QuadPart) > maxBytes)
        Fail(kExitRepository, path + L" is larger than a repository file can be (" +
                                  std::to_wstring(size.QuadPart) + L" bytes)");
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        if (!ReadFile(file.Get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                      &read, nullptr))
            Fail(kExitRepository, L"cannot read " + path + L": " + LastErrorText());
        if (read == 0) break;  // shorter than its size said: what was read is checked as it is
        done += read;
    }
    bytes.resize(done);
    return bytes;
}

void WriteFileAtomically(const std::wstring& path, const std::string& bytes) {
    const std::wstring temporary = path + L".tmp";
    {
        Handle file(CreateProtected(temporary, GENERIC_WRITE, CREATE_ALWAYS));
        if (!file.Valid())
            Fail(kExitRepository, L"cannot create " + temporary + L": " + LastErrorText());
        if (!WriteAll(file.Get(), bytes.data(), bytes.size()) || !FlushFileBuffers(file.Get()) ||
            !file.Close()) {
            const std::wstring reason = LastErrorText();
            file.Close();
            DeleteFileW(temporary.c_str());
            Fail(kExitRepository, L"cannot write " + temporary + L": " + reason + L"; " + path +
                                      L" was left as it was");
        }
    }
    if (!MoveFileExW(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const std::wstring reason = LastErrorText();
        DeleteFileW(temporary.c_str());
        Fail(kExitRepository, L"cannot replace " + path + L" with the new contents: " + reason +
                                  L"; it was left as it was");
    }
}

}  // namespace KeyTool
