// Eight threads of mixed calls on one key object for a few seconds: getters, a forwarded slot,
// rekey commands, SetCompromised, category edits, the single-ID setters and re-initialisation
// with fresh host objects, under a watchdog. Afterwards each host object's state is explained by
// the commands that succeeded (each transition won by exactly one caller), the category
// collection, its host list and its journals agree, the single-ID lists hold one ID, and no host
// object is alive.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "CryptoGraphicKeyPlugin.h"
#include "relatives/list_helpers.h"
#include "support/key_objects.h"
#include "sweep/sweep.h"

using Microsoft::WRL::ComPtr;
using RelTest::IdsOf;

namespace Sweep {
namespace {

constexpr int kThreads = 8;
constexpr DWORD kRunMilliseconds = 3000;
constexpr DWORD kGraceMilliseconds = 60000;  // then the run counts as hung
constexpr int kHosts = 40;                   // host objects for re-initialisation
const std::vector<long> kCategories = {5, 7, 9};

enum Op {
    KeyState,
    Title,
    Start,
    Suspend,
    Resume,
    Compromise,
    Add,
    Delete,
    SetId,
    ReadId,
    Reinitialize,
    kOps
};

struct Outcome {
    long won[kOps] = {};      // successes per operation
    long refused[kOps] = {};  // expected refusals (state transitions)
    std::vector<long> added, deleted;
};

// A wrong answer in a worker thread: the first few are test failures (the test counts them once).
void Fail(const char* what, HRESULT hr) {
    static std::atomic<int> reported{0};
    if (++reported <= 20)
        ADD_FAILURE() << what << " -> 0x" << std::hex << static_cast<unsigned long>(hr);
}

struct Shared {
    ComPtr<ISCryptoGraphicKey> key;
    std::vector<ComPtr<ISInfoObject>> hosts;
    std::atomic<int> nextHost{1};
    std::atomic<bool> stop{false};
};

void Work(Shared& shared, int thread, Outcome& outcome) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::mt19937 random(77u + static_cast<unsigned>(thread));
    ComPtr<ISInfoObject> info;
    ComPtr<ISPublicationInfo> publication;
    ComPtr<ISCategoryContent> content;
    ComPtr<ISDesktopPlugin> plugin;
    shared.key.As(&info);
    shared.key.As(&publication);
    shared.key.As(&content);
    shared.key.As(&plugin);
    std::vector<long> own;
    long nextId = 100000L * (thread + 1);
    while (!shared.stop.load()) {
        Now("threads", nullptr, "mixed calls");
        const Op op = static_cast<Op>(random() % kOps);
        HRESULT hr = S_OK;
        switch (op) {
            case KeyState: {
                KvKeyState state{};
                hr = shared.key->get_KeyState(&state);
                if (hr != S_OK || state < ACTIVE || state > REVOKED) Fail("get_KeyState", hr);
                break;
            }
            case Title: {
                ComLib::ScopedBstr title;
                hr = info->get_Title(title.Receive());
                if (FAILED(hr)) Fail("get_Title", hr);
                break;
            }
            case Start:
            case Suspend:
            case Resume:
            case Compromise:
                hr = op == Start     ? shared.key->StartRekey()
                     : op == Suspend ? shared.key->SuspendRekey()
                     : op == Resume  ? shared.key->ResumeRekey()
                                     : shared.key->SetCompromised();
                if (hr == KV_E_STATE_TRANSITION) {
                    ++outcome.refused[op];
                    continue;
                }
                if (hr != S_OK) Fail("rekey command", hr);
                break;
            case Add:
            case Delete: {
                ComPtr<ISObjectRelativeIDs> ids;
                hr = content->get_CorporateCategories(&ids);
                if (FAILED(hr)) {
                    Fail("get_CorporateCategories", hr);
                    break;
                }
                if (op == Add) {
                    const long id = nextId++;
                    hr = ids->Add(id);
                    if (hr == S_OK)
                        outcome.added.push_back(id), own.push_back(id);
                    else
                        Fail("Add", hr);
                } else if (!own.empty()) {
                    const size_t pick = random() % own.size();
                    hr = RelTest::DeleteByKey(ids.Get(), own[pick]);
                    if (hr == S_OK) {
                        outcome.deleted.push_back(own[pick]);
                        own.erase(own.begin() + static_cast<std::ptrdiff_t>(pick));
                    } else {
                        Fail("Delete", hr);
                    }
                }
                break;
            }
            case SetId: {
                const long id = 1 + static_cast<long>(random() % 1000);
                switch (random() % 3) {
                    case 0:
                        hr = publication->put_ScopeBatchObjectID(id);
                        break;
                    case 1:
                        hr = publication->put_SourceDocumentID(id);
                        break;
                    default:
                        hr = publication->put_ScopeBatchDocumentID(id);
                        break;
                }
                if (hr != S_OK) Fail("single-ID setter", hr);
                break;
            }
            case ReadId: {
                // A reader never sees anything but the old ID or the new one.
                ComPtr<ISObjectRelativeIDs> ids;
                hr = publication->get_ScopeBatchObjects(&ids);
                long count = 0;
                if (SUCCEEDED(hr)) hr = ids->get_Count(&count);
                if (FAILED(hr) || count > 1) Fail("single-ID list count above 1", count);
                break;
            }
            case Reinitialize: {
                if (thread % 2 != 0) continue;  // half of the threads re-initialise
                const int index = shared.nextHost.fetch_add(1);
                if (index >= kHosts) continue;
                hr = plugin->Initialize(shared.hosts[index].Get(), VARIANT_FALSE);
                if (hr != S_OK) Fail("Initialize", hr);
                break;
            }
            default:
                break;
        }
        if (hr == S_OK) ++outcome.won[op];
    }
    CoUninitialize();
}

long StateOf(ISInfoObject* host) {
    ComLib::ScopedVariant state;
    if (FAILED(host->get_Property(ComLib::ScopedBstr(Pravhelper500::WP_SI_KEY_STATE_W).Get(),
                                  state.Receive())) ||
        state.Type() != VT_I4)
        return -1;
    return V_I4(&state.Get());
}

TEST(SweepThreads, MixedCallsFromEightThreadsKeepEverythingConsistent) {
    const long liveBefore = RefHost::LiveObjectCount();
    {
        auto repository = RefHost::CreateRepository();
        Shared shared;
        for (int i = 0; i < kHosts; ++i) {
            ComPtr<ISInfoObject> host;
            ASSERT_EQ(S_OK, repository->NewObject(L"CryptoGraphicKey", &host));
            PrepareKeyHost(host.Get(), kCategories);
            shared.hosts.push_back(host);
        }
        shared.key = NewKeyObject();
        ComPtr<ISDesktopPlugin> plugin;
        ASSERT_EQ(S_OK, shared.key.As(&plugin));
        ASSERT_EQ(S_OK, plugin->Initialize(shared.hosts[0].Get(), VARIANT_FALSE));
        // The collections are made now, over the first host object, and kept by the key object.
        ComPtr<ISCategoryContent> content;
        ComPtr<ISObjectRelativeIDs> categories;
        ASSERT_EQ(S_OK, shared.key.As(&content));
        ASSERT_EQ(S_OK, content->get_CorporateCategories(&categories));

        std::vector<Outcome> outcomes(kThreads);
        std::atomic<int> finished{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                Work(shared, t, outcomes[t]);
                ++finished;
            });
        Sleep(kRunMilliseconds);
        shared.stop = true;
        // The watchdog: every thread must come back.
        const ULONGLONG deadline = GetTickCount64() + kGraceMilliseconds;
        while (finished.load() < kThreads && GetTickCount64() < deadline) Sleep(50);
        if (finished.load() < kThreads) {
            ++g_counts.hangs;
            printf("sweep: hang, %d of %d threads did not come back\n", kThreads - finished.load(),
                   kThreads);
            PrintCounts();
            TerminateProcess(GetCurrentProcess(), 3);
        }
        for (auto& thread : threads) thread.join();

        long won[kOps] = {};
        std::set<long> added, deleted;
        for (const Outcome& outcome : outcomes) {
            for (int op = 0; op < kOps; ++op) {
                won[op] += outcome.won[op];
                g_counts.calls += outcome.won[op] + outcome.refused[op];
            }
            added.insert(outcome.added.begin(), outcome.added.end());
            deleted.insert(outcome.deleted.begin(), outcome.deleted.end());
        }
        EXPECT_GT(won[Start], 0);
        EXPECT_GT(won[Reinitialize], 0);
        EXPECT_GT(added.size(), 10u);

        // Every host object started DEACTIVATED: it left that state by exactly one StartRekey,
        // and it is suspended now when one more SuspendRekey than ResumeRekey won on it.
        long started = 0, suspended = 0;
        for (const auto& host : shared.hosts) {
            const long state = StateOf(host.Get());
            if (state != DEACTIVATED) ++started;
            if (state == REKEY_SUSPENDED) ++suspended;
        }
        EXPECT_EQ(started, won[Start]);
        EXPECT_EQ(suspended, won[Suspend] - won[Resume]);

        // The category collection, the first host object's list and its journals.
        ComPtr<ISProperties> bag;
        ASSERT_EQ(S_OK, shared.hosts[0]->get_Properties(&bag));
        std::set<long> expected(kCategories.begin(), kCategories.end());
        std::set<long> journal;
        for (long id : added)
            if (!deleted.count(id)) expected.insert(id), journal.insert(id);
        const std::vector<long> items = RelTest::ItemsOf(categories.Get());
        EXPECT_EQ(IdsOf(bag.Get(), Pravhelper500::WP_SI_CORPORATE_CATEGORIES_W), items);
        EXPECT_EQ(expected, std::set<long>(items.begin(), items.end()));
        const auto addJournal = IdsOf(bag.Get(), L"SI_ADM_ADD_SI_CATEGORIES");
        ASSERT_TRUE(addJournal);
        EXPECT_EQ(journal, std::set<long>(addJournal->begin(), addJournal->end()));
        EXPECT_EQ(journal.size(), addJournal->size());
        const auto delJournal = IdsOf(bag.Get(), L"SI_ADM_DEL_SI_CATEGORIES");
        EXPECT_TRUE(!delJournal || delJournal->empty());

        // The single-ID lists hold one ID each, on whichever host object they were made over.
        size_t lists = 0;
        for (const auto& host : shared.hosts) {
            ComPtr<ISProperties> hostBag;
            ASSERT_EQ(S_OK, host->get_Properties(&hostBag));
            for (const wchar_t* list : {Pravhelper500::WP_SI_ARTIFACTS_SCOPEBATCH_W,
                                        Pravhelper500::WP_SI_ARTIFACTS_SCOPEBATCHDOC_W,
                                        Pravhelper500::WP_SI_ARTIFACTS_SOURCEDOC_W}) {
                const auto ids = IdsOf(hostBag.Get(), list);
                if (!ids) continue;
                ++lists;
                EXPECT_EQ(1u, ids->size());
            }
        }
        EXPECT_GE(lists, 3u);
    }
    if (HasFailure()) ++g_counts.wrongResults;  // every finding above, once
    RefHost::ClearFaults();
    if (RefHost::LiveObjectCount() != liveBefore || ComLib::_Module.GetLockCount() != 0) {
        ++g_counts.leaks;
        ADD_FAILURE() << "threads: host objects alive " << RefHost::LiveObjectCount() - liveBefore
                      << ", module locks " << ComLib::_Module.GetLockCount();
    }
}

}  // namespace
}  // namespace Sweep
