// Registration of threads that the library did not start.
//
// Every traced call registers its thread and ends the registration again, so both are kept free
// of shared writes: each thread counts its own nesting depth in a block of its own, reached
// through a fiber-local slot of the library (the compiler's emulated thread-local storage would
// cost a call and a look-up per access), and the number of registered threads is counted only
// when asked, over the blocks of all threads.
#include "thrin1001206.h"

#include <windows.h>

#include <atomic>
#include <new>

namespace Thrin1001206 {

namespace {

struct ThreadBlock {
    std::atomic<int> depth{0};  // written by its thread only; read by any
    ThreadBlock* previous = nullptr;
    ThreadBlock* next = nullptr;
};

// The blocks of all threads that ever registered and have not ended.
class BlockList {
public:
    void Add(ThreadBlock* block) noexcept {
        AcquireSRWLockExclusive(&m_lock);
        block->next = m_first;
        if (m_first) m_first->previous = block;
        m_first = block;
        ReleaseSRWLockExclusive(&m_lock);
    }
    void Remove(ThreadBlock* block) noexcept {
        AcquireSRWLockExclusive(&m_lock);
        if (block->previous) block->previous->next = block->next;
        if (block->next) block->next->previous = block->previous;
        if (m_first == block) m_first = block->next;
        ReleaseSRWLockExclusive(&m_lock);
    }
    int RegisteredCount() noexcept {
        int count = 0;
        AcquireSRWLockShared(&m_lock);
        for (ThreadBlock* block = m_first; block; block = block->next)
            if (block->depth.load(std::memory_order_relaxed) > 0) ++count;
        ReleaseSRWLockShared(&m_lock);
        return count;
    }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
    ThreadBlock* m_first = nullptr;
};

BlockList& Blocks() noexcept {
    static BlockList blocks;
    return blocks;
}

// Without a slot or memory the block lives in the compiler's thread-local storage.
struct FallbackBlock {
    FallbackBlock() noexcept { Blocks().Add(&block); }
    ~FallbackBlock() { Blocks().Remove(&block); }
    ThreadBlock block;
};

// The slot and its blocks: a thread's block goes when the thread ends, every block when the
// module holding the library unloads (freeing the slot ends the blocks of all threads).
class BlockSlot {
public:
    BlockSlot() noexcept : m_index(FlsAlloc(&BlockSlot::End)) {}
    ~BlockSlot() {
        if (m_index != FLS_OUT_OF_INDEXES) FlsFree(m_index);
    }
    BlockSlot(const BlockSlot&) = delete;
    BlockSlot& operator=(const BlockSlot&) = delete;

    ThreadBlock& Get() const noexcept {
        if (m_index != FLS_OUT_OF_INDEXES) {
            if (auto* block = static_cast<ThreadBlock*>(FlsGetValue(m_index))) return *block;
            if (auto* block = new (std::nothrow) ThreadBlock) {
                if (FlsSetValue(m_index, block)) {
                    Blocks().Add(block);
                    return *block;
                }
                delete block;
            }
        }
        thread_local FallbackBlock fallback;
        return fallback.block;
    }

private:
    static void WINAPI End(void* data) {
        if (auto* block = static_cast<ThreadBlock*>(data)) {
            Blocks().Remove(block);
            delete block;
        }
    }
    DWORD m_index;
};

ThreadBlock& CurrentBlock() noexcept {
    static const BlockSlot slot;
    return slot.Get();
}

}  // namespace

JTCAdoptCurrentThread::JTCAdoptCurrentThread() noexcept : m_depth(&CurrentBlock().depth) {
    m_depth->store(m_depth->load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

JTCAdoptCurrentThread::~JTCAdoptCurrentThread() {
    m_depth->store(m_depth->load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}

int JTCAdoptCurrentThread::Depth() noexcept {
    return CurrentBlock().depth.load(std::memory_order_relaxed);
}

int JTCAdoptCurrentThread::RegisteredThreadCount() noexcept {
    return Blocks().RegisteredCount();
}

}  // namespace Thrin1001206
