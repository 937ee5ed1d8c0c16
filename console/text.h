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

// "0x80042A90".
std::wstring HexStatus(HRESULT hr);
// "0x80042A90 KV_E_INVALIDSTATETRANSITION: the key's state does not allow this change"; the
// system's message for codes this program does not know.
std::wstring StatusText(HRESULT hr);

// "2026-05-01 14:03:59" for a VT_DATE value.
std::wstring DateText(DATE date);
// "5 s", "3 min 07 s", "1 h 02 min", "2 d 4 h" for milliseconds; "24 d 20 h or more" at the
// 32-bit limit.
std::wstring DurationText(long milliseconds);

}  // namespace KeyTool
