// Wide strings: case-insensitive comparison, integer texts and message filling.
#include "zentil500.h"

#include <cwchar>
#include <cwctype>

namespace Zentil500 {

int SWCharString::compareNoCase(const wchar_t* other) const noexcept {
    if (!other) other = L"";
    return compareNoCase(other, std::wcslen(other));
}

int SWCharString::compareNoCase(const wchar_t* other, size_t otherLength) const noexcept {
    if (!other) other = L"", otherLength = 0;
    // Both texts may hold embedded nulls: they compare over their whole lengths.
    const int result = ::CompareStringOrdinal(m_text.c_str(), static_cast<int>(m_text.length()),
                                              other, static_cast<int>(otherLength), TRUE);
    if (result != 0) return result - CSTR_EQUAL;

    // Only fails for arguments it cannot take; compare ordinal upper case by hand then.
    size_t i = 0;
    for (; i < m_text.length() && i < otherLength; ++i) {
        const wint_t a = std::towupper(m_text[i]);
        const wint_t b = std::towupper(other[i]);
        if (a != b) return a < b ? -1 : 1;
    }
    if (i < m_text.length()) return 1;
    return i == otherLength ? 0 : -1;
}

namespace {

// Digits of value, most significant first, into buffer; radix already checked.
void WriteDigits(SWCharString& buffer, std::uint64_t value, int radix, bool negative) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    wchar_t text[66];  // 64 binary digits, sign, terminator
    wchar_t* p = text + 65;
    *p = L'\0';
    do {
        *--p = kDigits[value % static_cast<unsigned>(radix)];
        value /= static_cast<unsigned>(radix);
    } while (value != 0);
    if (negative) *--p = L'-';
    buffer = SWCharString(p, static_cast<size_t>(text + 65 - p));
}

bool RadixIsValid(SWCharString& buffer, int radix) {
    if (radix >= 2 && radix <= 36) return true;
    buffer = SWCharString();
    if (ShouldAssert()) SAssert(__FILE__, __LINE__, "radix >= 2 && radix <= 36");
    return false;
}

}  // namespace

void StringConvFromInteger(SWCharString& buffer, std::int64_t value, int radix) {
    if (TraceCountingEnabled()) ++ThreadTraceCounters().integerTexts;
    if (!RadixIsValid(buffer, radix)) return;
    // Negating in unsigned arithmetic also covers INT64_MIN.
    const std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    WriteDigits(buffer, magnitude, radix, value < 0);
}

void StringConvFromInteger(SWCharString& buffer, std::uint64_t value, int radix) {
    if (TraceCountingEnabled()) ++ThreadTraceCounters().integerTexts;
    if (!RadixIsValid(buffer, radix)) return;
    WriteDigits(buffer, value, radix, false);
}

SWCharString SResString::str() const {
    const std::wstring& text = m_text.str();
    std::wstring result;
    result.reserve(text.length());
    for (size_t i = 0; i < text.length(); ++i) {
        const wchar_t c = text[i];
        if (c != m_marker || i + 1 >= text.length()) {
            result += c;
            continue;
        }
        const wchar_t next = text[i + 1];
        if (next == m_marker) {
            result += m_marker;
            ++i;
        } else if (next >= L'1' && next <= L'9' &&
                   static_cast<size_t>(next - L'0') <= m_arguments.size()) {
            result += m_arguments[static_cast<size_t>(next - L'1')].str();
            ++i;
        } else {
            result += c;  // no argument for it: stays as written
        }
    }
    return SWCharString(std::move(result));
}

}  // namespace Zentil500
