// Files of the repository.
#include "storage.h"

#include <algorithm>

#include "failure.h"
#include "text.h"

namespace KeyTool {

namespace {

std::wstring LastErrorText() {
    return StatusText(HRESULT_FROM_WIN32(GetLastError()));
}

std::wstring TestHook() {
    wchar_t value[64] = {};
    const DWORD length = GetEnvironmentVariableW(L"KEYTOOL_TEST_HOOK", value, 64);
    return length > 0 && length < 64 ? std::wstring(value, length) : std::wstring();
}

[[noreturn]] void CrashForTest() {
    // As abrupt as a kill: no destructors, no buffers flushed by the runtime.
    TerminateProcess(GetCurrentProcess(), 86);
    ExitProcess(86);
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

bool WriteAll(HANDLE file, const char* data, size_t size, bool slow) {
    const size_t piece = slow ? 64 : (1u << 20);
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min(size, piece));
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
        if (slow) Sleep(2);
    }
    return true;
}

}  // namespace

FileLock::FileLock(const std::wstring& path, DWORD timeoutMs) {
    const std::wstring lockPath = path + L".lock";
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        m_handle =
            CreateFileW(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (m_handle != INVALID_HANDLE_VALUE) return;
        const DWORD error = GetLastError();
        // Held by another program, or being deleted as its holder closes it.
        const bool busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
        if (!busy || GetTickCount64() >= deadline) {
            if (busy)
                Fail(kExitRepository, L"the repository " + path +
                                          L" is in use by another keytool (lock file " + lockPath +
                                          L")");
            Fail(kExitRepository, L"cannot create the lock file " + lockPath + L": " +
                                      StatusText(HRESULT_FROM_WIN32(error)));
        }
        Sleep(50);
    }
}

FileLock::~FileLock() {
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
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
    const std::wstring hook = TestHook();
    {
        Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid())
            Fail(kExitRepository, L"cannot create " + temporary + L": " + LastErrorText());
        if (hook == L"crash-mid-write") {
            WriteAll(file.Get(), bytes.data(), bytes.size() / 2, false);
            FlushFileBuffers(file.Get());
            CrashForTest();
        }
        const bool written =
            WriteAll(file.Get(), bytes.data(), bytes.size(), hook == L"slow-write");
        if (!written || !FlushFileBuffers(file.Get()) || !file.Close()) {
            const std::wstring reason = LastErrorText();
            file.Close();
            DeleteFileW(temporary.c_str());
            Fail(kExitRepository, L"cannot write " + temporary + L": " + reason +
                                      L"; the repository file was left as it was");
        }
    }
    if (hook == L"crash-before-replace") CrashForTest();
    if (!MoveFileExW(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const std::wstring reason = LastErrorText();
        DeleteFileW(temporary.c_str());
        Fail(kExitRepository, L"cannot replace " + path + L" with the new contents: " + reason +
                                  L"; the repository file was left as it was");
    }
    if (hook == L"crash-after-replace") CrashForTest();
}

}  // namespace KeyTool
