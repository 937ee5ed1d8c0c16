// reference.html read back against the module's type library: every member of every interface the
// library defines or its class implements, every constant of its enumerations and every status
// code of the SDK's IDL has its row, with its DISPID, kind and help string (or value, or code and
// meaning).
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "KorvelInfoStore.h"

namespace {

using Microsoft::WRL::ComPtr;

std::string ReadFile(const wchar_t* path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');
    out.resize(static_cast<size_t>(
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            static_cast<int>(out.size()), nullptr, nullptr)));
    return out;
}

std::string Escaped(const std::wstring& text) {
    static const std::map<char, std::string> entities = {
        {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}};
    std::string out;
    for (char c : Utf8(text)) out += entities.count(c) ? entities.at(c) : std::string(1, c);
    return out;
}

struct Doc {
    std::wstring name, help;
};

Doc DocOf(ITypeInfo* info, MEMBERID id) {
    BSTR name = nullptr, help = nullptr;
    EXPECT_EQ(S_OK, info->GetDocumentation(id, &name, &help, nullptr, nullptr));
    Doc doc{name ? name : L"", help ? help : L""};
    SysFreeString(name);
    SysFreeString(help);
    return doc;
}

class ReferencePage : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_page = ReadFile(REFERENCE_HTML);
        ASSERT_EQ(S_OK, LoadTypeLibEx(CRYPTOGRAPHICKEY_DLL, REGKIND_NONE, &s_library));
    }
    static void TearDownTestSuite() { s_library.Reset(); }

    // The row <tr id="<id>"> ... </tr>, empty when the page has none.
    static std::string Row(const std::string& id) {
        const size_t start = s_page.find("<tr id=\"" + id + "\">");
        if (start == std::string::npos) return {};
        return s_page.substr(start, s_page.find("</tr>", start) - start);
    }

    // Checks the rows of every member of an interface; returns how many.
    static int CheckInterface(ITypeInfo* given) {
        ComPtr<ITypeInfo> info = given;
        TYPEATTR* attr = nullptr;
        EXPECT_EQ(S_OK, info->GetTypeAttr(&attr));
        if (attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL)) {
            HREFTYPE ref = 0;
            ComPtr<ITypeInfo> vtable;
            EXPECT_EQ(S_OK, info->GetRefTypeOfImplType(-1, &ref));
            EXPECT_EQ(S_OK, info->GetRefTypeInfo(ref, &vtable));
            info->ReleaseTypeAttr(attr);
            info = vtable;
            EXPECT_EQ(S_OK, info->GetTypeAttr(&attr));
        }
        const std::string name = Utf8(DocOf(info.Get(), MEMBERID_NIL).name);
        EXPECT_NE(std::string::npos,
                  s_page.find("<section class=\"interface\" id=\"interface-" + name + "\">"))
            << name;
        static const std::map<INVOKEKIND, std::pair<std::string, std::string>> kinds = {
            {INVOKE_FUNC, {"method", "method"}},
            {INVOKE_PROPERTYGET, {"get", "property get"}},
            {INVOKE_PROPERTYPUT, {"put", "property put"}},
            {INVOKE_PROPERTYPUTREF, {"putref", "property putref"}}};
        for (UINT i = 0; i < attr->cFuncs; ++i) {
            FUNCDESC* func = nullptr;
            EXPECT_EQ(S_OK, info->GetFuncDesc(i, &func));
            const Doc member = DocOf(info.Get(), func->memid);
            const auto& kind = kinds.at(func->invkind);
            const std::string id = name + "." + Utf8(member.name) + "." + kind.first;
            const std::string row = Row(id);
            const std::string dispid =
                (attr->wTypeFlags & TYPEFLAG_FDISPATCHABLE)
                    ? std::to_string(func->memid)
                    : "- (vtable slot " + std::to_string(func->oVft / sizeof(void*)) + ")";
            EXPECT_NE(std::string::npos, row.find("<td class=\"dispid\">" + dispid))
                << id << ": " << row;
            EXPECT_NE(std::string::npos, row.find("<td class=\"kind\">" + kind.second)) << id;
            EXPECT_NE(std::string::npos, row.find(" " + Utf8(member.name) + "(")) << id;
            EXPECT_NE(std::string::npos,
                      row.find("<td class=\"help\">" + Escaped(member.help) + "</td>"))
                << id;
            info->ReleaseFuncDesc(func);
        }
        const int count = attr->cFuncs;
        info->ReleaseTypeAttr(attr);
        return count;
    }

    static std::string s_page;
    static ComPtr<ITypeLib> s_library;
};

std::string ReferencePage::s_page;
ComPtr<ITypeLib> ReferencePage::s_library;

TEST_F(ReferencePage, HasEveryMemberOfEveryInterfaceAndEnumeration) {
    ASSERT_FALSE(s_page.empty());
    int members = 0, constants = 0, imported = 0;
    std::set<std::wstring> own;
    for (UINT i = 0; i < s_library->GetTypeInfoCount(); ++i) {
        ComPtr<ITypeInfo> info;
        TYPEKIND kind;
        ASSERT_EQ(S_OK, s_library->GetTypeInfo(i, &info));
        ASSERT_EQ(S_OK, s_library->GetTypeInfoType(i, &kind));
        if (kind == TKIND_INTERFACE || kind == TKIND_DISPATCH) {
            own.insert(DocOf(info.Get(), MEMBERID_NIL).name);
            members += CheckInterface(info.Get());
        } else if (kind == TKIND_ENUM) {
            const std::string name = Utf8(DocOf(info.Get(), MEMBERID_NIL).name);
            TYPEATTR* attr = nullptr;
            ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
            for (UINT v = 0; v < attr->cVars; ++v) {
                VARDESC* var = nullptr;
                ASSERT_EQ(S_OK, info->GetVarDesc(v, &var));
                const std::string row = Row(name + "." + Utf8(DocOf(info.Get(), var->memid).name));
                EXPECT_NE(std::string::npos,
                          row.find("<td class=\"value\">" + std::to_string(V_I4(var->lpvarValue)) +
                                   "</td>"))
                    << name << ": " << row;
                info->ReleaseVarDesc(var);
                ++constants;
            }
            info->ReleaseTypeAttr(attr);
        } else if (kind == TKIND_COCLASS) {
            // The interfaces of the host's library that the class implements are listed too.
            TYPEATTR* attr = nullptr;
            ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
            for (UINT t = 0; t < attr->cImplTypes; ++t) {
                HREFTYPE ref = 0;
                ComPtr<ITypeInfo> face;
                ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(t, &ref));
                ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, &face));
                ComPtr<ITypeLib> library;
                UINT index = 0;
                ASSERT_EQ(S_OK, face->GetContainingTypeLib(&library, &index));
                if (library.Get() != s_library.Get()) imported += CheckInterface(face.Get());
            }
            info->ReleaseTypeAttr(attr);
        }
    }
    EXPECT_TRUE(own.count(L"ISCryptoGraphicKey") && own.count(L"ISCryptoGraphicKeyBase"));
    EXPECT_EQ(5, constants);  // KvKeyState
    EXPECT_GT(members, 150);
    EXPECT_GT(imported, 0);
}

// Every status code the SDK's IDL defines, with its code and meaning; the IDL's values are the
// header's.
TEST_F(ReferencePage, HasEveryStatusCodeOfTheIdl) {
    const std::map<std::string, HRESULT> header = {
        {"KV_E_PROPERTYNOTFOUND", KV_E_PROPERTYNOTFOUND},
        {"KV_E_PROPERTYBAGUNAVAILABLE", KV_E_PROPERTYBAGUNAVAILABLE},
        {"KV_E_CLONEFAILED", KV_E_CLONEFAILED},
        {"KV_E_IDNOTINCOLLECTION", KV_E_IDNOTINCOLLECTION},
        {"KV_E_PROCESSINGPROPERTYUNREADABLE", KV_E_PROCESSINGPROPERTYUNREADABLE},
        {"KV_E_VALUEALREADYINLIST", KV_E_VALUEALREADYINLIST},
        {"KV_E_INVALIDSTATETRANSITION", KV_E_INVALIDSTATETRANSITION},
        {"KV_E_HTMLACTIONNOTSUPPORTED", KV_E_HTMLACTIONNOTSUPPORTED}};
    const std::string idl = ReadFile(STATUS_IDL);
    const std::regex code(
        R"re(cpp_quote\("// ([^"]*)"\)\s*cpp_quote\("#define (\w+) \(\(HRESULT\)0x([0-9A-F]{8})L\)"\))re");
    std::set<std::string> found;
    for (std::sregex_iterator it(idl.begin(), idl.end(), code), end; it != end; ++it) {
        const std::string name = (*it)[2];
        found.insert(name);
        ASSERT_TRUE(header.count(name)) << name;
        EXPECT_EQ(static_cast<unsigned long>(header.at(name)), std::stoul((*it)[3], nullptr, 16));
        const std::string row = Row(name);
        EXPECT_NE(std::string::npos, row.find("<code>0x" + (*it)[3].str() + "</code>")) << row;
        EXPECT_NE(std::string::npos,
                  row.find(Escaped(std::wstring((*it)[1].first, (*it)[1].second))))
            << row;
    }
    EXPECT_EQ(header.size(), found.size());
}

}  // namespace
