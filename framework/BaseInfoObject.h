// ISDesktopPluginImpl2: the plug-in object's faces of the host's generic object. It holds the
// wrapped host object and forwards every generic member to it; the plug-in's own flattened
// interface carries the same members and reaches the same code.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include "CryptoGraphicKeyPlugin.h"
#include "KorvelInfoStore.h"
#include "comlib.h"
#include "pravhelper500.h"
#include "scoped.h"
#include "sdktrace.h"
#include "swappable.h"

inline constexpr char kBaseInfoObjectFile[] = "export/iface/sdk/common/BaseInfoObject";

// A null argument: the assertion "false" with `message` ("Invalid pointer <name>"), then the
// error report of message 42505 for the given class id, returning its status (E_POINTER).
#define SDK_RETURN_NULL_ARGUMENT(message, clsid)                                                \
    do {                                                                                        \
        SDK_ASSERT_FAILED(message);                                                             \
        return ::Pravhelper500::ReportTormicError(clsid, GUID_NULL,                             \
                                                  ::Pravhelper500::MSG_INVALID_POINTER, {},     \
                                                  E_POINTER);                                   \
    } while (0)

// The generic members that are forwarded unchanged: (name, parameters, arguments, null check).
// The null check lists the arguments the member refuses as null with E_POINTER before anything
// else; members with a by-value VARIANT argument are written out below, since the variant is
// passed on as a copy.
#define SDK_INFOOBJECT_FORWARDED_MEMBERS(X)                                                       \
    X(get_Properties, (ISProperties** a1), (a1), a1 == nullptr)                                  \
    X(get_Property, (BSTR a1, VARIANT* a2), (a1, a2), a2 == nullptr)                             \
    X(get_ID, (long* a1), (a1), a1 == nullptr)                                                   \
    X(get_ParentID, (long* a1), (a1), a1 == nullptr)                                             \
    X(get_Title, (BSTR* a1), (a1), a1 == nullptr)                                                \
    X(put_Title, (BSTR a1), (a1), false)                                                         \
    X(get_Description, (BSTR* a1), (a1), a1 == nullptr)                                          \
    X(put_Description, (BSTR a1), (a1), false)                                                   \
    X(get_Instance, (VARIANT_BOOL* a1), (a1), a1 == nullptr)                                     \
    X(get_Locale, (long* a1), (a1), a1 == nullptr)                                               \
    X(get_ParentInfoObjects, (ISInfoObjects** a1), (a1), a1 == nullptr)                          \
    X(get_Files, (ISFiles** a1), (a1), a1 == nullptr)                                            \
    X(QueryProperties, (BSTR a1), (a1), false)                                                   \
    X(get_SchedulingInfo, (ISSchedulingInfo** a1), (a1), a1 == nullptr)                          \
    X(get_ProcessingInfo, (ISProcessingInfo** a1), (a1), a1 == nullptr)                          \
    X(get_SecurityInfo, (ISSecurityInfo** a1), (a1), a1 == nullptr)                              \
    X(Equals, (ISInfoObject* a1, VARIANT_BOOL* a2), (a1, a2), a1 == nullptr || a2 == nullptr)    \
    X(get_CUID, (BSTR* a1), (a1), a1 == nullptr)                                                 \
    X(get_GUID, (BSTR* a1), (a1), a1 == nullptr)                                                 \
    X(get_RUID, (BSTR* a1), (a1), a1 == nullptr)                                                 \
    X(put_ParentID, (long a1), (a1), false)                                                      \
    X(get_ParentCUID, (BSTR* a1), (a1), a1 == nullptr)                                           \
    X(get_ProgID, (BSTR* a1), (a1), a1 == nullptr)                                               \
    X(get_ObjectType, (long* a1), (a1), a1 == nullptr)                                           \
    X(get_Keyword, (BSTR* a1), (a1), a1 == nullptr)                                              \
    X(put_Keyword, (BSTR a1), (a1), false)                                                       \
    X(get_Parent, (ISInfoObject** a1), (a1), a1 == nullptr)                                      \
    X(Save, (), (), false)                                                                       \
    X(DeleteNow, (), (), false)                                                                  \
    X(get_SendToDestination, (IDispatch** a1), (a1), a1 == nullptr)                              \
    X(get_Kind, (BSTR* a1), (a1), a1 == nullptr)                                                 \
    X(get_IsDirty, (VARIANT_BOOL* a1), (a1), a1 == nullptr)                                      \
    X(get_MarkedAsRead, (VARIANT_BOOL* a1), (a1), a1 == nullptr)                                 \
    X(put_MarkedAsRead, (VARIANT_BOOL a1), (a1), false)                                          \
    X(get_Locked, (VARIANT_BOOL* a1), (a1), a1 == nullptr)                                       \
    X(ReleaseLock, (), (), false)                                                                \
    X(get_LockStatus, (long* a1), (a1), a1 == nullptr)                                           \
    X(get_DeliverToInboxPrincipals, (VARIANT* a1), (a1), a1 == nullptr)                          \
    X(get_SecurityInfo2, (IDispatch** a1), (a1), a1 == nullptr)                                  \
    X(get_Delta, (BSTR* a1), (a1), a1 == nullptr)                                                \
    X(ApplyDelta, (BSTR a1), (a1), a1 == nullptr)                                                \
    X(get_LockInfo, (VARIANT* a1), (a1), a1 == nullptr)                                          \
    X(UnlockNow, (), (), false)                                                                  \
    X(Serialize, (VARIANT* a1), (a1), false)                                                     \
    X(GetUpdateTimeStamp, (DATE* a1), (a1), a1 == nullptr)                                       \
    X(IsNew, (VARIANT_BOOL* a1), (a1), a1 == nullptr)                                            \
    X(get_DeltaEx, (long a1, BSTR* a2), (a1, a2), a2 == nullptr)                                 \
    X(ApplyDeltaEx, (BSTR a1, long a2), (a1, a2), false)                                         \
    X(get_MLTitle, (long a1, BSTR* a2), (a1, a2), false)                                         \
    X(get_MLTitleEx, (BSTR a1, long a2, BSTR* a3), (a1, a2, a3), false)                          \
    X(get_MLTitleLocales, (VARIANT* a1), (a1), false)                                            \
    X(get_MLDescription, (long a1, BSTR* a2), (a1, a2), false)                                   \
    X(get_MLDescriptionEx, (BSTR a1, long a2, BSTR* a3), (a1, a2, a3), false)                    \
    X(get_MLDescriptionLocales, (VARIANT* a1), (a1), false)                                      \
    X(get_FallBackLocale, (BSTR* a1), (a1), false)                                               \
    X(get_FilesEx, (BSTR a1, long a2, ISFiles** a3), (a1, a2, a3), a1 == nullptr)                \
    X(get_SourceFiles, (ISFiles** a1), (a1), false)                                              \
    X(get_FileLocales, (VARIANT* a1), (a1), false)                                               \
    X(RemoveFiles, (BSTR a1), (a1), a1 == nullptr)                                               \
    X(RemoveSourceFiles, (), (), false)                                                          \
    X(get_PluginIcon, (VARIANT* a1), (a1), false)                                                \
    X(get_CustomizedPluginName, (BSTR* a1), (a1), false)                                         \
    X(get_ParentKind, (BSTR* a1), (a1), a1 == nullptr)                                           \
    X(get_SpecificKind, (BSTR* a1), (a1), a1 == nullptr)                                         \
    X(get_ParentProgID, (BSTR* a1), (a1), a1 == nullptr)                                         \
    X(get_SpecificProgID, (BSTR* a1), (a1), a1 == nullptr)                                       \
    X(get_AlertNotification, (IDispatch** a1), (a1), a1 == nullptr)

// TPlugin: the plug-in's own flattened dual interface, dispatched through its type library.
template <typename TPlugin, const IID* piidPlugin, const GUID* plibidPlugin>
class ISDesktopPluginImpl2
    : public ComLib::IDispatchImpl<ISInfoObject, &IID_ISInfoObject, &LIBID_KorvelInfoStoreLib>,
      public ComLib::IDispatchImpl<TPlugin, piidPlugin, plibidPlugin>,
      public ComLib::IDispatchImpl<ISDesktopPluginInfo, &IID_ISDesktopPluginInfo,
                                   &LIBID_KorvelInfoStoreLib>,
      public ISDesktopPluginEx,
      public ISupportErrorInfo {
public:
    static constexpr const char* kTraceFile = kBaseInfoObjectFile;

    // The wrapped host object: null until Initialize, released with the object. Initialize may
    // replace it while other calls run: every call works on its own reference (see
    // SwappableComPtr), so a replaced host object lives until the last call using it returns.
    ComLib::SwappableComPtr<ISInfoObject> m_pInfoObject;

#define SDK_FORWARD_MEMBER(name, params, args, isNull)            \
    STDMETHOD(name) params override {                             \
        if (isNull) return E_POINTER;                             \
        if (!this->m_pInfoObject) {                               \
            SDK_ASSERT(this->m_pInfoObject);                      \
            return E_FAIL;                                        \
        }                                                         \
        return this->m_pInfoObject->name args;                    \
    }
    SDK_INFOOBJECT_FORWARDED_MEMBERS(SDK_FORWARD_MEMBER)
#undef SDK_FORWARD_MEMBER

    // Members with a VARIANT argument: the host receives a copy of the caller's variant.
    STDMETHOD(put_Property)(BSTR name, VARIANT value) override {
        if (!this->m_pInfoObject) {
            SDK_ASSERT(this->m_pInfoObject);
            return E_FAIL;
        }
        ComLib::ScopedVariant copy;
        const HRESULT hr = copy.CopyFrom(value);
        if (FAILED(hr)) return hr;
        return this->m_pInfoObject->put_Property(name, copy.Get());
    }
    STDMETHOD(Deserialize)(VARIANT data) override {
        if (!this->m_pInfoObject) {
            SDK_ASSERT(this->m_pInfoObject);
            return E_FAIL;
        }
        ComLib::ScopedVariant copy;
        const HRESULT hr = copy.CopyFrom(data);
        if (FAILED(hr)) return hr;
        return this->m_pInfoObject->Deserialize(copy.Get());
    }

    // Members answered here instead of forwarded.
    STDMETHOD(get_Actions)(ISActions** actions) override {
        if (actions == nullptr) return E_POINTER;
        *actions = nullptr;
        return S_FALSE;
    }
    STDMETHOD(DoAction)(BSTR, VARIANT, VARIANT*) override { return E_NOTIMPL; }
    // Only on the generic interface: looks at nothing.
    STDMETHOD(UpdateInfoObject)(long) override { return S_FALSE; }
    // Only on the generic interface: a property put; the flags are not used.
    STDMETHOD(SetPropertyEx)(BSTR name, VARIANT value, long) override {
        return put_Property(name, value);
    }

    // ISDesktopPluginInfo: the plug-in has no property pages.
    STDMETHOD(get_CustomPropertyPages)(VARIANT*) override { return E_NOTIMPL; }
    STDMETHOD(get_HasCustomPropertyPages)(VARIANT_BOOL* hasPages) override {
        if (hasPages == nullptr) return E_POINTER;
        *hasPages = VARIANT_FALSE;
        return S_OK;
    }
    STDMETHOD(ShowPropertyPage)(long, long) override { return E_NOTIMPL; }
    STDMETHOD(ApplyPropertyPage)(long) override { return E_NOTIMPL; }
};
