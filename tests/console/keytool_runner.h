// Runs keytool.exe as a child process in a folder of its own and collects its exit code and
// output, as a user's shell would.
#pragma once

#include <windows.h>

#include <string>

namespace KeyToolTest {

struct Result {
    DWORD exitCode = 0xDEADBEEF;
    std::string out;  // standard output (UTF-8)
    std::string err;  // standard error (UTF-8)
};

// A new empty folder, removed with its files when the object goes.
class Folder {
  public:
    Folder();
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    const std::wstring& Path() const noexcept { return m_path; }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

  private:
    std::wstring m_path;
};

// A started keytool process; killed if still running when the object goes.
class Process {
  public:
    // `hook`: the value of KEYTOOL_TEST_HOOK for the child, or null.
    Process(const Folder& folder, const std::wstring& arguments, const wchar_t* hook = nullptr);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Waits for the end (a test failure after timeoutMs) and collects the output.
    Result Wait(DWORD timeoutMs = 60000);
    void Kill();

  private:
    PROCESS_INFORMATION m_process{};
    std::wstring m_outPath, m_errPath;
};

inline Result RunKeytool(const Folder& folder, const std::wstring& arguments,
                         const wchar_t* hook = nullptr) {
    return Process(folder, arguments, hook).Wait();
}

std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

}  // namespace KeyToolTest
