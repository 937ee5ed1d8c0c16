// A run of the console host against one repository.
#include "session.h"

#include "failure.h"
#include "import.h"
#include "text.h"

namespace KeyTool {

namespace {

bool g_hostTrace = false;

std::wstring Described(const CallStatus& status) {
    std::wstring text = StatusText(status.hr);
    if (!status.description.empty())
        text += L"\n  error information: " + Excerpt(status.description, kDescriptionLength);
    return text;
}

}  // namespace

void SetHostTrace(bool on) {
    g_hostTrace = on;
}

void HostTrace(const std::wstring& text) {
    if (g_hostTrace) Err(L"host: " + text + L"\n");
}

Session::Session(const RepositoryOptions& options, Database::Access access)
    : m_module(),
      m_db(options.path, access, options.lockTimeoutMs),
      m_repository(RefHost::CreateRepository()) {
    if (m_db.Created())
        Err(m_db.WasEmptyFile() ? L"keytool: the file " + m_db.Path() +
                                      L" was empty; set up a new repository in it\n"
                                : L"keytool: created a new repository " + m_db.Path() + L"\n");
    HostTrace(L"repository " + m_db.Path() + L" opened");
}

ComPtr<ISInfoObject> Session::Load(const StoredObject& object, const std::wstring& source,
                                   bool keep, StoredBag* taken) {
    const std::wstring what = L"object " + std::to_wstring(object.id) + L" of kind " +
                              Excerpt(object.kind) + L" in " + source;
    ComPtr<ISInfoObject> host;
    HRESULT hr = RefHost::NewEmptyObjectWithId(*m_repository, object.kind, object.id, &host);
    ComPtr<ISProperties> bag;
    if (SUCCEEDED(hr)) hr = host->get_Properties(&bag);
    if (SUCCEEDED(hr) && !bag) hr = E_POINTER;
    if (FAILED(hr))
        Fail(kExitRepository, L"the repository refused " + what + L": " + StatusText(hr));
    std::wstring where;
    hr = taken ? MoveBagToHost(*taken, bag.Get(), where)
               : BagToHost(object.properties, bag.Get(), where);
    if (FAILED(hr))
        Fail(kExitRepository, L"the repository refused the property " + Excerpt(where) + L" of " +
                                  what + L": " + StatusText(hr));
    // An object that is only read is left as a commit leaves it, without the committed copy
    // that the repository would keep (and copy the bag for) until it is forgotten.
    hr = keep ? m_repository->Store(host.Get()) : RefHost::MarkLoaded(*m_repository, host.Get());
    if (FAILED(hr))
        Fail(kExitRepository, L"the repository refused to store " + what + L": " + StatusText(hr));
    return host;
}

void Session::CheckLoadable(const StoredObject& object, const std::wstring& source) {
    Load(object, source, true);
    Forget(object.id);
}

void Session::Forget(long id) {
    if (m_repository->Contains(id)) m_repository->Remove(id);
}

KeyObject Session::NewKey() {
    // A new object gets the ID above the highest stored one, as the repository's server hands
    // them out; after the last ID there is, the lowest free one above 1000.
    constexpr long kLastId = 0x7FFFFFFF;
    const long last = m_db.MaxId();
    long id = last < kFirstNewId ? kFirstNewId : last < kLastId ? last + 1 : 0;
    if (id == 0) {
        id = m_db.FreeIdAbove(kFirstNewId - 1);
        if (id == 0)
            Fail(kExitRefused, L"the repository " + m_db.Path() +
                                   L" has no ID left for a new object: every ID from " +
                                   std::to_wstring(kFirstNewId) + L" to " +
                                   std::to_wstring(kLastId) + L" is taken");
        Err(L"keytool: the repository holds an object under the last ID there is (" +
            std::to_wstring(kLastId) + L"); the new key takes the lowest free ID, " +
            std::to_wstring(id) + L"\n");
    }
    ComPtr<ISInfoObject> host;
    const HRESULT hr = RefHost::NewObjectWithId(*m_repository, kKeyKind, id, &host);
    if (FAILED(hr) || !host)
        Fail(kExitRefused, L"the repository could not make a new key object: " +
                               StatusText(FAILED(hr) ? hr : E_POINTER));
    KeyObject key = m_module.Attach(host.Get(), true);
    HostTrace(L"new key object " + std::to_wstring(key.Id()) + L" initialised (new object)");
    return key;
}

KeyObject Session::OpenKey(long id, const std::wstring& command) {
    if (m_repository->Contains(id)) {
        ComPtr<ISInfoObject> host;
        const HRESULT hr = m_repository->Load(id, &host);
        if (FAILED(hr) || !host)
            Fail(kExitRefused, command + L": the repository could not load object " +
                                   std::to_wstring(id) + L": " +
                                   StatusText(FAILED(hr) ? hr : E_POINTER));
        return Attach(id, host, command);
    }
    const std::optional<StoredObject> stored = m_db.Read(id);
    CheckKey(id, stored, command);
    // The host object just committed holds the committed state: it serves as the loaded
    // object, without a second copy.
    return Attach(id, Load(*stored, m_db.Path(), true), command);
}

KeyObject Session::ReadStoredKey(long id, std::optional<StoredObject>& stored,
                                 const std::wstring& command) {
    CheckKey(id, stored, command);
    return Attach(id, Load(*stored, m_db.Path(), false, &stored->properties), command);
}

void Session::CheckKey(long id, const std::optional<StoredObject>& stored,
                       const std::wstring& command) {
    if (!stored)
        Fail(kExitRefused, command + L": there is no object with ID " + std::to_wstring(id) +
                               L" in " + m_db.Path() + L" (" + StatusText(KV_E_IDNOTINCOLLECTION) +
                               L")");
    if (stored->kind != kKeyKind)
        Fail(kExitRefused, command + L": object " + std::to_wstring(id) + L" is " +
                               (stored->kind.empty() ? std::wstring(L"of no kind")
                                                     : L"a " + Excerpt(stored->kind)) +
                               L", not a key");
}

KeyObject Session::Attach(long id, const ComPtr<ISInfoObject>& host, const std::wstring& command) {
    BSTR kind = nullptr;
    const HRESULT kindHr = host->get_Kind(&kind);
    const std::wstring kindText(kind ? kind : L"", SysStringLen(kind));
    SysFreeString(kind);
    if (FAILED(kindHr) || kindText != kKeyKind)
        Fail(kExitRefused,
             command + L": object " + std::to_wstring(id) + L" is " +
                 (kindText.empty() ? std::wstring(L"of no kind") : L"a " + Excerpt(kindText)) +
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
    StoredObject object;
    object.id = key.Id();
    ComPtr<ISProperties> committed;
    const HRESULT read = m_repository->CommittedProperties(object.id, &committed);
    if (FAILED(read))
        Fail(kExitRefused, command + L" of key " + id +
                               L" not saved: the repository lost the committed object: " +
                               StatusText(read));
    object.properties = BagFromHost(committed.Get(), object.id);
    TakeKindAndTitle(object);
    m_db.Write(object);
    if (!m_batch) m_db.Commit();
    HostTrace(L"key " + id + L" written to the repository " + m_db.Path());
    if (status.Failed())
        Fail(kExitRefused, command + L" of key " + id +
                               L" was saved, but the key module failed after the commit "
                               L"(AfterCommit): " +
                               Described(status));
}

}  // namespace KeyTool
