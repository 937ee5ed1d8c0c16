// Entry and exit lines, warning lines, assertions, value texts and the per-call guard.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sdktrace.h"
#include "support/trace_capture.h"

using Zentil500::SWCharString;
using Zentil500::ThreadTraceCounters;

namespace {

// A traced class in the shape of the plug-in's own methods.
class CTracedSample : public SComObjectBase {
public:
    static constexpr const char* kTraceFile = "CCryptoGraphicKey";
    int valueTextsMade = 0;

    HRESULT get_KeyState(long* state) {
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY(L"CCryptoGraphicKey::get_KeyState");
        *state = 4;
        SDK_TRACE_EXIT(L"CCryptoGraphicKey::get_KeyState", static_cast<long>(S_OK),
                       SdkTrace::DecimalText(*state));
        return S_OK;
    }

    HRESULT FourValues(const VARIANT* v, IUnknown* p) {
        SDK_TRACE_ENTRY(L"IEnumTypesImpl::Next", Counted(SdkTrace::VariantText(v)), 7, true);
        SDK_TRACE_RETURN(L"IEnumTypesImpl::Next", E_POINTER, SdkTrace::PointerText(p),
                         Counted(SWCharString(L"x")), 0x80042A90u);
    }

    HRESULT Refuse() {
        SDK_TRACE_EXIT(L"CCryptoGraphicKey::StartRekey", 0x80042A90u);
        return static_cast<HRESULT>(0x80042A90u);
    }

    void Warn() { SDK_TRACE_WARNING("m_pInfoStore.p should equal to NULL, check if you called Initialize twice"); }

    void Asserts(void* missing) {
        SDK_ASSERT(missing != NULL);
        SDK_ASSERT_FAILED("Invalid pointer pType");
        SDK_ASSERT_TEXT("FALSE", L"Failed to retrieve ISFile Interface.");
    }

private:
    SWCharString Counted(SWCharString text) {
        ++valueTextsMade;
        return text;
    }
};

std::wstring Address(const void* p) { return SdkTrace::PointerText(p).str(); }

class CallTraceTest : public ::testing::Test {
protected:
    CallTraceTest() { sample.m_ObjectLocale = 1033; }
    TraceCapture capture;
    CTracedSample sample;
};

// A trace point that writes nothing builds no value text: with tracing off it asks the gate and
// nothing else; with the gate open and level 14 declined it builds only the format (the object's
// address is its one integer text).
TEST_F(CallTraceTest, TracePointsThatWriteNothingBuildNoValueText) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = 12;
    for (const bool off : {true, false}) {
        SCOPED_TRACE(off ? "tracing off" : "warnings only");
        off ? capture.TracingOff() : capture.TraceLevels({0});
        ThreadTraceCounters() = {};
        long state = 0;
        EXPECT_EQ(S_OK, sample.get_KeyState(&state));
        EXPECT_EQ(E_POINTER, sample.FourValues(&v, nullptr));
        EXPECT_EQ(4, state);

        const auto counters = ThreadTraceCounters();
        EXPECT_EQ(4u, counters.shouldTrace);
        EXPECT_EQ(off ? 0u : 4u, counters.slowPath);
        EXPECT_EQ(off ? 0u : 4u, counters.integerTexts);
        EXPECT_EQ(0u, counters.parameters);
        EXPECT_EQ(0u, counters.traceObjCalls);
        EXPECT_EQ(0, sample.valueTextsMade);
        EXPECT_TRUE(capture.lines.empty());
    }
}

// Entry and exit lines of one, three and four values, and the forms of a status.
TEST_F(CallTraceTest, EntryAndExitLinesHaveTheExactTexts) {
    capture.TraceAll();
    long state = 0;
    sample.get_KeyState(&state);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(L"abc");
    sample.FourValues(&v, nullptr);
    sample.Refuse();
    VariantClear(&v);

    const std::wstring addr = Address(&sample);
    const std::wstring expected[] = {
        L"IN:\t[CCryptoGraphicKey::get_KeyState]\t[" + addr + L"]\t[-]\t",
        L"OUT:\t[CCryptoGraphicKey::get_KeyState]\t[" + addr + L"]\t[0]\t[4]",
        L"IN:\t[IEnumTypesImpl::Next]\t[" + addr + L"]\t[-]\t[abc] [7] [true]",
        // A null interface pointer gives an empty pair of brackets; E_POINTER is a long.
        L"OUT:\t[IEnumTypesImpl::Next]\t[" + addr + L"]\t[-2147467261]\t[] [x] [0x80042A90]",
        L"OUT:\t[CCryptoGraphicKey::StartRekey]\t[" + addr + L"]\t[0x80042A90]\t",
    };
    ASSERT_EQ(std::size(expected), capture.lines.size());
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(expected[i], capture.lines[i].text);
        EXPECT_EQ(14, capture.lines[i].level);
        EXPECT_EQ(0, capture.lines[i].kind);
        EXPECT_EQ("CCryptoGraphicKey", capture.lines[i].file);
    }
    EXPECT_NE(capture.lines[0].line, capture.lines[1].line);
}

TEST_F(CallTraceTest, WarningLineIsANarrowTextWithoutFrame) {
    capture.TraceLevels({0});
    sample.Warn();
    ASSERT_EQ(1u, capture.lines.size());
    EXPECT_EQ(L"m_pInfoStore.p should equal to NULL, check if you called Initialize twice",
              capture.lines[0].text);
    EXPECT_EQ(0, capture.lines[0].level);
    EXPECT_EQ(2, capture.lines[0].kind);

    capture.TracingOff();
    ThreadTraceCounters() = {};
    sample.Warn();
    EXPECT_EQ(0u, ThreadTraceCounters().shouldTrace);  // warnings do not ask the gate
    EXPECT_EQ(1u, capture.lines.size());
}

TEST_F(CallTraceTest, AssertionFormsAndSwitch) {
    sample.Asserts(nullptr);
    ASSERT_EQ(3u, capture.asserts.size());
    EXPECT_EQ("missing != NULL", capture.asserts[0].expression);
    EXPECT_EQ(L"", capture.asserts[0].message);
    EXPECT_EQ("false", capture.asserts[1].expression);
    EXPECT_EQ(L"Invalid pointer pType", capture.asserts[1].message);
    EXPECT_EQ("FALSE", capture.asserts[2].expression);
    EXPECT_EQ(L"Failed to retrieve ISFile Interface.", capture.asserts[2].message);
    for (const auto& a : capture.asserts) EXPECT_EQ("CCryptoGraphicKey", a.file);

    int dummy = 0;
    capture.asserts.clear();
    sample.Asserts(&dummy);
    EXPECT_EQ(2u, capture.asserts.size());  // the condition held

    Zentil500::SetAssertEnabled(false);
    capture.asserts.clear();
    sample.Asserts(nullptr);
    Zentil500::SetAssertEnabled(true);
    EXPECT_TRUE(capture.asserts.empty());
}

TEST(TraceValueText, BooleansPointersIntegers) {
    EXPECT_EQ(L"true", SdkTrace::BoolText(VARIANT_TRUE).str());
    EXPECT_EQ(L"false", SdkTrace::BoolText(static_cast<VARIANT_BOOL>(1)).str());
    EXPECT_EQ(L"false", SdkTrace::BoolText(VARIANT_FALSE).str());
    const VARIANT_BOOL t = VARIANT_TRUE;
    EXPECT_EQ(L"true", SdkTrace::BoolText(&t).str());
    EXPECT_EQ(L"", SdkTrace::BoolText(static_cast<const VARIANT_BOOL*>(nullptr)).str());
    EXPECT_EQ(L"", SdkTrace::PointerText(nullptr).str());
    EXPECT_EQ(L"1A2B", SdkTrace::PointerText(reinterpret_cast<void*>(0x1A2B)).str());
    EXPECT_EQ(L"-7", SdkTrace::DecimalText(-7).str());
    EXPECT_EQ(L"", SdkTrace::BstrText(nullptr).str());
}

TEST(TraceValueText, Variants) {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(L"", SdkTrace::VariantText(&v).str());
    EXPECT_EQ(L"", SdkTrace::VariantText(nullptr).str());

    V_VT(&v) = VT_I4;
    V_I4(&v) = -42;
    EXPECT_EQ(L"-42", SdkTrace::VariantText(&v).str());

    // Only VT_I4 and VT_BSTR have a text (v owns nothing: it is reused as is).
    for (VARTYPE vt : {VT_BOOL, VT_DATE, VT_I2, VT_ERROR, VT_UI4, VT_R8}) {
        V_VT(&v) = vt;
        V_I4(&v) = 1;
        EXPECT_EQ(L"", SdkTrace::VariantText(&v).str()) << "vt " << vt;
    }

    LONG target = 31;
    V_VT(&v) = VT_I4 | VT_BYREF;
    V_I4REF(&v) = &target;
    EXPECT_EQ(L"31", SdkTrace::VariantText(&v).str());

    VARIANT inner;
    VariantInit(&inner);
    V_VT(&inner) = VT_BSTR;
    V_BSTR(&inner) = SysAllocString(L"by ref");
    V_VT(&v) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(&v) = &inner;
    EXPECT_EQ(L"by ref", SdkTrace::VariantText(&v).str());
    VariantClear(&inner);
}

struct ISampleList : IUnknown {};
template <int>
class CListOfKind : public ISampleList {
public:
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
};
using CSampleList = CListOfKind<1>;
using COtherList = CListOfKind<2>;

TEST(TraceValueText, CollectionsByClass) {
    CSampleList mine;
    COtherList other;
    ISampleList* out = &mine;
    EXPECT_EQ(Address(&mine), (SdkTrace::CollectionText<CSampleList>(&out).str()));
    out = &other;
    EXPECT_EQ(L"", (SdkTrace::CollectionText<CSampleList>(&out).str()));
    out = nullptr;
    EXPECT_EQ(L"", (SdkTrace::CollectionText<CSampleList>(&out).str()));
    EXPECT_EQ(L"", (SdkTrace::CollectionText<CSampleList, ISampleList>(nullptr).str()));
}

TEST_F(CallTraceTest, GuardSwitchesLocaleAndNestedGuardsHandBackTheirCookies) {
    CTracedSample outer, inner;
    outer.m_ObjectLocale = 1033;
    inner.m_ObjectLocale = 1031;
    const LCID before = Zentil500::SResManager::ThreadLocale();
    {
        SComCallGuard g1(outer);
        EXPECT_EQ(1033u, Zentil500::SResManager::ThreadLocale());
        EXPECT_EQ(1, Thrin1001206::JTCAdoptCurrentThread::Depth());
        {
            SComCallGuard g2(inner);
            EXPECT_NE(g1.Cookie(), g2.Cookie());
            EXPECT_EQ(1031u, Zentil500::SResManager::ThreadLocale());
            EXPECT_EQ(2, Thrin1001206::JTCAdoptCurrentThread::Depth());
            EXPECT_EQ(2, Zentil500::SResManager::ThreadDepth());
        }
        EXPECT_EQ(1033u, Zentil500::SResManager::ThreadLocale());
        EXPECT_EQ(1, Zentil500::SResManager::ThreadDepth());
    }
    EXPECT_EQ(before, Zentil500::SResManager::ThreadLocale());
    EXPECT_EQ(0, Thrin1001206::JTCAdoptCurrentThread::Depth());
    EXPECT_EQ(0, Zentil500::SResManager::ThreadDepth());
    EXPECT_TRUE(capture.asserts.empty());
}

// What the thread registration looked like when the resource manager was released.
thread_local int g_adoptDepthAtUninitialize = -1;
thread_local unsigned g_cookieAtUninitialize = 0;

TEST_F(CallTraceTest, GuardReleasesResourceManagerBeforeThreadRegistration) {
    Zentil500::SResManager::SetThreadUninitializeObserver([](unsigned cookie) {
        g_adoptDepthAtUninitialize = Thrin1001206::JTCAdoptCurrentThread::Depth();
        g_cookieAtUninitialize = cookie;
    });
    unsigned cookie = 0;
    {
        SComCallGuard guard(sample);
        cookie = guard.Cookie();
    }
    Zentil500::SResManager::SetThreadUninitializeObserver(nullptr);
    EXPECT_EQ(1, g_adoptDepthAtUninitialize);  // still registered while the locale is released
    EXPECT_EQ(cookie, g_cookieAtUninitialize);
    EXPECT_EQ(0, Thrin1001206::JTCAdoptCurrentThread::Depth());
}

TEST_F(CallTraceTest, GuardClosesOnExceptionAndReportsMissingLocale) {
    sample.m_ObjectLocale = 0;  // reported, the call still runs
    try {
        SComCallGuard guard(sample);
        EXPECT_EQ(1, Zentil500::SResManager::ThreadDepth());
        throw 1;
    } catch (int) {
    }
    EXPECT_EQ(0, Zentil500::SResManager::ThreadDepth());
    EXPECT_EQ(0, Thrin1001206::JTCAdoptCurrentThread::Depth());
    ASSERT_EQ(1u, capture.asserts.size());
    EXPECT_EQ("m_ObjectLocale!=0", capture.asserts[0].expression);
    EXPECT_EQ(kSComObjectBaseFile, capture.asserts[0].file);
    EXPECT_NE(std::wstring::npos, capture.asserts[0].message.find(L"CTracedSample"));

    Zentil500::SetAssertEnabled(false);
    { SComCallGuard guard(sample); }
    Zentil500::SetAssertEnabled(true);
    EXPECT_EQ(1u, capture.asserts.size());
}

}  // namespace
