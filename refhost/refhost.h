// The reference host: an in-memory repository with the host SDK's objects (InfoObjects, property
// bags and lists, files, parent collections, the info store and its plug-in manager), for tests,
// the console host and script clients. Every host object is free-threaded, guards its state with
// a lock, counts itself in LiveObjectCount() and passes each interface call through one hook that
// can log it and fail it on request (InjectFault).
//
// Host behaviour in brief (details at each declaration of the internal headers):
// - Property bags keep their properties in order, names compared without regard to case. The
//   same bag seen through ISPropertyBagCollection is a list: its count property (SI_TOTAL unless
//   Setup names another) holds n and its elements are the properties named prefix + "1" .. "n".
// - Absent properties, list positions outside 1..n and unknown kinds fail with
//   KV_E_PROPERTYNOTFOUND (0x80042A37); appending a value the list already holds fails with
//   KV_E_VALUEALREADYINLIST (0x80042A5A).
// - ISProperties::Add of an existing name replaces its value and flags and keeps the property
//   object (and its nested bag); ISInfoObject::put_Property of an existing name replaces the
//   value and keeps the flags.
// - Store (ISInfoObject::Save, ISInfoObjects::Commit, ISInfoStore::Commit) keeps a deep copy of
//   the object's bag and files as the committed state, without SI_NEWOBJECT, which it also
//   removes from the live object; Load gives a new host object over a copy of that state.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "KorvelInfoStore.h"

namespace RefHost {

// Class id that the host's InfoObjects report through IPersist::GetClassID.
extern const CLSID CLSID_RefHostInfoObject;

// Host objects alive now, of every kind (bags, properties, InfoObjects, collections, ...).
long LiveObjectCount() noexcept;

// A new, empty property bag of its own (not part of any object). *bag receives one reference.
HRESULT CreatePropertyBag(ISProperties** bag) noexcept;

// ---------------------------------------------------------------------------------------------
// Repository

// An installed plug-in as the plug-in manager describes it.
struct KindInfo {
    std::wstring kind;    // e.g. L"CryptoGraphicKey"
    std::wstring progID;  // e.g. L"KorvelEnterprise.CryptoGraphicKey"
    std::wstring description;
};

// The in-memory repository. Thread-safe. Host objects made from it keep it alive.
class Repository {
  public:
    virtual ~Repository() = default;

    // Installs (or replaces, by kind) a plug-in description; S_OK. E_INVALIDARG for an empty kind.
    virtual HRESULT InstallKind(const KindInfo& info) = 0;
    virtual std::vector<KindInfo> Kinds() const = 0;

    // A new, uncommitted InfoObject of an installed kind with a new unique ID (SI_ID, SI_KIND,
    // SI_PROGID, SI_PARENTID 0, SI_CUID, SI_GUID, SI_RUID and an empty SI_PROCESSINFO bag; no
    // SI_NEWOBJECT). New IDs count up from 1001 above every ID handed out so far (also one taken
    // by NewObjectWithId, import.h); once 2,147,483,647 was handed out, a new object gets the
    // lowest ID above 1000 that was never handed out and holds no committed object, and
    // HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS) when there is none. KV_E_PROPERTYNOTFOUND for a
    // kind that is not installed.
    virtual HRESULT NewObject(std::wstring_view kind, ISInfoObject** object) = 0;

    // Commits a host InfoObject of this repository (see the header comment). E_INVALIDARG for an
    // object of another repository or not made by the host; KV_E_PROPERTYNOTFOUND when its bag
    // lost SI_ID.
    virtual HRESULT Store(ISInfoObject* object) = 0;
    // A new host object over a copy of the committed state. KV_E_IDNOTINCOLLECTION when nothing
    // is committed under id.
    virtual HRESULT Load(long id, ISInfoObject** object) = 0;
    // Forgets the committed state of id. KV_E_IDNOTINCOLLECTION when there is none.
    virtual HRESULT Remove(long id) = 0;
    virtual bool Contains(long id) const = 0;
    // IDs of all committed objects, ascending.
    virtual std::vector<long> Ids() const = 0;
    // A deep copy of the committed bag of id (changing it changes nothing in the repository).
    virtual HRESULT CommittedProperties(long id, ISProperties** copy) = 0;

    // The repository's info store (a new host object on each call).
    virtual HRESULT GetInfoStore(ISInfoStore** store) = 0;
};

// A new repository with the kinds Folder (KorvelEnterprise.Folder) and CryptoGraphicKey
// (KorvelEnterprise.CryptoGraphicKey) installed. Throws std::bad_alloc.
std::shared_ptr<Repository> CreateRepository();

// ---------------------------------------------------------------------------------------------
// Settings of host InfoObjects (E_INVALIDARG for an object the host did not make)

// The locale that ISInfoObject::get_Locale answers (1033 unless set).
HRESULT SetLocale(ISInfoObject* object, long locale) noexcept;
// Appends a file with the given contents to the object's file list (ISInfoObject::get_Files).
HRESULT AddFile(ISInfoObject* object, std::wstring_view name, const std::vector<BYTE>& contents,
                ISFile** file = nullptr) noexcept;
// The answer of get_PluginInterface(name) (names compared without regard to case); a null answer
// removes it. The empty name and "InfoObject" always answer the object itself. The object holds
// a reference to the answer until it is removed or the object is destroyed.
HRESULT SetPluginInterface(ISInfoObject* object, std::wstring_view name,
                           IDispatch* answer) noexcept;

// ---------------------------------------------------------------------------------------------
// Fault injection

enum class FaultMode {
    NextCall,  // the next matching call fails, later ones do not
    NthCall,   // the nth matching call from now on fails (nth 1 is the next), the others do not
    Always,    // every matching call fails until ClearFaults
};

// Makes calls of `method` (the log's name, e.g. "ISProperties::get_Item"; "<interface>::
// QueryInterface" for queries) on `object` (any interface of a host object; null for every
// object) fail with `status` before the method looks at its arguments: out-arguments are left
// untouched. E_INVALIDARG for a success status, an empty method or NthCall with nth 0.
HRESULT InjectFault(IUnknown* object, std::string_view method, HRESULT status,
                    FaultMode mode = FaultMode::NextCall, unsigned nth = 1) noexcept;
void ClearFaults() noexcept;

// ---------------------------------------------------------------------------------------------
// Call observer

// Functions called when a thread enters and leaves an interface method of a host object (nested
// calls included); null for none. For test harnesses that treat the host's own work apart from
// the plug-in's (an allocation-failure countdown that fails only the plug-in's allocations). Set
// it while no host call runs.
void SetHostCallObserver(void (*enter)(), void (*leave)()) noexcept;

// ---------------------------------------------------------------------------------------------
// Call log

struct CallRecord {
    const void* object;      // IUnknown identity of the host object (not held: compare only)
    std::string method;      // e.g. "ISInfoObject::get_Title"
    std::wstring arguments;  // [in] arguments as text, ", "-separated; out-arguments are omitted
    DWORD threadId;
    HRESULT injected;  // the injected failure, S_OK when the call went on
};

// Off by default (so bulk work is not slowed). Enabling does not clear the log.
void EnableCallLog(bool enable) noexcept;
bool CallLogEnabled() noexcept;
std::vector<CallRecord> CallLog();
void ClearCallLog() noexcept;

// The IUnknown identity of any interface of an object, as CallRecord::object holds it (the query
// itself is neither logged nor failed). Null for null.
const void* IdentityOf(IUnknown* object) noexcept;

}  // namespace RefHost
