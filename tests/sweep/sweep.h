// Shared parts of the sweep's units: the counts it prints, the record of the call in progress
// (named by the crash and hang reports), and the stage every call runs on: a repository, a key
// host object with the key's properties, and a key object over it.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "CryptoGraphicKeyPlugin.h"
#include "refhost.h"
#include "sweep/members.h"

namespace Sweep {

struct Counts {
    std::atomic<long> members{0};
    std::atomic<long> calls{0};
    std::atomic<long> crashes{0};
    std::atomic<long> hangs{0};
    std::atomic<long> leaks{0};
    std::atomic<long> unexpectedSuccesses{0};
    std::atomic<long> touchedOutputs{0};  // a failed call changed an output
    std::atomic<long> halfWrites{0};      // a failed call changed the host's bag
    std::atomic<long> wrongResults{0};    // other findings (escaped failures, lost effects)
};
extern Counts g_counts;

// Prints the counts as "sweep.<name> = <n>" lines; without allocating (also from the crash
// handler).
void PrintCounts() noexcept;

// The call in progress, for the crash and hang reports. unit and detail must be literals.
void Now(const char* unit, const Member* member, const char* detail) noexcept;

// Blocks that reporting findings kept alive so far (for leak counts of the guard-page allocator).
std::int64_t ReportBlocks() noexcept;
// A finding of member, counted in `count` and reported. What a finding is: "success" (an
// unexpected success), "half write" (a failed call changed the host's bag), "output" (a failed
// call changed an output), "effects" (a call that succeeded despite a failure below it lacks
// effects of an ordinary call), "leak".
void Finding(std::atomic<long>& count, const char* kind, const char* unit, const Member& member,
             const char* detail, const std::string& what);

// Gives a host object the key's properties (state DEACTIVATED, value, derived key, MIME type,
// compromised flag, creation time), the corporate categories and a file.
void PrepareKeyHost(ISInfoObject* host, const std::vector<long>& categories);

// The key object over a fresh host object of a fresh repository.
class Stage {
  public:
    // initialize: hands the host object to the key object. unit and member name the stage's
    // findings (unit must be a literal).
    Stage(bool initialize, const char* unit, const Member& member);
    // Releases everything; a host object still alive or a lock left on the module is a leak.
    ~Stage();
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

    // The object answering the member's interface (the key object, or its corporate-category
    // collection for the collection's members); null when there is none.
    Microsoft::WRL::ComPtr<IUnknown> Target(const Member& member);
    // What a member's object parameter gets as an ordinary value.
    IUnknown* ObjectFor(const Member& member);
    // The host object's bag as text, without the properties that hold nothing (no value, and a
    // nested bag without values: a list or journal made empty on the way is not a value
    // written), nor the host's own bookkeeping (identities, update time). An emptied list still
    // differs from the list it was.
    std::wstring Snapshot();
    // Where a collection the key object hands out holds in memory other IDs than the host list
    // it stands for (empty when every one agrees): a failed call must leave memory as it leaves
    // the host object, and the two in step. Makes the collections not made yet.
    std::string MemoryAgainstHost();
    // Whether a member called after this stage was made may find the host object.
    bool Initialized() const { return m_initialized; }
    const char* const unit;
    const Member& member;

    std::shared_ptr<RefHost::Repository> repository;
    Microsoft::WRL::ComPtr<ISInfoObject> host;
    Microsoft::WRL::ComPtr<ISCryptoGraphicKey> key;

  private:
    Microsoft::WRL::ComPtr<ISObjectRelativeIDs> m_categories;
    Microsoft::WRL::ComPtr<ISProperties> m_bag;
    bool m_initialized = false;
    long m_liveBefore = 0;
};

// All members swept, in the order of the interfaces.
const std::vector<Member>& AllMembers();
// Each implementation once: a member reached through several interfaces of the key object runs
// the same code. The collection's members and the plug-in face's are all distinct.
std::vector<const Member*> DistinctMembers();

// Tracing of every level to the null device for the life of the object (off again after). The
// entry and exit lines written meanwhile are recorded by source place for CheckTracePoints.
class TracingOn {
  public:
    TracingOn();
    ~TracingOn();
};

// Every place in the source that wrote an entry or exit line wrote one trace point: the entry or
// an exit of one member (a failure per place shared otherwise).
void CheckTracePoints();

}  // namespace Sweep
