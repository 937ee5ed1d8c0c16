// Cost of the relative-ID collection on the reference host (call log and tracing off), for lists
// of 1,000, 10,000 and 100,000 IDs: load, Add, get_Item (by position and by key), Next, Delete
// and Clear, and for Delete and Clear also our own share apart from the host list's removal.
//
// Every figure comes from short rounds run interleaved over the three sizes (1,000, 10,000,
// 100,000, 1,000, ...), so that load on the machine that comes and goes hits every size alike:
// relids.<operation>.ns_per_op.<size> is the median of the rounds at that size, and
// relids.<operation>.growth the median of the per-round ratios 100,000 / 1,000, with
// relids.<operation>.growth_spread their interquartile range.
//
// Per-operation times: load per element (a round is one load of the whole list), Clear per
// removal, the others per call, each on a list of about n IDs:
// - add: new IDs at the end (deleted again untimed); get_item by position and get_item_by_key
//   ("#id") at random; next: one ID per call.
// - delete: Delete by key at random places, each deleted ID re-added untimed (every Delete meets
//   n IDs); host_remove: the host list's own removal at random places, on a second host list of n
//   IDs (re-appended untimed).
// - delete_own: our share of a Delete, everything but the host list's removal: a round is five
//   Deletes by key of one of the last 64 elements, minus the host list's removals at the same
//   positions on the second list. Near the end the host's removal is short, so the difference is
//   not lost in its noise; our own share does not depend on the position.
// - clear: the first 10 removals of a Clear (the host list refuses the next removal, which ends
//   the Clear there; the removed IDs are re-added untimed); host_remove_front: 10 removals at the
//   front of the second list, in the same round; clear_own: the difference, per removal.
// - clear_whole (up to 10,000 IDs, once, not a round figure): a whole Clear per removal.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "KorvelInfoStore.h"
#include "bench_runtime.h"
#include "interleave.h"
#include "comlib.h"
#include "objrelativesimpl.h"
#include "refhost.h"
#include "scoped.h"
#include "zentil500.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kList[] = L"SI_CORPORATE_CATEGORIES";
constexpr long kSizes[] = {1000, 10000, 100000};
constexpr long kTail = 64;           // delete_own picks among the last kTail elements
constexpr long kClearRemovals = 10;  // removals per Clear round

long g_failures = 0;

void Check(HRESULT hr, HRESULT expected = S_OK) {
    if (hr != expected) ++g_failures;
}

class Stopwatch {
public:
    Stopwatch() : m_start(std::chrono::steady_clock::now()) {}
    double Nanoseconds() const {
        return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - m_start)
            .count();
    }

private:
    std::chrono::steady_clock::time_point m_start;
};

using Bench::Quantile;

ScopedVariant KeyOf(long id) {
    ScopedVariant key;
    Check(key.SetBstr((L"#" + std::to_wstring(id)).c_str()));
    return key;
}

// A stored (not new) host object whose list property holds IDs 1..n.
struct HostList {
    std::shared_ptr<RefHost::Repository> repository;
    ComPtr<ISInfoObject> host;
    ComPtr<ISPropertyBagCollection> list;

    explicit HostList(long n) {
        repository = RefHost::CreateRepository();
        Check(repository->NewObject(L"CryptoGraphicKey", &host));
        ComPtr<ISProperties> bag;
        Check(host->get_Properties(&bag));
        ScopedBstr name(kList);
        ScopedVariant empty;
        empty.SetBstr(L"");
        ComPtr<ISProperty> property;
        Check(bag->Add(name.Get(), empty.Get(), kMainListFlags, &property));
        ComPtr<ISProperties> nested;
        Check(property->get_Properties(&nested));
        Check(nested.As(&list));
        for (long id = 1; id <= n; ++id) {
            ScopedVariant value;
            value.SetI4(id);
            Check(list->Append(value.Get()));
        }
    }

    ComPtr<ISObjectRelativeIDs> Load() {
        ComPtr<ISObjectRelativeIDs> ids;
        Check(CreateRelativeIDs(kList, host.Get(), 1033, L"", L"", &ids));
        return ids;
    }

    // The value at position p.
    ScopedVariant ValueAt(long p) {
        ScopedVariant position, value;
        position.SetI4(p);
        Check(list->get_Item(position.Get(), value.Receive()));
        return value;
    }
};

// One list size: the collection over a host list of n IDs, and a second host list of n IDs on
// which the host's own removals are timed.
struct Subject {
    long n;
    HostList fixture;
    HostList twin;
    ComPtr<ISObjectRelativeIDs> ids;
    std::mt19937 random;

    explicit Subject(long size) : n(size), fixture(size), twin(size), random(42) {
        ids = fixture.Load();
    }
    long RandomPosition() { return 1 + static_cast<long>(random() % static_cast<unsigned>(n)); }
    long ItemAt(long position) {
        ScopedVariant index;
        index.SetI4(position);
        long id = 0;
        Check(ids->get_Item(index.Get(), &id));
        return id;
    }
};

// One round of an operation at one size: nanoseconds per operation.
using Round = std::function<double(Subject&)>;

double LoadRound(Subject& s) {
    const Stopwatch watch;
    s.fixture.Load();
    return watch.Nanoseconds() / static_cast<double>(s.n);
}

double GetItemRound(Subject& s) {
    constexpr int kCalls = 100;
    std::vector<long> positions(kCalls);
    for (long& p : positions) p = s.RandomPosition();
    ScopedVariant index;
    const Stopwatch watch;
    for (long p : positions) {
        index.SetI4(p);
        long id = 0;
        Check(s.ids->get_Item(index.Get(), &id));
    }
    return watch.Nanoseconds() / kCalls;
}

double GetItemByKeyRound(Subject& s) {
    constexpr int kCalls = 100;
    std::vector<ScopedVariant> keys;
    for (int i = 0; i < kCalls; ++i) keys.push_back(KeyOf(s.RandomPosition()));
    const Stopwatch watch;
    for (const auto& key : keys) {
        long id = 0;
        Check(s.ids->get_Item(key.Get(), &id));
    }
    return watch.Nanoseconds() / kCalls;
}

// One ID per call, from where the last round stopped (restarting at the end).
double NextRound(Subject& s) {
    constexpr int kCalls = 100;
    const Stopwatch watch;
    for (int i = 0; i < kCalls; ++i) {
        long id = 0;
        if (s.ids->Next(1, &id, nullptr) != S_OK) Check(s.ids->Reset());
    }
    return watch.Nanoseconds() / kCalls;
}

// New IDs at the end; deleted again untimed.
double AddRound(Subject& s) {
    constexpr long kCalls = 20;
    const long first = s.n + 1;
    const Stopwatch watch;
    for (long i = 0; i < kCalls; ++i) Check(s.ids->Add(first + i));
    const double ns = watch.Nanoseconds() / kCalls;
    for (long i = 0; i < kCalls; ++i) Check(s.ids->Delete(KeyOf(first + i).Get()));
    return ns;
}

// Two calls a round: at 100,000 IDs the host's removal alone takes milliseconds.
double DeleteRound(Subject& s) {
    constexpr int calls = 2;
    double total = 0;
    for (int i = 0; i < calls; ++i) {
        const long victim = s.RandomPosition();  // IDs are 1..n, anywhere in the list
        const ScopedVariant key = KeyOf(victim);
        const Stopwatch watch;
        Check(s.ids->Delete(key.Get()));
        total += watch.Nanoseconds();
        Check(s.ids->Add(victim));
    }
    return total / calls;
}

double HostRemoveRound(Subject& s) {
    constexpr int calls = 2;
    double total = 0;
    for (int i = 0; i < calls; ++i) {
        ScopedVariant position;
        position.SetI4(s.RandomPosition());
        ScopedVariant value = s.twin.ValueAt(V_I4(&position.Get()));
        const Stopwatch watch;
        Check(s.twin.list->Remove(position.Get()));
        total += watch.Nanoseconds();
        Check(s.twin.list->Append(value.Get()));
    }
    return total / calls;
}

// Five Deletes near the end minus the host's removals at the same positions on the second list
// (each timed on its own; the clock counts in steps of 100 ns under Wine).
double DeleteOwnRound(Subject& s) {
    constexpr int kCalls = 5;
    double ours = 0;
    double host = 0;
    for (int i = 0; i < kCalls; ++i) {
        const long p = s.n - static_cast<long>(s.random() % kTail);
        const long victim = s.ItemAt(p);
        const ScopedVariant key = KeyOf(victim);
        {
            const Stopwatch watch;
            Check(s.ids->Delete(key.Get()));
            ours += watch.Nanoseconds();
        }
        Check(s.ids->Add(victim));

        ScopedVariant position;
        position.SetI4(p);
        ScopedVariant value = s.twin.ValueAt(p);
        {
            const Stopwatch watch;
            Check(s.twin.list->Remove(position.Get()));
            host += watch.Nanoseconds();
        }
        Check(s.twin.list->Append(value.Get()));
    }
    return (ours - host) / kCalls;
}

// The first kClearRemovals removals of a Clear and the host's removals at the front.
struct ClearTimes {
    double clear;  // per removal
    double host;   // per removal
};

ClearTimes ClearRound(Subject& s) {
    std::vector<long> removed;
    for (long p = 1; p <= kClearRemovals; ++p) removed.push_back(s.ItemAt(p));
    Check(RefHost::InjectFault(s.fixture.list.Get(), "ISPropertyBagCollection::Remove", E_ABORT,
                               RefHost::FaultMode::NthCall,
                               static_cast<unsigned>(kClearRemovals + 1)));
    double clear = 0;
    {
        const Stopwatch watch;
        Check(s.ids->Clear(), E_ABORT);
        clear = watch.Nanoseconds();
    }
    RefHost::ClearFaults();
    long left = 0;
    Check(s.ids->get_Count(&left));
    if (left != s.n - kClearRemovals) ++g_failures;
    for (long id : removed) Check(s.ids->Add(id));

    std::vector<ScopedVariant> values;
    for (long p = 1; p <= kClearRemovals; ++p) values.push_back(s.twin.ValueAt(p));
    ScopedVariant front;
    front.SetI4(1);
    double host = 0;
    {
        const Stopwatch watch;
        for (long i = 0; i < kClearRemovals; ++i) Check(s.twin.list->Remove(front.Get()));
        host = watch.Nanoseconds();
    }
    for (const auto& value : values) Check(s.twin.list->Append(value.Get()));
    return ClearTimes{clear / kClearRemovals, host / kClearRemovals};
}

// A whole Clear of a freshly loaded list, per removal.
double ClearWhole(long n) {
    HostList fresh(n);
    ComPtr<ISObjectRelativeIDs> full = fresh.Load();
    const Stopwatch watch;
    Check(full->Clear());
    return watch.Nanoseconds() / n;
}

// Per-round figures of one operation: times[size][round].
using Times = std::map<long, std::vector<double>>;

void Print(const char* operation, const Times& times) {
    for (long n : kSizes)
        std::printf("relids.%s.ns_per_op.%ld = %.1f\n", operation, n, Quantile(times.at(n), 0.5));
    std::vector<double> ratios;
    const auto& small = times.at(kSizes[0]);
    const auto& large = times.at(kSizes[2]);
    for (size_t r = 0; r < small.size(); ++r) ratios.push_back(large[r] / small[r]);
    std::printf("relids.%s.growth = %.2f\n", operation, Quantile(ratios, 0.5));
    std::printf("relids.%s.growth_spread = %.2f\n", operation,
                Quantile(ratios, 0.75) - Quantile(ratios, 0.25));
    std::fflush(stdout);
}

// `rounds` rounds of round over every size in turn, after one warm-up round each.
Times Interleave(std::vector<std::unique_ptr<Subject>>& subjects, int rounds, const Round& round) {
    for (auto& subject : subjects) round(*subject);
    Times times;
    for (int r = 0; r < rounds; ++r)
        for (auto& subject : subjects) times[subject->n].push_back(round(*subject));
    return times;
}

}  // namespace

int main() {
    const BenchRuntime runtime;
    RefHost::EnableCallLog(false);
    const Stopwatch total;
    {
        std::vector<std::unique_ptr<Subject>> subjects;
        for (long n : kSizes) subjects.push_back(std::make_unique<Subject>(n));

        // Rounds are short (tens of microseconds where the operation allows), so that a round
        // is seldom cut by the scheduler; many of them make the median.
        struct Operation {
            const char* name;
            int rounds;
            Round round;
        };
        const Operation operations[] = {
            {"load", 5, LoadRound},
            {"add", 41, AddRound},
            {"get_item", 41, GetItemRound},
            {"get_item_by_key", 41, GetItemByKeyRound},
            {"next", 41, NextRound},
            {"delete", 15, DeleteRound},
            {"host_remove", 15, HostRemoveRound},
            {"delete_own", 41, DeleteOwnRound},
        };
        for (const Operation& operation : operations)
            Print(operation.name, Interleave(subjects, operation.rounds, operation.round));

        // Clear, its host removals and the difference come from the same rounds.
        Times clear, host, own;
        Interleave(subjects, 41, [&](Subject& s) {
            const ClearTimes t = ClearRound(s);
            clear[s.n].push_back(t.clear);
            host[s.n].push_back(t.host);
            own[s.n].push_back(t.clear - t.host);
            return t.clear;
        });
        for (Times* times : {&clear, &host, &own})
            for (auto& [n, values] : *times) values.erase(values.begin());  // the warm-up
        Print("clear", clear);
        Print("host_remove_front", host);
        Print("clear_own", own);

        for (long n : kSizes)
            if (n <= 10000)
                std::printf("relids.clear_whole.ns_per_op.%ld = %.1f\n", n, ClearWhole(n));
    }
    std::printf("relids.seconds = %.1f\n", total.Nanoseconds() / 1e9);
    std::printf("relids.failures = %ld\n", g_failures);
    std::printf("relids.live_host_objects = %ld\n", RefHost::LiveObjectCount());
    return g_failures == 0 ? 0 : 1;
}
