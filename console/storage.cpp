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

InputFile::InputFile(const std::wstring& path)
    : m_path(path),
      m_handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {
    if (m_handle == INVALID_HANDLE_VALUE)
        Fail(kExitRepository, L"cannot open " + path + L": " + LastErrorText());
    LARGE_INTEGER size{};
    if (GetFileSizeEx(m_handle, &size)) m_size = static_cast<unsigned long long>(size.QuadPart);
}

InputFile::~InputFile() {
    CloseHandle(m_handle);
}

size_t InputFile::Read(char* buffer, size_t size) {
    DWORD read = 0;
    if (!ReadFile(m_handle, buffer, static_cast<DWORD>(std::min<size_t>(size, 1u << 30)), &read,
                  nullptr))
        Fail(kExitRepository, L"cannot read " + m_path + L": " + LastErrorText());
    return read;
}

ReplacementFile::ReplacementFile(std::wstring path)
    : m_path(std::move(path)),
      m_temporary(m_path + L".tmp"),
      m_handle(CreateProtected(m_temporary, GENERIC_WRITE, CREATE_ALWAYS)) {
    if (m_handle == INVALID_HANDLE_VALUE)
        Fail(kExitRepository, L"cannot create " + m_temporary + L": " + LastErrorText());
}

ReplacementFile::~ReplacementFile() {
    if (m_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(m_handle);
        DeleteFileW(m_temporary.c_str());
    }
}

void ReplacementFile::Failed(const std::wstring& what, DWORD error) {
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    DeleteFileW(m_temporary.c_str());
    const bool full = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
    Fail(kExitRepository,
         what + L": " + StatusText(HRESULT_FROM_WIN32(error)) + L".\n" +
             (full ? L"The disk is full. " : L"") + m_path + L" was left as it was" +
             (full ? L"; free some space on that disk (or write to another one) and run the "
                     L"command again."
                   : L"."));
}

void ReplacementFile::Write(std::string_view bytes) {
    if (!WriteAll(m_handle, bytes.data(), bytes.size()))
        Failed(L"cannot write " + m_temporary, GetLastError());
}

void ReplacementFile::Commit() {
    if (!FlushFileBuffers(m_handle)) Failed(L"cannot write " + m_temporary, GetLastError());
    const BOOL closed = CloseHandle(m_handle);
    const DWORD error = GetLastError();
    m_handle = INVALID_HANDLE_VALUE;
    if (!closed) Failed(L"cannot write " + m_temporary, error);
    if (!MoveFileExW(m_temporary.c_str(), m_path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD moveError = GetLastError();
        DeleteFileW(m_temporary.c_str());
        Fail(kExitRepository, L"cannot replace " + m_path + L" with the new contents: " +
                                  StatusText(HRESULT_FROM_WIN32(moveError)) +
                                  L"; it was left as it was");
    }
}

}  // namespace KeyTool
