// Strings: case-insensitive comparison and keys, integer texts, message filling.
#include <gtest/gtest.h>

#include "zentil500.h"

using namespace Zentil500;

TEST(StringsTest, CompareNoCase) {
    EXPECT_EQ(SWCharString(L"SI_Key_State").compareNoCase(L"si_key_state"), 0);
    EXPECT_LT(SWCharString(L"abc").compareNoCase(L"ABD"), 0);
    EXPECT_GT(SWCharString(L"abd").compareNoCase(L"ABC"), 0);
    EXPECT_LT(SWCharString(L"ab").compareNoCase(L"ABC"), 0);
    EXPECT_EQ(SWCharString().compareNoCase(static_cast<const wchar_t*>(nullptr)), 0);

    SIMap<SWCharMapStringCI, int> map;
    map.SetAt(L"SI_ID", 1);
    map.SetAt(L"si_id", 2);  // the same key
    int value = 0;
    EXPECT_EQ(map.GetCount(), 1);
    EXPECT_TRUE(map.Lookup(L"Si_Id", value) && value == 2);
}

TEST(StringsTest, IntegerTextInEveryRadix) {
    SWCharString text(L"previous content");
    const std::pair<std::wstring, std::function<void()>> cases[] = {
        {L"0", [&] { StringConvFromInteger(text, 0, 10); }},
        {L"1A2B3C4D5E6F7788", [&] { StringConvFromInteger(text, 0x1A2B3C4D5E6F7788ULL, 16); }},
        {L"FFF", [&] { StringConvFromInteger(text, 0xFFFu, 16); }},
        {L"80004003", [&] { StringConvFromInteger(text, 0x80004003u, 16); }},
        {L"101", [&] { StringConvFromInteger(text, 5, 2); }},
        {L"Z", [&] { StringConvFromInteger(text, 35, 36); }},
        {L"-FF", [&] { StringConvFromInteger(text, -255L, 16); }},
        {L"-9223372036854775808", [&] { StringConvFromInteger(text, INT64_MIN, 10); }},
        {std::wstring(64, L'1'), [&] { StringConvFromInteger(text, UINT64_MAX, 2); }},
    };
    for (const auto& [expected, convert] : cases) {
        convert();
        EXPECT_EQ(text.str(), expected);
    }
    int asserts = 0;
    SetAssertSink([&](const SAssertRecord&) { ++asserts; });
    StringConvFromInteger(text, 10, 37);
    SetAssertSink(nullptr);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(asserts, 1);
}

TEST(StringsTest, ResStringFillsPlaceholders) {
    EXPECT_EQ((SResString(L"The index %1 is not in %2.") << L"7" << L"IDs").str().str(),
              L"The index 7 is not in IDs.");
    // Arguments are not scanned again; unmatched placeholders stay; the marker twice gives one.
    EXPECT_EQ((SResString(L"%1 and %2") << L"%2" << L"b").str().str(), L"%2 and b");
    EXPECT_EQ((SResString(L"%1 %3 %0 100%% %%1 end%") << L"a").str().str(),
              L"a %3 %0 100% %1 end%");
    EXPECT_EQ((SResString(L"$2-$1 $$ %1", L'$') << L"x" << L"y").str().str(), L"y-x $ %1");
    SResString nine(L"%9%1");
    for (int i = 1; i <= 9; ++i) nine << std::to_wstring(i);
    EXPECT_EQ(nine.str().str(), L"91");
}
