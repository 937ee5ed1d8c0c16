// Resource manager: per-thread locale with cookies, string and resource loading.
#include <gtest/gtest.h>

#include <thread>

#include "zentil500.h"

using namespace Zentil500;

namespace {

constexpr LCID kGerman = 0x0407, kFrench = 0x040C, kEnglishUS = 0x0409;

TEST(ResManagerTest, NestedLocalesRestoreInOrderPerThread) {
    unsigned outer = 0, middle = 0, inner = 0;
    EXPECT_TRUE(SResManager::ThreadInitialize(kGerman, outer));
    EXPECT_TRUE(SResManager::ThreadInitialize(0, middle));  // a zero locale nests as well
    EXPECT_TRUE(SResManager::ThreadInitialize(kFrench, inner));
    EXPECT_TRUE(outer != 0 && outer != middle && middle != inner);
    EXPECT_EQ(SResManager::ThreadDepth(), 3);
    EXPECT_EQ(SResManager::ThreadLocale(), kFrench);

    std::thread([&] {
        EXPECT_EQ(SResManager::ThreadLocale(), 0u);
        unsigned cookie = 0;
        SResManager::ThreadInitialize(kEnglishUS, cookie);
        EXPECT_TRUE(cookie != outer && cookie != middle && cookie != inner);
        EXPECT_EQ(SResManager::ThreadLocale(), kEnglishUS);
        SResManager::ThreadUninitialize(cookie);
        EXPECT_EQ(SResManager::ThreadDepth(), 0);
    }).join();

    SResManager::ThreadUninitialize(inner);
    EXPECT_EQ(SResManager::ThreadLocale(), 0u);
    SResManager::ThreadUninitialize(middle);
    EXPECT_EQ(SResManager::ThreadLocale(), kGerman);
    SResManager::ThreadUninitialize(outer);
    EXPECT_EQ(SResManager::ThreadLocale(), 0u);
    EXPECT_EQ(SResManager::ThreadDepth(), 0);
}

TEST(ResManagerTest, ForeignCookiesAreReportedAndIgnored) {
    int asserts = 0;
    SetAssertSink([&](const SAssertRecord&) { ++asserts; });
    unsigned outer = 0, inner = 0;
    SResManager::ThreadInitialize(kGerman, outer);
    SResManager::ThreadUninitialize(outer + 1000);  // never handed out
    EXPECT_EQ(asserts, 1);
    EXPECT_EQ(SResManager::ThreadLocale(), kGerman);

    // Released out of order: reported, and the inner level ends with the outer one.
    SResManager::ThreadInitialize(kFrench, inner);
    SResManager::ThreadUninitialize(outer);
    EXPECT_EQ(asserts, 2);
    EXPECT_EQ(SResManager::ThreadDepth(), 0);
    EXPECT_EQ(SResManager::ThreadLocale(), 0u);
    SResManager::ThreadUninitialize(inner);  // now unknown
    EXPECT_EQ(asserts, 3);

    // 64 levels nest; the next is refused (reported, cookie 0) and leaves the locale alone.
    unsigned cookies[65] = {};
    for (int i = 0; i < 64; ++i) EXPECT_TRUE(SResManager::ThreadInitialize(kGerman, cookies[i]));
    EXPECT_FALSE(SResManager::ThreadInitialize(kFrench, cookies[64]));
    EXPECT_EQ(cookies[64], 0u);
    EXPECT_EQ(SResManager::ThreadLocale(), kGerman);
    SResManager::ThreadUninitialize(cookies[0]);
    EXPECT_EQ(SResManager::ThreadDepth(), 0);
    SetAssertSink(nullptr);
}

TEST(ResManagerTest, LoadsStringsAndResources) {
    const std::wstring text = L"A required pointer argument is null.";
    EXPECT_EQ(SResManager::LoadStringW(42505).str(), text);
    EXPECT_EQ(SResManager::LoadStringW(42505, kFrench).str(), text);  // English fallback
    // The same primary language comes before US English (43000 is German and US English).
    EXPECT_EQ(SResManager::LoadStringW(43000, 0x0807).str(), L"Deutsch");
    EXPECT_EQ(SResManager::LoadStringW(43000, kFrench).str(), L"English");
    EXPECT_EQ(SResManager::LoadStringW(42505, 0, ::GetModuleHandleW(nullptr)).str(), text);
    EXPECT_TRUE(SResManager::LoadStringW(42506).empty());    // block present, entry empty
    EXPECT_TRUE(SResManager::LoadStringW(1).empty());        // no such block
    EXPECT_TRUE(SResManager::LoadStringW(0x10000).empty());  // beyond the string ids
    EXPECT_TRUE(SResManager::LoadStringW(42505, 0, ::GetModuleHandleW(L"kernel32.dll")).empty());
    EXPECT_EQ(SResManager::CurrentModule(), ::GetModuleHandleW(nullptr));

    std::vector<BYTE> bytes;
    ASSERT_TRUE(SResManager::LoadResource(42505 / 16 + 1, RT_STRING, bytes));
    const auto* words = reinterpret_cast<const WCHAR*>(bytes.data());
    size_t position = 0;
    for (int i = 0; i < 42505 % 16; ++i) position += 1 + words[position];
    ASSERT_LE((position + 1 + words[position]) * sizeof(WCHAR), bytes.size());
    EXPECT_EQ(std::wstring(words + position + 1, words[position]), text);

    std::vector<BYTE> untouched{1, 2, 3};
    EXPECT_FALSE(SResManager::LoadResource(1, RT_STRING, untouched));
    EXPECT_FALSE(SResManager::LoadResource(42505 / 16 + 1, nullptr, untouched));
    EXPECT_EQ(untouched, (std::vector<BYTE>{1, 2, 3}));
}

}  // namespace
