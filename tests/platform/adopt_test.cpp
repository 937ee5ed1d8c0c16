// Thread registration: nesting per thread, count of registered threads.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "thrin1001206.h"

using Thrin1001206::JTCAdoptCurrentThread;

TEST(AdoptTest, NestsPerThreadAndCountsThreads) {
    const int baseline = JTCAdoptCurrentThread::RegisteredThreadCount();
    {
        JTCAdoptCurrentThread outer;
        JTCAdoptCurrentThread inner;
        EXPECT_EQ(JTCAdoptCurrentThread::Depth(), 2);
        EXPECT_EQ(JTCAdoptCurrentThread::RegisteredThreadCount(), baseline + 1);

        std::promise<void> registered, release;
        std::thread other([&] {
            JTCAdoptCurrentThread adopt;
            registered.set_value();
            release.get_future().wait();
        });
        registered.get_future().wait();
        EXPECT_EQ(JTCAdoptCurrentThread::RegisteredThreadCount(), baseline + 2);
        release.set_value();
        other.join();
        EXPECT_EQ(JTCAdoptCurrentThread::RegisteredThreadCount(), baseline + 1);
    }
    EXPECT_EQ(JTCAdoptCurrentThread::Depth(), 0);
    EXPECT_EQ(JTCAdoptCurrentThread::RegisteredThreadCount(), baseline);
}
