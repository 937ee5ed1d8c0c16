// Guard-page operator new and delete for the test builds (see guardheap.h).
#include "guardheap.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <new>

namespace {

constexpr std::size_t kPage = 4096;
// Address space reserved at once; blocks are carved from it in order and never reused.
constexpr std::size_t kRegion = std::size_t{256} << 20;
constexpr std::uint64_t kLiveMagic = 0x6b6f6c426472614bULL;
constexpr std::uint64_t kHeapMagic = 0x6b6f6c4270616548ULL;
// STATUS_HEAP_CORRUPTION: raised for a pointer this allocator did not hand out.
constexpr DWORD kHeapCorruption = 0xC0000374;

// Sits right before the block. Its page is decommitted with the block, so freeing a block twice
// faults on reading it.
struct Header {
    std::uint64_t magic;
    void* base;             // start of the committed pages (or of the process-heap block)
    std::size_t committed;  // bytes committed at base
    std::size_t size;       // bytes asked for
};

SRWLOCK g_regionLock = SRWLOCK_INIT;
char* g_cursor = nullptr;
char* g_limit = nullptr;
std::atomic<std::int64_t> g_live{0};

struct Countdown {
    std::uint64_t count = 0;
    std::uint64_t failAt = 0;
    bool armed = false;
    bool failed = false;
    int paused = 0;
};

// One Win32 slot per process: thread_local would itself allocate through emulated TLS.
DWORD CountdownSlot() noexcept {
    static const DWORD slot = TlsAlloc();
    return slot;
}

Countdown* ThreadCountdown(bool create) noexcept {
    const DWORD slot = CountdownSlot();
    if (slot == TLS_OUT_OF_INDEXES) return nullptr;
    auto* countdown = static_cast<Countdown*>(TlsGetValue(slot));
    if (!countdown && create) {
        // Kept for the life of the thread's slot; a few bytes per arming thread.
        void* memory = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Countdown));
        if (!memory) return nullptr;
        countdown = new (memory) Countdown();
        TlsSetValue(slot, countdown);
    }
    return countdown;
}

// Whether the armed countdown of the calling thread makes this allocation fail.
bool FailThisOne() noexcept {
    const DWORD error = GetLastError();  // TlsGetValue must not disturb the caller's error
    Countdown* countdown = ThreadCountdown(false);
    bool fail = false;
    if (countdown && countdown->armed && countdown->paused == 0) {
        ++countdown->count;
        if (countdown->failAt != 0 && countdown->count == countdown->failAt) {
            countdown->failed = true;
            fail = true;
        }
    }
    SetLastError(error);
    return fail;
}

// Address space for `bytes` (a multiple of the page), followed by at least one page that stays
// reserved and uncommitted.
char* Carve(std::size_t bytes) noexcept {
    const std::size_t need = bytes + kPage;
    AcquireSRWLockExclusive(&g_regionLock);
    if (g_cursor == nullptr || static_cast<std::size_t>(g_limit - g_cursor) < need) {
        const std::size_t size = need > kRegion ? need : kRegion;
        void* region = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
        if (region == nullptr) {
            ReleaseSRWLockExclusive(&g_regionLock);
            return nullptr;
        }
        g_cursor = static_cast<char*>(region);
        g_limit = g_cursor + size;
    }
    char* base = g_cursor;
    g_cursor += need;
    ReleaseSRWLockExclusive(&g_regionLock);
    return base;
}

// The largest power of two that divides size, at most 16: every object of that size is
// aligned for it, and the block can end exactly at the page boundary.
std::size_t NaturalAlignment(std::size_t size) noexcept {
    const std::size_t lowest = size & (~size + 1);
    return lowest < 16 ? lowest : 16;
}

void* Allocate(std::size_t size, std::size_t alignment) noexcept {
    if (FailThisOne()) return nullptr;
    if (size == 0) size = 1;
    if (alignment == 0) alignment = NaturalAlignment(size);
    const DWORD error = GetLastError();

    const std::size_t pages = (size + alignment - 1 + sizeof(Header) + kPage - 1) / kPage;
    const std::size_t committed = pages * kPage;
    char* base = Carve(committed);
    char* block = nullptr;
    std::uint64_t magic = kLiveMagic;
    if (base != nullptr && VirtualAlloc(base, committed, MEM_COMMIT, PAGE_READWRITE) != nullptr) {
        const auto end = reinterpret_cast<std::uintptr_t>(base + committed);
        block = reinterpret_cast<char*>((end - size) & ~(std::uintptr_t{alignment} - 1));
    } else {
        // Out of mappings (the kernel limits their number): the process heap, without a guard.
        const std::size_t bytes = size + alignment + sizeof(Header);
        base = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, bytes));
        if (base == nullptr) {
            SetLastError(error);
            return nullptr;
        }
        const auto start = reinterpret_cast<std::uintptr_t>(base + sizeof(Header));
        block = reinterpret_cast<char*>((start + alignment - 1) & ~(std::uintptr_t{alignment} - 1));
        magic = kHeapMagic;
    }
    // The header may be unaligned (blocks end exactly at the page): copied byte-wise.
    const Header header{magic, base, committed, size};
    std::memcpy(block - sizeof(Header), &header, sizeof(Header));
    g_live.fetch_add(1, std::memory_order_relaxed);
    SetLastError(error);
    return block;
}

void Free(void* block) noexcept {
    if (block == nullptr) return;
    const DWORD error = GetLastError();
    char* at = static_cast<char*>(block) - sizeof(Header);
    Header copy;
    std::memcpy(&copy, at, sizeof(Header));  // faults when the block was freed already
    if (copy.magic == kLiveMagic) {
        VirtualFree(copy.base, copy.committed, MEM_DECOMMIT);
    } else if (copy.magic == kHeapMagic) {
        std::memset(at, 0, sizeof copy.magic);
        HeapFree(GetProcessHeap(), 0, copy.base);
    } else {
        RaiseException(kHeapCorruption, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
    g_live.fetch_sub(1, std::memory_order_relaxed);
    SetLastError(error);
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment) {
    void* block = Allocate(size, alignment);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

namespace GuardHeap {

void Arm(std::uint64_t failAt) noexcept {
    Countdown* countdown = ThreadCountdown(true);
    if (!countdown) return;
    *countdown = Countdown{0, failAt, true, false, countdown->paused};
}

std::uint64_t Disarm() noexcept {
    Countdown* countdown = ThreadCountdown(false);
    if (!countdown) return 0;
    countdown->armed = false;
    return countdown->count;
}

bool FailureHappened() noexcept {
    Countdown* countdown = ThreadCountdown(false);
    return countdown && countdown->failed;
}

void Pause() noexcept {
    if (Countdown* countdown = ThreadCountdown(false)) ++countdown->paused;
}

void Resume() noexcept {
    if (Countdown* countdown = ThreadCountdown(false)) --countdown->paused;
}

std::int64_t LiveBlocks() noexcept {
    return g_live.load();
}

}  // namespace GuardHeap

// ---- the replaced forms: plain, aligned, nothrow and both, for single objects and arrays

#define GUARDHEAP_NEW_FORMS(name)                                                              \
    void* name(std::size_t size) {                                                             \
        return AllocateOrThrow(size, 0);                                                       \
    }                                                                                          \
    void* name(std::size_t size, std::align_val_t alignment) {                                 \
        return AllocateOrThrow(size, static_cast<std::size_t>(alignment));                     \
    }                                                                                          \
    void* name(std::size_t size, const std::nothrow_t&) noexcept {                             \
        return Allocate(size, 0);                                                              \
    }                                                                                          \
    void* name(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept { \
        return Allocate(size, static_cast<std::size_t>(alignment));                            \
    }
GUARDHEAP_NEW_FORMS(operator new)
GUARDHEAP_NEW_FORMS(operator new[])

// Every form of delete, sized and nothrow ones included, frees through the block's header.
#define GUARDHEAP_DELETE_FORMS(name)                                           \
    void name(void* block) noexcept {                                          \
        Free(block);                                                           \
    }                                                                          \
    void name(void* block, std::size_t) noexcept {                             \
        Free(block);                                                           \
    }                                                                          \
    void name(void* block, std::align_val_t) noexcept {                        \
        Free(block);                                                           \
    }                                                                          \
    void name(void* block, std::size_t, std::align_val_t) noexcept {           \
        Free(block);                                                           \
    }                                                                          \
    void name(void* block, const std::nothrow_t&) noexcept {                   \
        Free(block);                                                           \
    }                                                                          \
    void name(void* block, std::align_val_t, const std::nothrow_t&) noexcept { \
        Free(block);                                                           \
    }
GUARDHEAP_DELETE_FORMS(operator delete)
GUARDHEAP_DELETE_FORMS(operator delete[])
