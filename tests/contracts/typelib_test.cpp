// The two type libraries against the published contract (published_contract.txt): identifiers,
// member order (vtable slots), DISPIDs, help strings, the class's interface list, the key state
// enumeration, the host slots the plug-in calls, and one signature per shared member.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CryptoGraphicKeyPlugin.h"

namespace {

using Microsoft::WRL::ComPtr;

constexpr INVOKEKIND Get = INVOKE_PROPERTYGET;
constexpr INVOKEKIND Put = INVOKE_PROPERTYPUT;
constexpr INVOKEKIND Call = INVOKE_FUNC;

// One function of an interface as the contract gives it.
struct Row {
    std::wstring name;
    INVOKEKIND kind;
    MEMBERID memid;
    std::wstring help;  // empty: not checked
};

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());  // the contract file is ASCII
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// The contract file: sections of rows, each row's fields separated by " | " (the file says more).
using Fields = std::vector<std::wstring>;
struct MemberList {
    std::string library;  // "host" or "plugin"; empty for a list that only other lists use
    size_t count = 0;
    std::vector<Fields> rows;
};
struct Contract {
    std::map<std::string, MemberList> members;
    std::map<std::string, std::vector<Fields>> sections;
};

Contract ReadContract() {
    Contract contract;
    std::ifstream file(CONTRACT_TABLES);
    std::vector<Fields>* rows = nullptr;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            const std::string title = line.substr(1, line.size() - 2);
            std::istringstream words(title);
            std::string kind, name;
            words >> kind >> name;
            if (kind == "members") {
                MemberList& list = contract.members[name];
                words >> list.library >> list.count;
                rows = &list.rows;
            } else {
                rows = &contract.sections[title];
            }
            continue;
        }
        Fields fields;
        for (size_t start = 0, end = 0; end != std::string::npos; start = end + 3) {
            end = line.find(" | ", start);
            fields.push_back(Widen(line.substr(start, end - start)));
        }
        if (!rows) ADD_FAILURE() << "a row before any section: " << line;
        if (rows) rows->push_back(std::move(fields));
    }
    return contract;
}

INVOKEKIND Kind(const std::wstring& word) {
    return word == L"get" ? Get : word == L"put" ? Put : Call;
}

std::wstring Take(BSTR text) {
    std::wstring result = text ? std::wstring(text, SysStringLen(text)) : std::wstring();
    SysFreeString(text);
    return result;
}

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

// A copy of a type's attributes; all zero when there is no type or they cannot be read.
TYPEATTR Attributes(ITypeInfo* info) {
    TYPEATTR copy = {};
    TYPEATTR* attr = nullptr;
    if (info && SUCCEEDED(info->GetTypeAttr(&attr))) {
        copy = *attr;
        info->ReleaseTypeAttr(attr);
    }
    return copy;
}

// One function of an interface as its type information describes it.
struct Member {
    std::wstring name;
    INVOKEKIND kind;
    MEMBERID memid;
    int slot;
    std::wstring help;       // the help string of the first function with this memid
    std::wstring signature;  // parameter and result types, flags and default values
};

std::wstring TypeText(ITypeInfo* owner, const TYPEDESC& type) {
    switch (type.vt) {
        case VT_PTR:
            return L"*" + TypeText(owner, *type.lptdesc);
        case VT_SAFEARRAY:
            return L"[]" + TypeText(owner, *type.lptdesc);
        case VT_USERDEFINED: {
            ComPtr<ITypeInfo> referenced;
            if (FAILED(owner->GetRefTypeInfo(type.hreftype, &referenced))) return L"<unresolved>";
            BSTR name = nullptr;
            referenced->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
            return Take(name);
        }
        default:
            return L"vt" + std::to_wstring(type.vt);
    }
}

std::wstring SignatureText(ITypeInfo* owner, const FUNCDESC& func) {
    std::wstring text = TypeText(owner, func.elemdescFunc.tdesc) + L"(";
    for (SHORT i = 0; i < func.cParams; ++i) {
        const ELEMDESC& param = func.lprgelemdescParam[i];
        const USHORT flags = param.paramdesc.wParamFlags;
        text += TypeText(owner, param.tdesc) + L" flags" + std::to_wstring(flags & 0x3B);
        if ((flags & PARAMFLAG_FHASDEFAULT) && param.paramdesc.pparamdescex) {
            VARIANT value;
            VariantInit(&value);
            VariantChangeType(&value, &param.paramdesc.pparamdescex->varDefaultValue, 0, VT_BSTR);
            text +=
                L" default'" + std::wstring(V_VT(&value) == VT_BSTR ? V_BSTR(&value) : L"?") + L"'";
            VariantClear(&value);
        }
        text += L", ";
    }
    return text + L") optional" + std::to_wstring(func.cParamsOpt);
}

std::vector<Member> Members(ITypeInfo* info) {
    std::vector<Member> members;
    const int count = Attributes(info).cFuncs;
    for (int i = 0; i < count; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(info->GetFuncDesc(i, &func))) break;
        BSTR name = nullptr;
        BSTR help = nullptr;
        info->GetDocumentation(func->memid, &name, &help, nullptr, nullptr);
        members.push_back({Take(name), func->invkind, func->memid,
                           static_cast<int>(func->oVft / sizeof(void*)), Take(help),
                           SignatureText(info, *func)});
        info->ReleaseFuncDesc(func);
    }
    return members;
}

// The type of that name in a library, or null.
ComPtr<ITypeInfo> TypeByName(ITypeLib* lib, const std::wstring& name) {
    ComPtr<ITypeInfo> info;
    for (UINT i = 0; !info && i < lib->GetTypeInfoCount(); ++i) {
        BSTR text = nullptr;
        if (SUCCEEDED(lib->GetDocumentation(i, &text, nullptr, nullptr, nullptr)) &&
            Take(text) == name)
            lib->GetTypeInfo(i, &info);
    }
    return info;
}

// The vtable view of an interface: for a dual interface its TKIND_INTERFACE half.
ComPtr<ITypeInfo> VtableView(ITypeLib* lib, const std::wstring& name) {
    ComPtr<ITypeInfo> info = TypeByName(lib, name);
    if (!info || Attributes(info.Get()).typekind != TKIND_DISPATCH) return info;
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> vtable;
    if (FAILED(info->GetRefTypeOfImplType(-1, &ref)) || FAILED(info->GetRefTypeInfo(ref, &vtable)))
        return nullptr;
    return vtable;
}

// The members of an interface and of its bases, up to IDispatch or IUnknown (not included).
std::vector<Member> MembersWithBases(ComPtr<ITypeInfo> info) {
    std::vector<Member> all;
    while (info) {
        const TYPEATTR attr = Attributes(info.Get());
        if (IsEqualGUID(attr.guid, IID_IDispatch) || IsEqualGUID(attr.guid, IID_IUnknown)) break;
        const auto own = Members(info.Get());
        all.insert(all.begin(), own.begin(), own.end());
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> base;
        if (attr.cImplTypes == 0 || FAILED(info->GetRefTypeOfImplType(0, &ref)) ||
            FAILED(info->GetRefTypeInfo(ref, &base)))
            break;
        info = base;
    }
    return all;
}

const Member* Find(const std::vector<Member>& members, const std::wstring& name, INVOKEKIND kind) {
    auto it = std::find_if(members.begin(), members.end(),
                           [&](const Member& m) { return m.name == name && m.kind == kind; });
    return it == members.end() ? nullptr : &*it;
}

// Paths of the type libraries in the Wine view of the build tree.
const wchar_t* const kHostTlbPath = KORVEL_INFOSTORE_TLB;
const wchar_t* const kPluginTlbPath = CRYPTOGRAPHICKEY_TLB;

class TypeLibraries : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        HRESULT hr = LoadTypeLibEx(kHostTlbPath, REGKIND_NONE, &s_host);
        ASSERT_EQ(hr, S_OK) << std::hex << hr;
        // The plug-in's library refers to the host's by LIBID: the test entry has registered it.
        hr = LoadTypeLibEx(kPluginTlbPath, REGKIND_NONE, &s_plugin);
        ASSERT_EQ(hr, S_OK) << std::hex << hr;
        s_contract = ReadContract();
    }
    static void TearDownTestSuite() {
        s_plugin.Reset();
        s_host.Reset();
    }
    void SetUp() override {
        ASSERT_TRUE(s_host && s_plugin) << "a type library did not load";
        ASSERT_FALSE(s_contract.members.empty()) << "the contract file did not load";
    }

    static ITypeLib* Library(const std::wstring& name) {
        return name == L"plugin" ? s_plugin.Get() : s_host.Get();
    }
    // The functions of the interface a member list of the contract describes.
    static std::vector<Member> InterfaceMembers(const std::string& name) {
        const std::wstring library = Widen(s_contract.members[name].library);
        return Members(VtableView(Library(library), Widen(name)).Get());
    }
    // A member list of the contract, with the lists it uses in their places.
    static std::vector<Row> Rows(const std::string& name) {
        std::vector<Row> rows;
        const auto list = s_contract.members.find(name);
        if (list == s_contract.members.end()) ADD_FAILURE() << "no member list " << name;
        if (list == s_contract.members.end()) return rows;
        for (const Fields& f : list->second.rows) {
            if (f.at(0) == L"use") {
                const std::vector<Row> used = Rows(Narrow(f.at(1)));
                rows.insert(rows.end(), used.begin(), used.end());
            } else {
                rows.push_back(
                    {f.at(1), Kind(f[0]), std::stol(f.at(2)), f.size() > 3 ? f[3] : L""});
            }
        }
        return rows;
    }
    static const std::vector<Fields>& Section(const std::string& title) {
        return s_contract.sections[title];
    }

    static inline ComPtr<ITypeLib> s_host;
    static inline ComPtr<ITypeLib> s_plugin;
    static inline Contract s_contract;
};

// Slot order from 7, names, kinds, DISPIDs and (where given) help strings. Help strings are
// looked up by DISPID, which finds the first function of a property.
void ExpectMembers(const std::vector<Member>& actual, const std::vector<Row>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    std::map<MEMBERID, std::wstring> helpByMemid;
    for (const Row& row : expected) helpByMemid.emplace(row.memid, row.help);
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(::testing::Message() << "slot " << 7 + i);
        const Row& row = expected[i];
        EXPECT_EQ(actual[i].name, row.name);
        EXPECT_EQ(actual[i].kind, row.kind);
        EXPECT_EQ(actual[i].memid, row.memid);
        EXPECT_EQ(actual[i].slot, static_cast<int>(7 + i));
        if (const std::wstring& help = helpByMemid[row.memid]; !help.empty()) {
            EXPECT_EQ(actual[i].help, help);
        }
    }
}

TEST_F(TypeLibraries, IdentifyThemselves) {
    ASSERT_EQ(Section("libraries").size(), 2u);
    for (const Fields& row : Section("libraries")) {
        SCOPED_TRACE(Narrow(row.at(2)));
        ITypeLib* lib = Library(row[0]);
        TLIBATTR* attr = nullptr;
        ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
        EXPECT_EQ(GuidText(attr->guid), row[1]);
        EXPECT_EQ(attr->wMajorVerNum, 1);
        EXPECT_EQ(attr->wMinorVerNum, 0);
        EXPECT_EQ(attr->syskind, SYS_WIN64);
        lib->ReleaseTLibAttr(attr);
        BSTR help = nullptr;
        ASSERT_EQ(lib->GetDocumentation(-1, nullptr, &help, nullptr, nullptr), S_OK);
        EXPECT_EQ(Take(help), row[2]);
    }
}

// Every published identifier has its published value and names a type of its library; the
// plug-in's interfaces are dual with their published help strings.
TEST_F(TypeLibraries, ContractIdentifiers) {
    ASSERT_FALSE(Section("types").empty());
    for (const Fields& row : Section("types")) {
        SCOPED_TRACE(Narrow(row.at(1)));
        ComPtr<ITypeInfo> info = TypeByName(Library(row.at(0)), row.at(1));
        ASSERT_TRUE(info);
        const TYPEATTR attr = Attributes(info.Get());
        EXPECT_EQ(GuidText(attr.guid), row.at(2));
        if (row.size() < 4) continue;
        BSTR help = nullptr;
        ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr), S_OK);
        EXPECT_EQ(Take(help), row[3]);
        if (attr.typekind != TKIND_COCLASS) {
            EXPECT_EQ(attr.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE),
                      TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE);
        }
    }
    // Members that return the host's streaming file hand script clients an object they can call.
    ComPtr<ITypeInfo> streamingFile;
    ASSERT_EQ(s_host->GetTypeInfoOfGuid(IID_ISStreamingFile, &streamingFile), S_OK);
    EXPECT_TRUE(Attributes(streamingFile.Get()).wTypeFlags & TYPEFLAG_FDISPATCHABLE);
}

TEST_F(TypeLibraries, MembersInSlotOrder) {
    for (const auto& [name, list] : s_contract.members) {
        if (list.library.empty()) continue;
        SCOPED_TRACE(name);
        const auto actual = InterfaceMembers(name);
        EXPECT_EQ(actual.size(), list.count);
        ExpectMembers(actual, Rows(name));
    }
}

// A member of a flattened interface has the same parameters, flags and defaults as on the
// interface it repeats: the members of every list are compared in each interface that holds them
// (the list's own and those that use it). (In C++, a member with two signatures would leave one
// of them without an implementation: the key class would be abstract and the product would not
// build.)
TEST_F(TypeLibraries, SharedMembersHaveOneSignature) {
    int compared = 0;
    for (const auto& [name, list] : s_contract.members) {
        std::vector<std::pair<std::string, std::vector<Member>>> holders;
        if (!list.library.empty()) holders.emplace_back(name, InterfaceMembers(name));
        for (const auto& [user, other] : s_contract.members) {
            for (const Fields& f : other.rows) {
                if (f.at(0) == L"use" && f.at(1) == Widen(name) && !other.library.empty())
                    holders.emplace_back(user, InterfaceMembers(user));
            }
        }
        for (size_t h = 1; h < holders.size(); ++h, ++compared) {
            for (const Row& row : Rows(name)) {
                SCOPED_TRACE(::testing::Message()
                             << holders[0].first << " and " << holders[h].first << ": "
                             << Narrow(row.name) << " kind " << row.kind);
                const Member* a = Find(holders[0].second, row.name, row.kind);
                const Member* b = Find(holders[h].second, row.name, row.kind);
                ASSERT_TRUE(a && b);
                EXPECT_EQ(a->signature, b->signature);
                EXPECT_EQ(a->signature.find(L"<unresolved>"), std::wstring::npos) << "host type";
            }
        }
    }
    EXPECT_EQ(compared, 6);
    const auto flat = InterfaceMembers("ISCryptoGraphicKey");
    // Spot checks of what the signatures say.
    EXPECT_EQ(Find(flat, L"KeyState", Get)->signature, L"vt25(*KvKeyState flags10, ) optional0");
    EXPECT_EQ(Find(flat, L"PluginInterface", Get)->signature,
              L"vt25(vt8 flags49 default'', *vt9 flags10, ) optional1");
    EXPECT_EQ(Find(flat, L"Picture", Get)->signature,
              L"vt25(KvPictureKind flags1, *vt12 flags10, ) optional0");
}

// The class lists its interfaces in the published order; the host's interfaces among them are
// references into the host's library, which the plug-in's library does not copy.
TEST_F(TypeLibraries, ClassListsItsInterfacesInOrder) {
    const std::vector<Fields>& expected = Section("class CryptoGraphicKey");
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(s_plugin->GetTypeInfoOfGuid(CLSID_CryptoGraphicKey, &coclass), S_OK);
    const TYPEATTR attr = Attributes(coclass.Get());
    EXPECT_EQ(attr.typekind, TKIND_COCLASS);
    EXPECT_TRUE(attr.wTypeFlags & TYPEFLAG_FCANCREATE);
    const UINT count = attr.cImplTypes;
    ASSERT_EQ(count, expected.size());
    for (UINT i = 0; i < count; ++i) {
        SCOPED_TRACE(::testing::Message() << "interface " << i);
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> face;
        ASSERT_EQ(coclass->GetRefTypeOfImplType(i, &ref), S_OK);
        ASSERT_EQ(coclass->GetRefTypeInfo(ref, &face), S_OK);
        BSTR name = nullptr;
        ASSERT_EQ(face->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
        EXPECT_EQ(Take(name), expected[i].at(1));
        ComPtr<ITypeLib> container;
        UINT index = 0;
        ASSERT_EQ(face->GetContainingTypeLib(&container, &index), S_OK);
        TLIBATTR* libAttr = nullptr;
        ASSERT_EQ(container->GetLibAttr(&libAttr), S_OK);
        EXPECT_EQ(GuidText(libAttr->guid),
                  GuidText(expected[i][0] == L"plugin" ? LIBID_KorvelCryptoGraphicKeyPluginLib
                                                       : LIBID_KorvelInfoStoreLib));
        container->ReleaseTLibAttr(libAttr);
        INT flags = -1;
        ASSERT_EQ(coclass->GetImplTypeFlags(i, &flags), S_OK);
        EXPECT_EQ(flags, i == 0 ? IMPLTYPEFLAG_FDEFAULT : 0);
    }
    // Nothing of the host's library is defined again in the plug-in's.
    for (UINT i = 0; i < s_plugin->GetTypeInfoCount(); ++i) {
        BSTR name = nullptr;
        ASSERT_EQ(s_plugin->GetDocumentation(i, &name, nullptr, nullptr, nullptr), S_OK);
        std::wstring text = Take(name);
        BOOL inHost = TRUE;
        ASSERT_EQ(s_host->IsName(text.data(), 0, &inHost), S_OK);
        EXPECT_FALSE(inHost) << "copied: " << ::testing::PrintToString(text);
    }
}

TEST_F(TypeLibraries, KeyStateEnumeration) {
    ComPtr<ITypeInfo> info;
    MEMBERID memid = 0;
    USHORT found = 1;
    std::wstring name = L"KvKeyState";
    ASSERT_EQ(s_plugin->FindName(name.data(), 0, &info, &memid, &found), S_OK);
    ASSERT_EQ(found, 1);
    BSTR help = nullptr;
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr), S_OK);
    EXPECT_EQ(Take(help), L"Represents the current state of the cryptographic key");
    const TYPEATTR attr = Attributes(info.Get());
    EXPECT_EQ(attr.typekind, TKIND_ENUM);
    std::vector<Fields> actual;
    for (int i = 0; i < attr.cVars; ++i) {
        VARDESC* var = nullptr;
        ASSERT_EQ(info->GetVarDesc(i, &var), S_OK);
        BSTR varName = nullptr;
        info->GetDocumentation(var->memid, &varName, nullptr, nullptr, nullptr);
        actual.push_back({Take(varName), std::to_wstring(V_I4(var->lpvarValue))});
        info->ReleaseVarDesc(var);
    }
    EXPECT_EQ(actual, Section("enum KvKeyState"));
    static_assert(ACTIVE == 1 && DEACTIVATED == 2 && REKEY_SUSPENDED == 3 &&
                  REKEY_IN_PROGRESS == 4 && REVOKED == 5 && sizeof(KvKeyState) == 4);
}

// The vtable positions of the host members the plug-in calls (those of ISInfoObject: see
// MembersInSlotOrder).
TEST_F(TypeLibraries, HostSlotsThePluginCalls) {
    ASSERT_FALSE(Section("host slots").empty());
    for (const Fields& row : Section("host slots")) {
        SCOPED_TRACE(Narrow(row.at(0) + L" " + row.at(2)));
        const auto members = MembersWithBases(VtableView(s_host.Get(), row[0]));
        const Member* member = Find(members, row[2], Kind(row[1]));
        ASSERT_TRUE(member);
        EXPECT_EQ(member->slot, std::stoi(row.at(3)));
    }
    EXPECT_EQ(MembersWithBases(VtableView(s_host.Get(), L"ISDesktopPluginInfo")).size(), 4u);
    EXPECT_EQ(MembersWithBases(VtableView(s_host.Get(), L"ISVersionedInfoObject")).size(), 1u);
}

// The plug-in face is a plain IUnknown interface: fourteen methods in slots 3 to 16.
TEST_F(TypeLibraries, DesktopPluginFaceIsAPlainVtable) {
    const std::vector<Fields>& expected = Section("plain vtable ISDesktopPluginEx");
    const auto members = MembersWithBases(VtableView(s_host.Get(), L"ISDesktopPluginEx"));
    ASSERT_EQ(members.size(), expected.size());
    for (size_t i = 0; i < members.size(); ++i) {
        EXPECT_EQ(members[i].name, expected[i].at(1));
        EXPECT_EQ(members[i].kind, Kind(expected[i][0])) << Narrow(members[i].name);
        EXPECT_EQ(members[i].slot, static_cast<int>(3 + i));
    }
    for (const GUID* iid : {&IID_ISDesktopPlugin, &IID_ISDesktopPluginEx}) {
        ComPtr<ITypeInfo> face;
        ASSERT_EQ(s_host->GetTypeInfoOfGuid(*iid, &face), S_OK);
        const TYPEATTR attr = Attributes(face.Get());
        EXPECT_EQ(attr.typekind, TKIND_INTERFACE);
        EXPECT_EQ(attr.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE), 0);
    }
    // The bottom of the chain derives from IUnknown itself.
    ComPtr<ITypeInfo> plugin = VtableView(s_host.Get(), L"ISDesktopPlugin");
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> base;
    ASSERT_EQ(plugin->GetRefTypeOfImplType(0, &ref), S_OK);
    ASSERT_EQ(plugin->GetRefTypeInfo(ref, &base), S_OK);
    EXPECT_TRUE(IsEqualGUID(Attributes(base.Get()).guid, IID_IUnknown));
}

// A property's put and get may have texts of their own. Look-ups by DISPID give one text per
// pair, so the built library's bytes are searched: each text is stored once as written.
TEST_F(TypeLibraries, EveryFunctionKeepsItsOwnHelpString) {
    std::ifstream file(kPluginTlbPath, std::ios::binary);
    ASSERT_TRUE(file.is_open());
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    for (const Row& row : Rows("ISPublicationInfo")) {
        EXPECT_NE(std::string::npos, bytes.find(Narrow(row.help))) << Narrow(row.help);
    }
}

}  // namespace
