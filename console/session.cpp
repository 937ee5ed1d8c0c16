// A run of the console host against one repository.
#include "session.h"

#include "failure.h"
#include "text.h"

namespace KeyTool {

namespace {

bool g_hostTrace = false;

std::wstring Described(const CallStatus& status) {
    std::wstring text = StatusText(status.hr);
    if (!status.description.empty()) text += L"\n  error information: " + status.description;
    return text;
}

}  // namespace

void SetHostTrace(bool on) {
    g_hostTrace = on;
}

void HostTrace(const std::wstring& text) {
    if (g_hostTrace) Err(L"host: " + text + L"\n");
}

Session::Session(const std::wstring& repositoryPath)
    : m_module(), m_file(repositoryPath), m_repository(RefHost::CreateRepository()) {
    if (m_file.Created()) Err(L"keytool: created a new repository file " + m_file.Path() + L"\n");
    m_file.LoadInto(*m_repository);
    HostTrace(L"repository " + m_file.Path() + L" read: " +
              std::to_wstring(m_repository->Ids().size()) + L" object(s)");
}

KeyObject Session::NewKey() {
    ComPtr<ISInfoObject> host;
    const HRESULT hr = m_repository->NewObject(kKeyKind, &host);
    if (FAILED(hr) || !host)
        Fail(kExitRefused, L"the repository could not make a new key object: " +
                               StatusText(FAILED(hr) ? hr : E_POINTER));
    KeyObject key = m_module.Attach(host.Get(), true);
    HostTrace(L"new key object " + std::to_wstring(key.Id()) + L" initialised (new object)");
    return key;
}

KeyObject Session::OpenKey(long id, const std::wstring& command) {
    ComPtr<ISInfoObject> host;
    const HRESULT hr = m_repository->Load(id, &host);
    if (hr == KV_E_IDNOTINCOLLECTION)
        Fail(kExitRefused, command + L": there is no object with ID " + std::to_wstring(id) +
                               L" in " + m_file.Path() + L" (" + StatusText(hr) + L")");
    if (FAILED(hr) || !host)
        Fail(kExitRefused, command + L": the repository could not load object " +
                               std::to_wstring(id) + L": " +
                               StatusText(FAILED(hr) ? hr : E_POINTER));
    BSTR kind = nullptr;
    const HRESULT kindHr = host->get_Kind(&kind);
    const std::wstring kindText(kind ? kind : L"", SysStringLen(kind));
    SysFreeString(kind);
    if (FAILED(kindHr) || kindText != kKeyKind)
        Fail(kExitRefused, command + L": object " + std::to_wstring(id) + L" is " +
                               (kindText.empty() ? std::wstring(L"of no kind") : L"a " + kindText) +
                               L", not a key");
    KeyObject key = m_module.Attach(host.Get(), false);
    HostTrace(L"key object " + std::to_wstring(id) + L" loaded and initialised");
    return key;
}

void Session::Commit(const KeyObject& key, const std::wstring& command) {
    const std::wstring id = std::to_wstring(key.Id());
    CallStatus status = CallObject(key.Plugin(), IID_ISDesktopPluginEx,
                                   [&] { return key.Plugin()->PrepareForCommit(VARIANT_TRUE); });
    HostTrace(L"PrepareForCommit(true) on key " + id + L": " + HexStatus(status.hr));
    if (status.Failed())
        Fail(kExitRefused,
             command + L" of key " + id +
                 L" not saved: the key module refused the commit (PrepareForCommit): " +
                 Described(status));
    HRESULT stored = m_repository->Store(key.Host());
    HostTrace(L"Store of key " + id + L": " + HexStatus(stored));
    if (FAILED(stored))
        Fail(kExitRefused, command + L" of key " + id +
                               L" not saved: the repository refused to store it: " +
                               StatusText(stored));
    status = CallObject(key.Plugin(), IID_ISDesktopPluginEx,
                        [&] { return key.Plugin()->AfterCommit(VARIANT_TRUE); });
    HostTrace(L"AfterCommit(true) on key " + id + L": " + HexStatus(status.hr));
    if (!status.Failed()) {
        // The repository has taken the change journals that the plug-in prepared (the category
        // lists' ADD and DEL journals) and the plug-in has emptied them: the object is kept as
        // it is now, as a server keeps it once it has applied them. Otherwise the journals of
        // every past commit would come back with the object and pile up.
        stored = m_repository->Store(key.Host());
        HostTrace(L"Store of key " + id + L" with its journals handed over: " + HexStatus(stored));
        if (FAILED(stored))
            Fail(kExitRefused, command + L" of key " + id +
                                   L" not saved: the repository refused to store it after the "
                                   L"commit: " +
                                   StatusText(stored));
    }
    m_file.MarkChanged(key.Id());
    m_file.Save(*m_repository);
    HostTrace(L"repository file " + m_file.Path() + L" written");
    if (status.Failed())
        Fail(kExitRefused, command + L" of key " + id +
                               L" was saved, but the key module failed after the commit "
                               L"(AfterCommit): " +
                               Described(status));
}

}  // namespace KeyTool
