// Every member of the swept interfaces, found in the type libraries, called through its vtable
// and through IDispatch::Invoke with ordinary and hostile arguments: before the object has its
// host object, after, and with every trace level on. A call may fail with any status, but a
// failed call leaves its outputs and the host's bag as they were, and a call that must fail
// (a null output, too few or too many arguments, an argument that does not convert, no host
// object yet) does not succeed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>

#include "CryptoGraphicKeyPlugin.h"
#include "sweep/sweep.h"

using Microsoft::WRL::ComPtr;

namespace Sweep {
namespace {

// Members that answer without a host object: they look at nothing the host holds.
const std::set<std::wstring> kAnswersWithoutHost = {
    L"get_Actions",                          // S_FALSE with no actions
    L"get_HasCustomPropertyPages",           // no property pages
    L"Upgrade",                              // nothing to upgrade (S_FALSE)
    L"Initialize",                           // hands the object its host object
    L"get_InfoObject",                       // the host object, null before Initialize
    L"get_ExtendedMode",                     // the object's own flag
    L"put_ExtendedMode",                     //
    L"LoadMessage",                          // texts of the module's message table
    L"get_IsUnmanagedDestinationSupported",  // a constant
    L"UpdateInfoObject",                     // looks at nothing (S_FALSE)
    L"get_Picture",                          // the module's own icon and image resources
    L"PrepareForDelete",                     // the host's notifications: nothing to do
    L"AfterDelete",                          //
    L"PrepareForCopy",                       //
    L"AfterCopy",                            //
    L"PrepareForSchedule",                   //
};

// Members that accept a null object argument: they look at nothing.
const std::set<std::wstring> kNullObjectAccepted = {L"PrepareForCopy", L"AfterCopy"};

// Outputs a caller may leave out: member name and parameter position (from 1). Next's count of
// IDs fetched, as the platform's enumerators allow; Upgrade's flag, which it leaves alone when
// there is nothing to upgrade (S_FALSE).
const std::set<std::pair<std::wstring, size_t>> kOptionalOutputs = {{L"Next", 3}, {L"Upgrade", 2}};

// Members that make their nested bag in the host's bag before they look inside it, also when the
// look-up then fails: an empty container, no value (GetDeliveryRuleResults of a scope without
// an entry).
const std::set<std::wstring> kMakesItsBag = {L"GetDeliveryRuleResults"};

enum class Phase { BeforeInitialize, Initialized, Tracing };
const char* const kPhaseNames[] = {"before Initialize", "initialized", "tracing on"};

struct Plan {
    bool dispatch = false;
    std::vector<Value> values;
    size_t count = 0;  // dispatch: arguments passed
    bool resultNull = false;
    bool mustFail = false;
    const char* detail = "";
};

const char* ValueName(Value value) {
    static const char* const names[] = {"ordinary", "null",       "empty",
                                        "huge",     "smallest",   "odd",
                                        "missing",  "wrong type", "overflowing"};
    return names[static_cast<int>(value)];
}

bool TakesText(Kind kind) {
    return kind == Kind::Bstr || kind == Kind::Variant;
}

// full: hostile values as well (once per implementation is enough: a member reached through
// several interfaces runs the same code, and the platform converts the values the same way).
std::vector<Plan> PlansFor(const Member& member, Phase phase, bool full) {
    const bool noHost = phase == Phase::BeforeInitialize && !kAnswersWithoutHost.count(member.name);
    const size_t params = member.params.size();
    std::vector<Plan> plans, hugePlans;
    auto add = [&](bool dispatch, size_t index, Value value, bool mustFail, const char* detail) {
        Plan plan;
        plan.dispatch = dispatch;
        plan.values.assign(params, Value::Good);
        if (index < params) plan.values[index] = value;
        for (const Param& param : member.params)
            if (!param.retval) ++plan.count;
        plan.mustFail = mustFail || noHost;
        plan.detail = detail;
        // Long texts last: once the host holds one, every later snapshot copies it.
        (value == Value::Huge ? hugePlans : plans).push_back(plan);
    };
    constexpr size_t kNone = static_cast<size_t>(-1);

    // Hostile values for each in-parameter, but one long text per member and phase (full only:
    // once per implementation is enough).
    auto hostile = [&](bool dispatch, std::initializer_list<Value> values) {
        bool hugeDone = false;
        for (size_t i = 0; full && i < params; ++i) {
            const Param& param = member.params[i];
            if (param.out) continue;
            for (Value value : values) {
                if (value == Value::Huge && TakesText(param.kind)) {
                    if (hugeDone) continue;
                    hugeDone = true;
                }
                // Through Invoke, a value that does not convert to the parameter's type never
                // reaches the member.
                const bool mustFail = dispatch
                                          ? value == Value::WrongType && param.kind != Kind::Variant
                                          : param.kind == Kind::Object && value == Value::Null &&
                                                !kNullObjectAccepted.count(member.name);
                add(dispatch, i, value, mustFail,
                    dispatch ? "Invoke, hostile argument" : "vtable, hostile argument");
            }
        }
    };

    add(false, kNone, Value::Good, false, "vtable, ordinary arguments");
    for (size_t i = 0; i < params; ++i)
        if (member.params[i].out)
            add(false, i, Value::Null, !kOptionalOutputs.count({member.name, i + 1}),
                "vtable, null output");
    hostile(false, {Value::Null, Value::Empty, Value::Huge, Value::Smallest, Value::Odd});
    if (member.dispatchable) {
        add(true, kNone, Value::Good, false, "Invoke, ordinary arguments");
        const size_t required = member.Required();
        if (required > 0) {
            add(true, kNone, Value::Good, true, "Invoke, an argument missing");
            plans.back().count = required - 1;
        }
        add(true, kNone, Value::Good, true, "Invoke, one argument too many");
        ++plans.back().count;
        for (const Param& param : member.params)
            if (param.retval) {
                add(true, kNone, Value::Good, false, "Invoke, no result variant");
                plans.back().resultNull = true;
            }
        hostile(true, {Value::Null, Value::Empty, Value::Missing, Value::WrongType,
                       Value::Overflowing, Value::Huge, Value::Smallest});
    }
    plans.insert(plans.end(), hugePlans.begin(), hugePlans.end());
    return plans;
}

std::string Describe(const Member& member, const Plan& plan, Phase phase, HRESULT hr) {
    char text[200];
    std::string values;
    for (size_t i = 0; i < plan.values.size(); ++i)
        if (plan.values[i] != Value::Good)
            values += " arg " + std::to_string(i + 1) + " " + ValueName(plan.values[i]);
    snprintf(text, sizeof text, "%s,%s, %zu args%s -> 0x%08lX",
             kPhaseNames[static_cast<int>(phase)], values.c_str(), plan.count,
             plan.resultNull ? ", no result" : "", static_cast<unsigned long>(hr));
    return text;
}

void SweepMember(const Member& member, Phase phase, bool full) {
    static constexpr const char* kUnit = "calls";
    std::unique_ptr<TracingOn> tracing;
    if (phase == Phase::Tracing) tracing = std::make_unique<TracingOn>();
    Stage stage(phase != Phase::BeforeInitialize, kUnit, member);
    ComPtr<IUnknown> target = stage.Target(member);
    if (!target) {
        // Only the collection is out of reach before Initialize.
        if (phase == Phase::BeforeInitialize) return;
        Finding(g_counts.wrongResults, "no object answers it", kUnit, member,
                kPhaseNames[static_cast<int>(phase)], "");
        return;
    }
    std::wstring before = stage.Snapshot();
    for (const Plan& plan : PlansFor(member, phase, full)) {
        Now(kUnit, &member, plan.detail);
        Call call(member, plan.values, stage.ObjectFor(member));
        // Traced, an output-only argument starts as garbage: no trace line reads it.
        if (phase == Phase::Tracing && !plan.dispatch) call.GarbageOutputs();
        const CallResult result =
            plan.dispatch ? call.ThroughInvoke(reinterpret_cast<IDispatch*>(target.Get()),
                                               plan.count, plan.resultNull)
                          : call.ThroughVtable(target.Get());
        ++g_counts.calls;
        call.ReleaseOutputs();
        if (SUCCEEDED(result.hr)) {
            if (plan.mustFail)
                Finding(g_counts.unexpectedSuccesses, "success", kUnit, member, plan.detail,
                        Describe(member, plan, phase, result.hr));
            // A getter's success writes no value (an empty container it made does not count).
            if (stage.Initialized() && member.invkind != INVOKE_PROPERTYGET)
                before = stage.Snapshot();
            continue;
        }
        if (!result.outputsUntouched)
            Finding(g_counts.touchedOutputs, "output", kUnit, member, plan.detail,
                    Describe(member, plan, phase, result.hr));
        if (stage.Initialized()) {
            const std::wstring after = stage.Snapshot();
            if (after != before && !kMakesItsBag.count(member.name)) {
                Finding(g_counts.halfWrites, "half write", kUnit, member, plan.detail,
                        Describe(member, plan, phase, result.hr));
                before = after;
            }
        }
    }
    Now(kUnit, &member, "end of stage");
}

TEST(SweepCalls, EveryMemberOfTheTypeLibrariesIsCallable) {
    const std::vector<Member>& members = AllMembers();
    std::set<std::wstring> interfaces;
    for (const Member& member : members) {
        interfaces.insert(member.iface);
        EXPECT_TRUE(member.Supported())
            << "a parameter type the sweep cannot pass: " << testing::PrintToString(member.Label());
    }
    EXPECT_EQ(11u, interfaces.size());
    EXPECT_GT(members.size(), 250u);
}

TEST(SweepCalls, HostileArgumentsBeforeAndAfterInitializeAndWithTracing) {
    const auto start = std::chrono::steady_clock::now();
    // Every member through every interface before and after Initialize; the hostile values
    // through Invoke and the trace lines once per implementation.
    std::set<const Member*> distinct;
    for (const Member* member : DistinctMembers()) distinct.insert(member);
    for (Phase phase : {Phase::BeforeInitialize, Phase::Initialized}) {
        for (const Member& member : AllMembers())
            if (member.Supported()) SweepMember(member, phase, distinct.count(&member) != 0);
        printf("sweep: hostile arguments, %s: %.1f s\n", kPhaseNames[static_cast<int>(phase)],
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    for (const Member* member : DistinctMembers()) SweepMember(*member, Phase::Tracing, false);
    printf("sweep: hostile arguments, tracing on: %.1f s\n",
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace
}  // namespace Sweep
