#include "sweep/sweep.h"

#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "CryptoGraphicKeyPlugin.h"
#include "comlib.h"
#include "guardheap.h"
#include "pravhelper500.h"
#include "publication.h"
#include "relatives/list_helpers.h"
#include "support/key_objects.h"
#include "zentil500.h"

using Microsoft::WRL::ComPtr;

namespace Sweep {

Counts g_counts;

namespace {

// A call that makes no progress for this long is a hang.
constexpr ULONGLONG kHangMilliseconds = 90'000;

std::atomic<const char*> g_unit{""};
std::atomic<const Member*> g_member{nullptr};
std::atomic<const char*> g_detail{""};
std::atomic<ULONGLONG> g_progress{0};

void Write(const char* text) noexcept {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(strlen(text)), &written,
              nullptr);
}

// The end of the run: "sweep: <what> in <unit> <interface>::<member> (<detail>)", counted in
// count, and the counts so far; without allocating (also from the crash handler).
void ReportEnd(const char* what, std::atomic<long>& count) noexcept {
    const Member* member = g_member.load();
    char line[800];
    snprintf(line, sizeof line, "sweep: %s in %s %ls::%ls (%s)\n", what, g_unit.load(),
             member ? member->iface.c_str() : L"-", member ? member->name.c_str() : L"-",
             g_detail.load());
    Write(line);
    ++count;
    PrintCounts();
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* pointers) {
    // Where: the module and the offset from its base, for addr2line.
    char module[MAX_PATH] = "?", what[MAX_PATH + 80];
    HMODULE handle = nullptr;
    const auto address = static_cast<LPCSTR>(pointers->ExceptionRecord->ExceptionAddress);
    if (GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            address, &handle))
        GetModuleFileNameA(handle, module, sizeof module);
    snprintf(what, sizeof what, "crash, exception 0x%08lX at %s+0x%llx",
             pointers->ExceptionRecord->ExceptionCode, module,
             static_cast<unsigned long long>(address - reinterpret_cast<LPCSTR>(handle)));
    ReportEnd(what, g_counts.crashes);
    return EXCEPTION_EXECUTE_HANDLER;
}

void OnTerminate() {
    ReportEnd("an exception left the call", g_counts.crashes);
    TerminateProcess(GetCurrentProcess(), 4);
}

// Crash and hang reports for the whole run, and the counts at its end.
class SweepEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        SetUnhandledExceptionFilter(OnCrash);
        // Allocation failures are the plug-in's: the host's own work is not counted (the host
        // failing is the host-fault unit's part).
        RefHost::SetHostCallObserver(GuardHeap::Pause, GuardHeap::Resume);
        // The host's publication classes, which the publication members create by class id.
        EXPECT_EQ(S_OK, RefHost::RegisterHostClasses());
        std::set_terminate(OnTerminate);
        g_progress = GetTickCount64();
        m_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_watchdog = std::thread([this] {
            while (WaitForSingleObject(m_stop, 1000) == WAIT_TIMEOUT) {
                if (GetTickCount64() - g_progress.load() < kHangMilliseconds) continue;
                ReportEnd("hang, no progress for 90 s", g_counts.hangs);
                TerminateProcess(GetCurrentProcess(), 3);
            }
        });
    }
    void TearDown() override {
        SetEvent(m_stop);
        m_watchdog.join();
        CloseHandle(m_stop);
        RefHost::RevokeHostClasses();
        CheckTracePoints();
        PrintCounts();
        // Every finding count is 0 (the lines just printed name them).
        for (const std::atomic<long>* findings :
             {&g_counts.crashes, &g_counts.hangs, &g_counts.leaks, &g_counts.unexpectedSuccesses,
              &g_counts.touchedOutputs, &g_counts.halfWrites, &g_counts.wrongResults})
            EXPECT_EQ(0, findings->load());
    }

  private:
    HANDLE m_stop = nullptr;
    std::thread m_watchdog;
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new SweepEnvironment);

void Put(ISInfoObject* host, const wchar_t* name, const VARIANT& value) {
    EXPECT_EQ(S_OK, host->put_Property(ComLib::ScopedBstr(name).Get(), value));
}

}  // namespace

void PrintCounts() noexcept {
    char text[700];
    snprintf(text, sizeof text,
             "sweep.members = %ld\nsweep.calls = %ld\nsweep.crashes = %ld\nsweep.hangs = %ld\n"
             "sweep.leaks = %ld\nsweep.unexpected_successes = %ld\n"
             "sweep.touched_outputs = %ld\nsweep.half_writes = %ld\nsweep.wrong_results = %ld\n",
             g_counts.members.load(), g_counts.calls.load(), g_counts.crashes.load(),
             g_counts.hangs.load(), g_counts.leaks.load(), g_counts.unexpectedSuccesses.load(),
             g_counts.touchedOutputs.load(), g_counts.halfWrites.load(),
             g_counts.wrongResults.load());
    Write(text);
}

void Now(const char* unit, const Member* member, const char* detail) noexcept {
    g_unit = unit;
    g_member = member;
    g_detail = detail;
    g_progress = GetTickCount64();
}

std::atomic<std::int64_t> g_reportBlocks{0};

std::int64_t ReportBlocks() noexcept {
    return g_reportBlocks.load();
}

void Finding(std::atomic<long>& count, const char* kind, const char* unit, const Member& member,
             const char* detail, const std::string& what) {
    static std::mutex lock;
    static std::string lastUnit;
    static int reported = 0;
    std::lock_guard<std::mutex> guard(lock);
    // What reporting keeps (the test framework's failure records) is not a leak of the member.
    const std::int64_t blocks = GuardHeap::LiveBlocks();
    ++count;
    if (lastUnit != unit) lastUnit = unit, reported = 0;
    if (++reported <= 200)
        ADD_FAILURE() << unit << ": " << testing::PrintToString(member.Label()) << " (" << detail
                      << "): " << kind << ": " << what;
    g_reportBlocks += GuardHeap::LiveBlocks() - blocks;
}

void PrepareKeyHost(ISInfoObject* host, const std::vector<long>& categories) {
    using namespace Pravhelper500;
    ComLib::ScopedVariant value;
    value.SetI4(2);  // DEACTIVATED: every rekey command has a state to move from
    Put(host, WP_SI_KEY_STATE_W, value.Get());
    value.SetBstr(L"4b65792076616c7565");
    Put(host, WP_SI_VALUE_W, value.Get());
    value.SetBstr(L"64657269766564");
    Put(host, WP_SI_DERIVED_KEY_W, value.Get());
    value.SetBstr(L"application/x-cryptographic-key");
    Put(host, WP_SI_MIMETYPE_W, value.Get());
    value.SetI2(0);
    Put(host, WP_SI_IS_COMPROMISED_W, value.Get());
    value.Reset();
    V_VT(value.Ptr()) = VT_DATE;
    V_DATE(value.Ptr()) = 46000.5;
    Put(host, WP_SI_CREATION_TIME_W, value.Get());
    // A list another client wrote, which may hold an ID twice.
    ComPtr<ISProperties> bag;
    EXPECT_EQ(S_OK, host->get_Properties(&bag));
    if (bag) RelTest::PutStoredIds(bag.Get(), WP_SI_CORPORATE_CATEGORIES_W, categories);
    EXPECT_EQ(S_OK, RefHost::AddFile(host, L"key.bin", {1, 2, 3, 4}));
}

// ---------------------------------------------------------------------------------------------

Stage::Stage(bool initialize, const char* findingUnit, const Member& swept)
    : unit(findingUnit), member(swept) {
    m_liveBefore = RefHost::LiveObjectCount();
    repository = RefHost::CreateRepository();
    EXPECT_EQ(S_OK, repository->NewObject(L"CryptoGraphicKey", &host));
    if (!host) return;
    PrepareKeyHost(host.Get(), {5, 7, 5, 9});  // a list another client wrote, an ID twice
    EXPECT_EQ(S_OK, host->get_Properties(&m_bag));

    key = NewKeyObject();
    if (!key || !initialize) return;
    ComPtr<ISDesktopPlugin> plugin;
    EXPECT_EQ(S_OK, key.As(&plugin));
    EXPECT_EQ(S_OK, plugin->Initialize(host.Get(), VARIANT_FALSE));
    m_initialized = true;
}

Stage::~Stage() {
    m_categories.Reset();
    m_bag.Reset();
    key.Reset();
    host.Reset();
    repository.reset();
    RefHost::ClearFaults();
    const long live = RefHost::LiveObjectCount();
    const long locks = ComLib::_Module.GetLockCount();
    if (live != m_liveBefore || locks != 0)
        Finding(g_counts.leaks, "leak", unit, member, "end of stage",
                "host objects alive " + std::to_string(live - m_liveBefore) + ", module locks " +
                    std::to_string(locks));
}

ComPtr<IUnknown> Stage::Target(const Member& member) {
    ComPtr<IUnknown> target;
    if (!key) return target;
    if (InlineIsEqualGUID(member.iid, IID_ISObjectRelativeIDs)) {
        if (!m_categories) {
            ComPtr<ISCategoryContent> content;
            if (SUCCEEDED(key.As(&content))) content->get_CorporateCategories(&m_categories);
        }
        if (m_categories) m_categories.As(&target);
        return target;
    }
    ComPtr<IUnknown> face;
    if (SUCCEEDED(key->QueryInterface(member.iid, reinterpret_cast<void**>(face.GetAddressOf()))))
        target = face;
    return target;
}

IUnknown* Stage::ObjectFor(const Member& member) {
    for (const Param& param : member.params)
        if (param.kind == Kind::Object && !param.out &&
            InlineIsEqualGUID(param.iid, IID_ISProperties))
            return m_bag.Get();
    return host.Get();
}

namespace {

// One property line of a serialized bag with its nested bag's lines.
struct BagLine {
    std::wstring text;
    std::vector<BagLine> nested;
};

std::vector<BagLine> ParseBag(const std::vector<std::wstring>& lines, size_t& at) {
    std::vector<BagLine> bag;
    while (at < lines.size() && lines[at] != L"}") {
        if (lines[at] == L"{" && !bag.empty()) {
            ++at;
            bag.back().nested = ParseBag(lines, at);
            ++at;  // the closing brace
            continue;
        }
        bag.push_back(BagLine{lines[at++], {}});
    }
    return bag;
}

// A property with no value (empty text or VT_EMPTY) whose nested bag holds no value either: a
// container made on the way, such as an empty list (its count 0) or an empty journal.
bool HoldsNothing(const BagLine& line) {
    if (line.text.rfind(L"#list", 0) == 0) return true;
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.text.find(L'\t', start)) != std::wstring::npos; start = tab + 1)
        fields.push_back(line.text.substr(start, tab - start));
    fields.push_back(line.text.substr(start));
    if (fields.size() < 4) return false;
    const bool count = fields[0] == L"SI_TOTAL" && fields[3] == L"0";
    const bool empty = (fields[2] == L"8" || fields[2] == L"0") && fields[3].empty();
    if (!count && !empty) return false;
    for (const BagLine& nested : line.nested)
        if (!HoldsNothing(nested)) return false;
    return true;
}

// Properties the host keeps for itself: the object's identities (new with every object) and its
// update time (new with every change the host makes).
bool IsBookkeeping(const std::wstring& line) {
    for (const wchar_t* name : {L"SI_CUID\t", L"SI_GUID\t", L"SI_RUID\t", L"SI_UPDATE_TS\t"})
        if (line.rfind(name, 0) == 0) return true;
    return false;
}

void WriteBag(const std::vector<BagLine>& bag, std::wstring& out) {
    for (const BagLine& line : bag) {
        if (HoldsNothing(line) || IsBookkeeping(line.text)) continue;
        out += line.text + L"\n";
        if (!line.nested.empty()) {
            out += L"{\n";
            WriteBag(line.nested, out);
            out += L"}\n";
        }
    }
}

}  // namespace

std::wstring Stage::Snapshot() {
    ComLib::ScopedVariant text;
    if (!host || FAILED(host->Serialize(text.Receive())) || text.Type() != VT_BSTR) return L"?";
    const std::wstring serialized = V_BSTR(&text.Get()) ? V_BSTR(&text.Get()) : L"";
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = serialized.find(L'\n', start)) != std::wstring::npos; start = end + 1)
        lines.push_back(serialized.substr(start, end - start));
    if (start < serialized.size()) lines.push_back(serialized.substr(start));
    size_t at = 0;
    std::wstring normal;
    WriteBag(ParseBag(lines, at), normal);
    return normal;
}

std::string Stage::MemoryAgainstHost() {
    if (!key || !m_initialized) return "";
    ComPtr<ISCategoryContent> categories;
    ComPtr<ISPublicationInfo> publication;
    if (FAILED(key.As(&categories)) || FAILED(key.As(&publication))) return "no collection faces";
    using Pravhelper500::WP_SI_CORPORATE_CATEGORIES_W;
    const std::pair<const wchar_t*, std::function<HRESULT(ISObjectRelativeIDs**)>> lists[] = {
        {WP_SI_CORPORATE_CATEGORIES_W,
         [&](ISObjectRelativeIDs** ids) { return categories->get_CorporateCategories(ids); }},
        {Pravhelper500::WP_SI_PERSONAL_CATEGORIES_W,
         [&](ISObjectRelativeIDs** ids) { return categories->get_PersonalCategories(ids); }},
        {Pravhelper500::WP_SI_ARTIFACTS_SCOPEBATCH_W,
         [&](ISObjectRelativeIDs** ids) { return publication->get_ScopeBatchObjects(ids); }},
        {Pravhelper500::WP_SI_ARTIFACTS_SCOPEBATCHDOC_W,
         [&](ISObjectRelativeIDs** ids) { return publication->get_ScopeBatchDocObjects(ids); }},
        {Pravhelper500::WP_SI_ARTIFACTS_SOURCEDOC_W,
         [&](ISObjectRelativeIDs** ids) { return publication->get_SourceDocObjects(ids); }},
    };
    for (const auto& [name, getter] : lists) {
        ComPtr<ISObjectRelativeIDs> ids;
        if (FAILED(getter(&ids)) || !ids) return "a collection cannot be had";
        RelTest::IdList memory;
        long count = 0;
        ids->get_Count(&count);
        for (long p = 1; p <= count; ++p) {
            ComLib::ScopedVariant position;
            position.SetI4(p);
            long id = -1;
            ids->get_Item(position.Get(), &id);
            memory.push_back(id);
        }
        const RelTest::IdList host = RelTest::IdsOf(m_bag.Get(), name).value_or(RelTest::IdList{});
        if (memory != host) {
            std::string text;
            for (const wchar_t* c = name; *c; ++c) text += static_cast<char>(*c);
            text += ": memory";
            for (long id : memory) text += " " + std::to_string(id);
            text += ", host list";
            for (long id : host) text += " " + std::to_string(id);
            return text;
        }
    }
    return "";
}

// ---------------------------------------------------------------------------------------------

const std::vector<Member>& AllMembers() {
    static const std::vector<Member> members = [] {
        std::vector<Member> all;
        ComPtr<ITypeLib> plugin, hostLib;
        EXPECT_EQ(S_OK, LoadRegTypeLib(LIBID_KorvelCryptoGraphicKeyPluginLib, 1, 0, 0, &plugin));
        EXPECT_EQ(S_OK, LoadRegTypeLib(LIBID_KorvelInfoStoreLib, 1, 0, 0, &hostLib));
        if (!plugin || !hostLib) return all;
        const std::pair<ITypeLib*, const IID*> interfaces[] = {
            {plugin.Get(), &IID_ISCryptoGraphicKey},
            {plugin.Get(), &IID_ISCryptoGraphicKeyBase},
            {plugin.Get(), &IID_ISDerivedKey},
            {plugin.Get(), &IID_ISWebView},
            {plugin.Get(), &IID_ISPublicationInfo},
            {hostLib.Get(), &IID_ISInfoObject},
            {hostLib.Get(), &IID_ISDesktopPluginInfo},
            {hostLib.Get(), &IID_ISCategoryContent},
            {hostLib.Get(), &IID_ISVersionedInfoObject},
            {hostLib.Get(), &IID_ISDesktopPluginEx},
            {hostLib.Get(), &IID_ISObjectRelativeIDs}};
        // SWEEP_ONLY=<text> sweeps only the members whose "interface::member" contains it.
        const char* only = getenv("SWEEP_ONLY");
        for (const auto& [lib, iid] : interfaces) {
            std::vector<Member> members = MembersOf(lib, *iid);
            EXPECT_FALSE(members.empty());
            for (Member& member : members) {
                std::string label;
                for (wchar_t c : member.Label()) label += static_cast<char>(c);
                if (!only || label.find(only) != std::string::npos)
                    all.push_back(std::move(member));
            }
        }
        g_counts.members = static_cast<long>(all.size());
        return all;
    }();
    return members;
}

// The members of the fault units: each implementation once (a member reached through several
// interfaces of the key object runs the same code), and every member of the collection and of
// the plug-in face.
std::vector<const Member*> DistinctMembers() {
    std::vector<const Member*> members;
    std::set<std::wstring> seen;
    for (const Member& member : AllMembers()) {
        if (!member.Supported()) continue;
        const bool ownObject = InlineIsEqualGUID(member.iid, IID_ISObjectRelativeIDs);
        if (seen.insert((ownObject ? L"ids:" : L"key:") + member.name).second)
            members.push_back(&member);
    }
    return members;
}

namespace {

// The entry and exit lines written while tracing was on, by source place: each place must carry
// one trace point of one member ("IN:\t[label]" or "OUT:\t[label]").
std::mutex g_placesLock;
std::map<std::pair<std::string, int>, std::set<std::wstring>> g_tracePoints;

void RecordTracePoint(const Zentil500::STraceRecord& record) {
    const std::wstring& text = record.text;
    const size_t open = text.find(L":\t[");
    const size_t close = text.find(L']', open);
    if (record.kind != 0 || open == std::wstring::npos || close == std::wstring::npos) return;
    // Not the member's allocations: neither counted, nor failed, nor a leak of the member.
    GuardHeap::Pause();
    const std::int64_t blocks = GuardHeap::LiveBlocks();
    {
        std::lock_guard<std::mutex> guard(g_placesLock);
        g_tracePoints[{record.file ? record.file : "", record.line}].insert(
            text.substr(0, close + 1));
    }
    g_reportBlocks += GuardHeap::LiveBlocks() - blocks;
    GuardHeap::Resume();
}

}  // namespace

TracingOn::TracingOn() {
    Zentil500::SLoggerConfig config;
    config.levels.assign(32, true);
    config.output = L"NUL";
    Zentil500::SLogger::Configure(config);
    Zentil500::SLogger::SetSink(RecordTracePoint);
}

TracingOn::~TracingOn() {
    Zentil500::SLogger::SetSink(nullptr);
    Zentil500::SLogger::Configure(Zentil500::SLoggerConfig{});
}

void CheckTracePoints() {
    std::set<std::wstring> points;
    for (const auto& [place, texts] : g_tracePoints) {
        points.insert(texts.begin(), texts.end());
        if (texts.size() == 1) continue;
        std::string joined;
        for (const std::wstring& text : texts)
            joined += " " + std::string(text.begin(), text.end());
        ++g_counts.wrongResults;
        ADD_FAILURE() << "trace points sharing " << place.first << "(" << place.second
                      << "):" << joined;
    }
    // Entries and exits of most members were traced (the sink saw the sweep's calls).
    if (!getenv("SWEEP_ONLY")) {
        EXPECT_GT(points.size(), 120u);
    }
}

}  // namespace Sweep
