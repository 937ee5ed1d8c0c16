// The collection's element store against a plain model (elements in list order, a key naming its
// first occurrence), through growth, removals that leave gaps, compactions and copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "list_helpers.h"
#include "guardheap.h"

using namespace RelTest;
using SdkEnum::ElementStore;

namespace {

struct ModelElement {
    long value;
    std::wstring key;  // empty: none
};

std::wstring Folded(const std::wstring& key) {
    std::wstring folded = key;
    for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towupper(c));
    return folded;
}

// Keys with repeats, differing only in case, and none; further ID keys come from "#0".."#199".
const std::vector<std::wstring> kKeys = {L"#1",    L"#2", L"#3", L"#17", L"Alpha", L"ALPHA",
                                         L"alpha", L"#",  L"",   L"",    L"Beta",  L"#-1000"};

std::wstring RandomKey(std::mt19937& random) {
    if (random() % 2) return kKeys[random() % kKeys.size()];
    return L"#" + std::to_wstring(random() % 200);
}

// The ID an ID key names, when key is one as the collection writes them ("#17", "#-5").
bool IdOfKey(const std::wstring& key, long* id) {
    if (key.size() < 2 || key[0] != L'#') return false;
    try {
        const long value = std::stol(key.substr(1));
        if (key != L"#" + std::to_wstring(value)) return false;
        *id = value;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void ExpectSame(const ElementStore& store, const std::vector<ModelElement>& model) {
    ASSERT_EQ(static_cast<int>(model.size()), store.Count());
    for (int p = 0; p < store.Count(); ++p) {
        const ElementStore::Sequence s = store.SequenceAt(p);
        ASSERT_EQ(p, store.PositionOf(s)) << p;
        ASSERT_EQ(model[p].value, V_I4(&store.Element(s))) << p;
    }
    // Every key names its first occurrence; no key besides.
    std::map<std::wstring, int> first;
    for (size_t p = 0; p < model.size(); ++p)
        if (!model[p].key.empty()) first.emplace(Folded(model[p].key), static_cast<int>(p));
    for (size_t p = 0; p < model.size(); ++p) {
        if (model[p].key.empty()) continue;
        ElementStore::Sequence s = 0;
        ASSERT_TRUE(store.FindKey(model[p].key.c_str(), &s)) << p;
        ASSERT_EQ(first[Folded(model[p].key)], store.PositionOf(s)) << p;
        // An ID key answers by itself exactly when the element it names is that integer ID.
        long id = 0;
        const bool plain = IdOfKey(model[p].key, &id) &&
                           model[static_cast<size_t>(first[Folded(model[p].key)])].value == id;
        long answered = 0;
        ASSERT_EQ(plain, store.FindPlainId(model[p].key.c_str(), model[p].key.size(), &answered))
            << p << " " << model[p].key;
        if (plain) {
            ASSERT_EQ(id, answered);
        }
    }
    for (long k = 0; k < 200; k += 7) {
        const std::wstring key = L"#" + std::to_wstring(k);
        ElementStore::Sequence s = 0;
        ASSERT_EQ(first.count(key) == 1, store.FindKey(key.c_str(), &s)) << k;
    }
    // No ID key answers by itself once its ID is gone (every ID the keys use).
    for (long k = -1000; k < 200; k = k == -1000 ? 0 : k + 1) {
        const std::wstring key = L"#" + std::to_wstring(k);
        long id = 0;
        if (first.count(key) == 0) {
            ASSERT_FALSE(store.FindPlainId(key.c_str(), key.size(), &id)) << k;
        }
    }
    for (const wchar_t* key : {L"alphA", L"#-1000", L"#01", L"#+1", L"#1 "}) {
        ElementStore::Sequence s = 0;
        ASSERT_EQ(first.count(Folded(key)) == 1, store.FindKey(key, &s));
    }
    EXPECT_EQ(static_cast<int>(first.size()), store.KeyCount());
    // A walk from the middle sees the rest in order.
    const int from = store.Count() / 2;
    size_t p = static_cast<size_t>(from);
    store.VisitFrom(from, [&](const VARIANT& value) {
        EXPECT_EQ(model[p++].value, V_I4(&value));
        return true;
    });
    EXPECT_EQ(model.size(), p);
}

void Append(ElementStore& store, std::vector<ModelElement>& model, long value,
            const std::wstring& key) {
    ScopedVariant element;
    element.SetI4(value);
    const Zentil500::SWCharString text(key.c_str());
    store.Append(std::move(element), key.empty() ? nullptr : &text);
    model.push_back({value, key});
}

// Phases that grow the list to a few hundred elements and shrink it nearly to nothing, so that
// removals leave many gaps and compactions renumber keys with several occurrences.
TEST(ElementStoreTest, MatchesTheModelThroughGapsCompactionsAndCopies) {
    std::mt19937 random(7);
    ElementStore store;
    std::vector<ModelElement> model;
    long next = 1;
    for (int phase = 0; phase < 8; ++phase) {
        SCOPED_TRACE(phase);
        const bool growing = phase % 2 == 0;
        const size_t target = growing ? 300 : (phase == 7 ? 0 : 5);
        while (growing ? model.size() < target : model.size() > target) {
            const unsigned roll = random() % 100;
            if (roll < 5) {
                // Room reserved for an append the host then refused: nothing changes.
                const Zentil500::SWCharString key(RandomKey(random).c_str());
                store.ReserveAppend(&key);
            } else if ((growing ? roll >= 70 : roll < 70) && !model.empty()) {
                const size_t p = random() % model.size();
                store.Remove(store.SequenceAt(static_cast<int>(p)));
                model.erase(model.begin() + static_cast<std::ptrdiff_t>(p));
            } else {
                // Half of the ID keys go with their own ID as the element (a plain ID), the
                // others with another value.
                const std::wstring key = RandomKey(random);
                long id = 0;
                const bool plain = IdOfKey(key, &id) && random() % 2;
                Append(store, model, plain ? id : next++, key);
            }
            ExpectSame(store, model);
            if (HasFatalFailure()) return;
        }
        ElementStore copy;
        ASSERT_EQ(S_OK, store.CopyTo(copy));
        ExpectSame(copy, model);
    }
    // Emptied by removals, the store starts again from nothing.
    Append(store, model, next++, L"#1");
    ExpectSame(store, model);
    store.Clear();
    model.clear();
    ExpectSame(store, model);
}

// Keys beyond ASCII: a key is found exactly when it compares equal, without regard to case, to
// the stored one, whatever the system's case table says about the characters whose upper case
// may be ASCII (dotless i, long s, the Kelvin sign: equal to I, S and K on some systems, not
// under every table) and about letters of other scripts.
TEST(ElementStoreTest, KeysBeyondAsciiAreFoundExactlyWhenTheyCompareEqual) {
    const std::vector<std::wstring> keys = {L"Ki\u0131d", L"\u017Fet", L"\u212Aey", L"\u00E9t\u00E9",
                                            L"\u0130stanbul", L"stra\u00DFe", L"\u03A3\u03C3"};
    const std::vector<std::wstring> probes = {L"KIID",  L"kiid",    L"SET",     L"set",
                                              L"KEY",   L"key",     L"\u00C9T\u00C9", L"ete",
                                              L"ISTANBUL", L"istanbul", L"STRASSE", L"\u03C3\u03A3",
                                              L"\u03A3\u03A3", L"Ki\u0131D", L"\u212AEY"};
    ElementStore store;
    std::vector<ModelElement> model;
    long value = 1;
    for (const std::wstring& key : keys) Append(store, model, value++, key);
    for (const std::wstring& probe : probes) {
        bool equal = false;
        for (const std::wstring& key : keys)
            equal = equal || (key.size() == probe.size() &&
                              Zentil500::SWCharString(key.c_str()).compareNoCase(probe.c_str()) == 0);
        ElementStore::Sequence s = 0;
        EXPECT_EQ(equal, store.FindKey(probe.c_str(), &s)) << static_cast<int>(probe[0]);
    }
    // Every stored key finds itself.
    for (const std::wstring& key : keys) {
        ElementStore::Sequence s = 0;
        EXPECT_TRUE(store.FindKey(key.c_str(), &s));
    }
}

// A text key may hold nulls (a BSTR can): it compares over its whole length, so it finds itself
// and nothing that differs only after a null.
TEST(ElementStoreTest, KeysWithEmbeddedNullsCompareWhole) {
    using Zentil500::SWCharString;
    const std::vector<SWCharString> keys = {SWCharString(L"a\0b", 3), SWCharString(L"A\0c", 3),
                                            SWCharString(L"a", 1), SWCharString(L"\0", 1)};
    ElementStore store;
    for (size_t i = 0; i < keys.size(); ++i) {
        ComLib::ScopedVariant element;
        element.SetI4(static_cast<LONG>(i));
        store.Append(std::move(element), &keys[i]);
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        ElementStore::Sequence s = 99;
        ASSERT_TRUE(store.FindKey(keys[i], &s)) << i;
        EXPECT_EQ(i, s);
    }
    ElementStore::Sequence s = 0;
    EXPECT_TRUE(store.FindKey(SWCharString(L"A\0B", 3), &s));
    EXPECT_EQ(0u, s);
    EXPECT_FALSE(store.FindKey(SWCharString(L"a\0", 2), &s));
    EXPECT_FALSE(store.FindKey(SWCharString(L"a\0bc", 4), &s));
    EXPECT_FALSE(store.FindKey(SWCharString(), &s));
}

// An ID key answers by itself exactly while its first occurrence is the integer ID: through the
// bitmap of a dense range (IDs 1..400), and through the table for IDs outside it, as elements
// come and go and the key passes between occurrences.
TEST(ElementStoreTest, PlainIdsFollowEveryChange) {
    ElementStore store;
    std::vector<ModelElement> model;
    // Each ID answers as soon as it is there, through every growth of the table and bitmap.
    for (long id = 1; id <= 400; ++id) {
        Append(store, model, id, L"#" + std::to_wstring(id));
        for (long probe : {id - 1, id, id + 1}) {
            const std::wstring key = L"#" + std::to_wstring(probe);
            long answered = 0;
            ASSERT_EQ(probe >= 1 && probe <= id,
                      store.FindPlainId(key.c_str(), key.size(), &answered))
                << id << " " << probe;
        }
    }
    Append(store, model, 5000000, L"#5000000");  // far outside the dense range
    Append(store, model, 41, L"#7");             // a second occurrence of #7, not plain
    Append(store, model, 9, L"#1000");           // an ID key whose element is another ID
    Append(store, model, 1000, L"#1000");        // ... and a plain second occurrence
    auto expectPlain = [&](const std::vector<long>& plain) {
        for (long id : {0L, 1L, 7L, 100L, 400L, 401L, 1000L, 5000000L, -3L}) {
            const std::wstring key = L"#" + std::to_wstring(id);
            long answered = 0;
            const bool expected = std::find(plain.begin(), plain.end(), id) != plain.end();
            EXPECT_EQ(expected, store.FindPlainId(key.c_str(), key.size(), &answered)) << id;
            if (expected) {
                EXPECT_EQ(id, answered);
            }
        }
    };
    expectPlain({1, 7, 100, 400, 5000000});
    auto removeKey = [&](const wchar_t* key) {
        ElementStore::Sequence s = 0;
        ASSERT_TRUE(store.FindKey(key, &s));
        store.Remove(s);
    };
    removeKey(L"#100");      // the only occurrence: gone
    removeKey(L"#5000000");  // outside the bitmap: gone from the table
    removeKey(L"#1000");     // the key passes to the plain occurrence
    expectPlain({1, 7, 400, 1000});
    removeKey(L"#7");        // the key passes to the element 41: no longer plain
    expectPlain({1, 400, 1000});
    // Growth of the table rebuilds the bitmap over what is there now.
    for (long id = 2000; id < 2600; ++id) Append(store, model, id, L"#" + std::to_wstring(id));
    expectPlain({1, 400, 1000});
    store.Clear();
    expectPlain({});
}

// Once ReserveAppend has succeeded, CommitAppend allocates nothing: Add commits after the host
// list took the ID, where a failure would leave the two apart. Every kind of key (new ID key,
// new text key, repeated key, none) through many growth steps of every table, also after Clear
// (a fresh key table) and after removals.
TEST(ElementStoreTest, CommitAppendNeverAllocates) {
    ElementStore store;
    auto appendChecked = [&](long value, const std::wstring& key) {
        const Zentil500::SWCharString text(key.c_str());
        store.ReserveAppend(key.empty() ? nullptr : &text);
        ComLib::ScopedVariant element;
        element.SetI4(value);
        GuardHeap::Arm(1);
        store.CommitAppend(std::move(element));
        ASSERT_EQ(0u, GuardHeap::Disarm()) << value << " " << key;
    };
    for (int pass = 0; pass < 2; ++pass) {
        for (long v = 0; v < 3000; ++v) {
            std::wstring key;
            switch (v % 4) {
                case 0: key = L"#" + std::to_wstring(v); break;
                case 1: key = L"Text" + std::to_wstring(v); break;
                case 2: key = L"#" + std::to_wstring(v - 2); break;  // repeated
                default: break;                                   // none
            }
            appendChecked(v, key);
            if (v % 5 == 0) store.Remove(store.SequenceAt(store.Count() / 2));
        }
        store.Clear();
    }
}

}  // namespace
