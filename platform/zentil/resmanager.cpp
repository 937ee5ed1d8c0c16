// The resource manager: the calling thread's locale and resource loading by language.
#include "zentil500.h"

#include <atomic>

namespace Zentil500 {

namespace {

std::atomic<int> g_initializeCount{0};
std::atomic<unsigned> g_lastCookie{0};

// Per-thread locale stack. Trivially destructible and of fixed size: a traced call switches the
// locale on entry and back on exit, and must not allocate for it.
constexpr int kMaxThreadDepth = 64;

struct LocaleFrame {
    unsigned cookie;
    LCID previous;
};

struct ThreadLocaleState {
    LCID current;
    int depth;
    LocaleFrame frames[kMaxThreadDepth];
};

// The calling thread's state is a block behind a fiber-local slot of the library's own: every
// traced call reads it twice, and the compiler's emulated thread-local storage costs a call and a
// look-up per access where the slot costs a read of the thread's block. A thread's block is freed
// when the thread ends (the slot's callback), and every block when the module holding the library
// unloads (freeing the slot runs the callback for each).
class StateSlot {
public:
    StateSlot() noexcept : m_index(FlsAlloc(&StateSlot::Free)) {}
    ~StateSlot() {
        if (m_index != FLS_OUT_OF_INDEXES) FlsFree(m_index);
    }
    StateSlot(const StateSlot&) = delete;
    StateSlot& operator=(const StateSlot&) = delete;

    ThreadLocaleState& Get() const noexcept {
        if (m_index != FLS_OUT_OF_INDEXES) {
            if (auto* state = static_cast<ThreadLocaleState*>(FlsGetValue(m_index))) return *state;
            auto* state = static_cast<ThreadLocaleState*>(
                HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ThreadLocaleState)));
            if (state && FlsSetValue(m_index, state)) return *state;
            if (state) HeapFree(GetProcessHeap(), 0, state);
        }
        // No slot or no memory: the compiler's thread-local storage, so that switching the
        // locale never fails.
        thread_local ThreadLocaleState fallback;
        return fallback;
    }

private:
    static void WINAPI Free(void* state) {
        if (state) HeapFree(GetProcessHeap(), 0, state);
    }
    DWORD m_index;
};

ThreadLocaleState& ThreadState() noexcept {
    static const StateSlot slot;
    return slot.Get();
}

unsigned NewCookie() noexcept {
    unsigned cookie;
    do {
        cookie = g_lastCookie.fetch_add(1, std::memory_order_relaxed) + 1;
    } while (cookie == 0);  // 0 is never handed out
    return cookie;
}

// Languages of one string block, in the order they are tried for wanted.
struct LanguageList {
    static constexpr int kCapacity = 32;
    LANGID items[kCapacity];
    int count = 0;
};

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
    auto* list = reinterpret_cast<LanguageList*>(param);
    if (list->count == LanguageList::kCapacity) return FALSE;
    list->items[list->count++] = language;
    return TRUE;
}

// Order: the exact language, the same primary language, neutral, English (US), the rest.
int LanguageRank(LANGID language, LANGID wanted) {
    if (wanted != 0 && language == wanted) return 0;
    if (wanted != 0 && PRIMARYLANGID(language) == PRIMARYLANGID(wanted)) return 1;
    if (PRIMARYLANGID(language) == LANG_NEUTRAL) return 2;
    if (language == MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)) return 3;
    return 4;
}

// Entry `index` of string block `block` in language; false when the block or the entry is
// missing.
bool ReadStringEntry(HMODULE module, UINT block, LANGID language, UINT index, SWCharString& text) {
    HRSRC info = ::FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(block), language);
    if (!info) return false;
    HGLOBAL data = ::LoadResource(module, info);
    const DWORD size = ::SizeofResource(module, info);
    const auto* words = data ? static_cast<const WCHAR*>(::LockResource(data)) : nullptr;
    if (!words) return false;
    // A block is 16 entries, each a length followed by that many characters; never read past
    // the resource even when it is malformed.
    const size_t available = size / sizeof(WCHAR);
    size_t position = 0;
    for (UINT i = 0; i < index; ++i) {
        if (position >= available) return false;
        position += 1 + words[position];
    }
    if (position >= available) return false;
    const size_t length = words[position];
    if (length == 0 || position + 1 + length > available) return false;
    text = SWCharString(words + position + 1, length);
    return true;
}

}  // namespace

bool SResManager::Initialize() {
    g_initializeCount.fetch_add(1);
    CurrentModule();  // resolved once, up front
    return true;
}

void SResManager::Terminate() {
    int count = g_initializeCount.load();
    while (count > 0 && !g_initializeCount.compare_exchange_weak(count, count - 1)) {
    }
}

bool SResManager::ThreadInitialize(LCID locale, unsigned& cookie) {
    ThreadLocaleState& state = ThreadState();
    if (state.depth == kMaxThreadDepth) {
        // Nothing pushed: cookie 0 makes the matching ThreadUninitialize a no-op.
        cookie = 0;
        if (ShouldAssert()) {
            SAssert(__FILE__, __LINE__, "depth < kMaxThreadDepth",
                    "SResManager::ThreadInitialize nested too deeply; the locale is unchanged");
        }
        return false;
    }
    const unsigned newCookie = NewCookie();
    state.frames[state.depth++] = LocaleFrame{newCookie, state.current};
    state.current = locale;
    cookie = newCookie;
    return true;
}

namespace {
std::atomic<void (*)(unsigned)> g_uninitializeObserver{nullptr};
}  // namespace

void SResManager::SetThreadUninitializeObserver(void (*observer)(unsigned cookie)) noexcept {
    g_uninitializeObserver.store(observer);
}

void SResManager::ThreadUninitialize(unsigned cookie) {
    if (auto observer = g_uninitializeObserver.load(std::memory_order_relaxed)) observer(cookie);
    if (cookie == 0) return;  // from a refused ThreadInitialize
    ThreadLocaleState& state = ThreadState();
    for (int i = state.depth - 1; i >= 0; --i) {
        if (state.frames[i].cookie != cookie) continue;
        if (i != state.depth - 1 && ShouldAssert()) {
            // The inner levels were not undone: they end here too.
            SAssert(__FILE__, __LINE__, "cookie == innermost cookie",
                    "SResManager::ThreadUninitialize out of order");
        }
        state.current = state.frames[i].previous;
        state.depth = i;
        return;
    }
    if (ShouldAssert()) {
        SAssert(__FILE__, __LINE__, "cookie is known",
                "SResManager::ThreadUninitialize with a cookie this thread did not receive");
    }
}

LCID SResManager::ThreadLocale() noexcept {
    return ThreadState().current;
}

int SResManager::ThreadDepth() noexcept {
    return ThreadState().depth;
}

SWCharString SResManager::LoadStringW(UINT id, LCID locale, HMODULE module) {
    if (id > 0xFFFF) return SWCharString();
    if (!module) module = CurrentModule();
    if (!module) return SWCharString();
    if (locale == 0) locale = ThreadLocale();
    const LANGID wanted = LANGIDFROMLCID(locale);

    const UINT block = id / 16 + 1;
    LanguageList languages;
    ::EnumResourceLanguagesW(module, RT_STRING, MAKEINTRESOURCEW(block), CollectLanguage,
                             reinterpret_cast<LONG_PTR>(&languages));
    SWCharString text;
    for (int rank = 0; rank <= 4; ++rank) {
        for (int i = 0; i < languages.count; ++i) {
            if (LanguageRank(languages.items[i], wanted) != rank) continue;
            if (ReadStringEntry(module, block, languages.items[i], id % 16, text)) return text;
        }
    }
    return SWCharString();
}

bool SResManager::LoadResource(UINT id, const wchar_t* type, std::vector<BYTE>& buffer,
                               HMODULE module) {
    if (!type || id > 0xFFFF) return false;
    if (!module) module = CurrentModule();
    if (!module) return false;
    HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!info) return false;
    HGLOBAL data = ::LoadResource(module, info);
    const DWORD size = ::SizeofResource(module, info);
    const void* bytes = data ? ::LockResource(data) : nullptr;
    if (!bytes) return false;
    try {
        const auto* first = static_cast<const BYTE*>(bytes);
        buffer.assign(first, first + size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

HMODULE SResManager::CurrentModule() noexcept {
    static std::atomic<HMODULE> cached{nullptr};
    HMODULE module = cached.load(std::memory_order_acquire);
    if (module) return module;
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&SResManager::CurrentModule), &module)) {
        return nullptr;
    }
    cached.store(module, std::memory_order_release);
    return module;
}

}  // namespace Zentil500
