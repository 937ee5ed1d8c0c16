// Runs keytool.exe as a child process.
#include "keytool_runner.h"

#include <gtest/gtest.h>

#include <atomic>

namespace KeyToolTest {

namespace {

std::atomic<int> g_folderCount{0};

HANDLE InheritableFile(const std::wstring& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Folder::Folder() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + L"keytool-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(++g_folderCount);
    CreateDirectoryW(m_path.c_str(), nullptr);
}

Folder::~Folder() {
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((m_path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW(File(found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(m_path.c_str());
}

Process::Process(const Folder& folder, const std::wstring& arguments, const wchar_t* hook) {
    static std::atomic<int> runs{0};
    const std::wstring tag = std::to_wstring(++runs);
    m_outPath = folder.File(L"stdout-" + tag + L".txt");
    m_errPath = folder.File(L"stderr-" + tag + L".txt");
    const HANDLE out = InheritableFile(m_outPath, GENERIC_WRITE, CREATE_ALWAYS);
    const HANDLE err = InheritableFile(m_errPath, GENERIC_WRITE, CREATE_ALWAYS);
    const HANDLE in = InheritableFile(L"NUL", GENERIC_READ, OPEN_EXISTING);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    std::wstring commandLine = L"\"" KEYTOOL_EXE L"\" " + arguments;
    // The child inherits this process's environment: the hook is set around the start only.
    SetEnvironmentVariableW(L"KEYTOOL_TEST_HOOK", hook);
    // Under load Wine now and then refuses a start (ERROR_INTERNAL_ERROR) that works at once
    // when asked again; a start that keeps failing still fails the test.
    BOOL started = FALSE;
    DWORD error = 0;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        if (attempt > 0) Sleep(200 * attempt);
        started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 folder.Path().c_str(), &startup, &m_process);
        error = started ? 0 : GetLastError();
    }
    SetEnvironmentVariableW(L"KEYTOOL_TEST_HOOK", nullptr);
    CloseHandle(out);
    CloseHandle(err);
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    EXPECT_TRUE(started) << "CreateProcess failed: " << error;
}

Process::~Process() {
    Kill();
    if (m_process.hThread) CloseHandle(m_process.hThread);
    if (m_process.hProcess) CloseHandle(m_process.hProcess);
}

void Process::Kill() {
    if (m_process.hProcess && WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_process.hProcess, 99);
        WaitForSingleObject(m_process.hProcess, 10000);
    }
}

Result Process::Wait(DWORD timeoutMs) {
    Result result;
    if (!m_process.hProcess) return result;
    const DWORD waited = WaitForSingleObject(m_process.hProcess, timeoutMs);
    EXPECT_EQ(WAIT_OBJECT_0, waited) << "keytool did not end in time";
    if (waited != WAIT_OBJECT_0) Kill();
    GetExitCodeProcess(m_process.hProcess, &result.exitCode);
    result.out = ReadFileBytes(m_outPath);
    result.err = ReadFileBytes(m_errPath);
    DeleteFileW(m_outPath.c_str());
    DeleteFileW(m_errPath.c_str());
    return result;
}

std::string ReadFileBytes(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(file);
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace KeyToolTest
