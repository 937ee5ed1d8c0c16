// Failures from below: every host call a member makes fails in turn, and every allocation it
// makes fails in turn (tracing off and on). The member answers a failure (or the S_OK listed
// where the failure is ignored by design), writes nothing half way, lets no exception out and
// leaks nothing; a member that succeeds despite the failure has all its effects.
#include <gtest/gtest.h>

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
};

std::string Hex(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

TEST(SweepFaults, EveryHostCallOfEveryMemberFailsInTurn) {
    static constexpr const char* kUnit = "host faults";
    const auto start = std::chrono::steady_clock::now();
    for (const Member* member : DistinctMembers()) {
        // The host calls of an ordinary call, in order.
        std::vector<std::string> methods;
        {
            Stage stage(true);
            stage.unit = kUnit;
            stage.member = member;
            ComPtr<IUnknown> target = stage.Target(*member);
            if (!target) continue;
            Now(kUnit, member, "reference call");
            Call call(*member, {}, stage.ObjectFor(*member));
            RefHost::ClearCallLog();
            RefHost::EnableCallLog(true);
            const CallResult result = call.ThroughVtable(target.Get());
            RefHost::EnableCallLog(false);
            ++g_counts.calls;
            for (const RefHost::CallRecord& record : RefHost::CallLog())
                methods.push_back(record.method);
            RefHost::ClearCallLog();
            if (FAILED(result.hr)) continue;  // nothing to break
        }
        std::map<std::string, unsigned> seen;
        for (const std::string& method : methods) {
            const unsigned nth = ++seen[method];
            Stage stage(true);
            stage.unit = kUnit;
            stage.member = member;
            ComPtr<IUnknown> target = stage.Target(*member);
            const std::wstring before = stage.Snapshot();
            Now(kUnit, member, "host call failing");
            Call call(*member, {}, stage.ObjectFor(*member));
            EXPECT_EQ(S_OK, RefHost::InjectFault(nullptr, method, kHostFault,
                                                 RefHost::FaultMode::NthCall, nth));
            const CallResult result = call.ThroughVtable(target.Get());
            RefHost::ClearFaults();
            ++g_counts.calls;
            const std::string what =
                method + " #" + std::to_string(nth) + " failed -> " + Hex(result.hr);
            if (SUCCEEDED(result.hr)) {
                if (!kIgnoredHostFailures.count({member->name, method})) {
                    ++g_counts.unexpectedSuccesses;
                    Report(kUnit, *member, "host call failing", "success although " + what);
                }
                continue;
            }
            if (!result.outputsUntouched) {
                ++g_counts.touchedOutputs;
                Report(kUnit, *member, "host call failing", "an output changed: " + what);
            }
            if (stage.Snapshot() != before) {
                ++g_counts.halfWrites;
                Report(kUnit, *member, "host call failing", "the host's bag changed: " + what);
            }
        }
    }
    printf("sweep: host faults took %.1f s\n",
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

void FailEachAllocation(const Member& member, bool tracing) {
    static constexpr const char* kUnit = "allocation faults";
    const char* const detail = tracing ? "allocation failing, tracing on" : "allocation failing";
    std::unique_ptr<TracingOn> trace;
    if (tracing) trace = std::make_unique<TracingOn>();

    // The allocations of an ordinary call, and its effects.
    std::uint64_t allocations = 0;
    std::wstring effects;
    {
        Stage stage(true);
        stage.unit = kUnit;
        stage.member = &member;
        ComPtr<IUnknown> target = stage.Target(member);
        if (!target) return;
        Now(kUnit, &member, "reference call");
        Call call(member, {}, stage.ObjectFor(member));
        const CallResult result = call.ThroughVtable(target.Get(), kCountOnly);
        ++g_counts.calls;
        if (FAILED(result.hr)) return;
        allocations = result.allocations;
        effects = stage.Snapshot();
    }
    for (std::uint64_t n = 1; n <= allocations; ++n) {
        const std::int64_t blocks = GuardHeap::LiveBlocks();
        {
            Stage stage(true);
            stage.unit = kUnit;
            stage.member = &member;
            ComPtr<IUnknown> target = stage.Target(member);
            const std::wstring before = stage.Snapshot();
            Now(kUnit, &member, detail);
            Call call(member, {}, stage.ObjectFor(member));
            const CallResult result =
                call.ThroughVtable(target.Get(), static_cast<std::int64_t>(n));
            ++g_counts.calls;
            call.ReleaseOutputs();
            const std::string what = "allocation " + std::to_string(n) + " of " +
                                     std::to_string(allocations) + " failed -> " + Hex(result.hr);
            if (SUCCEEDED(result.hr)) {
                if (stage.Snapshot() != effects) {
                    ++g_counts.wrongResults;
                    Report(kUnit, member, detail, "success without all its effects: " + what);
                }
            } else {
                if (!result.outputsUntouched) {
                    ++g_counts.touchedOutputs;
                    Report(kUnit, member, detail, "an output changed: " + what);
                }
                if (stage.Snapshot() != before) {
                    ++g_counts.halfWrites;
                    Report(kUnit, member, detail, "the host's bag changed: " + what);
                }
            }
            if (!result.allocationFailed) break;  // the call made fewer allocations this time
        }
        if (GuardHeap::LiveBlocks() != blocks) {
            ++g_counts.leaks;
            Report(kUnit, member, detail,
                   "blocks not freed: " + std::to_string(GuardHeap::LiveBlocks() - blocks) +
                       " after allocation " + std::to_string(n) + " failed");
        }
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
