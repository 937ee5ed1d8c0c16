#include "sweep/members.h"

#include "guardheap.h"
#include "hostcore.h"

#include <oleauto.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>

using Microsoft::WRL::ComPtr;

namespace Sweep {

namespace {

Kind KindOf(ITypeInfo* info, const TYPEDESC& type, IID* iid);

// The kind of the type href names: an enumeration or an alias (the kind of what it stands for),
// or behind a pointer an interface (its IID into iid).
Kind KindOfReference(ITypeInfo* info, HREFTYPE href, bool pointer, IID* iid) {
    ComPtr<ITypeInfo> ref;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetRefTypeInfo(href, &ref)) || FAILED(ref->GetTypeAttr(&attr)))
        return Kind::Unsupported;
    Kind kind = Kind::Unsupported;
    if (pointer && (attr->typekind == TKIND_INTERFACE || attr->typekind == TKIND_DISPATCH)) {
        kind = Kind::Object;
        *iid = attr->guid;
    }
    if (!pointer && attr->typekind == TKIND_ENUM) kind = Kind::Enum;
    if (!pointer && attr->typekind == TKIND_ALIAS) kind = KindOf(ref.Get(), attr->tdescAlias, iid);
    ref->ReleaseTypeAttr(attr);
    return kind;
}

Kind KindOf(ITypeInfo* info, const TYPEDESC& type, IID* iid) {
    static const std::map<VARTYPE, Kind> kPlain = {
        {VT_I4, Kind::Long},   {VT_INT, Kind::Long},       {VT_UI4, Kind::Long},
        {VT_UINT, Kind::Long}, {VT_I2, Kind::Short},       {VT_UI2, Kind::Short},
        {VT_BOOL, Kind::Bool}, {VT_R8, Kind::Double},      {VT_DATE, Kind::Double},
        {VT_BSTR, Kind::Bstr}, {VT_VARIANT, Kind::Variant}};
    if (const auto plain = kPlain.find(type.vt); plain != kPlain.end()) return plain->second;
    if (type.vt == VT_DISPATCH || type.vt == VT_UNKNOWN) {
        *iid = type.vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown;
        return Kind::Object;
    }
    if (type.vt == VT_USERDEFINED) return KindOfReference(info, type.hreftype, false, iid);
    if (type.vt == VT_PTR && type.lptdesc->vt == VT_USERDEFINED)  // an interface pointer
        return KindOfReference(info, type.lptdesc->hreftype, true, iid);
    return Kind::Unsupported;
}

void AddMembers(ITypeInfo* info, const std::wstring& iface, REFIID iid, bool dispatchable,
                std::vector<Member>& members) {
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return;
    const WORD funcs = attr->cFuncs;
    const WORD bases = attr->cImplTypes;
    info->ReleaseTypeAttr(attr);

    // Inherited members first, as in the vtable; IUnknown and IDispatch are not swept.
    for (UINT b = 0; b < bases; ++b) {
        HREFTYPE href = 0;
        ComPtr<ITypeInfo> base;
        if (FAILED(info->GetRefTypeOfImplType(b, &href)) ||
            FAILED(info->GetRefTypeInfo(href, &base)))
            continue;
        TYPEATTR* baseAttr = nullptr;
        if (FAILED(base->GetTypeAttr(&baseAttr))) continue;
        const bool platform = InlineIsEqualGUID(baseAttr->guid, IID_IUnknown) ||
                              InlineIsEqualGUID(baseAttr->guid, IID_IDispatch);
        base->ReleaseTypeAttr(baseAttr);
        if (!platform) AddMembers(base.Get(), iface, iid, dispatchable, members);
    }

    for (UINT f = 0; f < funcs; ++f) {
        FUNCDESC* desc = nullptr;
        if (FAILED(info->GetFuncDesc(f, &desc))) continue;
        Member member;
        member.iface = iface;
        member.iid = iid;
        member.dispatchable = dispatchable;
        member.memid = desc->memid;
        member.invkind = desc->invkind;
        member.vtableOffset = desc->oVft;
        BSTR name = nullptr;
        info->GetDocumentation(desc->memid, &name, nullptr, nullptr, nullptr);
        const wchar_t* prefix = desc->invkind == INVOKE_PROPERTYGET      ? L"get_"
                                : desc->invkind == INVOKE_PROPERTYPUT    ? L"put_"
                                : desc->invkind == INVOKE_PROPERTYPUTREF ? L"putref_"
                                                                         : L"";
        member.name = std::wstring(prefix) + (name ? name : L"?");
        SysFreeString(name);
        for (SHORT p = 0; p < desc->cParams; ++p) {
            const ELEMDESC& element = desc->lprgelemdescParam[p];
            const USHORT flags = element.paramdesc.wParamFlags;
            Param param;
            param.out = (flags & PARAMFLAG_FOUT) != 0;
            param.in = (flags & PARAMFLAG_FIN) != 0;
            param.retval = (flags & PARAMFLAG_FRETVAL) != 0;
            param.optional = (flags & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT)) != 0;
            const TYPEDESC* type = &element.tdesc;
            if (param.out) type = type->vt == VT_PTR ? type->lptdesc : nullptr;
            param.kind = type ? KindOf(info, *type, &param.iid) : Kind::Unsupported;
            member.params.push_back(param);
        }
        info->ReleaseFuncDesc(desc);
        members.push_back(std::move(member));
    }
}

size_t SizeOf(Kind kind) {
    if (kind == Kind::Variant) return sizeof(VARIANT);
    if (kind == Kind::Long || kind == Kind::Enum) return 4;
    return kind == Kind::Short || kind == Kind::Bool ? 2 : 8;
}

void SetBstr(VARIANT& arg, const wchar_t* text) {
    V_VT(&arg) = VT_BSTR;
    V_BSTR(&arg) = text ? SysAllocString(text) : nullptr;
}

}  // namespace

bool Member::Supported() const {
    for (const Param& param : params)
        if (param.kind == Kind::Unsupported) return false;
    return true;
}

size_t Member::Required() const {
    size_t count = 0;
    for (const Param& param : params)
        if (!param.retval && !param.optional) ++count;
    return count;
}

std::vector<Member> MembersOf(ITypeLib* lib, REFIID iid) {
    std::vector<Member> members;
    ComPtr<ITypeInfo> info;
    if (FAILED(lib->GetTypeInfoOfGuid(iid, &info))) return members;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return members;
    const bool dual = (attr->wTypeFlags & TYPEFLAG_FDUAL) != 0;
    const bool dispatchable = dual || attr->typekind == TKIND_DISPATCH;
    info->ReleaseTypeAttr(attr);
    if (dual) {
        // The vtable description of a dual interface.
        HREFTYPE href = 0;
        ComPtr<ITypeInfo> vtable;
        if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &href)) &&
            SUCCEEDED(info->GetRefTypeInfo(href, &vtable)))
            info = vtable;
    }
    BSTR name = nullptr;
    info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    const std::wstring iface = name ? name : L"?";
    SysFreeString(name);
    AddMembers(info.Get(), iface, iid, dispatchable, members);
    return members;
}

BSTR HugeText() {
    static const BSTR text = [] {
        constexpr UINT kLength = 1u << 20;
        BSTR made = SysAllocStringLen(nullptr, kLength);
        for (UINT i = 0; made && i < kLength; ++i) made[i] = static_cast<wchar_t>(L'a' + i % 26);
        return made;
    }();
    return text;
}

// ---------------------------------------------------------------------------------------------

// Strings, objects and variants start the way a caller prepares them (null, VT_EMPTY): a
// caller need not, but every real one does, and a member that reads the incoming value of an
// output (the trace lines of a few members do, with tracing on) would otherwise read garbage.
// Other outputs start as a sentinel.
bool OutSlot::ZeroStart(Kind kind) {
    return kind == Kind::Bstr || kind == Kind::Object || kind == Kind::Variant;
}

void OutSlot::Fill(Kind kind, bool garbageStart) {
    garbage = garbageStart && ZeroStart(kind);
    std::memset(bytes, kSentinel, sizeof bytes);
    if (garbage && kind == Kind::Variant) {
        const VARTYPE type = VT_BSTR;
        std::memcpy(bytes, &type, sizeof type);
    } else if (ZeroStart(kind) && !garbage) {
        std::memset(bytes, 0, SizeOf(kind));
    }
}

bool OutSlot::Untouched(Kind kind) const {
    // As the caller gave it; a garbage start may also have been reset (a null pointer, VT_EMPTY)
    // as COM asks of a failure. A variant that was cleared (VT_EMPTY) is as the caller gave it.
    OutSlot start;
    start.Fill(kind, garbage);
    if (garbage && std::memcmp(bytes, start.bytes, SizeOf(kind)) == 0) return true;
    start.Fill(kind, false);
    const size_t size = kind == Kind::Variant ? sizeof(VARTYPE) : SizeOf(kind);
    return std::memcmp(bytes, start.bytes, size) == 0;
}

void OutSlot::Release(Kind kind) {
    if (!Untouched(kind)) {
        void* pointer = nullptr;
        std::memcpy(&pointer, bytes, sizeof pointer);
        if (kind == Kind::Bstr) SysFreeString(static_cast<BSTR>(pointer));
        if (kind == Kind::Object && pointer) static_cast<IUnknown*>(pointer)->Release();
        if (kind == Kind::Variant) VariantClear(reinterpret_cast<VARIANT*>(bytes));
    }
    Fill(kind);
}

// ---------------------------------------------------------------------------------------------

Call::Call(const Member& member, std::vector<Value> values, IUnknown* object)
    : m_member(member), m_values(std::move(values)), m_object(object) {
    m_values.resize(member.params.size(), Value::Good);
    m_args.resize(member.params.size());
    m_slots.resize(member.params.size());
    VariantInit(&m_result);
}

Call::~Call() {
    ReleaseOutputs();
    for (VARIANT& arg : m_args) {
        if (V_VT(&arg) == VT_BSTR && V_BSTR(&arg) == HugeText()) V_VT(&arg) = VT_EMPTY;
        VariantClear(&arg);
    }
}

void Call::ReleaseOutputs() {
    if (m_succeeded) {
        for (size_t i = 0; i < m_member.params.size(); ++i)
            if (m_member.params[i].out) m_slots[i].Release(m_member.params[i].kind);
        VariantClear(&m_result);
    }
    m_succeeded = false;
}

// The argument for parameter index into arg. Vtable arguments carry the machine value in the
// variant's data (DispCallFunc passes it as is); dispatch arguments are ordinary variants.
void Call::BuildValue(size_t index, VARIANT& arg, bool dispatch) {
    VariantClear(&arg);
    std::memset(&arg, 0, sizeof arg);
    const Param& param = m_member.params[index];
    const Value value = m_values[index];
    if (param.out) {
        // The message of FormatJobServerError is in/out although declared [out]: its current
        // text is traced.
        const bool readsIt = param.in || m_member.name == L"FormatJobServerError";
        m_slots[index].Fill(param.kind, m_garbageOutputs && !readsIt);
        void* pointer = value == Value::Null ? nullptr : m_slots[index].bytes;
        if (dispatch) {
            V_VT(&arg) = VT_BYREF | (param.kind == Kind::Long ? VT_I4 : VT_VARIANT);
            V_BYREF(&arg) = pointer;
        } else {
            V_VT(&arg) = VT_UI8;
            V_UI8(&arg) = reinterpret_cast<ULONG_PTR>(pointer);
        }
        return;
    }
    if (dispatch) {
        switch (value) {
            case Value::Empty:
                return;  // VT_EMPTY
            case Value::Missing:
                V_VT(&arg) = VT_ERROR;
                V_ERROR(&arg) = DISP_E_PARAMNOTFOUND;
                return;
            case Value::Overflowing:
                V_VT(&arg) = VT_R8;
                V_R8(&arg) = 1e300;
                return;
            case Value::WrongType:
                if (param.kind == Kind::Bstr || param.kind == Kind::Variant) {
                    V_VT(&arg) = VT_UNKNOWN;
                    V_UNKNOWN(&arg) = m_object;
                    if (m_object) m_object->AddRef();
                } else {
                    SetBstr(arg, L"not a number");
                }
                return;
            case Value::Null:
                if (param.kind != Kind::Bstr && param.kind != Kind::Object) {
                    V_VT(&arg) = VT_NULL;
                    return;
                }
                break;
            default:
                break;
        }
    }
    switch (param.kind) {
        case Kind::Long:
        case Kind::Enum:
        case Kind::Short: {
            const bool shortValue = param.kind == Kind::Short;
            long number = 1;
            if (value == Value::Huge) number = shortValue ? SHRT_MAX : LONG_MAX;
            if (value == Value::Smallest) number = shortValue ? SHRT_MIN : LONG_MIN;
            if (value == Value::Odd) number = -1;
            if (value == Value::Null || value == Value::Empty) number = 0;
            if (param.kind == Kind::Enum && value == Value::Smallest) number = 99;
            if (shortValue) {
                V_VT(&arg) = VT_I2;
                V_I2(&arg) = static_cast<SHORT>(number);
            } else {
                V_VT(&arg) = VT_I4;
                V_I4(&arg) = number;
            }
            return;
        }
        case Kind::Bool:
            V_VT(&arg) = VT_BOOL;
            V_BOOL(&arg) = value == Value::Smallest                        ? 1
                           : value == Value::Odd                           ? 0x1234
                           : value == Value::Empty || value == Value::Null ? VARIANT_FALSE
                                                                           : VARIANT_TRUE;
            return;
        case Kind::Double:
            V_VT(&arg) = VT_R8;
            V_R8(&arg) = value == Value::Huge       ? 1e308
                         : value == Value::Smallest ? -1e308
                         : value == Value::Odd      ? std::numeric_limits<double>::quiet_NaN()
                                                    : 1.0;
            return;
        case Kind::Bstr:
            V_VT(&arg) = VT_BSTR;
            if (value == Value::Huge) {
                V_BSTR(&arg) = HugeText();  // shared; never freed by the call
            } else if (value != Value::Null) {
                SetBstr(arg, value == Value::Empty ? L""
                             : value == Value::Odd ? L"%s%n\r\n\x01#5\"<&'"
                                                   : L"sweep");
            }
            return;
        case Kind::Variant: {
            VARIANT& v = arg;  // passed by reference to the variant itself
            switch (value) {
                case Value::Null:
                    V_VT(&v) = VT_NULL;
                    return;
                case Value::Empty:
                    return;
                case Value::Huge:
                    V_VT(&v) = VT_BSTR;
                    V_BSTR(&v) = SysAllocStringLen(HugeText(), SysStringLen(HugeText()));
                    return;
                case Value::Smallest:
                    V_VT(&v) = VT_I4;
                    V_I4(&v) = LONG_MIN;
                    return;
                case Value::Odd:
                    V_VT(&v) = VT_DISPATCH;  // a null object
                    return;
                default:
                    V_VT(&v) = VT_I4;
                    V_I4(&v) = 1;
                    return;
            }
        }
        case Kind::Object: {
            IUnknown* pointer = nullptr;
            if (value == Value::Good && m_object) {
                // The sweep's own query: not a call of the member, neither logged nor failed.
                const RefHost::Detail::HookSuppressed own;
                m_object->QueryInterface(dispatch ? IID_IDispatch : param.iid,
                                         reinterpret_cast<void**>(&pointer));
            }
            V_VT(&arg) = dispatch ? VT_DISPATCH : VT_UNKNOWN;
            V_UNKNOWN(&arg) = pointer;
            return;
        }
        default:
            return;
    }
}

CallResult Call::ThroughVtable(IUnknown* target, std::int64_t failAllocation) {
    ReleaseOutputs();
    const size_t count = m_member.params.size();
    std::vector<VARTYPE> types(count);
    std::vector<VARIANTARG*> pointers(count);
    for (size_t i = 0; i < count; ++i) {
        BuildValue(i, m_args[i], false);
        const Kind kind = m_member.params[i].kind;
        types[i] = m_member.params[i].out  ? VT_UI8
                   : kind == Kind::Variant ? VT_VARIANT
                   : kind == Kind::Double  ? VT_R8
                   : kind == Kind::Bool    ? VT_BOOL
                                           : VT_UI8;
        pointers[i] = &m_args[i];
    }
    VARIANT returned;
    VariantInit(&returned);
    CallResult result;
    if (failAllocation != kNoCount) GuardHeap::Arm(static_cast<std::uint64_t>(failAllocation));
    const HRESULT called =
        DispCallFunc(target, m_member.vtableOffset, CC_STDCALL, VT_I4, static_cast<UINT>(count),
                     types.data(), pointers.data(), &returned);
    if (failAllocation != kNoCount) {
        result.allocations = GuardHeap::Disarm();
        result.allocationFailed = GuardHeap::FailureHappened();
    }
    result.hr = FAILED(called) ? called : static_cast<HRESULT>(V_I4(&returned));
    m_succeeded = SUCCEEDED(result.hr);
    if (!m_succeeded)
        for (size_t i = 0; i < count; ++i)
            if (m_member.params[i].out && m_values[i] != Value::Null &&
                !m_slots[i].Untouched(m_member.params[i].kind))
                result.outputsUntouched = false;
    return result;
}

CallResult Call::ThroughInvoke(IDispatch* target, size_t count, bool resultNull) {
    ReleaseOutputs();
    // Arguments in reverse order: the last parameter first.
    std::vector<size_t> passed;
    for (size_t i = 0; i < m_member.params.size(); ++i)
        if (!m_member.params[i].retval) passed.push_back(i);
    if (count < passed.size()) passed.resize(count);
    std::vector<VARIANT> args(count);
    for (size_t i = 0; i < count; ++i) {
        VARIANT& arg = args[count - 1 - i];
        VariantInit(&arg);
        if (i < passed.size()) {
            BuildValue(passed[i], m_args[passed[i]], true);
            arg = m_args[passed[i]];  // a shallow view; m_args owns the value
        } else {
            V_VT(&arg) = VT_I4;  // one argument too many
            V_I4(&arg) = 1;
        }
    }
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(count), 0};
    // The INVOKE_ kinds are the DISPATCH_ flags of the same names.
    const WORD flags = static_cast<WORD>(m_member.invkind);
    if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) && count > 0) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    VariantInit(&m_result);
    EXCEPINFO exception{};
    UINT argError = 0;
    CallResult result;
    result.hr = target->Invoke(m_member.memid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                               resultNull ? nullptr : &m_result, &exception, &argError);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    m_succeeded = SUCCEEDED(result.hr);
    if (!m_succeeded) {
        // The platform's dispatch fills the result variant from the member's output whatever the
        // status; the member's own outputs are checked through the vtable.
        VariantClear(&m_result);
        for (size_t i : passed)
            if (m_member.params[i].out && m_values[i] != Value::Null &&
                !m_slots[i].Untouched(m_member.params[i].kind))
                result.outputsUntouched = false;
    }
    return result;
}

}  // namespace Sweep
