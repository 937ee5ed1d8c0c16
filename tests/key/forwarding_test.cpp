// The generic members: on both faces, every forwarded slot checks its listed arguments for null
// first, refuses before Initialize (as the key members do), and afterwards calls the host with
// the same arguments and returns its status unchanged, without tracing.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <type_traits>

#include "support/host_fixture.h"

using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;

namespace {

constexpr HRESULT kInjected = static_cast<HRESULT>(0x8004F00D);

// Argument values for a call: "valid" ones, or null for every pointer and string.
struct ArgumentSource {
    bool nulls;
    ISInfoObject* someObject;
    BSTR text;
    VARIANT variant;

    template <typename T>
    T Make() {
        if constexpr (std::is_same_v<T, BSTR>) {
            return nulls ? nullptr : text;
        } else if constexpr (std::is_same_v<T, VARIANT>) {
            return variant;
        } else if constexpr (std::is_same_v<T, ISInfoObject*>) {
            return nulls ? nullptr : someObject;
        } else if constexpr (std::is_pointer_v<T>) {
            using Pointee = std::remove_pointer_t<T>;
            static thread_local Pointee storage{};
            storage = Pointee{};
            return nulls ? nullptr : &storage;
        } else if constexpr (std::is_same_v<T, VARIANT_BOOL>) {
            return VARIANT_TRUE;
        } else {
            return static_cast<T>(5);
        }
    }
};

template <typename I, typename... A>
HRESULT Call(I* object, HRESULT (STDMETHODCALLTYPE I::*member)(A...), ArgumentSource& source) {
    std::tuple<A...> args{source.Make<A>()...};
    return std::apply([&](auto... a) { return (object->*member)(a...); }, args);
}

struct Member {
    const char* name;
    bool refusesNulls;  // one of its arguments is checked for null
    HRESULT (*onKey)(ISCryptoGraphicKey*, ArgumentSource&);
    HRESULT (*onGeneric)(ISInfoObject*, ArgumentSource&);
};

#define MEMBER(name, refusesNulls)                                                           \
    Member {                                                                                 \
        #name, refusesNulls,                                                                 \
            [](ISCryptoGraphicKey* k, ArgumentSource& s) {                                   \
                return Call(k, &ISCryptoGraphicKey::name, s);                                \
            },                                                                               \
            [](ISInfoObject* o, ArgumentSource& s) { return Call(o, &ISInfoObject::name, s); } \
    }

// Which members refuse null arguments, member by member.
const Member kForwarded[] = {
    MEMBER(get_Properties, true), MEMBER(get_Property, true), MEMBER(put_Property, false),
    MEMBER(get_ID, true), MEMBER(get_ParentID, true), MEMBER(get_Title, true),
    MEMBER(put_Title, false), MEMBER(get_Description, true), MEMBER(put_Description, false),
    MEMBER(get_Instance, true), MEMBER(get_Locale, true), MEMBER(get_ParentInfoObjects, true),
    MEMBER(get_Files, true), MEMBER(QueryProperties, false), MEMBER(get_SchedulingInfo, true),
    MEMBER(get_ProcessingInfo, true), MEMBER(get_SecurityInfo, true), MEMBER(Equals, true),
    MEMBER(get_CUID, true), MEMBER(get_GUID, true), MEMBER(get_RUID, true),
    MEMBER(put_ParentID, false), MEMBER(get_ParentCUID, true), MEMBER(get_ProgID, true),
    MEMBER(get_ObjectType, true), MEMBER(get_Keyword, true), MEMBER(put_Keyword, false),
    MEMBER(get_Parent, true), MEMBER(Save, false), MEMBER(DeleteNow, false),
    MEMBER(get_SendToDestination, true), MEMBER(get_Kind, true), MEMBER(get_IsDirty, true),
    MEMBER(get_MarkedAsRead, true), MEMBER(put_MarkedAsRead, false), MEMBER(get_Locked, true),
    MEMBER(ReleaseLock, false), MEMBER(get_LockStatus, true),
    MEMBER(get_DeliverToInboxPrincipals, true), MEMBER(get_SecurityInfo2, true),
    MEMBER(get_Delta, true), MEMBER(ApplyDelta, true), MEMBER(get_LockInfo, true),
    MEMBER(UnlockNow, false), MEMBER(Serialize, false), MEMBER(Deserialize, false),
    MEMBER(GetUpdateTimeStamp, true), MEMBER(IsNew, true), MEMBER(get_DeltaEx, true),
    MEMBER(ApplyDeltaEx, false), MEMBER(get_MLTitle, false), MEMBER(get_MLTitleEx, false),
    MEMBER(get_MLTitleLocales, false), MEMBER(get_MLDescription, false),
    MEMBER(get_MLDescriptionEx, false), MEMBER(get_MLDescriptionLocales, false),
    MEMBER(get_FallBackLocale, false), MEMBER(get_FilesEx, true), MEMBER(get_SourceFiles, false),
    MEMBER(get_FileLocales, false), MEMBER(RemoveFiles, true), MEMBER(RemoveSourceFiles, false),
    MEMBER(get_PluginIcon, false), MEMBER(get_CustomizedPluginName, false),
    MEMBER(get_ParentKind, true), MEMBER(get_SpecificKind, true), MEMBER(get_ParentProgID, true),
    MEMBER(get_SpecificProgID, true), MEMBER(get_AlertNotification, true),
};

class ForwardingTest : public HostedKeyTest {
protected:
    ArgumentSource Valid() {
        ArgumentSource s{false, host.Get(), m_text.Get(), {}};
        VariantInit(&s.variant);
        V_VT(&s.variant) = VT_I4;
        V_I4(&s.variant) = 7;
        return s;
    }
    ArgumentSource Nulls() {
        ArgumentSource s = Valid();
        s.nulls = true;
        return s;
    }
    ComLib::ScopedBstr m_text{L"argument"};
};

TEST_F(ForwardingTest, EveryForwardedSlotOnBothFaces) {
    EXPECT_EQ(74u - 5u, std::size(kForwarded));  // slots 7..80 less the five answered by the object
    auto generic = Face<ISInfoObject>(key.Get());
    TraceCapture capture;
    capture.TraceAll();

    // Before Initialize: null checks first, then the refusal.
    for (const Member& m : kForwarded) {
        auto nulls = Nulls();
        auto valid = Valid();
        if (m.refusesNulls) {
            EXPECT_EQ(E_POINTER, m.onKey(key.Get(), nulls)) << m.name;
            EXPECT_EQ(E_POINTER, m.onGeneric(generic.Get(), nulls)) << m.name;
        }
        EXPECT_EQ(E_FAIL, m.onKey(key.Get(), valid)) << m.name;
        EXPECT_EQ(E_FAIL, m.onGeneric(generic.Get(), valid)) << m.name;
    }
    // The key members fail from their property read, and leave their outputs alone.
    BSTR title = reinterpret_cast<BSTR>(0xdeadbeef);
    EXPECT_EQ(E_FAIL, key->get_Title(&title));
    EXPECT_EQ(reinterpret_cast<BSTR>(0xdeadbeef), title);
    KvKeyState state = static_cast<KvKeyState>(0x55);
    EXPECT_EQ(E_FAIL, key->get_KeyState(&state));
    EXPECT_EQ(0x55, state);
    EXPECT_EQ(E_FAIL, key->StartRekey());
    // Each refusal of a missing host object was reported.
    ASSERT_FALSE(capture.asserts.empty());
    EXPECT_EQ("this->m_pInfoObject", capture.asserts.front().expression);

    ASSERT_EQ(S_OK, Initialize());
    capture.lines.clear();  // the initialisation chain traces; the forwarded members must not
    RefHost::EnableCallLog(true);
    for (const Member& m : kForwarded) {
        const std::string method = std::string("ISInfoObject::") + m.name;
        ASSERT_EQ(S_OK, RefHost::InjectFault(host.Get(), method, kInjected, RefHost::FaultMode::Always));
        RefHost::ClearCallLog();
        if (m.refusesNulls) {
            auto nulls = Nulls();
            EXPECT_EQ(E_POINTER, m.onKey(key.Get(), nulls)) << m.name;
            EXPECT_EQ(0u, HostCalls(method.c_str())) << m.name << ": a refused null reached the host";
        }
        auto valid = Valid();
        EXPECT_EQ(kInjected, m.onKey(key.Get(), valid)) << m.name;
        EXPECT_EQ(kInjected, m.onGeneric(generic.Get(), valid)) << m.name;
        auto direct = Valid();
        EXPECT_EQ(kInjected, m.onGeneric(host.Get(), direct)) << m.name;

        // The host saw the same arguments from both faces as from a direct call.
        const auto log = RefHost::CallLog();
        std::vector<RefHost::CallRecord> calls;
        for (const auto& r : log)
            if (r.method == method) calls.push_back(r);
        ASSERT_EQ(3u, calls.size()) << m.name;
        EXPECT_EQ(calls[2].arguments, calls[0].arguments) << m.name;
        EXPECT_EQ(calls[2].arguments, calls[1].arguments) << m.name;
        EXPECT_EQ(RefHost::IdentityOf(host.Get()), calls[0].object) << m.name;
        RefHost::ClearFaults();
    }
    for (const auto& line : capture.lines) ADD_FAILURE() << "forwarding traced: " << std::string(line.text.begin(), line.text.end());
}

TEST_F(ForwardingTest, MembersAnsweredByTheObjectItself) {
    auto generic = Face<ISInfoObject>(key.Get());
    EXPECT_EQ(S_FALSE, generic->UpdateInfoObject(7));  // also without a host object
    ASSERT_EQ(S_OK, Initialize());
    RefHost::EnableCallLog(true);
    ComPtr<ISActions> actions;
    EXPECT_EQ(S_FALSE, generic->get_Actions(&actions));
    EXPECT_EQ(nullptr, actions.Get());
    EXPECT_EQ(E_POINTER, generic->get_Actions(nullptr));
    EXPECT_EQ(E_NOTIMPL, generic->DoAction(nullptr, VARIANT{}, nullptr));
    EXPECT_EQ(S_FALSE, generic->UpdateInfoObject(3));
    EXPECT_EQ(0u, RefHost::CallLog().size());

    // Slot 82 is a property put through the object's own forwarding.
    ScopedVariant value;
    value.SetI4(42);
    EXPECT_EQ(S_OK, generic->SetPropertyEx(ComLib::ScopedBstr(L"SI_EXTRA").Get(), value.Get(), 99));
    EXPECT_EQ(1u, HostCalls("ISInfoObject::put_Property"));
    ScopedVariant stored;
    ASSERT_EQ(S_OK, Read(L"SI_EXTRA", stored));
    EXPECT_EQ(42, V_I4(&stored.Get()));
}

}  // namespace
