// What list, show and verify report of a key, each member read through the key module, and the
// key's categories; the report as text pieces and as JSON.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "failure.h"
#include "keymodule.h"
#include "session.h"

namespace KeyTool {

using Json = nlohmann::ordered_json;

// A member of the key that could not be read, and why.
struct Problem {
    std::wstring member;  // e.g. L"KeyState"
    HRESULT hr = S_OK;
    std::wstring text;  // a description when there is no status (the key could not be opened)
};

struct KeyReport {
    long id = 0;
    std::optional<std::wstring> title;
    std::optional<long> state;
    std::optional<bool> compromised;
    std::optional<DATE> created;
    std::optional<long> period;
    std::optional<std::wstring> mimeType;
    std::optional<std::vector<long>> corporate, personal;
    std::wstring algorithm, iterations, encoding, salt;  // the derivation record, or empty
    std::optional<std::wstring> value, derived;          // only when revealed
    std::vector<Problem> problems;
};

// The key's corporate or personal category collection; Refused when it cannot be had.
ComPtr<ISObjectRelativeIDs> Categories(const KeyObject& key, bool personal,
                                       const std::wstring& command);
// The IDs in it, in order.
std::vector<long> CategoryIds(const KeyObject& key, bool personal, const std::wstring& command);
// "17, 42", or "none".
std::wstring IdList(const std::vector<long>& ids);

// Everything list (details false) or show (details true) reports of a key, each member read
// through the key module; a member that fails is a problem of the report. `reveal` adds the key
// value and the derived key.
KeyReport Inspect(const KeyObject& key, bool details, bool reveal, const std::wstring& command);

// The report of key `id` for a command that goes through many keys: a key that cannot even be
// opened gets a report that says why; the in-memory copy of the key is dropped afterwards.
KeyReport ReportOf(Session& session, long id, bool details, bool reveal, const wchar_t* command);

// Goes through the keys `ids` (ascending), reading their stored objects in one pass over the
// database (Database::Scanner), and calls `work` with the position in ids and the report of each
// key (as ReportOf makes it). Shows the progress on a terminal.
void ForEachReport(Session& session, const std::vector<long>& ids, bool details, bool reveal,
                   const wchar_t* command,
                   const std::function<void(size_t index, KeyReport& report)>& work);

// "KeyState: 0x80020005 DISP_E_TYPEMISMATCH (type mismatch ...)".
std::wstring ProblemText(const Problem& problem);

// Text as UTF-8 for JSON (unpaired surrogates escaped).
std::string Utf8(const std::wstring& text);

// JSON text laid out as OutJson lays out a document (members and elements one a line, indented
// by two spaces a level, only ASCII), written straight into one string: a list of 100,000 keys
// builds no tree for each of them. Every line starts with `margin` spaces.
class JsonText {
  public:
    explicit JsonText(size_t margin);
    void Open(char bracket);   // '{' or '['
    void Close(char bracket);  // '}' or ']'
    // Starts a member of the open object, or an element of the open array.
    void Key(std::string_view name);
    void Element();
    void Null() { m_text += "null"; }
    void Bool(bool value) { m_text += value ? "true" : "false"; }
    void Number(long long value) { m_text += std::to_string(value); }
    // Text, escaped as OutJson escapes it: UTF-16 units outside printable ASCII as \uxxxx (a
    // character beyond the first plane as its two surrogates, as from UTF-8). Text that is not
    // valid UTF-16 is first made safe, as Utf8 does.
    void String(std::wstring_view text);
    std::string& Text() noexcept { return m_text; }

  private:
    void NewLine(size_t level);
    void Escaped(std::wstring_view text);

    size_t m_margin;
    std::string m_text;
    std::vector<bool> m_empty;  // per open bracket: nothing in it yet
};

// The report as the <key> of the JSON output (README); `details` adds categories, MIME type and
// derivation.
std::string KeyJson(const KeyReport& report, bool details, size_t margin);
// JSON output: only ASCII, so that no text of the repository reaches a terminal unescaped.
void OutJson(const Json& document);
// Writes what OutJson writes for `head` with the array member `name` added, whose elements are
// `items` (texts laid out at a margin of 4, joined by ",\n"), followed by the members of `tail`:
// the document is never held as a whole tree.
void OutJsonWithItems(const Json& head, const char* name, const std::string& items,
                      const Json& tail = Json());

// Pieces of output joined in the order they are added, each after `separator`.
template <typename Text>
class JoinedPieces {
  public:
    explicit JoinedPieces(Text separator = Text()) : m_separator(std::move(separator)) {}
    void Add(const Text& piece) {
        if (m_count++ > 0) m_text += m_separator;
        m_text += piece;
    }
    size_t Count() const noexcept { return m_count; }
    Text& Joined() noexcept { return m_text; }

  private:
    Text m_separator, m_text;
    size_t m_count = 0;
};
// The head of a JSON output document of the given format.
Json Document(const char* format, Session& session);

}  // namespace KeyTool
