// The registry-script interpreter: replacement, tokenising, parsing into a tree, then applying
// the tree to the registry. See registrar.h for the language.
#include "registrar.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace {

constexpr HRESULT kSyntaxError = DISP_E_EXCEPTION;

#define RETURN_IF_FAILED(expr)       \
    do {                             \
        const HRESULT hr_ = (expr);  \
        if (FAILED(hr_)) return hr_; \
    } while (0)

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) noexcept {
    // Names are short; the size check also keeps the lengths within int.
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

HRESULT FromWin32(LSTATUS status) noexcept {
    return HRESULT_FROM_WIN32(status);
}

// The thread's last error as a status; never S_OK, even if the failing call left no error code.
HRESULT LastError() noexcept {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

struct RootName {
    const wchar_t* shortName;
    const wchar_t* longName;
    HKEY key;
};

const RootName kRoots[] = {
    {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKU", L"HKEY_USERS", HKEY_USERS},
    {L"HKPD", L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {L"HKDD", L"HKEY_DYN_DATA", HKEY_DYN_DATA},
    {L"HKCC", L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

HKEY RootFromName(std::wstring_view name) noexcept {
    for (const RootName& root : kRoots) {
        if (EqualsNoCase(name, root.shortName) || EqualsNoCase(name, root.longName)) {
            return root.key;
        }
    }
    return nullptr;
}

bool IsRootKey(HKEY key) noexcept {
    for (const RootName& root : kRoots) {
        if (root.key == key) return true;
    }
    return false;
}

// ---- Replacement ----

HRESULT ReplaceNames(std::wstring_view text,
                     const std::vector<std::pair<std::wstring, std::wstring>>& replacements,
                     std::wstring& out) {
    out.clear();
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t percent = text.find(L'%', pos);
        if (percent == std::wstring_view::npos) {
            out.append(text.substr(pos));
            break;
        }
        out.append(text.substr(pos, percent - pos));
        const size_t close = text.find(L'%', percent + 1);
        if (close == std::wstring_view::npos) return kSyntaxError;
        const std::wstring_view name = text.substr(percent + 1, close - percent - 1);
        if (name.empty()) {
            out.push_back(L'%');
        } else {
            const std::wstring* value = nullptr;
            for (const auto& replacement : replacements) {
                if (EqualsNoCase(name, replacement.first)) {
                    value = &replacement.second;
                    break;
                }
            }
            if (!value) return kSyntaxError;
            out.append(*value);
        }
        pos = close + 1;
    }
    return S_OK;
}

// ---- Tokenising ----

struct Token {
    std::wstring text;
    bool quoted = false;
};

bool IsScriptSpace(wchar_t c) noexcept {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

HRESULT Tokenize(std::wstring_view text, std::vector<Token>& tokens) {
    const size_t n = text.size();
    size_t pos = 0;
    for (;;) {
        while (pos < n && IsScriptSpace(text[pos])) ++pos;
        if (pos == n) return S_OK;
        Token token;
        if (text[pos] == L'\'') {
            token.quoted = true;
            ++pos;
            for (;;) {
                if (pos == n) return kSyntaxError;  // unclosed quote
                if (text[pos] == L'\'') {
                    if (pos + 1 < n && text[pos + 1] == L'\'') {
                        token.text.push_back(L'\'');
                        pos += 2;
                        continue;
                    }
                    ++pos;
                    break;
                }
                token.text.push_back(text[pos++]);
            }
        } else if (text[pos] == L'}' || text[pos] == L'=') {
            token.text.assign(1, text[pos++]);
        } else {
            const size_t start = pos;
            while (pos < n && !IsScriptSpace(text[pos])) ++pos;
            token.text.assign(text.substr(start, pos - start));
        }
        tokens.push_back(std::move(token));
    }
}

// ---- Data ----

int HexDigit(wchar_t c) noexcept {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Decimal with an optional sign, -2147483648 ... 4294967295 (values above 0x7FFFFFFF are kept as
// unsigned, not clamped), or 0x followed by hex digits up to 0xFFFFFFFF.
bool ParseDword(std::wstring_view text, DWORD& value) noexcept {
    uint64_t magnitude = 0;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        for (const wchar_t c : text.substr(2)) {
            const int digit = HexDigit(c);
            if (digit < 0) return false;
            magnitude = magnitude * 16 + static_cast<unsigned>(digit);
            if (magnitude > 0xFFFFFFFFu) return false;
        }
        value = static_cast<DWORD>(magnitude);
        return true;
    }
    bool negative = false;
    size_t pos = 0;
    if (!text.empty() && (text[0] == L'-' || text[0] == L'+')) {
        negative = text[0] == L'-';
        pos = 1;
    }
    if (pos == text.size()) return false;
    for (; pos < text.size(); ++pos) {
        if (text[pos] < L'0' || text[pos] > L'9') return false;
        magnitude = magnitude * 10 + static_cast<unsigned>(text[pos] - L'0');
        if (magnitude > 0xFFFFFFFFu) return false;
    }
    if (negative) {
        if (magnitude > 0x80000000u) return false;
        value = static_cast<DWORD>(0u - static_cast<uint32_t>(magnitude));
    } else {
        value = static_cast<DWORD>(magnitude);
    }
    return true;
}

bool ParseBinary(std::wstring_view text, std::vector<BYTE>& bytes) {
    if (text.size() % 2 != 0) return false;
    bytes.reserve(text.size() / 2);
    for (size_t pos = 0; pos < text.size(); pos += 2) {
        const int high = HexDigit(text[pos]);
        const int low = HexDigit(text[pos + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<BYTE>(high * 16 + low));
    }
    return true;
}

void AppendString(std::vector<BYTE>& bytes, std::wstring_view text) {
    // The string with its terminating null: (characters + 1) * 2 bytes.
    const size_t start = bytes.size();
    bytes.resize(start + (text.size() + 1) * sizeof(wchar_t));
    if (!text.empty())
        std::memcpy(bytes.data() + start, text.data(), text.size() * sizeof(wchar_t));
}

// A key name may name a path ("A\B"), but no part of it may be empty: "" or "A\" would make the
// registry calls act on the parent key itself (unregistering would delete the parent).
bool IsValidKeyName(std::wstring_view name) noexcept {
    if (name.empty() || name.front() == L'\\' || name.back() == L'\\') return false;
    return name.find(L"\\\\") == std::wstring_view::npos;
}

// ---- Parsing ----

class Parser {
  public:
    explicit Parser(const std::vector<Token>& tokens) : m_tokens(tokens) {}

    HRESULT ParseScript(RegScript& script) {
        while (const Token* token = Next()) {
            RegScriptRoot root;
            root.key = token->quoted ? nullptr : RootFromName(token->text);
            if (!root.key) return kSyntaxError;
            if (!NextIsMark(L'{')) return kSyntaxError;
            RETURN_IF_FAILED(ParseEntries(root.entries, 1));
            script.roots.push_back(std::move(root));
        }
        return S_OK;
    }

  private:
    const Token* Next() noexcept { return m_pos < m_tokens.size() ? &m_tokens[m_pos++] : nullptr; }

    static bool IsMark(const Token& token, wchar_t mark) noexcept {
        return !token.quoted && token.text.size() == 1 && token.text[0] == mark;
    }
    static bool IsWord(const Token& token) noexcept {
        return !IsMark(token, L'{') && !IsMark(token, L'}') && !IsMark(token, L'=');
    }
    static bool IsKeyword(const Token& token, std::wstring_view keyword) noexcept {
        return !token.quoted && EqualsNoCase(token.text, keyword);
    }
    static RegKeyFlag FlagOf(const Token& token) noexcept {
        if (IsKeyword(token, L"ForceRemove")) return RegKeyFlag::ForceRemove;
        if (IsKeyword(token, L"NoRemove")) return RegKeyFlag::NoRemove;
        if (IsKeyword(token, L"Delete")) return RegKeyFlag::Delete;
        return RegKeyFlag::None;
    }

    bool PeekIsMark(wchar_t mark) const noexcept {
        return m_pos < m_tokens.size() && IsMark(m_tokens[m_pos], mark);
    }
    bool NextIsMark(wchar_t mark) noexcept {
        const Token* token = Next();
        return token && IsMark(*token, mark);
    }
    const Token* NextWord() noexcept {
        const Token* token = Next();
        return token && IsWord(*token) ? token : nullptr;
    }

    // Entries up to and including the closing brace of the enclosing block.
    HRESULT ParseEntries(std::vector<RegScriptEntry>& entries, size_t depth) {
        for (;;) {
            const Token* token = Next();
            if (!token) return kSyntaxError;  // unclosed block
            if (IsMark(*token, L'}')) return S_OK;

            RegScriptEntry entry;
            if (IsKeyword(*token, L"val")) {
                entry.isValue = true;
                const Token* name = NextWord();
                if (!name || !NextIsMark(L'=')) return kSyntaxError;
                entry.name = name->text;
                entry.data.emplace();
                RETURN_IF_FAILED(ParseData(*entry.data));
            } else {
                entry.flag = FlagOf(*token);
                if (entry.flag != RegKeyFlag::None) token = Next();
                // A flag needs a name; an unquoted keyword is not one (quote it to use it).
                if (!token || !IsWord(*token) || FlagOf(*token) != RegKeyFlag::None ||
                    IsKeyword(*token, L"val") || !IsValidKeyName(token->text)) {
                    return kSyntaxError;
                }
                entry.name = token->text;
                if (PeekIsMark(L'=')) {
                    ++m_pos;
                    entry.data.emplace();
                    RETURN_IF_FAILED(ParseData(*entry.data));
                }
                if (PeekIsMark(L'{')) {
                    ++m_pos;
                    if (depth >= CRegistrar::kMaxDepth) return kSyntaxError;
                    RETURN_IF_FAILED(ParseEntries(entry.children, depth + 1));
                }
            }
            entries.push_back(std::move(entry));
        }
    }

    HRESULT ParseData(RegScriptData& data) {
        const Token* type = Next();
        if (!type || type->quoted || type->text.size() != 1) return kSyntaxError;
        switch (type->text[0]) {
            case L's': {
                const Token* word = NextWord();
                if (!word) return kSyntaxError;
                data.type = REG_SZ;
                AppendString(data.bytes, word->text);
                return S_OK;
            }
            case L'm': {
                if (!NextIsMark(L'{')) return kSyntaxError;
                data.type = REG_MULTI_SZ;
                for (;;) {
                    const Token* word = Next();
                    if (!word) return kSyntaxError;
                    if (IsMark(*word, L'}')) break;
                    // An empty string would end the list for every reader.
                    if (!IsWord(*word) || word->text.empty()) return kSyntaxError;
                    AppendString(data.bytes, word->text);
                }
                AppendString(data.bytes, L"");
                return S_OK;
            }
            case L'd': {
                const Token* word = NextWord();
                DWORD value = 0;
                if (!word || !ParseDword(word->text, value)) return kSyntaxError;
                data.type = REG_DWORD;
                data.bytes.resize(sizeof(value));
                std::memcpy(data.bytes.data(), &value, sizeof(value));
                return S_OK;
            }
            case L'b': {
                const Token* word = NextWord();
                if (!word || !ParseBinary(word->text, data.bytes)) return kSyntaxError;
                data.type = REG_BINARY;
                return S_OK;
            }
            default:
                return kSyntaxError;
        }
    }

    const std::vector<Token>& m_tokens;
    size_t m_pos = 0;
};

// ---- Applying ----

HRESULT SetValue(HKEY key, const std::wstring& name, const RegScriptData& data) noexcept {
    if (data.bytes.size() > MAXDWORD) return E_INVALIDARG;
    const LSTATUS status = RegSetValueExW(key, name.c_str(), 0, data.type,
                                          data.bytes.empty() ? nullptr : data.bytes.data(),
                                          static_cast<DWORD>(data.bytes.size()));
    return status == ERROR_SUCCESS ? S_OK : FromWin32(status);
}

// Deletes `name` below `parent` with its whole subtree; a key that is not there is no failure.
HRESULT DeleteSubtree(HKEY parent, const std::wstring& name) noexcept {
    const LSTATUS status = RegDeleteTreeW(parent, name.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(status);
}

HRESULT RegisterEntries(HKEY parent, const std::vector<RegScriptEntry>& entries, bool belowRoot) {
    for (const RegScriptEntry& entry : entries) {
        if (entry.isValue) {
            RETURN_IF_FAILED(SetValue(parent, entry.name, *entry.data));
            continue;
        }
        const bool keep = belowRoot && CRegistrar::IsNeverDeleted(entry.name);
        if (entry.flag == RegKeyFlag::Delete) {
            if (!keep) RETURN_IF_FAILED(DeleteSubtree(parent, entry.name));
            continue;
        }
        if (entry.flag == RegKeyFlag::ForceRemove && !keep) {
            RETURN_IF_FAILED(DeleteSubtree(parent, entry.name));
        }
        UniqueHKey key;
        const LSTATUS status =
            RegCreateKeyExW(parent, entry.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr);
        if (status != ERROR_SUCCESS) return FromWin32(status);
        if (entry.data) RETURN_IF_FAILED(SetValue(key.get(), std::wstring(), *entry.data));
        RETURN_IF_FAILED(RegisterEntries(key.get(), entry.children, false));
    }
    return S_OK;
}

HRESULT UnregisterEntries(HKEY parent, const std::vector<RegScriptEntry>& entries, bool belowRoot) {
    for (const RegScriptEntry& entry : entries) {
        if (entry.isValue) {
            const LSTATUS status = RegDeleteValueW(parent, entry.name.c_str());
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return FromWin32(status);
            continue;
        }
        // Delete acts when registering only.
        if (entry.flag == RegKeyFlag::Delete) continue;

        UniqueHKey key;
        LSTATUS status =
            RegOpenKeyExW(parent, entry.name.c_str(), 0, KEY_READ | KEY_WRITE, key.put());
        if (status == ERROR_FILE_NOT_FOUND) continue;  // nothing to remove
        if (status != ERROR_SUCCESS) return FromWin32(status);
        RETURN_IF_FAILED(UnregisterEntries(key.get(), entry.children, false));

        if (entry.flag == RegKeyFlag::NoRemove) continue;
        if (belowRoot && CRegistrar::IsNeverDeleted(entry.name)) continue;
        DWORD subkeys = 0;
        status = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) return FromWin32(status);
        key.reset();
        if (subkeys != 0) continue;  // keys of others live below it
        status = RegDeleteKeyW(parent, entry.name.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return FromWin32(status);
    }
    return S_OK;
}

}  // namespace

bool CRegistrar::IsNeverDeleted(std::wstring_view name) noexcept {
    static const wchar_t* const kNeverDeleted[] = {
        L"AppID",    L"CLSID",     L"Component Categories",
        L"FileType", L"Interface", L"Hardware",
        L"Mime",     L"SAM",       L"SECURITY",
        L"SYSTEM",   L"Software",  L"TypeLib"};
    for (const wchar_t* kept : kNeverDeleted) {
        if (EqualsNoCase(name, kept)) return true;
    }
    return false;
}

HRESULT CRegistrar::AddReplacement(const wchar_t* name, const wchar_t* value) noexcept try {
    if (!name || !value) return E_POINTER;
    const std::wstring_view nameView(name);
    if (nameView.empty() || nameView.find(L'%') != std::wstring_view::npos) return E_INVALIDARG;
    for (auto& replacement : m_replacements) {
        if (EqualsNoCase(replacement.first, nameView)) {
            replacement.second = value;
            return S_OK;
        }
    }
    m_replacements.emplace_back(name, value);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT CRegistrar::RemapRoot(HKEY root, HKEY target) noexcept try {
    if (!target || !IsRootKey(root)) return E_INVALIDARG;
    for (auto& mapping : m_rootMap) {
        if (mapping.first == root) {
            mapping.second = target;
            return S_OK;
        }
    }
    m_rootMap.emplace_back(root, target);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT CRegistrar::RemapAllRoots(HKEY target) noexcept {
    if (!target) return E_INVALIDARG;
    for (const RootName& root : kRoots) RETURN_IF_FAILED(RemapRoot(root.key, target));
    return S_OK;
}

HKEY CRegistrar::RootFor(HKEY predefined) const noexcept {
    for (const auto& mapping : m_rootMap) {
        if (mapping.first == predefined) return mapping.second;
    }
    return predefined;
}

HRESULT CRegistrar::Parse(const wchar_t* script, RegScript* tree) const noexcept try {
    if (!script) return E_POINTER;
    std::wstring text;
    RETURN_IF_FAILED(ReplaceNames(script, m_replacements, text));
    std::vector<Token> tokens;
    RETURN_IF_FAILED(Tokenize(text, tokens));
    RegScript parsed;
    RETURN_IF_FAILED(Parser(tokens).ParseScript(parsed));
    if (tree) *tree = std::move(parsed);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT CRegistrar::Run(const wchar_t* script, bool doRegister) noexcept try {
    RegScript tree;
    RETURN_IF_FAILED(Parse(script, &tree));
    for (const RegScriptRoot& root : tree.roots) {
        const HKEY key = RootFor(root.key);
        RETURN_IF_FAILED(doRegister ? RegisterEntries(key, root.entries, true)
                                    : UnregisterEntries(key, root.entries, true));
    }
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT CRegistrar::StringRegister(const wchar_t* script) noexcept {
    return Run(script, true);
}

HRESULT CRegistrar::StringUnregister(const wchar_t* script) noexcept {
    return Run(script, false);
}

HRESULT CRegistrar::LoadScriptResource(HMODULE module, UINT id, std::wstring& script) noexcept try {
    if (id > 0xFFFF) return E_INVALIDARG;  // not an integer resource id
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (!resource) return LastError();
    const HGLOBAL loaded = LoadResource(module, resource);
    if (!loaded) return LastError();
    const DWORD size = SizeofResource(module, resource);
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    if (!bytes && size != 0) return LastError();

    // The script ends at the first null, if the resource carries one.
    const size_t length = bytes ? strnlen(bytes, size) : 0;
    if (length > static_cast<size_t>(INT32_MAX)) return E_INVALIDARG;
    script.clear();
    if (length != 0) {
        const int chars =
            MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(length), nullptr, 0);
        if (chars <= 0) return LastError();
        script.resize(static_cast<size_t>(chars));
        if (MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(length), script.data(),
                                chars) != chars) {
            return LastError();
        }
    }
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT CRegistrar::ResourceRegister(HMODULE module, UINT id, bool doRegister) noexcept try {
    std::wstring script;
    RETURN_IF_FAILED(LoadScriptResource(module, id, script));
    return Run(script.c_str(), doRegister);
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}
