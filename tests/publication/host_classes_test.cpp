// The reference host's publication settings objects over a bag, and their class objects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "publication_fixture.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;

namespace {

constexpr HRESULT kAlreadyInList = static_cast<HRESULT>(0x80042A5A);

class HostClassesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_HR(S_OK, RefHost::RegisterHostClasses());
        ASSERT_HR(S_OK, RefHost::CreatePropertyBag(&bag));
    }
    void TearDown() override {
        bag.Reset();
        EXPECT_HR(S_OK, RefHost::RevokeHostClasses());
        EXPECT_EQ(0, RefHost::LiveObjectCount());
    }
    template <typename T>
    ComPtr<T> Create(REFCLSID clsid) {
        ComPtr<T> object;
        EXPECT_HR(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(T),
                                         reinterpret_cast<void**>(object.GetAddressOf())));
        return object;
    }
    static std::wstring Text(ISProperties* element, const wchar_t* name) {
        ScopedVariant nameValue;
        nameValue.SetBstr(name);
        ComPtr<ISProperty> property;
        if (FAILED(element->get_Item(nameValue.Get(), &property))) return L"<absent>";
        ScopedVariant value;
        EXPECT_HR(S_OK, property->get_Value(value.Receive()));
        EXPECT_HR(S_OK, value.ChangeType(VT_BSTR));
        return V_BSTR(&value.Get());
    }
    static std::vector<std::wstring> Strings(const VARIANT& array) {
        std::vector<std::wstring> texts;
        EXPECT_EQ(VT_ARRAY | VT_BSTR, V_VT(&array));
        LONG upper = -1;
        SafeArrayGetUBound(V_ARRAY(&array), 1, &upper);
        for (LONG i = 0; i <= upper; ++i) {
            BSTR text = nullptr;
            EXPECT_HR(S_OK, SafeArrayGetElement(V_ARRAY(&array), &i, &text));
            texts.emplace_back(text ? text : L"");
            SysFreeString(text);
        }
        return texts;
    }
    ComPtr<ISProperties> bag;
};

TEST_F(HostClassesTest, FormatInfosKeepOneEntryPerProgID) {
    // Unusable before Initialize and initialised once: the server's test checks both.
    auto formats = Create<ISFormatInfos>(CLSID_FormatInfos);
    EXPECT_HR(E_POINTER, formats->Initialize(nullptr, nullptr, 1033));
    ASSERT_HR(S_OK, formats->Initialize(bag.Get(), nullptr, 1033));

    ComPtr<ISProperties> disk, mail, dup;
    ASSERT_HR(S_OK, formats->Add(ScopedBstr(L"Korvel.Disk").Get(), &disk));
    ASSERT_HR(S_OK, formats->Add(ScopedBstr(L"Korvel.Mail").Get(), &mail));
    EXPECT_HR(kAlreadyInList, formats->Add(ScopedBstr(L"KORVEL.DISK").Get(), &dup));
    EXPECT_HR(E_INVALIDARG, formats->Add(nullptr, &dup));
    EXPECT_EQ(2, Get(formats.Get(), &ISFormatInfos::get_Count));

    ComPtr<ISProperties> byPosition, byKey;
    ScopedVariant two, key, three;
    two.SetI4(2);
    three.SetI4(3);
    ASSERT_HR(S_OK, key.SetBstr(L"korvel.disk"));
    ASSERT_HR(S_OK, formats->get_Item(two.Get(), &byPosition));
    EXPECT_EQ(L"Korvel.Mail", Text(byPosition.Get(), L"SI_PROGID"));
    ASSERT_HR(S_OK, formats->get_Item(key.Get(), &byKey));
    EXPECT_EQ(L"Korvel.Disk", Text(byKey.Get(), L"SI_PROGID"));
    EXPECT_HR(kAbsent, formats->get_Item(three.Get(), &byKey));
    long position = 0;
    ASSERT_HR(S_OK, formats->Find(ScopedBstr(L"Korvel.Mail").Get(), &position));
    EXPECT_EQ(2, position);
    EXPECT_HR(kAbsent, formats->Find(ScopedBstr(L"Korvel.Fax").Get(), &position));

    ScopedVariant ids;
    ASSERT_HR(S_OK, formats->get_DestinationProgIDs(ids.Receive()));
    EXPECT_EQ((std::vector<std::wstring>{L"Korvel.Disk", L"Korvel.Mail"}), Strings(ids.Get()));

    // Everything lives in the given bag.
    ComPtr<ISProperties> same = Fetch(formats.Get(), &ISFormatInfos::get_Properties);
    EXPECT_EQ(bag.Get(), same.Get());
    ASSERT_HR(S_OK, formats->Remove(key.Get()));
    EXPECT_EQ(1, Get(formats.Get(), &ISFormatInfos::get_Count));
    ASSERT_HR(S_OK, formats->RemoveAll());
    EXPECT_EQ(0, Get(formats.Get(), &ISFormatInfos::get_Count));
}

TEST_F(HostClassesTest, ScopesGetTheNextFreeScopeID) {
    auto scopes = Create<ISScopeBatchScopes>(CLSID_ScopeBatchScopes);
    ASSERT_HR(S_OK, scopes->Initialize(bag.Get(), 1033));
    ComPtr<ISProperties> first, second, third;
    ASSERT_HR(S_OK, scopes->Add(&first));
    ASSERT_HR(S_OK, scopes->Add(&second));
    ScopedVariant one;
    ASSERT_HR(S_OK, one.SetBstr(L"1"));
    ASSERT_HR(S_OK, scopes->Remove(one.Get()));  // by the scope ID's text
    ASSERT_HR(S_OK, scopes->Add(&third));
    EXPECT_EQ(L"3", Text(third.Get(), L"SI_SCOPE_ID"));

    ScopedVariant ids;
    ASSERT_HR(S_OK, scopes->get_ScopeIDs(ids.Receive()));
    ASSERT_EQ(VT_ARRAY | VT_I4, ids.Type());
    LONG at = 1, id = 0;
    ASSERT_HR(S_OK, SafeArrayGetElement(V_ARRAY(&ids.Get()), &at, &id));
    EXPECT_EQ(3, id);

    ScopedVariant recipients, values;
    ASSERT_HR(S_OK, recipients.SetBstr(L"alice;bob"));
    ComPtr<ISProperty> added;
    ASSERT_HR(S_OK, second->Add(ScopedBstr(L"SI_RECIPIENTS").Get(), recipients.Get(), 0, &added));
    ScopedVariant read;
    ASSERT_HR(S_OK, scopes->get_Recipients(2, read.Receive()));
    EXPECT_EQ(VT_BSTR, read.Type());
    EXPECT_STREQ(L"alice;bob", V_BSTR(&read.Get()));
    ASSERT_HR(S_OK, scopes->get_ProfileValues(2, values.Receive()));
    EXPECT_EQ(VT_EMPTY, values.Type());
    ComPtr<ISProperties> missing;
    EXPECT_HR(kAbsent, scopes->FindScope(1, &missing));
    EXPECT_HR(kAbsent, scopes->get_Recipients(1, read.Ptr()));
}

TEST_F(HostClassesTest, MappingsKeepTheirSecondValueAndLocale) {
    auto profile = Create<ISProfileValueMappings>(CLSID_ProfileValueMappings);
    ASSERT_HR(S_OK, profile->Initialize(bag.Get(), 1031));
    ComPtr<ISProperties> mapping;
    ASSERT_HR(S_OK,
              profile->Add(ScopedBstr(L"Region").Get(), ScopedBstr(L"REGION").Get(), &mapping));
    EXPECT_EQ(L"REGION", Text(mapping.Get(), L"SI_COLUMN_NAME"));
    EXPECT_EQ(1031, Get(profile.Get(), &ISProfileValueMappings::get_Locale));
    ScopedVariant ids;
    ASSERT_HR(S_OK, profile->get_ProfileIDs(ids.Receive()));
    EXPECT_EQ(std::vector<std::wstring>{L"Region"}, Strings(ids.Get()));

    ComPtr<ISProperties> other;
    ASSERT_HR(S_OK, RefHost::CreatePropertyBag(&other));
    auto document = Create<ISDocumentVariableMappings>(CLSID_DocumentVariableMappings);
    ASSERT_HR(S_OK, document->Initialize(other.Get(), 1033));
    ASSERT_HR(S_OK,
              document->Add(ScopedBstr(L"var1").Get(), ScopedBstr(L"Region").Get(), &mapping));
    EXPECT_EQ(L"Region", Text(mapping.Get(), L"SI_PROFILE_ID"));
    long position = 0;
    ASSERT_HR(S_OK, document->Find(ScopedBstr(L"VAR1").Get(), &position));
    EXPECT_EQ(1, position);
}

TEST_F(HostClassesTest, ClassObjectsAreRegisteredForTheProcessOnly) {
    ComPtr<IUnknown> outer;
    ASSERT_HR(S_OK,
              RefHost::CreatePropertyBag(reinterpret_cast<ISProperties**>(outer.GetAddressOf())));
    ComPtr<IUnknown> aggregated;
    EXPECT_HR(CLASS_E_NOAGGREGATION,
              CoCreateInstance(CLSID_FormatInfos, outer.Get(), CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(aggregated.GetAddressOf())));
    ComPtr<ISFormatInfos> wrong;
    EXPECT_HR(E_NOINTERFACE,
              CoCreateInstance(CLSID_ScopeBatchScopes, nullptr, CLSCTX_INPROC_SERVER,
                               IID_ISFormatInfos, reinterpret_cast<void**>(wrong.GetAddressOf())));
    outer.Reset();

    // Registrations nest; the last revocation takes the classes away.
    ASSERT_HR(S_OK, RefHost::RegisterHostClasses());
    ASSERT_HR(S_OK, RefHost::RevokeHostClasses());
    Create<ISFormatInfos>(CLSID_FormatInfos);
    ASSERT_HR(S_OK, RefHost::RevokeHostClasses());
    ComPtr<ISFormatInfos> none;
    EXPECT_TRUE(
        FAILED(CoCreateInstance(CLSID_FormatInfos, nullptr, CLSCTX_INPROC_SERVER, IID_ISFormatInfos,
                                reinterpret_cast<void**>(none.GetAddressOf()))));
    EXPECT_HR(S_FALSE, RefHost::RevokeHostClasses());
    ASSERT_HR(S_OK, RefHost::RegisterHostClasses());  // for TearDown
}

}  // namespace
