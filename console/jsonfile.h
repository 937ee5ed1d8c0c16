// The repository as JSON: the form that `export` writes and `import` reads, which is also the
// form of the JSON repository files (keys.json) that earlier versions of keytool kept.
//
// Form (version 1):
//   { "format": "keytool repository", "version": 1,
//     "objects": [ { "id": 1001, "kind": "CryptoGraphicKey", "title": "...",
//                    "properties": [ <property>, ... ] }, ... ] }
//   <property>: { "name": "SI_KEY_STATE", "type": "VT_I4", "value": 1,
//                 "flags": 0 (only when not 0), "properties": [ ... ] (its nested bag, when
//                 not empty) }
// The properties of a bag keep their order. Values: integers for the integer types, numbers
// for VT_R4, VT_R8 and VT_DATE (the date value itself, so that it reads back exactly), true or
// false for VT_BOOL (an integer for another VT_BOOL value), text for VT_BSTR, no value for
// VT_EMPTY and VT_NULL. The object's id, kind and title repeat SI_ID, SI_KIND and SI_NAME.
//
// An export made without the key material says so in a top-level member
//   "key material": "left out"
// and its key objects lack SI_VALUE and SI_DERIVED_KEY.
#pragma once

#include <string>
#include <vector>

#include "objectdata.h"

namespace KeyTool {

// Why a JSON text is not a repository: where (a path such as objects[1].properties[4]) and
// what is wrong, as one text.
struct InvalidRepositoryJson {
    std::wstring reason;
    bool keyMaterialLeftOut = false;  // a valid export without key material
};

// The objects of a repository JSON text, checked as a whole. Throws InvalidRepositoryJson.
// A valid export without key material is refused too (keyMaterialLeftOut set): importing it
// would make keys without values.
std::vector<StoredObject> ParseRepositoryJson(const std::string& bytes);

// The JSON text of `objects` (ascending IDs expected). Without `withKeyMaterial` the key
// values and derived keys are left out and the text says so. Throws Failure (kExitRepository)
// for a value JSON cannot carry.
std::string RepositoryJson(const std::vector<StoredObject>& objects, bool withKeyMaterial);

// Names of the properties that hold key material.
bool IsKeyMaterial(const std::wstring& propertyName);

}  // namespace KeyTool
