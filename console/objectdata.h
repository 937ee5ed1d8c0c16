// A committed object as the repository keeps it: its ID, kind, title and property bag, with every
// property's name, typed value, flags and nested bag in order. The database, the JSON export and
// import, and the in-memory repository all exchange objects in this form, so that an object reads
// back exactly as it was committed.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

#include "KorvelInfoStore.h"
#include "scoped.h"

namespace KeyTool {

// Nested bags deeper than this are refused (a damaged or hostile file, not a real object).
inline constexpr int kMaxBagDepth = 32;

struct StoredProperty {
    std::wstring name;
    ComLib::ScopedVariant value;  // one of the storable types below
    LONG flags = 0;
    std::vector<StoredProperty> properties;  // its nested bag, in order
};
using StoredBag = std::vector<StoredProperty>;

struct StoredObject {
    long id = 0;
    std::wstring kind;
    std::wstring title;  // SI_NAME, empty when the bag has none
    StoredBag properties;
};

// The variant types a stored property can hold: VT_EMPTY, VT_NULL, the integer types, VT_R4,
// VT_R8, VT_DATE, VT_BOOL and VT_BSTR. Their names are "VT_I4" and so on.
const char* TypeName(VARTYPE type);  // nullptr for a type that cannot be stored
bool TypeFromName(const std::string& name, VARTYPE& type);
std::string StorableTypeNames();  // "VT_EMPTY, VT_NULL, ..." for messages

// Property names compare without regard to case, as the repository's bags do.
bool SameName(const std::wstring& a, const std::wstring& b);
const StoredProperty* FindProperty(const StoredBag& bag, const wchar_t* name);
StoredProperty* FindProperty(StoredBag& bag, const wchar_t* name);

// The committed bag of object `id` read through the host's bag interfaces. Throws Failure
// (kExitRepository) naming the object when a property cannot be stored (its type, a text that is
// not valid UTF-16, nesting deeper than kMaxBagDepth) or a bag call fails.
StoredBag BagFromHost(ISProperties* bag, long id);
// Adds the stored properties to an empty host bag, in order. On a refusal by the host returns
// its status and names the property in `where`.
HRESULT BagToHost(const StoredBag& stored, ISProperties* bag, std::wstring& where);
// The same, taking the stored values over instead of copying them (they are left empty).
HRESULT MoveBagToHost(StoredBag& stored, ISProperties* bag, std::wstring& where);

// The value of an integer-typed property (VT_I1 .. VT_UINT, not VT_BOOL) when it fits a long.
bool IntegerValue(const VARIANT& value, long& out);

// Fills kind and title from the bag's SI_KIND and SI_NAME.
void TakeKindAndTitle(StoredObject& object);

}  // namespace KeyTool
