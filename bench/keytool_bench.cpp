// keytool on a large repository: builds a repository of 10,000 keys, each made by the registered
// key module and committed through it as `create` does (in one transaction, and with one PBKDF2
// iteration instead of 100,000, so that building it takes seconds rather than hours), then times
// keytool.exe itself, as a user runs it: `list`, `show` and one change (`deactivate`). The peak
// memory of `show` is measured at 1,000 and at 10,000 keys.
//
// Usage: cgk-bench-keytool.exe [<folder>] (the repository is built in <folder> and kept there;
// by default in a temporary folder that is removed afterwards).
//
// Prints `name = value` lines; the last four are keytool.keys, keytool.list_seconds,
// keytool.show_seconds and keytool.change_seconds.
#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "failure.h"
#include "session.h"
#include "storage.h"
#include "text.h"

namespace {

using namespace KeyTool;

constexpr long kSmall = 1000;
constexpr long kLarge = 10000;

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

struct Run {
    DWORD exitCode = 0;
    double seconds = 0;
    double peakMegabytes = 0;
};

// Runs keytool.exe with the arguments, its output thrown away; the wall time from start to exit.
Run RunKeytool(const std::wstring& keytool, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const HANDLE nul =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    std::wstring commandLine = L"\"" + keytool + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    Run run;
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        CloseHandle(nul);
        run.exitCode = 0xFFFFFFFF;
        return run;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    QueryPerformanceCounter(&end);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(process.hProcess, &memory, sizeof(memory)))
        run.peakMegabytes = memory.PeakWorkingSetSize / (1024.0 * 1024.0);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(nul);
    run.seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    return run;
}

// The best of `count` runs (each with its own arguments), so that one slow start of Wine does
// not decide the figure.
template <typename Arguments>
Run Best(const std::wstring& keytool, int count, Arguments&& arguments) {
    Run best;
    for (int i = 0; i < count; ++i) {
        const Run run = RunKeytool(keytool, arguments(i));
        if (run.exitCode != 0) {
            std::printf("keytool exited with %lu\n", run.exitCode);
            std::exit(1);
        }
        const double peak = std::max(best.peakMegabytes, run.peakMegabytes);
        if (i == 0 || run.seconds < best.seconds) best = run;
        best.peakMegabytes = peak;  // the largest any run reported
    }
    return best;
}

// The peak working set of a run, as "n/a" when Wine reported none for the ended process.
void PrintPeak(const wchar_t* command, long keys, const Run& run) {
    if (run.peakMegabytes > 0)
        std::printf("keytool.%ls_peak_mb_at_%ld = %.1f\n", command, keys, run.peakMegabytes);
    else
        std::printf("keytool.%ls_peak_mb_at_%ld = n/a\n", command, keys);
}

// Adds keys through the key module until the repository holds `total`.
void Fill(const std::wstring& repository, long& count, long total) {
    Session session(RepositoryOptions{repository, 60000}, Database::Access::Write);
    session.SetBatch(true);
    for (; count < total; ++count) {
        DATE created = 0;
        const KeyObject key =
            CreateKey(session, L"Benchmark key " + std::to_wstring(count + 1),
                      count % 2 ? KeyEncoding::Base64 : KeyEncoding::Hex, 1, created);
        session.Forget(key.Id());
    }
    session.Db().Commit();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const std::wstring keytool = ProgramFolder() + L"..\\console\\keytool.exe";
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    // A folder named on the command line keeps the repository afterwards.
    const bool keep = argc > 1;
    const std::wstring folder =
        keep ? FullPath(argv[1])
             : std::wstring(temp) + L"keytool-bench-" + std::to_wstring(GetCurrentProcessId());
    DeleteFileW((folder + L"\\keys.db").c_str());
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring repository = folder + L"\\keys.db";
    const std::wstring repo = L"--repo \"" + repository + L"\" ";
    int status = 0;
    try {
        if (RunKeytool(keytool, L"register").exitCode != 0) Fail(kExitModule, L"register failed");
        const Run start = Best(keytool, 3, [](int) { return L"--version"; });
        std::printf("keytool.process_start_seconds = %.3f\n", start.seconds);

        long count = 0;
        Fill(repository, count, kSmall);
        const Run smallShow = Best(keytool, 3, [&](int) { return repo + L"show 1500"; });
        PrintPeak(L"show", kSmall, smallShow);

        LARGE_INTEGER frequency, begin, end;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&begin);
        Fill(repository, count, kLarge);
        QueryPerformanceCounter(&end);
        std::printf("keytool.fill_seconds = %.1f\n",
                    static_cast<double>(end.QuadPart - begin.QuadPart) / frequency.QuadPart);
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExW(repository.c_str(), GetFileExInfoStandard, &data);
        std::printf("keytool.database_mb = %.1f\n",
                    (static_cast<double>(data.nFileSizeHigh) * 4294967296.0 + data.nFileSizeLow) /
                        (1024.0 * 1024.0));

        const Run list = Best(keytool, 3, [&](int) { return repo + L"list"; });
        const Run show = Best(keytool, 3, [&](int i) {
            return repo + L"show " + std::to_wstring(1000 + kLarge / 2 + i);
        });
        const Run change = Best(keytool, 3, [&](int i) {
            return repo + L"deactivate " + std::to_wstring(1000 + kLarge / 2 + i);
        });
        PrintPeak(L"show", kLarge, show);
        PrintPeak(L"list", kLarge, list);
        std::printf("keytool.list_wall_seconds = %.3f\n", list.seconds);
        std::printf("keytool.show_wall_seconds = %.3f\n", show.seconds);
        std::printf("keytool.change_wall_seconds = %.3f\n", change.seconds);
        // The command's own time: the wall time less that of starting keytool under Wine.
        const auto own = [&](const Run& run) { return std::max(0.0, run.seconds - start.seconds); };
        std::printf("keytool.keys = %ld\n", count);
        std::printf("keytool.list_seconds = %.3f\n", own(list));
        std::printf("keytool.show_seconds = %.3f\n", own(show));
        std::printf("keytool.change_seconds = %.3f\n", own(change));
    } catch (const Failure& failure) {
        std::fwprintf(stderr, L"keytool benchmark: %ls\n", failure.message.c_str());
        status = 1;
    }
    if (!keep) {
        for (const wchar_t* name : {L"\\keys.db", L"\\keys.db-journal"})
            DeleteFileW((folder + name).c_str());
        RemoveDirectoryW(folder.c_str());
    }
    CoUninitialize();
    return status;
}
