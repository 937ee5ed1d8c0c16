// Cost of the relative-ID collection on the reference host (call log and tracing off), for lists
// of 1,000, 10,000 and 100,000 IDs: load, Add, get_Item, Next, Delete and Clear.
//
// Per-operation times: load and Clear per element (a load of n IDs counts n operations, a Clear
// that removes k IDs counts k), the others per call, each measured on a list of about n IDs.
// Delete and Clear shift every later position of the lookup map and of the element array, so
// their cost per element grows with the list; they are measured on samples: Delete on a number
// of calls (each deleted ID re-added untimed), Clear on its first 1% of removals (the host list
// is made to refuse the next removal, which ends the Clear there). For comparison the host list's
// own removal and, up to 10,000 IDs, a whole Clear are printed too. The last lines are
// relids.<operation>.growth = per-op time at 100,000 / per-op time at 1,000.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "KorvelInfoStore.h"
#include "bench_runtime.h"
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
const char* const kOperations[] = {"load", "add", "get_item", "next", "delete", "clear"};

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

// A stored (not new) host object whose list property holds IDs 1..n.
struct Fixture {
    std::shared_ptr<RefHost::Repository> repository;
    ComPtr<ISInfoObject> host;
    ComPtr<ISPropertyBagCollection> list;

    explicit Fixture(long n) {
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
};

// Nanoseconds per operation of each measured operation at one size.
std::map<std::string, double> Measure(long n) {
    std::map<std::string, double> perOp;
    std::mt19937 random(42);
    Fixture fixture(n);

    // load: whole loads, repeated so that each size loads about 200,000 IDs in all.
    {
        const int loads = static_cast<int>(std::max(1L, 200000 / n));
        double total = 0;
        for (int i = 0; i < loads; ++i) {
            Stopwatch watch;
            ComPtr<ISObjectRelativeIDs> ids = fixture.Load();
            total += watch.Nanoseconds();
        }
        perOp["load"] = total / (static_cast<double>(loads) * n);
    }

    ComPtr<ISObjectRelativeIDs> ids = fixture.Load();

    // get_Item by position, anywhere in the list.
    {
        constexpr int kCalls = 50000;
        std::vector<long> positions(kCalls);
        for (long& p : positions) p = 1 + static_cast<long>(random() % n);
        ScopedVariant index;
        Stopwatch watch;
        for (long p : positions) {
            index.SetI4(p);
            long id = 0;
            Check(ids->get_Item(index.Get(), &id));
        }
        perOp["get_item"] = watch.Nanoseconds() / kCalls;
    }
    // get_Item by key ("#id"): a map lookup.
    {
        constexpr int kCalls = 20000;
        std::vector<ScopedVariant> keys(kCalls);
        for (auto& key : keys) key.SetBstr((L"#" + std::to_wstring(1 + random() % n)).c_str());
        Stopwatch watch;
        for (const auto& key : keys) {
            long id = 0;
            Check(ids->get_Item(key.Get(), &id));
        }
        perOp["get_item_by_key"] = watch.Nanoseconds() / kCalls;
    }

    // Next, one ID per call, over the list from the start (restarting at the end).
    {
        constexpr int kCalls = 50000;
        Check(ids->Reset());
        Stopwatch watch;
        for (int i = 0; i < kCalls; ++i) {
            long id = 0;
            if (ids->Next(1, &id, nullptr) != S_OK) Check(ids->Reset());
        }
        perOp["next"] = watch.Nanoseconds() / kCalls;
    }

    // Delete by key at random places. Each deleted ID is added again (untimed), so every
    // Delete meets a list of n IDs.
    {
        const int calls = n >= 100000 ? 200 : 1000;
        std::vector<ScopedVariant> keys(static_cast<size_t>(calls));
        std::vector<long> victims(static_cast<size_t>(calls));
        for (int i = 0; i < calls; ++i) {
            victims[i] = 1 + static_cast<long>(random() % n);
            keys[i].SetBstr((L"#" + std::to_wstring(victims[i])).c_str());
        }
        double total = 0;
        for (int i = 0; i < calls; ++i) {
            const Stopwatch watch;
            Check(ids->Delete(keys[i].Get()));
            total += watch.Nanoseconds();
            Check(ids->Add(victims[i]));
        }
        perOp["delete"] = total / calls;
    }

    // Add of new IDs at the end.
    {
        constexpr int kCalls = 5000;
        Stopwatch watch;
        for (long i = 0; i < kCalls; ++i) Check(ids->Add(n + 1 + i));
        perOp["add"] = watch.Nanoseconds() / kCalls;
    }
    ids.Reset();

    // For comparison: the host list's own removal at a random position (re-appended untimed).
    {
        constexpr int kCalls = 5000;
        double total = 0;
        for (int i = 0; i < kCalls; ++i) {
            ScopedVariant position, value;
            position.SetI4(1 + static_cast<long>(random() % n));
            Check(fixture.list->get_Item(position.Get(), value.Receive()));
            const Stopwatch watch;
            Check(fixture.list->Remove(position.Get()));
            total += watch.Nanoseconds();
            Check(fixture.list->Append(value.Get()));
        }
        perOp["host_remove"] = total / kCalls;
    }

    // Clear of a freshly loaded list of n IDs, over its first removals (1% of n, at least 100):
    // the host list refuses the next removal, which ends the Clear there. Repeated on new lists
    // until 1,000 removals were timed.
    {
        const long removals = std::max(100L, n / 100);
        const long rounds = std::max(1L, 1000 / removals);
        double total = 0;
        for (long round = 0; round < rounds; ++round) {
            Fixture fresh(n);
            ComPtr<ISObjectRelativeIDs> full = fresh.Load();
            Check(RefHost::InjectFault(fresh.list.Get(), "ISPropertyBagCollection::Remove", E_ABORT,
                                       RefHost::FaultMode::NthCall,
                                       static_cast<unsigned>(removals + 1)));
            const Stopwatch watch;
            Check(full->Clear(), E_ABORT);
            total += watch.Nanoseconds();
            RefHost::ClearFaults();
            long left = 0;
            Check(full->get_Count(&left));
            if (left != n - removals) ++g_failures;
        }
        perOp["clear"] = total / (static_cast<double>(rounds) * removals);
    }

    // A whole Clear, where it is short enough to run.
    if (n <= 10000) {
        Fixture fresh(n);
        ComPtr<ISObjectRelativeIDs> full = fresh.Load();
        const Stopwatch watch;
        Check(full->Clear());
        perOp["clear_whole"] = watch.Nanoseconds() / n;
    }
    return perOp;
}

}  // namespace

int main() {
    const BenchRuntime runtime;
    RefHost::EnableCallLog(false);

    std::map<long, std::map<std::string, double>> results;
    for (long n : kSizes) {
        const Stopwatch watch;
        results[n] = Measure(n);
        std::printf("relids.size_%ld.seconds = %.2f\n", n, watch.Nanoseconds() / 1e9);
        for (const auto& [operation, ns] : results[n])
            std::printf("relids.%s.ns_per_op.%ld = %.1f\n", operation.c_str(), n, ns);
        std::fflush(stdout);
    }
    std::printf("relids.failures = %ld\n", g_failures);
    std::printf("relids.live_host_objects = %ld\n", RefHost::LiveObjectCount());
    for (const char* operation : kOperations)
        std::printf("relids.%s.growth = %.2f\n", operation,
                    results[100000][operation] / results[1000][operation]);

    return g_failures == 0 ? 0 : 1;
}
