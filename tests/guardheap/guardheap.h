// The guard-page allocator of the test builds: replaces every form of operator new and delete
// (plain, sized, aligned, nothrow, arrays) in the executables that link it.
//
// Each block ends at a page boundary and is followed by an inaccessible page, so a write or read
// one byte past the end stops the program with an access violation. Freed blocks are decommitted
// and their addresses never handed out again, so a use after free stops it too. Address space is
// reserved in large regions and carved block by block (a reservation per block would cost the
// 64 KiB allocation granularity each time).
//
// For allocation-failure runs, a thread can arm a countdown: the n-th allocation of that thread
// from then on fails (std::bad_alloc, or null for the nothrow forms). Other threads are not
// affected.
#pragma once

#include <cstddef>
#include <cstdint>

namespace GuardHeap {

// Counts the calling thread's allocations from now on; with failAt > 0 the failAt-th of them
// fails (1 is the next one). Replaces an earlier arming of the thread.
void Arm(std::uint64_t failAt) noexcept;
// Ends counting on the calling thread; returns the number of allocations since Arm.
std::uint64_t Disarm() noexcept;
// Whether the armed failure of the calling thread has happened since Arm.
bool FailureHappened() noexcept;
// Between Pause and Resume (nested) the calling thread's allocations are neither counted nor
// failed: for work that is not the code under test.
void Pause() noexcept;
void Resume() noexcept;

// Blocks handed out and not yet freed, over all threads.
std::int64_t LiveBlocks() noexcept;

}  // namespace GuardHeap
