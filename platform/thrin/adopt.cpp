// Registration of threads that the library did not start.
#include "thrin1001206.h"

#include <atomic>

namespace Thrin1001206 {

namespace {

std::atomic<int> g_registeredThreads{0};

int& ThreadDepth() noexcept {
    thread_local int depth = 0;
    return depth;
}

}  // namespace

JTCAdoptCurrentThread::JTCAdoptCurrentThread() noexcept {
    if (ThreadDepth()++ == 0) g_registeredThreads.fetch_add(1, std::memory_order_relaxed);
}

JTCAdoptCurrentThread::~JTCAdoptCurrentThread() {
    if (--ThreadDepth() == 0) g_registeredThreads.fetch_sub(1, std::memory_order_relaxed);
}

int JTCAdoptCurrentThread::Depth() noexcept {
    return ThreadDepth();
}

int JTCAdoptCurrentThread::RegisteredThreadCount() noexcept {
    return g_registeredThreads.load(std::memory_order_relaxed);
}

}  // namespace Thrin1001206
