// IFormatPlugin: the outermost framework layer. It carries the plug-in face the host drives
// (initialisation, commit hooks, message texts, job-server errors) and the byte stream and
// streaming file of the object's main file.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include "PublicationInfo.h"

inline constexpr char kFormatPluginFile[] = "export/iface/sdk/desktop/common/FormatPlugin";

template <typename TPlugin, const IID* piidPlugin, const GUID* plibidPlugin>
class IFormatPlugin
    : public IPublicationInfo<TPlugin, piidPlugin, plibidPlugin>,
      public ComLib::IDispatchImpl<ISWebView, &IID_ISWebView, plibidPlugin> {
    using Base = IPublicationInfo<TPlugin, piidPlugin, plibidPlugin>;

public:
    static constexpr const char* kTraceFile = kFormatPluginFile;

    // ---- plug-in face, slots 3 to 16 (slot 4, PrepareForCommit, is the plug-in class's own)

    // Slot 3: the wrapped host object with a reference for the caller (null before Initialize).
    STDMETHOD(get_InfoObject)(ISInfoObject** ppIIOb) override {
        if (ppIIOb == nullptr) {
            if (Zentil500::ShouldAssert())
                Zentil500::SAssert(kBaseInfoObjectFile, __LINE__, "ppIIOb != NULL");
            return E_POINTER;
        }
        *ppIIOb = this->m_pInfoObject.Acquire().Detach();
        return S_OK;
    }

    // Slot 5: the initialisation chain, entered at the publication layer.
    STDMETHOD(Initialize)(ISInfoObject* infoObject, VARIANT_BOOL isNew) override try {
        return Base::Initialize(infoObject, isNew);
    } SDK_CATCH_RETURN()

    STDMETHOD(PrepareForDelete)(VARIANT_BOOL) override { return S_OK; }

    // Slot 8: message text in the object's locale (the neutral choice when it has none).
    STDMETHOD(LoadMessage)(unsigned long messageID, BSTR* text) override try {
        if (text == nullptr) return E_POINTER;
        long locale = 0;
        const Zentil500::SWCharString message =
            SUCCEEDED(this->get_Locale(&locale))
                ? Zentil500::SResManager::LoadStringW(messageID, static_cast<LCID>(locale))
                : Zentil500::SResManager::LoadStringW(messageID, 0);
        BSTR result = SysAllocStringLen(message.c_str(), static_cast<UINT>(message.length()));
        if (result == nullptr) return E_OUTOFMEMORY;  // the caller's variable stays as it was
        *text = result;
        return S_OK;
    } SDK_CATCH_RETURN()

    STDMETHOD(AfterDelete)(VARIANT_BOOL) override { return S_OK; }
    STDMETHOD(PrepareForCopy)(ISInfoObject*) override { return S_OK; }
    STDMETHOD(AfterCopy)(ISInfoObject*) override { return S_OK; }
    STDMETHOD(PrepareForSchedule)(VARIANT_BOOL) override { return S_OK; }

    // Slot 14: unmanaged destinations are supported by every object.
    STDMETHOD(get_IsUnmanagedDestinationSupported)(VARIANT_BOOL* supported) override try {
        if (supported == nullptr) return E_POINTER;
        SDK_TRACE_ENTRY(L"IFormatPlugin::get_IsUnmanagedDestinationSupported",
                        SdkTrace::BoolText(supported));
        *supported = VARIANT_TRUE;
        SDK_TRACE_EXIT(L"IFormatPlugin::get_IsUnmanagedDestinationSupported",
                       static_cast<long>(S_OK), SdkTrace::BoolText(*supported));
        return S_OK;
    } SDK_CATCH_RETURN()

    // Slots 15 and 16: the plug-in face flag; set exactly when written as VARIANT_TRUE.
    STDMETHOD(get_ExtendedMode)(VARIANT_BOOL* extended) override {
        if (extended == nullptr) return E_POINTER;
        *extended = m_faceFlag.load() ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    STDMETHOD(put_ExtendedMode)(VARIANT_BOOL extended) override {
        m_faceFlag.store(extended == VARIANT_TRUE);
        return S_OK;
    }

    // Slot 7: the text of a job server's error from its description bag: message SI_RESOURCE_ID
    // (loaded without a locale), filled with the strings of the optional list SI_SUBST_STRINGS.
    // On success *pMessage receives a new string that the caller owns; the string it held before
    // is only traced, never freed. On failure *pMessage is untouched.
    STDMETHOD(FormatJobServerError)(ISProperties* pErrorInfo, BSTR* pMessage) override try {
        static constexpr wchar_t kLabel[] = L"IFormatPlugin::FormatJobServerError";
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY(kLabel, SdkTrace::PointerText(pErrorInfo),
                        SdkTrace::BstrText(pMessage ? *pMessage : nullptr));
        if (pErrorInfo == nullptr || pMessage == nullptr) {
            SDK_TRACE_EXIT(kLabel, static_cast<long>(E_POINTER), SdkTrace::PointerText(pErrorInfo),
                           SdkTrace::SWCharString());
            if (pErrorInfo == nullptr)
                SDK_RETURN_NULL_ARGUMENT("Invalid pointer pErrorInfo", CLSID_CryptoGraphicKey);
            SDK_RETURN_NULL_ARGUMENT("Invalid pointer pMessage", CLSID_CryptoGraphicKey);
        }
#define SDK_FJSE_RETURN_(status)                                                               \
    do {                                                                                       \
        const HRESULT sdkStatus_ = (status);                                                   \
        SDK_TRACE_EXIT(kLabel, static_cast<long>(sdkStatus_), SdkTrace::PointerText(pErrorInfo), \
                       SdkTrace::BstrText(*pMessage));                                         \
        return sdkStatus_;                                                                     \
    } while (0)
        // The message id.
        Microsoft::WRL::ComPtr<ISProperty> resource;
        HRESULT hr = FindBagProperty(pErrorInfo, Pravhelper500::WP_SI_RESOURCE_ID_W, resource);
        if (FAILED(hr)) SDK_FJSE_RETURN_(hr);
        ComLib::ScopedVariant id;
        hr = resource->get_Value(id.Receive());
        if (FAILED(hr)) SDK_FJSE_RETURN_(hr);
        // A value that is no number is never used as a message id.
        hr = id.ChangeType(VT_I4);
        if (FAILED(hr)) SDK_FJSE_RETURN_(hr);
        Zentil500::SResString text(
            Zentil500::SResManager::LoadStringW(static_cast<UINT>(V_I4(&id.Get())), 0), L'%');

        // The substitution strings, when the bag has them.
        Microsoft::WRL::ComPtr<ISProperty> substitutions;
        if (SUCCEEDED(FindBagProperty(pErrorInfo, Pravhelper500::WP_SI_SUBST_STRINGS_W,
                                      substitutions))) {
            Microsoft::WRL::ComPtr<ISProperties> nested;
            hr = substitutions->get_Properties(&nested);
            if (FAILED(hr)) SDK_FJSE_RETURN_(hr);
            Microsoft::WRL::ComPtr<ISPropertyBagCollection> list;
            if (!nested || FAILED(nested.As(&list)) || !list) SDK_FJSE_RETURN_(E_FAIL);
            ComLib::ScopedBstr countName(Pravhelper500::WP_SI_TOTAL_W);
            ComLib::ScopedBstr prefix(L"");
            if (!countName.Get() || !prefix.Get()) SDK_FJSE_RETURN_(E_OUTOFMEMORY);
            hr = list->Setup(countName.Get(), prefix.Get());
            if (FAILED(hr)) SDK_FJSE_RETURN_(hr);
            long count = 0;
            hr = list->get_Count(&count);
            if (FAILED(hr)) SDK_FJSE_RETURN_(hr);
            for (long position = 1; position <= count; ++position) {
                ComLib::ScopedVariant index;
                index.SetI4(position);
                ComLib::ScopedVariant item;
                hr = list->get_Item(index.Get(), item.Receive());
                if (FAILED(hr)) SDK_FJSE_RETURN_(hr);
                // A string that cannot be made is never appended in its raw form.
                hr = item.ChangeType(VT_BSTR);
                if (FAILED(hr)) SDK_FJSE_RETURN_(hr);
                text << SdkTrace::BstrText(V_BSTR(&item.Get()));
            }
        }

        const Zentil500::SWCharString message = text.str();
        BSTR result = SysAllocStringLen(message.c_str(), static_cast<UINT>(message.length()));
        if (result == nullptr) SDK_FJSE_RETURN_(E_OUTOFMEMORY);
        *pMessage = result;
        SDK_FJSE_RETURN_(S_OK);
#undef SDK_FJSE_RETURN_
    } SDK_CATCH_RETURN()

    // Slot 11: the after-commit chain, entered at the publication layer.
    STDMETHOD(AfterCommit)(VARIANT_BOOL flag) override try {
        return Base::AfterCommit(flag);
    } SDK_CATCH_RETURN()

    // ---- web view and flattened interface: the object's main file (position 1 of its files)

    // The main file's contents as the host gives them (no copy, no conversion). The caller's
    // variable is an output: it is written on success and never read (its entry text is empty);
    // on failure it is left as it was.
    STDMETHOD(get_ByteStream)(VARIANT* pStream) override try {
        static constexpr wchar_t kLabel[] = L"IFormatPlugin::get_ByteStream";
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY(kLabel, SdkTrace::SWCharString());
        if (!this->m_pInfoObject) {
            SDK_ASSERT(this->m_pInfoObject);
            return E_FAIL;
        }
        if (pStream == nullptr) {
            // This check writes its exit line, before the assertion.
            SDK_TRACE_EXIT(kLabel, static_cast<long>(E_POINTER), SdkTrace::SWCharString());
            SDK_RETURN_NULL_ARGUMENT("Invalid pointer pStream", CLSID_CryptoGraphicKey);
        }
        Microsoft::WRL::ComPtr<ISFile> file;
        HRESULT hr = MainFile(file);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::SWCharString());
        ComLib::ScopedVariant contents;
        hr = file->get_Contents(contents.Receive());
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::SWCharString());
        *pStream = contents.Release();  // the caller takes the host's value over
        SDK_TRACE_RETURN(kLabel, S_OK, SdkTrace::VariantText(pStream));
    } SDK_CATCH_RETURN()

    // The main file's streaming-file object, written straight into *ppFileStream.
    STDMETHOD(get_StreamingFile)(ISStreamingFile** ppFileStream) override try {
        static constexpr wchar_t kLabel[] = L"IFormatPlugin::get_StreamingFile";
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY(kLabel, SdkTrace::PointerText(ppFileStream));
        if (!this->m_pInfoObject) {
            SDK_ASSERT(this->m_pInfoObject);
            return E_FAIL;
        }
        if (ppFileStream == nullptr) {
            SDK_TRACE_EXIT(kLabel, static_cast<long>(E_POINTER), SdkTrace::SWCharString());
            SDK_RETURN_NULL_ARGUMENT("Invalid pointer pStream", CLSID_CryptoGraphicKey);
        }
        Microsoft::WRL::ComPtr<ISFiles> files;
        HRESULT hr = this->m_pInfoObject->get_Files(&files);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::PointerText(ppFileStream));
        if (!files) {
            SDK_TRACE_EXIT(kLabel, static_cast<long>(E_FAIL), SdkTrace::PointerText(ppFileStream));
            SDK_ASSERT_TEXT("FALSE", L"Failed to retrieve ISFile Interface.");
            return E_FAIL;
        }
        Microsoft::WRL::ComPtr<ISFile> file;
        hr = FirstFile(files.Get(), file);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::PointerText(ppFileStream));
        hr = file->get_StreamingFile(ppFileStream);
        SDK_TRACE_RETURN(kLabel, hr, SdkTrace::PointerText(ppFileStream));
    } SDK_CATCH_RETURN()

private:
    // The file at position 1 of the host object's file list. A host call that succeeds without
    // handing out the list or the file gives E_FAIL.
    HRESULT MainFile(Microsoft::WRL::ComPtr<ISFile>& file) {
        Microsoft::WRL::ComPtr<ISFiles> files;
        HRESULT hr = this->m_pInfoObject->get_Files(&files);
        if (FAILED(hr)) return hr;
        if (!files) return E_FAIL;
        return FirstFile(files.Get(), file);
    }
    static HRESULT FirstFile(ISFiles* files, Microsoft::WRL::ComPtr<ISFile>& file) {
        ComLib::ScopedVariant position;
        position.SetI4(1);
        const HRESULT hr = files->get_Item(position.Get(), &file);
        if (FAILED(hr)) return hr;
        return file ? hr : E_FAIL;
    }
    // Property `name` of `bag`, looked up by name. A lookup that succeeds without a property
    // gives E_FAIL.
    static HRESULT FindBagProperty(ISProperties* bag, const wchar_t* name,
                                   Microsoft::WRL::ComPtr<ISProperty>& property) {
        ComLib::ScopedVariant nameValue;
        HRESULT hr = nameValue.SetBstr(name);
        if (FAILED(hr)) return hr;
        hr = bag->get_Item(nameValue.Get(), &property);
        if (FAILED(hr)) return hr;
        return property ? hr : E_FAIL;
    }

    std::atomic<bool> m_faceFlag{false};
};
