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

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "objectdata.h"

namespace KeyTool {

// Why a JSON text is not a repository: where (a path such as objects[1].properties[4]) and
// what is wrong, as one text. Text of the file that it quotes is escaped and bounded (Excerpt).
struct InvalidRepositoryJson {
    std::wstring reason;
    bool keyMaterialLeftOut = false;  // a valid export without key material
};

// Where the bytes of a repository JSON text come from.
class JsonSource {
  public:
    virtual ~JsonSource() = default;
    // Up to `size` bytes into `buffer`; 0 at the end. Throws Failure when the bytes cannot be
    // read.
    virtual size_t Read(char* buffer, size_t size) = 0;
};

// The longest text value (in bytes of the file) and the longest other token a repository JSON
// text may hold; longer ones are refused, so that memory stays bounded whatever the file holds.
inline constexpr size_t kMaxJsonTextBytes = size_t{64} << 20;
inline constexpr size_t kMaxJsonTokenBytes = 4096;

// Reads a repository JSON text as a stream and checks it as a whole. Each object is handed to
// `take` as soon as it was read and checked, in the order of the text, with its position in
// "objects"; only one object is held in memory at a time. `progress` (if given) is called now and
// then with the number of bytes read so far.
// Throws InvalidRepositoryJson, possibly after `take` was called for the objects before the fault
// (the caller keeps what it did with them apart until the whole text was read). A valid export
// without key material is refused too (keyMaterialLeftOut set): importing it would make keys
// without values.
void ReadRepositoryJson(JsonSource& source,
                        const std::function<void(StoredObject& object, size_t index)>& take,
                        const std::function<void(unsigned long long bytes)>& progress = {});

// Writes the JSON text of a repository object by object, through `sink`, which takes each piece
// of UTF-8 text as it is made. The text is the same as one JSON document of all the objects
// written with an indent of 2. Without `withKeyMaterial` the key values and derived keys are left
// out and the text says so.
class RepositoryJsonWriter {
  public:
    RepositoryJsonWriter(bool withKeyMaterial, std::function<void(std::string_view)> sink);
    // Adds one object (ascending IDs expected). Throws Failure (kExitRepository) for a value JSON
    // cannot carry; nothing of the object is written then.
    void Add(const StoredObject& object);
    // Ends the text.
    void Finish();

  private:
    bool m_withKeyMaterial;
    std::function<void(std::string_view)> m_sink;
    size_t m_count = 0;
};

// Names of the properties that hold key material.
bool IsKeyMaterial(const std::wstring& propertyName);

}  // namespace KeyTool
