// What the console tests share: keytool run as a child process in a folder of its own (its exit
// code and output collected as a user's shell would), exit codes, checks of a run and of steps of
// runs, direct SQL on a repository file, and JSON repository texts made for a test.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace KeyToolTest {

struct Result {
    DWORD exitCode = 0xDEADBEEF;
    std::string out;  // standard output (UTF-8)
    std::string err;  // standard error (UTF-8)
};

inline std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(file.good()) << "cannot write " << std::string(path.begin(), path.end());
}

// A data file of the console tests, in their source folder.
inline std::wstring Fixture(const wchar_t* name) {
    return std::wstring(KEYTOOL_FIXTURES) + L"\\" + name;
}

inline bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A new empty folder, removed with its files when the object goes.
class Folder {
  public:
    Folder() {
        static std::atomic<int> count{0};
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + L"keytool-test-" + std::to_wstring(GetCurrentProcessId()) +
                 L"-" + std::to_wstring(++count);
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
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
    Process(const Folder& folder, const std::wstring& arguments, const wchar_t* hook = nullptr) {
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
            started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                     nullptr, folder.Path().c_str(), &startup, &m_process);
            error = started ? 0 : GetLastError();
        }
        SetEnvironmentVariableW(L"KEYTOOL_TEST_HOOK", nullptr);
        CloseHandle(out);
        CloseHandle(err);
        if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
        EXPECT_TRUE(started) << "CreateProcess failed: " << error;
    }
    ~Process() {
        Kill();
        if (m_process.hThread) CloseHandle(m_process.hThread);
        if (m_process.hProcess) CloseHandle(m_process.hProcess);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Waits for the end (a test failure after timeoutMs) and collects the output.
    Result Wait(DWORD timeoutMs = 60000) {
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
    void Kill() {
        if (m_process.hProcess && WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_process.hProcess, 99);
            WaitForSingleObject(m_process.hProcess, 10000);
        }
    }

  private:
    static HANDLE InheritableFile(const std::wstring& path, DWORD access, DWORD disposition) {
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, TRUE};
        return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    PROCESS_INFORMATION m_process{};
    std::wstring m_outPath, m_errPath;
};

inline Result RunKeytool(const Folder& folder, const std::wstring& arguments,
                         const wchar_t* hook = nullptr) {
    return Process(folder, arguments, hook).Wait();
}

using Json = nlohmann::ordered_json;

inline constexpr DWORD kOk = 0, kRefused = 1, kUsage = 2, kRepository = 3, kModule = 4;

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

#define EXPECT_RUN(result, code)                                                            \
    EXPECT_EQ(static_cast<DWORD>(code), (result).exitCode) << "stdout:\n"                   \
                                                           << (result).out << "\nstderr:\n" \
                                                           << (result).err

// Nothing that drives a terminal: ESC, BEL, C1 controls, bidirectional overrides.
inline bool Safe(const std::string& text) {
    for (const char* bad : {"\x1b", "\x07", "\xC2\x9B", "\xE2\x80\xAE"})
        if (Contains(text, bad)) return false;
    return true;
}

inline std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// Checks a finished run: its exit code, that standard output holds each text of `out` and
// standard error each text of `err`; the result, for further checks.
inline Result Check(Result r, DWORD exitCode, const std::vector<std::string>& out = {},
                    const std::vector<std::string>& err = {}) {
    EXPECT_RUN(r, exitCode);
    for (const std::string& part : out)
        EXPECT_TRUE(Contains(r.out, part)) << part << " in:\n" << r.out;
    for (const std::string& part : err)
        EXPECT_TRUE(Contains(r.err, part)) << part << " in:\n" << r.err;
    return r;
}

// Runs a command and checks it as Check does.
inline Result Expect(const Folder& folder, const std::wstring& command, DWORD exitCode,
                     const std::vector<std::string>& out = {},
                     const std::vector<std::string>& err = {}) {
    SCOPED_TRACE("keytool " + Narrow(command));
    return Check(RunKeytool(folder, command), exitCode, out, err);
}

// A command, its exit code, and texts of its standard output when it succeeds, of its standard
// error when it fails.
struct Step {
    std::wstring command;
    DWORD exitCode;
    std::vector<std::string> expected;
};

// The steps of `section` in keytool_steps.txt (the format is described there).
inline std::vector<Step> StepsOf(const std::string& section) {
    const auto unescape = [](const std::string& text) {
        std::string plain;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '\\' || i + 1 == text.size()) {
                plain += text[i];
            } else if (const char c = text[++i]; c == 'x') {
                plain += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                plain += c == 'n' ? '\n' : c == 't' ? '\t' : c;
            }
        }
        return plain;
    };
    const auto trim = [](const std::string& text) {
        const size_t first = text.find_first_not_of(' ');
        if (first == std::string::npos) return std::string();
        return text.substr(first, text.find_last_not_of(' ') - first + 1);
    };
    const std::vector<std::string> codes = {"ok", "refused", "usage", "repository", "module"};
    std::vector<Step> steps;
    std::istringstream lines(ReadFileBytes(Fixture(L"keytool_steps.txt")));
    bool inSection = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inSection = line == "[" + section + "]";
            continue;
        }
        std::vector<std::string> fields;
        for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
            end = line.find('|', start);
            fields.push_back(unescape(trim(line.substr(start, end - start))));
        }
        if (!inSection || fields.size() < 2) continue;
        const auto code = std::find(codes.begin(), codes.end(), fields[0]);
        EXPECT_NE(codes.end(), code) << line;
        steps.push_back({std::wstring(fields[1].begin(), fields[1].end()),
                         static_cast<DWORD>(code - codes.begin()),
                         std::vector<std::string>(fields.begin() + 2, fields.end())});
    }
    EXPECT_FALSE(steps.empty()) << "no steps for [" << section << "]";
    return steps;
}

// Runs the steps of `section` in turn; what the steps that succeeded printed on standard output.
// A failing step prints nothing on standard output and leaves the repository file (keys.db) as
// it was.
inline std::string RunSteps(const Folder& folder, const std::string& section) {
    std::string printed;
    for (const Step& step : StepsOf(section)) {
        const std::string before = ReadFileBytes(folder.File(L"keys.db"));
        if (step.exitCode == kOk) {
            printed += Expect(folder, step.command, kOk, step.expected).out;
            continue;
        }
        const Result r = Expect(folder, step.command, step.exitCode, {}, step.expected);
        EXPECT_TRUE(before == ReadFileBytes(folder.File(L"keys.db")))
            << Narrow(step.command) << ": a failing command changed keys.db";
        EXPECT_TRUE(r.out.empty()) << Narrow(step.command) << ": " << r.out;
    }
    return printed;
}

// The whole repository of the folder, key material included, as `export --reveal` writes it.
inline Json Export(const Folder& folder) {
    return Json::parse(Expect(folder, L"export --reveal", kOk).out);
}

// Runs SQL on a database file directly (not through keytool); the rows of the last statement.
inline std::vector<std::vector<std::string>> Sql(const std::wstring& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::vector<std::vector<std::string>> rows;
    if (sqlite3_open16(path.c_str(), &db) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << Narrow(path);
        sqlite3_close(db);
        return rows;
    }
    char* error = nullptr;
    const auto collect = [](void* out, int count, char** values, char**) {
        auto& table = *static_cast<std::vector<std::vector<std::string>>*>(out);
        table.emplace_back();
        for (int i = 0; i < count; ++i) table.back().push_back(values[i] ? values[i] : "NULL");
        return 0;
    };
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), collect, &rows, &error))
        << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
    return rows;
}

// The property `name` in a bag or in one of its nested bags.
inline Json* FindNamed(Json& properties, const char* name) {
    for (Json& property : properties) {
        if (property["name"] == name) return &property;
        if (property.contains("properties"))
            if (Json* found = FindNamed(property["properties"], name)) return found;
    }
    return nullptr;
}

// A JSON repository file with the given objects.
inline std::string RepositoryText(const Json& objects) {
    return Json({{"format", "keytool repository"}, {"version", 1}, {"objects", objects}}).dump(2);
}

// A key object of the JSON repository format with the given properties after its own.
inline Json KeyEntry(long id, const std::string& title, const Json& extra = Json::array()) {
    Json key = {{"id", id}, {"kind", "CryptoGraphicKey"}, {"title", title}};
    key["properties"] = Json::array({
        {{"name", "SI_ID"}, {"type", "VT_I4"}, {"value", id}},
        {{"name", "SI_KIND"}, {"type", "VT_BSTR"}, {"value", "CryptoGraphicKey"}},
        {{"name", "SI_NAME"}, {"type", "VT_BSTR"}, {"value", title}},
    });
    for (const Json& property : extra) key["properties"].push_back(property);
    return key;
}

inline const Json* FindObject(const Json& root, long id) {
    for (const Json& object : root["objects"])
        if (object["id"] == id) return &object;
    return nullptr;
}

inline const Json* FindProperty(const Json& properties, const std::string& name) {
    for (const Json& property : properties)
        if (property["name"] == name) return &property;
    return nullptr;
}

}  // namespace KeyToolTest
