// The two type libraries and the generated headers against the published contract: identifiers,
// member order (vtable slots), DISPIDs, help strings, the class's interface list, the key state
// enumeration, the host slots the plug-in calls, and one signature per shared member.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "CryptoGraphicKeyPlugin.h"

// Not declared by the MinGW headers; exported by oleaut32.
extern "C" HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* lib, OLECHAR* path, OLECHAR* helpDir);
extern "C" HRESULT WINAPI UnRegisterTypeLibForUser(REFGUID libId, WORD major, WORD minor,
                                                   LCID locale, SYSKIND sysKind);

namespace {

using Microsoft::WRL::ComPtr;

constexpr INVOKEKIND Get = INVOKE_PROPERTYGET;
constexpr INVOKEKIND Put = INVOKE_PROPERTYPUT;
constexpr INVOKEKIND Call = INVOKE_FUNC;

// Member lists: kind, name, DISPID[, help string]. Each list is in slot order.
// clang-format off
#define INFOOBJECT_MEMBERS(X)                                                                     \
    X(Get, Properties, 0) X(Get, Property, 1) X(Put, Property, 1) X(Get, ID, 2)                   \
    X(Get, ParentID, 3) X(Get, Title, 4) X(Put, Title, 4) X(Get, Description, 5)                  \
    X(Put, Description, 5) X(Get, Instance, 6) X(Get, Locale, 7) X(Get, Actions, 8)               \
    X(Get, ParentInfoObjects, 9) X(Get, Picture, 10) X(Call, DoAction, 11) X(Get, Files, 12)      \
    X(Call, QueryProperties, 13) X(Get, SchedulingInfo, 14) X(Get, ProcessingInfo, 15)            \
    X(Get, SecurityInfo, 16) X(Get, PluginInterface, 17) X(Call, DoHTMLAction, 18)                \
    X(Call, Equals, 19) X(Get, CUID, 20) X(Get, GUID, 21) X(Get, RUID, 22) X(Put, ParentID, 3)    \
    X(Get, ParentCUID, 23) X(Get, ProgID, 24) X(Get, ObjectType, 25) X(Get, Keyword, 26)          \
    X(Put, Keyword, 26) X(Get, Parent, 27) X(Call, Save, 28) X(Call, DeleteNow, 29)               \
    X(Get, SendToDestination, 30) X(Get, Kind, 31) X(Get, IsDirty, 32) X(Get, MarkedAsRead, 33)   \
    X(Put, MarkedAsRead, 33) X(Get, Locked, 34) X(Call, ReleaseLock, 35) X(Get, LockStatus, 36)   \
    X(Get, DeliverToInboxPrincipals, 37) X(Get, SecurityInfo2, 38) X(Get, Delta, 39)              \
    X(Call, ApplyDelta, 40) X(Get, LockInfo, 41) X(Call, UnlockNow, 42) X(Call, Serialize, 43)    \
    X(Call, Deserialize, 44) X(Call, GetUpdateTimeStamp, 45) X(Call, IsNew, 46)                   \
    X(Get, DeltaEx, 47) X(Call, ApplyDeltaEx, 48) X(Get, MLTitle, 49) X(Get, MLTitleEx, 50)       \
    X(Get, MLTitleLocales, 51) X(Get, MLDescription, 52) X(Get, MLDescriptionEx, 53)              \
    X(Get, MLDescriptionLocales, 54) X(Get, FallBackLocale, 55) X(Get, FilesEx, 56)               \
    X(Get, SourceFiles, 57) X(Get, FileLocales, 58) X(Call, RemoveFiles, 59)                      \
    X(Call, RemoveSourceFiles, 60) X(Get, PluginIcon, 61) X(Get, CustomizedPluginName, 62)        \
    X(Get, ParentKind, 63) X(Get, SpecificKind, 64) X(Get, ParentProgID, 65)                      \
    X(Get, SpecificProgID, 66) X(Get, AlertNotification, 67)

#define WEBVIEW_MEMBERS(X)                                                                        \
    X(Get, MimeType, 101, L"Returns the MIME type of the object")                                 \
    X(Get, ByteStream, 102,                                                                       \
      L"Returns the contents of the object's main file as an array of bytes")                     \
    X(Get, StreamingFile, 103, L"Returns the object's main file for sequential reading")          \
    X(Call, FileExtensionFromMimeType, 104,                                                       \
      L"Returns the file extension that belongs to a MIME type")                                  \
    X(Call, MimeTypeFromFileExtension, 105,                                                       \
      L"Returns the MIME type that belongs to a file extension")

#define DERIVED_KEY_MEMBERS(X)                                                                    \
    X(Get, KeyState, 202, L"Returns the state of the key")                                        \
    X(Get, DerivedKey, 203, L"Returns the derived key")

#define KEY_MEMBERS(X)                                                                            \
    X(Get, KeyValue, 201, L"Returns the secret value of the key")                                 \
    DERIVED_KEY_MEMBERS(X)                                                                        \
    X(Call, SuspendRekey, 204, L"Suspends the process of re-encrypting data with a new key")      \
    X(Call, ResumeRekey, 205, L"Resumes the process of re-encrypting data with a new key")        \
    X(Call, StartRekey, 206, L"Start the process of re-encrypting data with a new key")           \
    X(Get, ActivePeriodInMilliseconds, 207,                                                       \
      L"Returns the number of milliseconds that the key has been active")                         \
    X(Get, isCompromised, 208, L"Returns whether or not the key has been compromised")            \
    X(Call, SetCompromised, 209, L"Marks the key as compromised")

#define CATEGORY_MEMBERS(X)                                                                       \
    X(Get, CorporateCategories, 350, L"Parent corporate categories returned as IDs.")             \
    X(Get, PersonalCategories, 351, L"Parent personal categories returned as IDs.")

#define PUBLICATION_JOB L"If true, the object runnable job is part of a publication run"
#define DELIVERY_RULE_JOB                                                                         \
    L" Delivery Rule Indicator. When true, the infoobject runnable job is a global delivery "    \
    L"rule job"
#define MULTIPASS L"Multi_Pass Bursting flag, default 0, 1 means multipass bursting"
#define SCOPE_BATCH_IDS L"For artifact document, get its publication scope batch ID(s)."

// A property whose put and get share a help string: the put comes first.
#define PUT_GET(X, name, id, help) X(Put, name, id, help) X(Get, name, id, help)

#define PUBLICATION_MEMBERS(X)                                                                    \
    PUT_GET(X, IsPublicationJob, 501, PUBLICATION_JOB)                                            \
    X(Put, IsPublicationGlobalDeliveryRuleJob, 502, L"Global" DELIVERY_RULE_JOB)                  \
    X(Get, IsPublicationGlobalDeliveryRuleJob, 502, L"Gobal" DELIVERY_RULE_JOB)                   \
    PUT_GET(X, ScopeID, 503,                                                                      \
            L"Index into the bag of scopes contained within this objects' corresponding "         \
            L"ScopeBatch Object")                                                                 \
    PUT_GET(X, MultiPassBursting, 504, MULTIPASS)                                                 \
    PUT_GET(X, MergedArtifact, 505, PUBLICATION_JOB)                                              \
    X(Get, ScopeBatchObjects, 506, SCOPE_BATCH_IDS)                                               \
    PUT_GET(X, ScopeBatchObjectID, 508, L"Scope Batch Object ID")                                 \
    X(Get, ScopeBatchDocObjects, 507, SCOPE_BATCH_IDS)                                            \
    PUT_GET(X, ScopeBatchDocumentID, 526, L"Scope Batch Document ID")                             \
    X(Get, SourceDocObjects, 509, SCOPE_BATCH_IDS)                                                \
    PUT_GET(X, SourceDocumentID, 511, L"Source document ID for artifacts or Scopebatch documents") \
    PUT_GET(X, ArtifactParentID, 512, L"Artifact Parent ID")                                      \
    PUT_GET(X, DeliveryRuleExpression, 513, L"Publication level delivery rule expression")        \
    PUT_GET(X, DeliveryRuleOptions, 514, MULTIPASS)                                               \
    PUT_GET(X, DeliveryEmptyDocument, 515, L"Set the rule of whether to delivery empty document") \
    PUT_GET(X, DeliverySkipped, 516,                                                              \
            L"Processing plug-ins set this to true on the global delivery rule document "         \
            L"InfoObject to specify that the Publication should not be run")                      \
    X(Call, GetDeliveryRuleResults, 517, L"Get the delivery result for the specified scope id")   \
    X(Call, SetDeliveryRuleResults, 518, L"Adds the delivery result for the specified scope id")  \
    X(Call, RemoveDeliveryRuleResults, 519,                                                       \
      L"Remove the delivery result for the specified scope id")                                   \
    PUT_GET(X, PublicationKeepSavedData, 520,                                                     \
            L"When set true, processing plug-ins should not fetch data from the database")        \
    X(Get, FormatInfos, 522,                                                                      \
      L"DestinationProgIDs allow the Processing POJOs and Destination Job servers to know "       \
      L"easily where to send the documents")                                                      \
    X(Get, ScopeBatchScopes, 523, L"Get the scopebatch scopes")                                   \
    X(Get, DynamicRecipientProfileValueMappings, 524,                                             \
      L"Get the dynamic recipient profile value mappings")                                        \
    X(Get, PublicationDocumentVariableMappings, 525,                                              \
      L"Get the publication document variable mappings")                                          \
    X(Put, DeliverIfAlertIsTrue, 527,                                                             \
      L"When set true, the doc will be delivered if the alert is true")                           \
    X(Get, DeliverIfAlertIsTrue, 527,                                                             \
      L"Get the flag to determine whether we should deliever if the alert is ture or false")      \
    X(Put, ShowAllDataForNullProfileValues, 528,                                                  \
      L"When set true, all data will show up for null profile values")                            \
    X(Get, ShowAllDataForNullProfileValues, 528,                                                  \
      L"Get the flag to determine whether we should show all data for null profile values")       \
    X(Put, IsDynamicRecipeintsScopeBatch, 529, L"Set the isDynamic boolean flag")                 \
    X(Get, IsDynamicRecipeintsScopeBatch, 529, L"Get the isDynamic boolean flag")                 \
    X(Put, Format, 530, L"Sets the format of artifacts generated for publications.")              \
    X(Get, Format, 530, L"Gets the format of artifacts generated for publications.")
// clang-format on

struct Row {
    const wchar_t* name;
    INVOKEKIND kind;
    MEMBERID memid;
    const wchar_t* help = nullptr;  // null: not checked
};
#define ROW(kind, name, id, ...) Row{L"" #name, kind, id, __VA_ARGS__},

const std::vector<Row> kInfoObjectRows = {INFOOBJECT_MEMBERS(ROW)};
const std::vector<Row> kWebViewRows = {WEBVIEW_MEMBERS(ROW)};
const std::vector<Row> kKeyRows = {KEY_MEMBERS(ROW)};
const std::vector<Row> kDerivedKeyRows = {DERIVED_KEY_MEMBERS(ROW)};
const std::vector<Row> kCategoryRows = {CATEGORY_MEMBERS(ROW)};
const std::vector<Row> kPublicationRows = {PUBLICATION_MEMBERS(ROW)};
// Members of the host's interface beyond those a plug-in's flattened interface repeats.
const std::vector<Row> kInfoObjectOnlyRows = {{L"UpdateInfoObject", Call, 68},
                                              {L"SetPropertyEx", Call, 69}};

std::vector<Row> Concat(std::initializer_list<const std::vector<Row>*> parts) {
    std::vector<Row> all;
    for (const auto* part : parts) all.insert(all.end(), part->begin(), part->end());
    return all;
}

std::wstring Take(BSTR text) {
    std::wstring result = text ? std::wstring(text, SysStringLen(text)) : std::wstring();
    SysFreeString(text);
    return result;
}

std::string Hex(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
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

// The vtable view of an interface: for a dual interface its TKIND_INTERFACE half.
ComPtr<ITypeInfo> VtableView(ITypeLib* lib, REFGUID iid) {
    ComPtr<ITypeInfo> info;
    if (FAILED(lib->GetTypeInfoOfGuid(iid, &info))) return nullptr;
    if (Attributes(info.Get()).typekind != TKIND_DISPATCH) return info;
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

const Member* Find(const std::vector<Member>& members, const wchar_t* name, INVOKEKIND kind) {
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
        ASSERT_EQ(hr, S_OK) << Hex(hr);
        // The plug-in's library refers to the host's by LIBID: resolving those references
        // needs the host's library registered.
        std::wstring path = kHostTlbPath;
        hr = RegisterTypeLibForUser(s_host.Get(), path.data(), nullptr);
        ASSERT_EQ(hr, S_OK) << Hex(hr);
        s_registered = true;
        hr = LoadTypeLibEx(kPluginTlbPath, REGKIND_NONE, &s_plugin);
        ASSERT_EQ(hr, S_OK) << Hex(hr);
    }
    static void TearDownTestSuite() {
        s_plugin.Reset();
        if (s_registered) {
            EXPECT_EQ(UnRegisterTypeLibForUser(LIBID_KorvelInfoStoreLib, 1, 0, 0, SYS_WIN64), S_OK);
        }
        s_host.Reset();
    }
    void SetUp() override { ASSERT_TRUE(s_host && s_plugin) << "a type library did not load"; }

    static std::vector<Member> PluginMembers(REFGUID iid) {
        return Members(VtableView(s_plugin.Get(), iid).Get());
    }
    static std::vector<Member> HostMembers(REFGUID iid) {
        return Members(VtableView(s_host.Get(), iid).Get());
    }

    static inline ComPtr<ITypeLib> s_host;
    static inline ComPtr<ITypeLib> s_plugin;
    static inline bool s_registered = false;
};

// Slot order from 7, names, kinds, DISPIDs and (where given) help strings. Help strings are
// looked up by DISPID, which finds the first function of a property.
void ExpectMembers(const std::vector<Member>& actual, const std::vector<Row>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    std::map<MEMBERID, const wchar_t*> helpByMemid;
    for (const Row& row : expected) helpByMemid.emplace(row.memid, row.help);
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(::testing::Message() << "slot " << 7 + i);
        const Row& row = expected[i];
        EXPECT_EQ(actual[i].name, row.name);
        EXPECT_EQ(actual[i].kind, row.kind);
        EXPECT_EQ(actual[i].memid, row.memid);
        EXPECT_EQ(actual[i].slot, static_cast<int>(7 + i));
        if (const wchar_t* help = helpByMemid[row.memid]) {
            EXPECT_EQ(actual[i].help, help);
        }
    }
}

TEST_F(TypeLibraries, IdentifyThemselves) {
    struct {
        ITypeLib* lib;
        const GUID* libId;
        const wchar_t* help;
    } const cases[] = {
        {s_host.Get(), &LIBID_KorvelInfoStoreLib, L"Korvel Enterprise InfoStore Library 14.0"},
        {s_plugin.Get(), &LIBID_KorvelCryptoGraphicKeyPluginLib,
         L"Korvel Enterprise CryptoGraphicKey Plugin Library 14.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.help);
        TLIBATTR* attr = nullptr;
        ASSERT_EQ(c.lib->GetLibAttr(&attr), S_OK);
        EXPECT_TRUE(IsEqualGUID(attr->guid, *c.libId));
        EXPECT_EQ(attr->wMajorVerNum, 1);
        EXPECT_EQ(attr->wMinorVerNum, 0);
        EXPECT_EQ(attr->syskind, SYS_WIN64);
        c.lib->ReleaseTLibAttr(attr);
        BSTR help = nullptr;
        ASSERT_EQ(c.lib->GetDocumentation(-1, nullptr, &help, nullptr, nullptr), S_OK);
        EXPECT_EQ(Take(help), c.help);
    }
}

// Every published identifier has its published value and names a type of its library; the
// plug-in's interfaces are dual with their published help strings.
TEST_F(TypeLibraries, ContractIdentifiers) {
    struct {
        bool plugin;
        const GUID* id;
        const wchar_t* text;
        const wchar_t* help;  // null: not checked
    } const cases[] = {
        {false, &IID_ISInfoObject, L"{3E1E163E-C798-11D2-902A-00A0C9DAC8C2}"},
        {false, &IID_ISProperties, L"{0BD458A2-D747-11D2-902F-00A0C9DAC8C2}"},
        {false, &IID_ISPropertyBagCollection, L"{94FA048B-08F1-4AD5-807E-C69FE4DE90E2}"},
        {false, &IID_ISStreamingFile, L"{FB0322ED-F808-4C85-93E8-679318C468CF}"},
        {false, &IID_ISSecurityInfo, L"{0A23F351-0186-11D3-9033-00A0C9DAC8C2}"},
        {false, &IID_ISDesktopPlugin, L"{1E45F804-D354-11D2-902D-00A0C9DAC8C2}"},
        {false, &IID_ISDesktopPluginEx, L"{20006013-7D81-46E8-9F8D-0541CC84A30B}"},
        {false, &IID_ISDesktopPluginInfo, L"{FC78B092-08D3-4264-8230-5A36D1931DBF}"},
        {false, &IID_ISVersionedInfoObject, L"{3AA085C5-96F4-4730-B270-0C6CAFB1E782}"},
        {false, &IID_ISCategoryContent, L"{767D94F5-A05E-4B4D-8AA2-7D88895E11C8}"},
        {false, &IID_ISObjectRelativeIDs, L"{67D8F0B0-F9A5-41DA-BE3F-D23EEEF5D27B}"},
        {false, &CLSID_ObjectRelativeIDs, L"{4F934F1E-6B0F-4EEC-833D-D751E4C8A297}"},
        {false, &IID_ISFormatInfos, L"{F13E311C-28F3-4096-9459-6E0D92410394}"},
        {false, &CLSID_FormatInfos, L"{CB695C2F-0F9B-4D51-93C9-44E37B93AEB7}"},
        {false, &IID_ISScopeBatchScopes, L"{16B56D72-A4E6-4F30-B87C-189761BC4B73}"},
        {false, &CLSID_ScopeBatchScopes, L"{46E19422-6FE5-4F18-8709-5E6E64179375}"},
        {false, &IID_ISProfileValueMappings, L"{3A0733EE-88F8-40EB-8A50-5AA9E56D0D13}"},
        {false, &CLSID_ProfileValueMappings, L"{3824664E-8DD8-4032-BBEF-81461D29D213}"},
        {false, &IID_ISDocumentVariableMappings, L"{FCFBB364-97EC-4089-90F5-B831C034E7D6}"},
        {false, &CLSID_DocumentVariableMappings, L"{6B458F2A-8E31-4A4D-B334-FBE83A4CF963}"},
        {true, &IID_ISCryptoGraphicKey, L"{01C92A78-EBB1-40AA-8EB0-03AD91C8D986}",
         L"Korvel Enterprise ISCryptoGraphicKey interface"},
        {true, &IID_ISCryptoGraphicKeyBase, L"{3AADDA14-4266-46DF-AFCB-48A2D495694E}",
         L"Korvel Enterprise ISCryptoGraphicKeyBase Interface"},
        {true, &IID_ISDerivedKey, L"{92D2C4F2-20D3-4DAB-AD42-7E6033D0A865}",
         L"Korvel Enterprise ISDerivedKey interface"},
        {true, &IID_ISWebView, L"{6E1716C0-3F21-11D5-AD56-0003471250E1}", L"ISWebView Interface"},
        {true, &IID_ISPublicationInfo, L"{EA13F80A-E960-44D0-A56A-1B3F3F0C3F76}",
         L"ISPublicationInfo Interface"},
        {true, &CLSID_CryptoGraphicKey, L"{B6BC34FF-F074-400A-B5AA-E00F66CAD414}",
         L"CryptoGraphicKey Class"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.text);
        EXPECT_EQ(GuidText(*c.id), c.text);
        ComPtr<ITypeInfo> info;
        ITypeLib* lib = c.plugin ? s_plugin.Get() : s_host.Get();
        ASSERT_EQ(lib->GetTypeInfoOfGuid(*c.id, &info), S_OK);
        if (!c.help) continue;
        BSTR help = nullptr;
        ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr), S_OK);
        EXPECT_EQ(Take(help), c.help);
        const TYPEATTR attr = Attributes(info.Get());
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
    struct {
        const char* what;
        std::vector<Member> actual;
        std::vector<Row> expected;
        size_t count;
    } const cases[] = {
        {"ISCryptoGraphicKey", PluginMembers(IID_ISCryptoGraphicKey),
         Concat({&kInfoObjectRows, &kWebViewRows, &kKeyRows, &kCategoryRows, &kPublicationRows}),
         136},
        {"ISCryptoGraphicKeyBase", PluginMembers(IID_ISCryptoGraphicKeyBase), kKeyRows, 9},
        {"ISDerivedKey", PluginMembers(IID_ISDerivedKey), kDerivedKeyRows, 2},
        {"ISWebView", PluginMembers(IID_ISWebView), kWebViewRows, 5},
        {"ISPublicationInfo", PluginMembers(IID_ISPublicationInfo), kPublicationRows, 46},
        {"ISCategoryContent", HostMembers(IID_ISCategoryContent), kCategoryRows, 2},
        {"ISInfoObject", HostMembers(IID_ISInfoObject),
         Concat({&kInfoObjectRows, &kInfoObjectOnlyRows}), 76},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.actual.size(), c.count);
        ExpectMembers(c.actual, c.expected);
    }
}

// A member of the flattened interface has the same parameters, flags and defaults as on the
// interface it repeats. (In C++, a member with two signatures would leave one of them without an
// implementation: the key class would be abstract and the product would not build.)
TEST_F(TypeLibraries, SharedMembersHaveOneSignature) {
    const auto flat = PluginMembers(IID_ISCryptoGraphicKey);
    const auto keyBase = PluginMembers(IID_ISCryptoGraphicKeyBase);
    struct {
        const char* what;
        std::vector<Member> shared;       // an interface whose members another repeats
        const std::vector<Member>* with;  // the interface that repeats them
        const std::vector<Row>* rows;
    } const cases[] = {
        {"ISInfoObject", HostMembers(IID_ISInfoObject), &flat, &kInfoObjectRows},
        {"ISWebView", PluginMembers(IID_ISWebView), &flat, &kWebViewRows},
        {"ISCryptoGraphicKeyBase", keyBase, &flat, &kKeyRows},
        {"ISDerivedKey", PluginMembers(IID_ISDerivedKey), &keyBase, &kDerivedKeyRows},
        {"ISCategoryContent", HostMembers(IID_ISCategoryContent), &flat, &kCategoryRows},
        {"ISPublicationInfo", PluginMembers(IID_ISPublicationInfo), &flat, &kPublicationRows},
    };
    for (const auto& c : cases) {
        for (const Row& row : *c.rows) {
            SCOPED_TRACE(::testing::Message() << c.what << " " << row.name << " kind " << row.kind);
            const Member* a = Find(c.shared, row.name, row.kind);
            const Member* b = Find(*c.with, row.name, row.kind);
            ASSERT_TRUE(a && b);
            EXPECT_EQ(a->signature, b->signature);
            EXPECT_EQ(a->signature.find(L"<unresolved>"), std::wstring::npos) << "host type";
        }
    }
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
    struct {
        const GUID* iid;
        const GUID* libId;
    } const expected[] = {
        {&IID_ISCryptoGraphicKey, &LIBID_KorvelCryptoGraphicKeyPluginLib},
        {&IID_ISCryptoGraphicKeyBase, &LIBID_KorvelCryptoGraphicKeyPluginLib},
        {&IID_ISDesktopPlugin, &LIBID_KorvelInfoStoreLib},
        {&IID_ISInfoObject, &LIBID_KorvelInfoStoreLib},
        {&IID_ISWebView, &LIBID_KorvelCryptoGraphicKeyPluginLib},
        {&IID_ISCategoryContent, &LIBID_KorvelInfoStoreLib},
        {&IID_ISPublicationInfo, &LIBID_KorvelCryptoGraphicKeyPluginLib},
        {&IID_ISDerivedKey, &LIBID_KorvelCryptoGraphicKeyPluginLib},
    };
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(s_plugin->GetTypeInfoOfGuid(CLSID_CryptoGraphicKey, &coclass), S_OK);
    const TYPEATTR attr = Attributes(coclass.Get());
    EXPECT_EQ(attr.typekind, TKIND_COCLASS);
    EXPECT_TRUE(attr.wTypeFlags & TYPEFLAG_FCANCREATE);
    const UINT count = attr.cImplTypes;
    ASSERT_EQ(count, std::size(expected));
    for (UINT i = 0; i < count; ++i) {
        SCOPED_TRACE(::testing::Message() << "interface " << i);
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> face;
        ASSERT_EQ(coclass->GetRefTypeOfImplType(i, &ref), S_OK);
        ASSERT_EQ(coclass->GetRefTypeInfo(ref, &face), S_OK);
        EXPECT_EQ(GuidText(Attributes(face.Get()).guid), GuidText(*expected[i].iid));
        ComPtr<ITypeLib> container;
        UINT index = 0;
        ASSERT_EQ(face->GetContainingTypeLib(&container, &index), S_OK);
        TLIBATTR* libAttr = nullptr;
        ASSERT_EQ(container->GetLibAttr(&libAttr), S_OK);
        EXPECT_EQ(GuidText(libAttr->guid), GuidText(*expected[i].libId));
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
    const int count = attr.cVars;
    const std::vector<std::pair<std::wstring, long>> expected = {{L"ACTIVE", 1},
                                                                 {L"DEACTIVATED", 2},
                                                                 {L"REKEY_SUSPENDED", 3},
                                                                 {L"REKEY_IN_PROGRESS", 4},
                                                                 {L"REVOKED", 5}};
    std::vector<std::pair<std::wstring, long>> actual;
    for (int i = 0; i < count; ++i) {
        VARDESC* var = nullptr;
        ASSERT_EQ(info->GetVarDesc(i, &var), S_OK);
        BSTR varName = nullptr;
        info->GetDocumentation(var->memid, &varName, nullptr, nullptr, nullptr);
        actual.emplace_back(Take(varName), V_I4(var->lpvarValue));
        info->ReleaseVarDesc(var);
    }
    EXPECT_EQ(actual, expected);
    static_assert(ACTIVE == 1 && DEACTIVATED == 2 && REKEY_SUSPENDED == 3 &&
                  REKEY_IN_PROGRESS == 4 && REVOKED == 5 && sizeof(KvKeyState) == 4);
}

// The vtable positions of the host members the plug-in calls (those of ISInfoObject: see
// MembersInSlotOrder).
TEST_F(TypeLibraries, HostSlotsThePluginCalls) {
    struct {
        const GUID* iid;
        const wchar_t* name;
        INVOKEKIND kind;
        int slot;
    } const cases[] = {
        {&IID_ISProperties, L"Item", Get, 12},
        {&IID_ISProperties, L"Add", Call, 14},
        {&IID_ISProperties, L"Remove", Call, 15},
        {&IID_ISProperty, L"Value", Get, 7},
        {&IID_ISProperty, L"Value", Put, 8},
        {&IID_ISProperty, L"Flags", Get, 11},
        {&IID_ISProperty, L"Properties", Get, 13},
        {&IID_ISProcessingInfo, L"Properties", Get, 7},
        {&IID_ISProcessingInfo, L"Property", Get, 8},
        {&IID_ISProcessingInfo, L"Property", Put, 9},
        {&IID_ISPropertyBagCollection, L"Count", Get, 7},
        {&IID_ISPropertyBagCollection, L"Item", Get, 8},
        {&IID_ISPropertyBagCollection, L"Setup", Call, 11},
        {&IID_ISPropertyBagCollection, L"Append", Call, 12},
        {&IID_ISPropertyBagCollection, L"Remove", Call, 13},
        {&IID_ISPropertyBagCollection, L"AppendBag", Call, 14},
        {&IID_ISPropertyBagCollection, L"RemoveAll", Call, 15},
        {&IID_ISPropertyBagCollection, L"SetFlags", Call, 17},
        {&IID_ISPropertyBagCollection, L"ClearFlags", Call, 18},
        {&IID_ISFiles, L"Item", Get, 12},
        {&IID_ISFile, L"Contents", Get, 9},
        {&IID_ISFile, L"StreamingFile", Get, 11},
        {&IID_ISInfoObjects, L"Add", Call, 14},
        {&IID_ISInfoObjects, L"InfoStore", Get, 17},
        {&IID_ISInfoStore, L"NewInfoObjectCollection", Call, 10},
        {&IID_ISInfoStore, L"PluginManager", Get, 12},
        {&IID_ISPluginManager, L"PluginInfos", Get, 16},
        {&IID_ISPluginInfos, L"Item", Get, 8},
        {&IID_ISDesktopPluginInfo, L"HasCustomPropertyPages", Get, 8},
        {&IID_ISVersionedInfoObject, L"Upgrade", Call, 7},
        {&IID_ISFormatInfos, L"Initialize", Call, 16},
        {&IID_ISScopeBatchScopes, L"Initialize", Call, 18},
        {&IID_ISProfileValueMappings, L"Initialize", Call, 17},
        {&IID_ISDocumentVariableMappings, L"Initialize", Call, 17},
        {&IID_ISObjectRelativeIDs, L"Reset", Call, 7},
        {&IID_ISObjectRelativeIDs, L"Skip", Call, 8},
        {&IID_ISObjectRelativeIDs, L"Count", Get, 9},
        {&IID_ISObjectRelativeIDs, L"_NewEnum", Get, 10},
        {&IID_ISObjectRelativeIDs, L"Delete", Call, 11},
        {&IID_ISObjectRelativeIDs, L"Clear", Call, 12},
        {&IID_ISObjectRelativeIDs, L"Next", Call, 13},
        {&IID_ISObjectRelativeIDs, L"Item", Get, 14},
        {&IID_ISObjectRelativeIDs, L"Clone", Call, 15},
        {&IID_ISObjectRelativeIDs, L"Add", Call, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << GuidText(*c.iid) << " " << c.name);
        const auto members = MembersWithBases(VtableView(s_host.Get(), *c.iid));
        const Member* member = Find(members, c.name, c.kind);
        ASSERT_TRUE(member);
        EXPECT_EQ(member->slot, c.slot);
    }
    EXPECT_EQ(MembersWithBases(VtableView(s_host.Get(), IID_ISDesktopPluginInfo)).size(), 4u);
    EXPECT_EQ(MembersWithBases(VtableView(s_host.Get(), IID_ISVersionedInfoObject)).size(), 1u);
}

// The plug-in face is a plain IUnknown interface: fourteen methods in slots 3 to 16.
TEST_F(TypeLibraries, DesktopPluginFaceIsAPlainVtable) {
    const wchar_t* const names[] = {
        L"InfoObject",       L"PrepareForCommit",     L"Initialize",
        L"PrepareForDelete", L"FormatJobServerError", L"LoadMessage",
        L"AfterDelete",      L"PrepareForCopy",       L"AfterCommit",
        L"AfterCopy",        L"PrepareForSchedule",   L"IsUnmanagedDestinationSupported",
        L"ExtendedMode",     L"ExtendedMode"};
    ComPtr<ITypeInfo> info = VtableView(s_host.Get(), IID_ISDesktopPluginEx);
    ASSERT_TRUE(info);
    const auto members = MembersWithBases(info);
    ASSERT_EQ(members.size(), std::size(names));
    for (size_t i = 0; i < members.size(); ++i) {
        EXPECT_EQ(members[i].name, names[i]);
        EXPECT_EQ(members[i].slot, static_cast<int>(3 + i));
    }
    EXPECT_EQ(members[12].kind, Get);
    EXPECT_EQ(members[13].kind, Put);
    for (const GUID* iid : {&IID_ISDesktopPlugin, &IID_ISDesktopPluginEx}) {
        ComPtr<ITypeInfo> face;
        ASSERT_EQ(s_host->GetTypeInfoOfGuid(*iid, &face), S_OK);
        const TYPEATTR attr = Attributes(face.Get());
        EXPECT_EQ(attr.typekind, TKIND_INTERFACE);
        EXPECT_EQ(attr.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE), 0);
    }
    // The bottom of the chain derives from IUnknown itself.
    ComPtr<ITypeInfo> plugin = VtableView(s_host.Get(), IID_ISDesktopPlugin);
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> base;
    ASSERT_EQ(plugin->GetRefTypeOfImplType(0, &ref), S_OK);
    ASSERT_EQ(plugin->GetRefTypeInfo(ref, &base), S_OK);
    EXPECT_TRUE(IsEqualGUID(Attributes(base.Get()).guid, IID_IUnknown));
}

}  // namespace

// A property's put and get may have texts of their own. Look-ups by DISPID give one text per
// pair, so the built library's bytes are searched: each text is stored once as written.
TEST(PluginLibraryBytes, EveryFunctionKeepsItsOwnHelpString) {
    std::ifstream file(kPluginTlbPath, std::ios::binary);
    ASSERT_TRUE(file.is_open());
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    for (const Row& row : kPublicationRows) {
        const std::string text(row.help, row.help + wcslen(row.help));
        EXPECT_NE(std::string::npos, bytes.find(text)) << text;
    }
}
