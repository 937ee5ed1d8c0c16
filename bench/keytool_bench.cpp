// keytool on a large repository: builds a repository of 10,000 keys, each made by the registered
// key module and committed through it as `create` does (in one transaction, and with one PBKDF2
// iteration instead of 100,000, so that building it takes seconds rather than hours), then times
// keytool.exe itself, as a user runs it: `list`, `show` and one change (`deactivate`). The peak
// memory of `show` is measured at 1,000 and at 10,000 keys. Then a second repository of 100,000
// keys whose IDs are spread from 1001 up to 2,147,483,647: the first key is made by the key module
// as above, the others are written straight into the database as copies of it, each with its own
// ID, title and key material (one PBKDF2 iteration), so that it takes seconds; on it `list`,
// `list --json`, `show`, a change, `verify`, `export --reveal` to a file and `import` of that
// file into a new repository are timed, with the peak memory of the import.
//
// Usage: cgk-bench-keytool.exe [<folder>] (the repositories are built in <folder> and kept
// there; by default in a temporary folder that is removed afterwards).
//
// Prints `name = value` lines; last keytool.keys, keytool.list_seconds, keytool.show_seconds and
// keytool.change_seconds, then keytool.keys_100k, keytool.<op>_seconds_100k and
// keytool.import_peak_mb_100k.
#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "database.h"
#include "keycrypto.h"
#include "objectdata.h"
#include "failure.h"
#include "session.h"
#include "storage.h"
#include "text.h"

namespace {

using namespace KeyTool;

constexpr long kSmall = 1000;
constexpr long kLarge = 10000;
constexpr long kHuge = 100000;

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
    // The memory is sampled while the process runs as well: Wine does not always report the
    // peak of a process that has ended.
    SIZE_T peak = 0;
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT)
        if (GetProcessMemoryInfo(process.hProcess, &memory, sizeof(memory)))
            peak = std::max({peak, memory.PeakWorkingSetSize, memory.WorkingSetSize});
    QueryPerformanceCounter(&end);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    if (GetProcessMemoryInfo(process.hProcess, &memory, sizeof(memory)))
        peak = std::max(peak, memory.PeakWorkingSetSize);
    run.peakMegabytes = peak / (1024.0 * 1024.0);
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

// The repository of kHuge keys with IDs spread up to 2,147,483,647 (see the top).
std::vector<long> FillSpread(const std::wstring& repository) {
    std::vector<long> ids;
    for (long i = 0; i < kHuge; ++i)
        ids.push_back(static_cast<long>(1001 + static_cast<long long>(i) * (0x7FFFFFFFLL - 1001) /
                                                   (kHuge - 1)));
    Session session(RepositoryOptions{repository, 60000}, Database::Access::Write);
    session.SetBatch(true);
    DATE created = 0;
    const KeyObject made = CreateKey(session, L"Benchmark key 1", KeyEncoding::Hex, 1, created);
    session.Forget(made.Id());
    const std::optional<StoredObject> model = session.Db().Read(made.Id());
    if (!model || made.Id() != ids[0]) Fail(kExitRepository, L"the first key was not stored");
    const auto text = [](StoredProperty* property, const std::wstring& value) {
        if (property == nullptr) Fail(kExitRepository, L"the model key lacks a property");
        property->value.Reset();
        VARIANT* replaced = property->value.Receive();
        V_BSTR(replaced) = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
        V_VT(replaced) = VT_BSTR;
    };
    // A copy of the model's bag (two levels deep, as a key's is).
    const auto copyBag = [](const StoredBag& bag, StoredBag& out, auto& self) -> void {
        for (const StoredProperty& property : bag) {
            StoredProperty copy;
            copy.name = property.name;
            copy.value.CopyFrom(property.value.Get());
            copy.flags = property.flags;
            self(property.properties, copy.properties, self);
            out.push_back(std::move(copy));
        }
    };
    for (size_t i = 1; i < ids.size(); ++i) {
        StoredObject key;
        key.id = ids[i];
        key.kind = model->kind;
        key.title = L"Benchmark key " + std::to_wstring(i + 1);
        copyBag(model->properties, key.properties, copyBag);
        const KeyMaterial material = NewKeyMaterial(KeyEncoding::Hex, 1);
        StoredProperty* id = FindProperty(key.properties, L"SI_ID");
        if (id == nullptr) Fail(kExitRepository, L"the model key lacks SI_ID");
        V_I4(id->value.Ptr()) = key.id;
        text(FindProperty(key.properties, L"SI_NAME"), key.title);
        text(FindProperty(key.properties, L"SI_VALUE"), material.value);
        text(FindProperty(key.properties, L"SI_DERIVED_KEY"), material.derived);
        StoredProperty* derivation = FindProperty(key.properties, L"SI_KEY_DERIVATION");
        if (derivation == nullptr) Fail(kExitRepository, L"the model key lacks its derivation");
        text(FindProperty(derivation->properties, L"SI_SALT"), material.salt);
        session.Db().Write(key);
    }
    session.Db().Commit();
    return ids;
}

double Elapsed(const LARGE_INTEGER& begin) {
    LARGE_INTEGER frequency, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - begin.QuadPart) / frequency.QuadPart;
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

        // 100,000 keys with IDs spread up to the last one.
        const std::wstring huge = folder + L"\\keys100k.db";
        const std::wstring copy = folder + L"\\copy100k.db";
        const std::wstring exported = folder + L"\\export100k.json";
        for (const std::wstring& file :
             {huge, huge + L"-journal", copy, copy + L"-journal", exported})
            DeleteFileW(file.c_str());
        QueryPerformanceCounter(&begin);
        const std::vector<long> ids = FillSpread(huge);
        std::printf("keytool.fill_seconds_100k = %.1f\n", Elapsed(begin));
        const std::wstring on = L"--repo \"" + huge + L"\" ";
        const Run list100k = Best(keytool, 2, [&](int) { return on + L"list"; });
        const Run json100k = Best(keytool, 2, [&](int) { return on + L"list --json"; });
        // show and a change of keys with high IDs.
        const Run show100k = Best(keytool, 3, [&](int i) {
            return on + L"show " + std::to_wstring(ids[ids.size() - 1 - i]);
        });
        const Run change100k = Best(keytool, 3, [&](int i) {
            return on + L"deactivate " + std::to_wstring(ids[ids.size() - 1 - i]);
        });
        const Run verify100k = Best(keytool, 1, [&](int) { return on + L"verify"; });
        const Run export100k =
            Best(keytool, 1, [&](int) { return on + L"export --reveal \"" + exported + L"\""; });
        WIN32_FILE_ATTRIBUTE_DATA exportData{};
        GetFileAttributesExW(exported.c_str(), GetFileExInfoStandard, &exportData);
        const Run import100k = Best(keytool, 1, [&](int) {
            return L"--repo \"" + copy + L"\" import \"" + exported + L"\"";
        });
        std::printf("keytool.export_mb_100k = %.1f\n",
                    (static_cast<double>(exportData.nFileSizeHigh) * 4294967296.0 +
                     exportData.nFileSizeLow) /
                        (1024.0 * 1024.0));
        std::printf("keytool.keys_100k = %zu\n", ids.size());
        std::printf("keytool.list_seconds_100k = %.3f\n", own(list100k));
        std::printf("keytool.list_json_seconds_100k = %.3f\n", own(json100k));
        std::printf("keytool.show_seconds_100k = %.3f\n", own(show100k));
        std::printf("keytool.change_seconds_100k = %.3f\n", own(change100k));
        std::printf("keytool.verify_all_seconds_100k = %.3f\n", own(verify100k));
        std::printf("keytool.export_seconds_100k = %.3f\n", own(export100k));
        std::printf("keytool.import_seconds_100k = %.3f\n", own(import100k));
        if (import100k.peakMegabytes > 0)
            std::printf("keytool.import_peak_mb_100k = %.1f\n", import100k.peakMegabytes);
        else
            std::printf("keytool.import_peak_mb_100k = n/a\n");
        if (!keep)
            for (const std::wstring& file :
                 {huge, huge + L"-journal", copy, copy + L"-journal", exported})
                DeleteFileW(file.c_str());
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
