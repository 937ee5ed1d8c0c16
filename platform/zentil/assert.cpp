// Assertions: reported through the logger and to the assertion sink, never fatal.
#include "zentil500.h"

#include "text.h"

#include <mutex>

namespace Zentil500 {

namespace {

std::atomic<bool> g_assertEnabled{true};

struct AssertSinkState {
    std::mutex lock;
    SAssertSink sink;
};

AssertSinkState& SinkState() {
    static AssertSinkState state;
    return state;
}

void Report(const char* file, int line, const char* expression, std::wstring message) noexcept {
    try {
        if (!file) file = "";
        if (!expression) expression = "";

        if (!g_traceIsOff.load(std::memory_order_relaxed) && ShouldTrace_slowpath(0, file, line)) {
            SWCharString text(L"ASSERT failed: ");
            text += detail::FromNarrow(expression).c_str();
            if (!message.empty()) {
                text += L": ";
                text += message.c_str();
            }
            STraceObj(0, file, line, 1)(L"%1", STraceParameter(text));
        }

        // Copied out of the lock: the sink may itself assert.
        SAssertSink sink;
        {
            AssertSinkState& state = SinkState();
            std::lock_guard<std::mutex> hold(state.lock);
            sink = state.sink;
        }
        if (sink) sink(SAssertRecord{file, line, expression, std::move(message)});
    } catch (...) {
        // An assertion report never disturbs the code that made it.
    }
}

}  // namespace

bool ShouldAssert() noexcept {
    return g_assertEnabled.load(std::memory_order_relaxed);
}

void SetAssertEnabled(bool enabled) noexcept {
    g_assertEnabled.store(enabled);
}

void SAssert(const char* file, int line, const char* expression) {
    Report(file, line, expression, std::wstring());
}

void SAssert(const char* file, int line, const char* expression, const char* message) {
    std::wstring text;
    try {
        text = detail::FromNarrow(message);
    } catch (...) {
        // Report without the message rather than not at all.
    }
    Report(file, line, expression, std::move(text));
}

void SAssert(const char* file, int line, const char* expression, const wchar_t* message) {
    std::wstring text;
    try {
        if (message) text = message;
    } catch (...) {
    }
    Report(file, line, expression, std::move(text));
}

void SetAssertSink(SAssertSink sink) {
    AssertSinkState& state = SinkState();
    std::lock_guard<std::mutex> hold(state.lock);
    state.sink = std::move(sink);
}

}  // namespace Zentil500
