// Threading library of the platform ("thrin-1-0-12-6"): registration of threads that the library
// did not start.
#pragma once

#include <atomic>

namespace Thrin1001206 {

// Registers the calling thread with the library for the life of the object. Registrations nest
// on one thread; the thread stays registered until its outermost registration ends.
class JTCAdoptCurrentThread {
public:
    JTCAdoptCurrentThread() noexcept;
    ~JTCAdoptCurrentThread();
    JTCAdoptCurrentThread(const JTCAdoptCurrentThread&) = delete;
    JTCAdoptCurrentThread& operator=(const JTCAdoptCurrentThread&) = delete;

    // Nesting depth of registrations on the calling thread (0: not registered).
    static int Depth() noexcept;
    // Number of threads registered right now.
    static int RegisteredThreadCount() noexcept;

private:
    // The calling thread's depth counter, found once: the registration ends on the thread that
    // made it.
    std::atomic<int>* m_depth;
};

}  // namespace Thrin1001206
