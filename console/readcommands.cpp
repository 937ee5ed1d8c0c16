// The commands that read keys: list, show and verify.
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cwchar>

#include "commandsupport.h"
#include "failure.h"
#include "keycrypto.h"
#include "keyreport.h"
#include "text.h"

namespace KeyTool {

namespace {

// The width of an ID column: at least 6, and the digits of the largest ID.
int IdColumnWidth(const std::vector<long>& ids) {
    long largest = 0;
    for (const long id : ids) largest = std::max(largest, id);
    return std::max(6, static_cast<int>(std::to_wstring(largest).size()));
}

}  // namespace

int RunList(Context& context) {
    IdFilter filter;
    if (context.Has(L"--state")) {
        filter.state = StateFromName(context.arguments.values.at(L"--state"));
        if (!filter.state)
            UsageError(
                L"--state takes ACTIVE, DEACTIVATED, REKEY_SUSPENDED, REKEY_IN_PROGRESS or "
                L"REVOKED, not '" +
                    Excerpt(context.arguments.values.at(L"--state")) + L"'",
                L"list");
    }
    filter.compromisedOnly = context.Has(L"--compromised");
    const bool json = context.Has(L"--json");
    Session& session = OpenSession(context, kRead);
    const std::vector<long> ids = session.Db().Ids(kKeyKind, filter);

    // Each key's row (or JSON element) is made as soon as its report is, and the report
    // dropped: nothing but the output grows with the number of keys.
    JoinedPieces<std::wstring> rows;
    JoinedPieces<std::string> elements(",\n");
    size_t unreadable = 0;
    const int width = IdColumnWidth(ids);
    ForEachReport(session, ids, json, false, L"list", [&](size_t, KeyReport& report) {
        // The filters hold for what the key module reports; a key whose state or flag cannot
        // be read is shown, with its problem.
        if ((filter.state && report.state && *report.state != *filter.state) ||
            (filter.compromisedOnly && report.compromised && !*report.compromised))
            return;
        if (!report.problems.empty()) ++unreadable;
        if (json) {
            elements.Add(KeyJson(report, true, 4));
            return;
        }
        wchar_t line[256];
        swprintf(line, 256, L"%-*ld  %-17ls  %-11ls  %-15ls  ", width, report.id,
                 report.state ? StateText(*report.state).c_str() : L"?",
                 report.compromised ? (*report.compromised ? L"yes" : L"no") : L"?",
                 report.period ? DurationText(*report.period).c_str() : L"?");
        std::wstring row = line + (report.title ? SafeText(*report.title) : std::wstring(L"?"));
        for (const Problem& problem : report.problems)
            row += L"  [cannot read " + ProblemText(problem) + L"]";
        rows.Add(row + L"\n");
    });
    const size_t shown = json ? elements.Count() : rows.Count();
    session.Db().Commit();
    if (json) {
        OutJsonWithItems(Document("keytool list", session), "keys", elements.Joined());
    } else if (shown == 0) {
        Out(std::wstring(ids.empty() && !filter.state && !filter.compromisedOnly
                             ? L"No keys in "
                             : L"No matching keys in ") +
            session.Path() + L".\n");
    } else {
        wchar_t line[256];
        swprintf(line, 256, L"%-*ls  %-17ls  %-11ls  %-15ls  %ls\n", width, L"ID", L"STATE",
                 L"COMPROMISED", L"ACTIVE PERIOD", L"TITLE");
        std::wstring& text = rows.Joined();
        text.insert(0, line);
        Out(text);
    }
    if (unreadable > 0) {
        Err(L"keytool: " + std::to_wstring(unreadable) + L" of " + std::to_wstring(shown) +
            L" key(s) could not be read in full; their rows say what is wrong.\n");
        return kExitRefused;
    }
    return kExitOk;
}

int RunShow(Context& context) {
    const long id = ParseId(context.arguments.positional[0], L"the key ID", L"show");
    const bool reveal = context.Has(L"--reveal");
    Session& session = OpenSession(context, kRead);
    const KeyObject key = session.OpenKey(id, L"show");
    const KeyReport report = Inspect(key, true, reveal, L"show");
    session.Db().Commit();
    if (context.Has(L"--json")) {
        Json document = Document("keytool show", session);
        document["key"] = Json::parse(KeyJson(report, true, 0));  // as list writes it
        OutJson(document);
        return report.problems.empty() ? kExitOk : kExitRefused;
    }
    const auto field = [](const wchar_t* label, const std::wstring& value) {
        wchar_t head[32];
        swprintf(head, 32, L"  %-22ls", (std::wstring(label) + L":").c_str());
        return head + value + L"\n";
    };
    const auto or_unreadable = [](const std::optional<std::wstring>& value) {
        return value ? *value : std::wstring(L"(cannot be read)");
    };
    std::wstring text =
        L"Key " + std::to_wstring(id) + L" \"" +
        or_unreadable(report.title ? std::optional(SafeText(*report.title)) : std::nullopt) +
        L"\"\n";
    text += field(L"state", report.state ? StateText(*report.state) + L" (" +
                                               std::to_wstring(*report.state) + L")"
                                         : L"(cannot be read)");
    text += field(L"compromised", report.compromised ? (*report.compromised ? L"yes" : L"no")
                                                     : L"(cannot be read)");
    if (report.created) text += field(L"created", DateText(*report.created));
    text +=
        field(L"active period", report.period ? DurationText(*report.period) : L"(cannot be read)");
    if (report.mimeType) text += field(L"MIME type", SafeText(*report.mimeType));
    if (reveal) {
        text += field(L"key value", or_unreadable(report.value));
        text += field(L"derived key", or_unreadable(report.derived));
    } else {
        text += field(L"key value", L"(hidden; add --reveal to print it)");
        text += field(L"derived key", L"(hidden; add --reveal to print it)");
    }
    text += field(L"derivation",
                  report.algorithm.empty()
                      ? L"(not recorded)"
                      : SafeText(report.algorithm) + L", " + SafeText(report.iterations) +
                            L" iterations, salt and keys in " + SafeText(report.encoding));
    text += field(L"corporate categories",
                  report.corporate ? IdList(*report.corporate) : L"(cannot be read)");
    text += field(L"personal categories",
                  report.personal ? IdList(*report.personal) : L"(cannot be read)");
    for (const Problem& problem : report.problems)
        text += field(L"cannot read", ProblemText(problem));
    Out(text);
    return report.problems.empty() ? kExitOk : kExitRefused;
}

namespace {

// What is wrong with a key's material: its derived key made again from its value, salt and
// iteration count (PBKDF2-HMAC-SHA-256), and the encodings. Empty when all is well.
std::vector<std::wstring> CheckMaterial(const KeyReport& report) {
    std::vector<std::wstring> problems;
    for (const Problem& problem : report.problems)
        problems.push_back(L"cannot read " + ProblemText(problem));
    if (!problems.empty()) return problems;
    if (report.algorithm.empty()) {
        problems.push_back(L"derivation parameters: the key has no derivation record (" +
                           std::wstring(Prop::kDerivation) + L")");
        return problems;
    }
    if (report.algorithm != L"PBKDF2-HMAC-SHA256")
        problems.push_back(L"derivation parameters: unknown algorithm '" +
                           Excerpt(report.algorithm) + L"'");
    KeyEncoding encoding = KeyEncoding::Hex;
    if (report.encoding == L"base64")
        encoding = KeyEncoding::Base64;
    else if (report.encoding != L"hex")
        problems.push_back(L"value encoding: unknown encoding '" + Excerpt(report.encoding) + L"'");
    wchar_t* end = nullptr;
    const unsigned long long iterations = std::wcstoull(report.iterations.c_str(), &end, 10);
    const bool iterationsValid =
        !report.iterations.empty() && *end == L'\0' && iterations >= 1 && iterations <= 100000000;
    if (!iterationsValid)
        problems.push_back(L"derivation parameters: the iteration count '" +
                           Excerpt(report.iterations) +
                           L"' is not a whole number from 1 to "
                           L"100000000");
    if (!problems.empty()) return problems;

    std::vector<BYTE> value, derived, salt;
    const std::wstring name = encoding == KeyEncoding::Hex ? L"hex" : L"Base64";
    if (!DecodeBytes(*report.value, encoding, value) || value.empty())
        problems.push_back(L"value encoding: the key value is not valid " + name);
    if (!DecodeBytes(*report.derived, encoding, derived) || derived.empty())
        problems.push_back(L"value encoding: the derived key is not valid " + name);
    if (!DecodeBytes(report.salt, encoding, salt) || salt.empty())
        problems.push_back(L"derivation parameters: the salt is missing or not valid " + name);
    if (problems.empty() && DeriveKey(value, salt, static_cast<ULONG>(iterations)) != derived)
        problems.push_back(L"derived key: it does not match the key value (PBKDF2-HMAC-SHA256, " +
                           report.iterations + L" iterations)");
    SecureZeroMemory(value.data(), value.size());
    SecureZeroMemory(derived.data(), derived.size());
    return problems;
}

}  // namespace

int RunVerify(Context& context) {
    std::vector<long> ids;
    for (const std::wstring& word : context.arguments.positional)
        ids.push_back(ParseId(word, L"the key ID", L"verify"));
    const bool json = context.Has(L"--json");
    Session& session = OpenSession(context, kRead);
    const bool every = ids.empty();
    if (every) ids = session.Db().Ids(kKeyKind);
    const int width = IdColumnWidth(ids);
    // Each key's material is checked as soon as its report is made, and then cleared; its
    // lines (or JSON element) are made at once and the report dropped.
    JoinedPieces<std::wstring> lines;
    JoinedPieces<std::string> elements(",\n");
    size_t failed = 0;
    const auto check = [&](size_t index, KeyReport& report) {
        const std::vector<std::wstring> problems = CheckMaterial(report);
        if (report.value) SecureZeroMemory(report.value->data(), report.value->size() * 2);
        if (report.derived) SecureZeroMemory(report.derived->data(), report.derived->size() * 2);
        report.value.reset();
        report.derived.reset();
        if (!problems.empty()) ++failed;
        const long id = ids[index];
        if (json) {
            JsonText entry(4);
            entry.Open('{');
            entry.Key("id");
            entry.Number(id);
            entry.Key("title");
            report.title ? entry.String(*report.title) : entry.Null();
            entry.Key("ok");
            entry.Bool(problems.empty());
            entry.Key("problems");
            entry.Open('[');
            for (const std::wstring& problem : problems) {
                entry.Element();
                entry.String(problem);
            }
            entry.Close(']');
            entry.Close('}');
            elements.Add(entry.Text());
            return;
        }
        wchar_t head[64];
        swprintf(head, 64, L"%-*ld  %-8ls  ", width, id, problems.empty() ? L"ok" : L"MISMATCH");
        std::wstring text = head + (report.title ? SafeText(*report.title) : L"?") + L"\n";
        for (const std::wstring& problem : problems) text += L"        - " + problem + L"\n";
        lines.Add(text);
    };
    if (every) {
        ForEachReport(session, ids, true, true, L"verify", check);
    } else {
        // The keys named, in the order named.
        for (size_t i = 0; i < ids.size(); ++i) {
            KeyReport report = ReportOf(session, ids[i], true, true, L"verify");
            check(i, report);
        }
    }
    session.Db().Commit();
    if (json) {
        Json tail;
        tail["checked"] = ids.size();
        tail["failed"] = failed;
        OutJsonWithItems(Document("keytool verify", session), "keys", elements.Joined(), tail);
    } else {
        std::wstring& text = lines.Joined();
        text += L"Verified " + std::to_wstring(ids.size()) + L" key(s): " +
                (failed == 0 ? std::wstring(L"all match.")
                             : std::to_wstring(failed) + L" with problems.") +
                L"\n";
        Out(text);
    }
    return failed == 0 ? kExitOk : kExitRefused;
}

}  // namespace KeyTool
