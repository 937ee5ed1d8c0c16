#include "corpus.h"

namespace {

constexpr HRESULT kSyntaxError = DISP_E_EXCEPTION;

std::vector<CorpusCase> MakeCorpus() {
    const std::wstring longName(300, L'x');  // longer than a key name may be
    return {
        {"module-script",
         // A stale subkey of the class key, which ForceRemove must take away.
         LR"(HKCR { CLSID { {B6BC34FF-F074-400a-B5AA-E00F66CAD414} { Stale } } })",
         ModuleScript(),
         "RRU",
         {S_OK, S_OK, S_OK}},
        {"quotes",
         L"",
         LR"(HKCU { 'it''s a key' = s 'it''s ''quoted''' { 'x y' = s '' )"
         LR"(val 'a name' = s 'a  b' } })",
         "RU",
         {S_OK, S_OK}},
        {"quoted-keyword",
         LR"(HKCU { X { Y } })",
         LR"(HKCU { 'Delete' X 'ForceRemove' Y })",
         "R",
         {S_OK}},
        {"quoted-brace", L"", LR"(HKCU { '{' = s '}' })", "R", {S_OK}},
        {"replacements",
         L"",
         LR"(HKCU { Module = s '%MODULE%' { val Raw = s %WORD% val Pct = s '100%%' )"
         LR"(val App = s 'x%APPID%y' val Case = s '%module%' } })",
         "RU",
         {S_OK, S_OK}},
        {"replacement-unknown", L"", LR"(HKCU { A = s '%NOPE%' })", "R", {kSyntaxError}},
        {"replacement-unclosed", L"", LR"(HKCU { A = s '100%' })", "R", {kSyntaxError}},
        {"forceremove",
         LR"(HKCU { F = s 'old' { Stale { Deep } val old = s 'x' } })",
         LR"(HKCU { ForceRemove F = s 'new' { Fresh } })",
         "RRU",
         {S_OK, S_OK, S_OK}},
        {"noremove",
         LR"(HKCU { Keep { Other } })",
         LR"(HKCU { NoRemove Keep { Child = s 'c' } NoRemove Lone })",
         "RU",
         {S_OK, S_OK}},
        {"delete",
         LR"(HKCU { Gone { Sub { Deeper } } Stay })",
         LR"(HKCU { Delete Gone Stay { New } })",
         "RU",
         {S_OK, S_OK}},
        {"delete-unregister", LR"(HKCU { D { E } })", LR"(HKCU { Delete D })", "U", {S_OK}},
        {"values",
         L"",
         LR"(HKCU { V = s 'default' { val S = s 'text' val D1 = d 123 val D2 = d -1 )"
         LR"(val D3 = d '2147483647' val D4 = d -2147483648 val B = b 00FF10ab val E = b '' )"
         LR"(val Es = s '' } })",
         "RU",
         {S_OK, S_OK}},
        {"dword-above-int-max",
         L"",
         LR"(HKCU { V { val Big = d 4294967295 val Mid = d 2147483649 } })",
         "R",
         {S_OK}},
        {"dword-hex", L"", LR"(HKCU { V { val H = d 0x1F val F = d 0xFFFFFFFF } })", "R", {S_OK}},
        {"dword-out-of-range", L"", LR"(HKCU { V { val X = d 4294967296 } })", "R", {kSyntaxError}},
        {"multi-string", L"", LR"(HKCU { V { val M = m { 'a' 'b c' } } })", "RU", {S_OK, S_OK}},
        {"binary-odd", L"", LR"(HKCU { B { val Odd = b 123 } })", "R", {kSyntaxError}},
        {"never-deleted",
         L"",
         LR"(HKCR { AppID { A } clsid { K } 'Component Categories' { C } FileType { F } )"
         LR"(Interface { I } Hardware { H } Mime { M } SAM { S } SECURITY { Se } SYSTEM { Sy } )"
         LR"(Software { So } TypeLib { T } })",
         "RU",
         {S_OK, S_OK}},
        {"never-deleted-only-below-root",
         L"",
         LR"(HKCU { Outer { CLSID { X } TypeLib } })",
         "RU",
         {S_OK, S_OK}},
        {"forceremove-never-deleted",
         LR"(HKCR { TypeLib { Existing } })",
         LR"(HKCR { ForceRemove TypeLib { New } })",
         "R",
         {S_OK}},
        {"unregister-named-values",
         LR"(HKCU { Holder { val Named = s 'x' val Other = s 'y' } })",
         LR"(HKCU { NoRemove Holder { val Named = s 'x' } })",
         "U",
         {S_OK}},
        {"keys-of-others",
         LR"(HKCU { Shared { Foreign } ValuesOnly { val extra = s 'x' } })",
         LR"(HKCU { Shared { Mine } ValuesOnly })",
         "RU",
         {S_OK, S_OK}},
        {"registry-failure",
         LR"(HKCU { Pre })",
         L"HKCU { Pre { New } " + longName + L" }",
         "R",
         {HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)}},
        {"case-insensitive",
         LR"(HKCU { C { D } })",
         LR"(hkey_current_user { noremove A { Sub { VAL x = s 'y' } } FORCEREMOVE B dElEtE C })",
         "RU",
         {S_OK, S_OK}},
        {"bare-words",
         L"",
         L"HKCU\r\n{\r\n\t{B6BC34FF-F074-400a-B5AA-E00F66CAD414} = s bare\r\n\t{\r\n"
         L"\t\tval name = s x\r\n\t}\r\n\tPath\\To\\Leaf\r\n}\r\n",
         "RU",
         {S_OK, S_OK}},
        {"empty-script", L"", L" \r\n\t ", "R", {S_OK}},
        {"root-without-body", L"", L"HKCU", "R", {kSyntaxError}},
        {"stray-token-after-block", L"", L"HKCU { A } B", "R", {kSyntaxError}},
        // Inputs the peer never returns from.
        {"unclosed-block", L"", L"HKCU {", "R", {kSyntaxError}},
        {"flag-without-name", L"", L"HKCU { NoRemove }", "R", {kSyntaxError}},
        {"default-without-type", L"", L"HKCU { K = 'v' }", "R", {kSyntaxError}},
        {"default-without-type-unregister",
         LR"(HKCU { K })",
         L"HKCU { K = 'v' }",
         "U",
         {kSyntaxError}},
    };
}

}  // namespace

const std::vector<std::pair<std::wstring, std::wstring>>& CorpusReplacements() {
    static const std::vector<std::pair<std::wstring, std::wstring>> replacements = {
        {L"APPID", L""},
        {L"Module", L"C:\\Program Files\\O''Brien\\CryptoGraphicKey.dll"},
        {L"Module_Raw", L"C:\\Program Files\\O'Brien\\CryptoGraphicKey.dll"},
        {L"Word", L"Bare'Word"},
    };
    return replacements;
}

std::wstring ModuleScript() {
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(101), L"REGISTRY");
    if (!resource) return L"<no resource>";
    const HGLOBAL loaded = LoadResource(nullptr, resource);
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    const int size = static_cast<int>(SizeofResource(nullptr, resource));
    std::wstring text(static_cast<size_t>(size), L'\0');
    text.resize(
        static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, bytes, size, text.data(), size)));
    return text;
}

const std::vector<CorpusCase>& RegistrarCorpus() {
    static const std::vector<CorpusCase> corpus = MakeCorpus();
    return corpus;
}
