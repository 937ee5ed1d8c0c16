// Cost of a traced key member: get_KeyState through the plug-in with tracing off, the same three
// host calls made directly, and the plug-in with tracing on to a file.
#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <string>

#include "CCryptoGraphicKey.h"
#include "bench_runtime.h"
#include "comlib.h"
#include "pravhelper500.h"
#include "refhost.h"
#include "scoped.h"
#include "zentil500.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;

namespace {

constexpr int kCalls = 200000;

// Best of three rounds of `calls` calls, after a warm-up.
template <typename F>
double NanosecondsPerCall(int calls, F&& call) {
    for (int i = 0; i < calls / 10; ++i) call();
    double best = 1e30;
    for (int round = 0; round < 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) call();
        const auto elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, std::chrono::duration<double, std::nano>(elapsed).count() / calls);
    }
    return best;
}

}  // namespace

int main() {
    const BenchRuntime runtime;

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
    const double plugin_off = NanosecondsPerCall(kCalls, [&] {
        KvKeyState s{};
        if (key->get_KeyState(&s) != S_OK || s != DEACTIVATED) ++failures;
    });

    // The host calls get_KeyState makes, without the plug-in around them.
    const double direct = NanosecondsPerCall(kCalls, [&] {
        ComPtr<ISProperties> bag;
        ComPtr<ISProperty> property;
        ScopedVariant name, value;
        if (FAILED(host->get_Properties(&bag)) || FAILED(name.SetBstr(Pravhelper500::WP_SI_KEY_STATE_W)) ||
            FAILED(bag->get_Item(name.Get(), &property)) || FAILED(property->get_Value(value.Receive())) ||
            FAILED(value.ChangeType(VT_I4)))
            ++failures;
    });

    wchar_t tempDir[MAX_PATH];
    GetTempPathW(MAX_PATH, tempDir);
    const std::wstring traceFile = std::wstring(tempDir) + L"cgk-bench-trace.log";
    DeleteFileW(traceFile.c_str());
    Zentil500::SLoggerConfig on;
    on.levels.assign(32, true);
    on.output = traceFile;
    Zentil500::SLogger::Configure(on);
    const double plugin_on = NanosecondsPerCall(kCalls / 20, [&] {
        KvKeyState s{};
        if (key->get_KeyState(&s) != S_OK) ++failures;
    });
    Zentil500::SLogger::Configure(Zentil500::SLoggerConfig{});
    DeleteFileW(traceFile.c_str());

    key.Reset();
    plugin.Reset();
    host.Reset();
    repository.reset();

    std::printf("keystate.calls_per_measure = %d\n", kCalls);
    std::printf("keystate.plugin_tracing_off_ns = %.1f\n", plugin_off);
    std::printf("keystate.direct_host_calls_ns = %.1f\n", direct);
    std::printf("keystate.plugin_tracing_to_file_ns = %.1f\n", plugin_on);
    std::printf("keystate.failures = %ld\n", failures);
    std::printf("keystate.overhead_ratio = %.3f\n", plugin_off / direct);

    return failures == 0 ? 0 : 1;
}
