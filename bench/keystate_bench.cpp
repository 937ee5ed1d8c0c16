// Cost of a traced key member: get_KeyState through the plug-in with tracing off against the same
// three host calls made directly (measured interleaved, median of the rounds: the ratio holds on a
// busy machine), the steps of the plug-in's own share one by one, late-bound calls through
// IDispatch::Invoke against the vtable, and the plug-in with tracing on to a file.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "CCryptoGraphicKey.h"
#include "bench_runtime.h"
#include "comlib.h"
#include "interleave.h"
#include "pravhelper500.h"
#include "refhost.h"
#include "scoped.h"
#include "support/typelibs.h"
#include "thrin1001206.h"
#include "zentil500.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;

namespace {

constexpr int kRounds = 301;
constexpr int kCallsPerRound = 400;

}  // namespace

int main() {
    const BenchRuntime runtime;
    // Late-bound calls find the object's type information through the registered libraries.
    if (FAILED(RegisterTestTypeLibs())) return 1;

    auto repository = RefHost::CreateRepository();
    ComPtr<ISInfoObject> host;
    if (FAILED(repository->NewObject(L"CryptoGraphicKey", &host))) return 1;
    ScopedVariant state;
    state.SetI4(DEACTIVATED);
    host->put_Property(ScopedBstr(Pravhelper500::WP_SI_KEY_STATE_W).Get(), state.Get());

    ComPtr<ISCryptoGraphicKey> key;
    if (FAILED(ComLib::CComCreator<ComLib::CComObject<CCryptoGraphicKey>>::CreateInstance(
            nullptr, IID_ISCryptoGraphicKey, reinterpret_cast<void**>(key.GetAddressOf()))))
        return 1;
    ComPtr<ISDesktopPlugin> plugin;
    key.As(&plugin);
    if (FAILED(plugin->Initialize(host.Get(), VARIANT_FALSE))) return 1;

    long failures = 0;
    auto viaPlugin = [&] {
        KvKeyState s{};
        if (key->get_KeyState(&s) != S_OK || s != DEACTIVATED) ++failures;
    };
    // The host calls get_KeyState makes, without the plug-in around them.
    auto direct = [&] {
        ComPtr<ISProperties> bag;
        ComPtr<ISProperty> property;
        ScopedVariant name, value;
        if (FAILED(host->get_Properties(&bag)) ||
            FAILED(name.SetBstr(Pravhelper500::WP_SI_KEY_STATE_W)) ||
            FAILED(bag->get_Item(name.Get(), &property)) ||
            FAILED(property->get_Value(value.Receive())) || FAILED(value.ChangeType(VT_I4)))
            ++failures;
    };
    const Bench::Interleaved keystate =
        Bench::MeasureInterleaved(kRounds, kCallsPerRound, viaPlugin, direct);

    // The plug-in's own share, step by step.
    CCryptoGraphicKey* object = static_cast<CCryptoGraphicKey*>(key.Get());
    const SComObjectBase& base = *object;
    const double guard = Bench::MedianNanoseconds(kRounds, kCallsPerRound, [&] {
        const SComCallGuard g(base);
    });
    const double adoption = Bench::MedianNanoseconds(kRounds, kCallsPerRound, [] {
        const Thrin1001206::JTCAdoptCurrentThread adopt;
    });
    const double localeSwitch = Bench::MedianNanoseconds(kRounds, kCallsPerRound, [] {
        unsigned cookie = 0;
        Zentil500::SResManager::ThreadInitialize(1033, cookie);
        Zentil500::SResManager::ThreadUninitialize(cookie);
    });
    const double gate = Bench::MedianNanoseconds(kRounds, kCallsPerRound, [&] {
        if (Zentil500::SLogger::ShouldTrace(3, CCryptoGraphicKey::kTraceFile)) ++failures;
    });
    const double hostReference = Bench::MedianNanoseconds(kRounds, kCallsPerRound, [&] {
        if (!object->m_pInfoObject.Acquire()) ++failures;
    });
    const Bench::Interleaved forwarded = Bench::MeasureInterleaved(
        kRounds, kCallsPerRound,
        [&] {
            ComPtr<ISProperties> bag;
            if (FAILED(key->get_Properties(&bag))) ++failures;
        },
        [&] {
            ComPtr<ISProperties> bag;
            if (FAILED(host->get_Properties(&bag))) ++failures;
        });

    // Late-bound: KeyState by DISPID through the object's type information.
    ComPtr<IDispatch> dispatch;
    key.As(&dispatch);
    auto lateBound = [&] {
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        VARIANT result;
        VariantInit(&result);
        if (dispatch->Invoke(202, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                             nullptr) != S_OK ||
            V_VT(&result) != VT_I4 || V_I4(&result) != DEACTIVATED)
            ++failures;
        VariantClear(&result);
    };
    const Bench::Interleaved late =
        Bench::MeasureInterleaved(kRounds, kCallsPerRound / 4, lateBound, viaPlugin);

    wchar_t tempDir[MAX_PATH];
    GetTempPathW(MAX_PATH, tempDir);
    const std::wstring traceFile = std::wstring(tempDir) + L"cgk-bench-trace.log";
    DeleteFileW(traceFile.c_str());
    Zentil500::SLoggerConfig on;
    on.levels.assign(32, true);
    on.output = traceFile;
    Zentil500::SLogger::Configure(on);
    const double pluginOn = Bench::MedianNanoseconds(9, kCallsPerRound / 4, viaPlugin);
    Zentil500::SLogger::Configure(Zentil500::SLoggerConfig{});
    DeleteFileW(traceFile.c_str());

    dispatch.Reset();
    key.Reset();
    plugin.Reset();
    host.Reset();
    repository.reset();

    std::printf("keystate.rounds = %d\n", kRounds);
    std::printf("keystate.calls_per_round = %d\n", kCallsPerRound);
    keystate.Print("keystate", "plugin_tracing_off", "direct_host_calls", "overhead_ratio");
    std::printf("keystate.own_share_ns = %.1f\n", keystate.aNs - keystate.bNs);
    std::printf("keystate.step.call_guard_ns = %.1f\n", guard);
    std::printf("keystate.step.thread_adoption_ns = %.1f\n", adoption);
    std::printf("keystate.step.locale_switch_ns = %.1f\n", localeSwitch);
    std::printf("keystate.step.trace_gate_ns = %.1f\n", gate);
    std::printf("keystate.step.host_reference_ns = %.1f\n", hostReference);
    forwarded.Print("keystate.step", "forwarded_get_properties", "direct_get_properties",
                    "forwarding_ratio");
    std::printf("keystate.plugin_tracing_to_file_ns = %.1f\n", pluginOn);
    late.Print("dispatch", "keystate_invoke", "keystate_vtable", "keystate_ratio");
    std::printf("keystate.failures = %ld\n", failures);

    return failures == 0 ? 0 : 1;
}
