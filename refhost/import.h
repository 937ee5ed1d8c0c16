// Rebuilding a repository from a saved copy (the console host's repository file): host objects
// that take back the IDs they were stored under.
#pragma once

#include <string_view>

#include "refhost.h"

namespace RefHost {

// A new, uncommitted InfoObject of an installed kind (as NewObject makes it) whose SI_ID is `id`
// instead of a new ID, for an object saved earlier under `id`. The caller fills its bag and
// commits it with Repository::Store (which stamps SI_UPDATE_TS with the time of that commit).
// NewObject never hands out `id` afterwards: new IDs continue above the highest ID handed out or
// taken, whatever its value (up to 2,147,483,647), at a cost that does not grow with it.
// E_INVALIDARG: `repository` was not made by CreateRepository, or `id` is not positive.
// KV_E_PROPERTYNOTFOUND: kind not installed. HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS): an object
// is committed under `id`.
HRESULT NewObjectWithId(Repository& repository, std::wstring_view kind, long id,
                        ISInfoObject** object) noexcept;

// The same with an empty bag, for an object whose saved bag the caller puts back whole (SI_ID,
// SI_KIND and the rest come with it): nothing is made only to be cleared again.
HRESULT NewEmptyObjectWithId(Repository& repository, std::wstring_view kind, long id,
                             ISInfoObject** object) noexcept;

// Puts a saved property back into a host bag as ISProperties::Add does (an existing name gets
// the value and flags), without an interface call and without copying the value: `value` is
// taken over and left empty. *nested, when asked for, receives the property's nested bag (see
// ISProperty::get_Properties). E_INVALIDARG for a bag the host did not make or an empty name.
HRESULT AddSavedProperty(ISProperties* bag, std::wstring_view name, VARIANT& value, long flags,
                         ISProperties** nested = nullptr) noexcept;

// Makes an object from NewEmptyObjectWithId, its saved bag put back, what Repository::Store would
// leave behind (no SI_NEWOBJECT, SI_UPDATE_TS stamped, not new, not dirty) without keeping a
// committed copy in the repository: for a caller that only reads the object and drops it. The
// repository does not contain it afterwards; Store commits it as any other. Fails as Store does
// for a bag without an SI_ID that reads as a number; E_INVALIDARG for an object the host did not
// make or one of another repository.
HRESULT MarkLoaded(Repository& repository, ISInfoObject* object) noexcept;

}  // namespace RefHost
