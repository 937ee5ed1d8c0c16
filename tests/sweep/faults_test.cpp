// Failures from below: every host call a member makes fails in turn, and every allocation it
// makes fails in turn (each tracing off and on). The member answers a failure (a failed host call
// with the host's own status, but for the few listed, or the S_OK listed where the failure is
// ignored by design), writes nothing half way, lets no exception out and leaks nothing; a member
// that succeeds despite the failure has all its effects.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <string>

#include "guardheap.h"
#include "sweep/sweep.h"

using Microsoft::WRL::ComPtr;

namespace Sweep {
namespace {

constexpr HRESULT kHostFault = static_cast<HRESULT>(0x8004ABCDL);

// Host calls whose failure a member ignores by design, and still answers S_OK: member name, host
// method.
const std::set<std::pair<std::wstring, std::string>> kIgnoredHostFailures = {
    // The object locale falls back to the default when the host does not tell one.
    {L"Initialize", "ISInfoObject::get_Locale"},
    {L"LoadMessage", "ISInfoObject::get_Locale"},
    // The removal's own status is not used: S_OK whenever the results bag was obtained.
    {L"RemoveDeliveryRuleResults", "ISProperties::Remove"},
    // A failed read of the property (or of the list) answers as an absent one: the default, an
    // empty list, no marker yet.
    {L"get_ArtifactParentID", "ISInfoObject::get_Property"},
    {L"get_IsPublicationJob", "ISInfoObject::get_Property"},
    {L"get_IsPublicationGlobalDeliveryRuleJob", "ISInfoObject::get_Property"},
    {L"get_ScopeID", "ISInfoObject::get_Property"},
    {L"get_MultiPassBursting", "ISInfoObject::get_Property"},
    {L"get_MergedArtifact", "ISInfoObject::get_Property"},
    {L"get_ShowAllDataForNullProfileValues", "ISInfoObject::get_Property"},
    {L"get_DeliveryEmptyDocument", "ISProcessingInfo::get_Property"},
    {L"get_DeliveryRuleOptions", "ISProcessingInfo::get_Property"},
    {L"get_DeliverySkipped", "ISProcessingInfo::get_Property"},
    {L"get_PublicationKeepSavedData", "ISProcessingInfo::get_Property"},
    {L"get_CorporateCategories", "ISProperties::get_Item"},
    {L"get_PersonalCategories", "ISProperties::get_Item"},
    {L"get_ScopeBatchObjects", "ISProperties::get_Item"},
    {L"get_ScopeBatchDocObjects", "ISProperties::get_Item"},
    {L"get_SourceDocObjects", "ISProperties::get_Item"},
    {L"put_ScopeBatchObjectID", "ISProperties::get_Item"},
    {L"put_ScopeBatchDocumentID", "ISProperties::get_Item"},
    {L"put_SourceDocumentID", "ISProperties::get_Item"},
    {L"PrepareForCommit", "ISProperties::get_Item"},
    {L"Initialize", "ISProperties::get_Item"},
};

// Host calls whose failure a member answers with a status of its own rather than the host's
// (every other failure is answered with the host's status): member name, host method.
const std::set<std::pair<std::wstring, std::string>> kOwnStatusOnHostFailure = {
    // The reset of the lists after a commit answers E_NOINTERFACE when the host object's bag, or
    // its list view, cannot be had.
    {L"AfterCommit", "ISInfoObject::get_Properties"},
    {L"AfterCommit", "ISProperties::QueryInterface"},
};

std::string Hex(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

struct Faulted {
    CallResult result;
    std::wstring after;  // the host's bag after the call
    std::string what;    // "<failure> -> <status>"
};

// A call of member with no arguments on a fresh initialized stage, through `run` (which arms the
// failure from below). Traced, an output-only argument starts as garbage: no trace line reads it.
// A failed call leaves its outputs and the host's bag as they were; either way the collections'
// memory stays in step with the host.
template <class Run>
Faulted CallFailing(const Member& member, const char* unit, const char* detail, bool tracing,
                    const std::string& failure, Run run) {
    Stage stage(true, unit, member);
    ComPtr<IUnknown> target = stage.Target(member);
    Faulted faulted;
    faulted.result.hr = E_NOINTERFACE;
    if (!target) return faulted;
    const std::wstring before = stage.Snapshot();
    Now(unit, &member, detail);
    Call call(member, {}, stage.ObjectFor(member));
    if (tracing) call.GarbageOutputs();
    faulted.result = run(call, target.Get());
    ++g_counts.calls;
    call.ReleaseOutputs();
    faulted.after = stage.Snapshot();
    faulted.what = failure + " -> " + Hex(faulted.result.hr);
    if (FAILED(faulted.result.hr) && !faulted.result.outputsUntouched)
        Finding(g_counts.touchedOutputs, "output", unit, member, detail, faulted.what);
    if (FAILED(faulted.result.hr) && faulted.after != before)
        Finding(g_counts.halfWrites, "half write", unit, member, detail, faulted.what);
    if (const std::string memory = stage.MemoryAgainstHost(); !memory.empty())
        Finding(g_counts.halfWrites, "memory", unit, member, detail, faulted.what + "; " + memory);
    return faulted;
}

// Every host call of every member fails in turn, first with tracing off, then on: with tracing on
// every failure exit writes its line (with the failed call's output and the caller's arguments),
// and the member must answer exactly as it did without tracing.
TEST(SweepFaults, EveryHostCallOfEveryMemberFailsInTurn) {
    static constexpr const char* kUnit = "host faults";
    const auto start = std::chrono::steady_clock::now();
    for (const Member* member : DistinctMembers()) {
        // The host calls of an ordinary call, in order.
        std::vector<std::string> methods;
        auto logged = [&](Call& call, IUnknown* target) {
            RefHost::ClearCallLog();
            RefHost::EnableCallLog(true);
            const CallResult result = call.ThroughVtable(target);
            RefHost::EnableCallLog(false);
            for (const RefHost::CallRecord& record : RefHost::CallLog())
                methods.push_back(record.method);
            RefHost::ClearCallLog();
            return result;
        };
        if (FAILED(CallFailing(*member, kUnit, "reference call", false, "ordinary call", logged)
                       .result.hr))
            continue;  // nothing to break
        // The answer to each failure without tracing, which tracing must not change.
        std::map<std::pair<std::string, unsigned>, HRESULT> untraced;
        for (bool tracing : {false, true}) {
            const char* const detail =
                tracing ? "host call failing, tracing on" : "host call failing";
            std::unique_ptr<TracingOn> trace;
            if (tracing) trace = std::make_unique<TracingOn>();
            std::map<std::string, unsigned> seen;
            for (const std::string& method : methods) {
                const unsigned nth = ++seen[method];
                auto failing = [&](Call& call, IUnknown* target) {
                    EXPECT_EQ(S_OK, RefHost::InjectFault(nullptr, method, kHostFault,
                                                         RefHost::FaultMode::NthCall, nth));
                    const CallResult result = call.ThroughVtable(target);
                    RefHost::ClearFaults();
                    return result;
                };
                const Faulted faulted =
                    CallFailing(*member, kUnit, detail, tracing,
                                method + " #" + std::to_string(nth) + " failed", failing);
                const HRESULT hr = faulted.result.hr;
                if (!tracing) {
                    untraced[{method, nth}] = hr;
                } else if (const HRESULT expected = untraced.at({method, nth}); expected != hr) {
                    Finding(g_counts.wrongResults, "tracing changed the answer", kUnit, *member,
                            detail, faulted.what + " (untraced " + Hex(expected) + ")");
                }
                if (SUCCEEDED(hr) && !kIgnoredHostFailures.count({member->name, method}))
                    Finding(g_counts.unexpectedSuccesses, "success", kUnit, *member, detail,
                            faulted.what);
                if (FAILED(hr) && hr != kHostFault &&
                    !kOwnStatusOnHostFailure.count({member->name, method}))
                    Finding(g_counts.wrongResults, "status", kUnit, *member, detail, faulted.what);
            }
        }
    }
    printf("sweep: host faults took %.1f s\n",
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// The allocation indices failed in turn: every one of the first kEvery, then samples spread up
// to the last one (each failure costs a fresh stage under the guard-page allocator).
constexpr std::uint64_t kEvery = 12;
constexpr std::uint64_t kSampled = 8;
std::uint64_t NextIndex(std::uint64_t n, std::uint64_t last) {
    if (n < kEvery || last <= kEvery + kSampled) return n + 1;
    const std::uint64_t step = (last - kEvery + kSampled - 1) / kSampled;
    return n == last ? last + 1 : std::min(last, n + step);
}

// The first line where two snapshots differ, shortened.
std::string FirstDifference(const std::wstring& expected, const std::wstring& actual) {
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
    const size_t line = expected.rfind(L'\n', at);
    const size_t start = line == std::wstring::npos ? 0 : line + 1;
    std::string text;
    for (size_t i = start; i < actual.size() && actual[i] != L'\n' && text.size() < 120; ++i)
        text += actual[i] < 128 ? static_cast<char>(actual[i]) : '?';
    return "'" + text + "'";
}

void FailEachAllocation(const Member& member, bool tracing) {
    static constexpr const char* kUnit = "allocation faults";
    const char* const detail = tracing ? "allocation failing, tracing on" : "allocation failing";
    std::unique_ptr<TracingOn> trace;
    if (tracing) trace = std::make_unique<TracingOn>();

    // The allocations of an ordinary call, and its effects.
    const Faulted ordinary = CallFailing(
        member, kUnit, "reference call", tracing, "ordinary call",
        [](Call& call, IUnknown* target) { return call.ThroughVtable(target, kCountOnly); });
    if (FAILED(ordinary.result.hr)) return;
    const std::uint64_t allocations = ordinary.result.allocations;
    for (std::uint64_t n = 1; n <= allocations; n = NextIndex(n, allocations)) {
        const std::int64_t blocks = GuardHeap::LiveBlocks() - ReportBlocks();
        bool failed = false;
        {
            const Faulted faulted =
                CallFailing(member, kUnit, detail, tracing,
                            "allocation " + std::to_string(n) + " of " +
                                std::to_string(allocations) + " failed",
                            [n](Call& call, IUnknown* target) {
                                return call.ThroughVtable(target, static_cast<std::int64_t>(n));
                            });
            failed = faulted.result.allocationFailed;
            if (SUCCEEDED(faulted.result.hr) && faulted.after != ordinary.after)
                Finding(g_counts.wrongResults, "effects", kUnit, member, detail,
                        faulted.what + "; first difference: " +
                            FirstDifference(ordinary.after, faulted.after));
        }
        const std::int64_t left = GuardHeap::LiveBlocks() - ReportBlocks() - blocks;
        if (left != 0)
            Finding(g_counts.leaks, "leak", kUnit, member, detail,
                    std::to_string(left) + " blocks not freed after allocation " +
                        std::to_string(n) + " failed");
        if (!failed) break;  // the call made fewer allocations this time
    }
}

TEST(SweepFaults, EveryAllocationOfEveryMemberFailsInTurn) {
    const auto start = std::chrono::steady_clock::now();
    for (bool tracing : {false, true})
        for (const Member* member : DistinctMembers()) FailEachAllocation(*member, tracing);
    printf("sweep: allocation faults took %.1f s\n",
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace
}  // namespace Sweep
