// The guard-page allocator: planted memory errors stop the program that makes them, blocks end at
// the page boundary, every form of new and delete goes through it, and the per-thread failure
// countdown fails exactly the allocation it was armed for.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "guardheap.h"

namespace {

constexpr DWORD kAccessViolation = 0xC0000005;

// Runs the probe with one request and returns its exit status.
DWORD RunProbe(const wchar_t* request) {
    std::wstring line = L"\"" GUARDHEAP_PROBE L"\" ";
    line += request;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "cannot start the probe: " << GetLastError();
        return 0xFFFFFFFF;
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 60000));
    DWORD status = 0xFFFFFFFF;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return status;
}

TEST(GuardHeapTest, PlantedMemoryErrorsStopTheProgram) {
    EXPECT_EQ(0u, RunProbe(L"in-bounds"));
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(kAccessViolation, RunProbe(L"overflow")) << "run " << run;
        EXPECT_EQ(kAccessViolation, RunProbe(L"use-after-free")) << "run " << run;
    }
}

// Whether the byte right after [block, block + size) is the start of an inaccessible page.
bool EndsAtGuardPage(const void* block, size_t size) {
    const auto* end = static_cast<const char*>(block) + size;
    if (reinterpret_cast<uintptr_t>(end) % 4096 != 0) return false;
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(end, &info, sizeof info) == 0) return false;
    return info.State != MEM_COMMIT;
}

TEST(GuardHeapTest, EveryFormEndsAtAGuardPageAndIsDecommittedWhenFreed) {
    const int64_t live = GuardHeap::LiveBlocks();
    auto* one = new char;
    EXPECT_TRUE(EndsAtGuardPage(one, 1));
    auto* array = new char[37];
    EXPECT_TRUE(EndsAtGuardPage(array, 37));
    auto* numbers = new (std::nothrow) long long[3];
    EXPECT_TRUE(EndsAtGuardPage(numbers, 24));
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(numbers) % 8);
    struct alignas(64) Wide {
        char bytes[128];
    };
    auto* wide = new Wide;
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(wide) % 64);
    EXPECT_TRUE(EndsAtGuardPage(wide, sizeof(Wide)));
    auto* wides = new (std::nothrow) Wide[2];
    EXPECT_TRUE(EndsAtGuardPage(wides, 2 * sizeof(Wide)));
    EXPECT_EQ(live + 5, GuardHeap::LiveBlocks());

    MEMORY_BASIC_INFORMATION info{};
    // Only the address is used after the block is freed.
    const auto freed = reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(array) ^ 0);
    ASSERT_NE(0u, VirtualQuery(freed, &info, sizeof info));
    EXPECT_EQ(static_cast<DWORD>(MEM_COMMIT), info.State);
    delete[] array;
    ASSERT_NE(0u, VirtualQuery(freed, &info, sizeof info));
    EXPECT_NE(static_cast<DWORD>(MEM_COMMIT), info.State);

    delete one;
    delete[] numbers;
    delete wide;
    delete[] wides;
    EXPECT_EQ(live, GuardHeap::LiveBlocks());
    // A freed block's address is not handed out again.
    auto* again = new char[37];
    EXPECT_NE(freed, again);
    delete[] again;
}

// Called by name: the compiler may leave out a new-expression whose block is not used.
void* Take(size_t size) {
    return ::operator new(size);
}

TEST(GuardHeapTest, ArmedCountdownFailsTheNthAllocationOfThisThreadOnly) {
    GuardHeap::Arm(2);
    void* first = Take(4);
    EXPECT_FALSE(GuardHeap::FailureHappened());
    EXPECT_THROW(Take(4), std::bad_alloc);
    EXPECT_TRUE(GuardHeap::FailureHappened());
    void* third = nullptr;
    EXPECT_NO_THROW(third = Take(4));
    EXPECT_EQ(3u, GuardHeap::Disarm());
    ::operator delete(first);
    ::operator delete(third);

    // Another thread allocates while this one is armed (the thread is made before arming:
    // making it allocates).
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool otherFailed = true;
    std::thread other([&] {
        WaitForSingleObject(go, INFINITE);
        ::operator delete(Take(400));
        otherFailed = GuardHeap::FailureHappened();
    });
    GuardHeap::Arm(1);
    SetEvent(go);
    other.join();
    EXPECT_FALSE(otherFailed);
    EXPECT_EQ(nullptr, ::operator new[](16, std::nothrow));
    CloseHandle(go);
    GuardHeap::Disarm();

    // Counting only.
    GuardHeap::Arm(0);
    ::operator delete(Take(5000));
    EXPECT_EQ(1u, GuardHeap::Disarm());
    EXPECT_FALSE(GuardHeap::FailureHappened());
}

}  // namespace
