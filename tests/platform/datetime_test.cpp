// Date and time: automation dates in local time and UTC, time of day, local days.
#include <gtest/gtest.h>

#include <limits>

#include "zentil500.h"

using namespace Zentil500;

namespace {

DATE DateOf(SYSTEMTIME time) {
    DATE date = 0;
    EXPECT_TRUE(::SystemTimeToVariantTime(&time, &date));
    return date;
}

TEST(DateTimeTest, DatesShowLocalOrUtcTime) {
    SYSTEMTIME local, utc;
    ::GetLocalTime(&local);
    ::GetSystemTime(&utc);
    const SDateTime now = SDateTime::GetCurrentDateTime();
    const SDateTime hourAgo(DateOf(local) - 1.0 / 24, STimeZone::TZ_Local());
    const SDateTime utcNow(DateOf(utc), STimeZone::TZ_UTC());
    ASSERT_TRUE(now.IsValid() && hourAgo.IsValid() && utcNow.IsValid());
    // Automation dates carry whole seconds.
    EXPECT_NEAR(static_cast<double>((now - hourAgo).GetTotalMilliseconds()), 3600000.0, 2500.0);
    EXPECT_NEAR(static_cast<double>((now - utcNow).GetTotalMilliseconds()), 0.0, 2500.0);

    SYSTEMTIME shown{2021, 6, 0, 15, 10, 30, 0, 0};
    const SDateTime morning(DateOf(shown), STimeZone::TZ_Local());
    EXPECT_EQ(morning.GetTime().GetMillisecondsOfDay(), (10 * 60 + 30) * 60000);
    const SDateTime evening(DateOf(shown) + 0.25, STimeZone::TZ_Local());  // 16:30
    EXPECT_EQ((evening.GetTime() - morning.GetTime()).GetTotalSeconds(), 6 * 3600);
    FILETIME day;
    shown.wHour = shown.wMinute = 0;
    ASSERT_TRUE(::SystemTimeToFileTime(&shown, &day));
    const ULONGLONG ticks = (static_cast<ULONGLONG>(day.dwHighDateTime) << 32) | day.dwLowDateTime;
    EXPECT_EQ(morning.GetLocalDay(), static_cast<std::int64_t>(ticks / 864000000000ULL));
}

TEST(DateTimeTest, InvalidDates) {
    for (DATE bad : {std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(), 1e10, -200000.0 /* < 1601 */}) {
        const SDateTime local(bad, STimeZone::TZ_Local());
        EXPECT_FALSE(local.IsValid()) << bad;
        EXPECT_EQ(local.GetTime().GetMillisecondsOfDay(), 0);
        EXPECT_FALSE(SDateTime(bad, STimeZone::TZ_UTC()).IsValid()) << bad;
    }
}

}  // namespace
