// Date and time: moments kept in UTC, shown in local time.
#include "zentil500.h"

#include <cmath>

namespace Zentil500 {

namespace {

constexpr std::int64_t kTicksPerMillisecond = 10000;
constexpr std::int64_t kMillisecondsPerDay = 86400000;

std::int64_t MillisecondsFromFileTime(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<std::int64_t>(value.QuadPart / kTicksPerMillisecond);
}

FILETIME FileTimeFromMilliseconds(std::int64_t milliseconds) {
    ULARGE_INTEGER value;
    value.QuadPart = static_cast<ULONGLONG>(milliseconds) * kTicksPerMillisecond;
    FILETIME time;
    time.dwLowDateTime = value.LowPart;
    time.dwHighDateTime = value.HighPart;
    return time;
}

// Local wall-clock milliseconds since 1601-01-01 of a UTC moment; false when out of range.
bool LocalMilliseconds(std::int64_t utcMs, std::int64_t& localMs) {
    const FILETIME utc = FileTimeFromMilliseconds(utcMs);
    SYSTEMTIME utcTime, localTime;
    FILETIME local;
    TIME_ZONE_INFORMATION zone;
    if (!::FileTimeToSystemTime(&utc, &utcTime) ||
        !::SystemTimeToTzSpecificLocalTime(LocalTimeZone(zone), &utcTime, &localTime) ||
        !::SystemTimeToFileTime(&localTime, &local)) {
        return false;
    }
    localMs = MillisecondsFromFileTime(local);
    return true;
}

using PreciseTimeFunction = VOID(WINAPI*)(LPFILETIME);

// Available from Windows 8 on; looked up so that the module still loads on older systems.
PreciseTimeFunction PreciseTime() {
    static const PreciseTimeFunction function = [] {
        HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
        FARPROC address =
            kernel ? ::GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
        return reinterpret_cast<PreciseTimeFunction>(reinterpret_cast<void*>(address));
    }();
    return function;
}

}  // namespace

const TIME_ZONE_INFORMATION* LocalTimeZone(TIME_ZONE_INFORMATION& zone) noexcept {
    static SRWLOCK lock = SRWLOCK_INIT;
    static TIME_ZONE_INFORMATION cached{};
    static bool valid = false;
    static ULONGLONG readAt = 0;
    const ULONGLONG now = ::GetTickCount64();
    ::AcquireSRWLockShared(&lock);
    const bool fresh = valid && now - readAt < 1000;
    zone = cached;
    ::ReleaseSRWLockShared(&lock);
    if (fresh) return &zone;
    if (::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return nullptr;
    ::AcquireSRWLockExclusive(&lock);
    cached = zone;
    readAt = now;
    valid = true;
    ::ReleaseSRWLockExclusive(&lock);
    return &zone;
}

const STimeZone& STimeZone::TZ_Local() {
    static const STimeZone zone(true);
    return zone;
}

const STimeZone& STimeZone::TZ_UTC() {
    static const STimeZone zone(false);
    return zone;
}

SDateTime::SDateTime(DATE date, const STimeZone& zone) {
    if (!std::isfinite(date)) return;
    SYSTEMTIME shown, utc;
    if (!::VariantTimeToSystemTime(date, &shown)) return;
    if (zone.IsLocal()) {
        TIME_ZONE_INFORMATION local;
        if (!::TzSpecificLocalTimeToSystemTime(LocalTimeZone(local), &shown, &utc)) return;
    } else {
        utc = shown;
    }
    FILETIME time;
    if (!::SystemTimeToFileTime(&utc, &time)) return;  // before 1601
    m_utcMs = MillisecondsFromFileTime(time);
    m_valid = true;
}

SDateTime SDateTime::GetCurrentDateTime() {
    FILETIME now;
    if (PreciseTimeFunction precise = PreciseTime()) {
        precise(&now);
    } else {
        ::GetSystemTimeAsFileTime(&now);
    }
    SDateTime result;
    result.m_utcMs = MillisecondsFromFileTime(now);
    result.m_valid = true;
    return result;
}

std::int64_t SDateTime::GetLocalDay() const {
    std::int64_t localMs = 0;
    if (!m_valid || !LocalMilliseconds(m_utcMs, localMs)) return 0;
    return localMs / kMillisecondsPerDay;
}

STime SDateTime::GetTime() const {
    std::int64_t localMs = 0;
    if (!m_valid || !LocalMilliseconds(m_utcMs, localMs)) return STime();
    return STime(localMs % kMillisecondsPerDay);
}

}  // namespace Zentil500
