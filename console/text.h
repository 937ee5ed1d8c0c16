// Text helpers of the console host: UTF-8 and UTF-16 conversion, output to the console or to a
// redirected handle, and the texts of status codes, dates and durations.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <string_view>

namespace KeyTool {

// UTF-16 -> UTF-8; throws std::runtime_error for text that is not valid UTF-16 (a lone
// surrogate), so that nothing is written in a lossy form.
std::string ToUtf8(std::wstring_view text);
// UTF-8 -> UTF-16; throws std::runtime_error for bytes that are not valid UTF-8.
std::wstring FromUtf8(std::string_view text);

// Writes text to standard output or standard error: through the console when the handle is one,
// else as UTF-8 (pipes, files).
void Out(std::wstring_view text);
void Err(std::wstring_view text);
// Writes UTF-8 text to standard output as it is (through the console as UTF-16 when standard
// output is one). False when it could not be written (a full disk, a closed pipe).
bool OutUtf8(std::string_view text);
// Whether standard error is a console (a terminal), not a file or a pipe.
bool ErrIsTerminal();

// "0x80042A90".
std::wstring HexStatus(HRESULT hr);
// "0x80042A90 KV_E_INVALIDSTATETRANSITION: the key's state does not allow this change"; the
// system's message for codes this program does not know.
std::wstring StatusText(HRESULT hr);

// The status's name, when this program knows one ("KV_E_INVALIDSTATETRANSITION",
// "DISP_E_TYPEMISMATCH", "ERROR_FILE_NOT_FOUND", ...), else a description of its kind ("Win32
// error 1234"); and its meaning (the system's message with its inserts left out, when the table
// of this program has none).
std::wstring StatusName(HRESULT hr);
std::wstring StatusMeaning(HRESULT hr);

// Stored text made safe to print: control characters (C0, DEL, C1), line and paragraph
// separators, bidirectional controls and unpaired surrogates are written as escapes ("\x1b",
// "\u202e"), so that a title can neither move the cursor nor forge or reorder output.
std::wstring SafeText(std::wstring_view text);
// How many characters of stored or imported text a message quotes at most.
inline constexpr size_t kExcerptLength = 60;
// ... and of a description that an object gave with its error information.
inline constexpr size_t kDescriptionLength = 300;
// Stored or imported text as a message quotes it: made safe (SafeText) and bounded. A text
// longer than `limit` characters is cut (at a character boundary) and marked with its length:
// "SI_\x1b[31mRED... (1,048,576 characters)".
std::wstring Excerpt(std::wstring_view text, size_t limit = kExcerptLength);
// The same for bytes read from a file, which should be UTF-8: a byte that is not part of valid
// UTF-8 is written as "\xff".
std::wstring ExcerptOfBytes(std::string_view bytes, size_t limit = kExcerptLength);
// "1,234,567".
std::wstring Grouped(unsigned long long number);

// Whether text holds a control character, a line or paragraph separator or an unpaired surrogate
// (what a new title may not hold).
bool HasControlCharacters(std::wstring_view text);

// "2026-05-01 14:03:59" for a VT_DATE value.
std::wstring DateText(DATE date);
// "2026-05-01T12:03:59Z": a VT_DATE value in local time, as ISO 8601 in UTC; empty for a value
// that is not a valid date.
std::string IsoUtcText(DATE localDate);
// "5 s", "3 min 07 s", "1 h 02 min", "2 d 4 h" for milliseconds; "24 d 20 h or more" at the
// 32-bit limit.
std::wstring DurationText(long milliseconds);

}  // namespace KeyTool
