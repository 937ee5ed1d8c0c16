// The repository file: the committed objects of the console host's repository as JSON, read
// back into a reference-host repository on start and written after every commit.
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
// A file that is not of this form is refused as a whole and never written over.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "refhost.h"
#include "storage.h"

namespace KeyTool {

class RepositoryFile {
  public:
    // Takes the repository's lock, then reads and checks the file, creating an empty one when
    // there is none (Created() tells). Throws Failure (kExitRepository).
    explicit RepositoryFile(const std::wstring& path);
    ~RepositoryFile();
    RepositoryFile(const RepositoryFile&) = delete;
    RepositoryFile& operator=(const RepositoryFile&) = delete;

    const std::wstring& Path() const noexcept { return m_path; }
    bool Created() const noexcept { return m_created; }

    // Commits every object read from the file into `repository`, under its own ID. Throws
    // Failure (kExitRepository) when the host refuses an object's contents.
    void LoadInto(RefHost::Repository& repository);
    // Writes the committed objects of `repository`: those marked as changed from the
    // repository, the others exactly as they were read. Throws Failure (kExitRepository).
    void Save(RefHost::Repository& repository);
    void MarkChanged(long id) { m_changed.insert(id); }

  private:
    struct Contents;

    std::wstring m_path;
    std::unique_ptr<FileLock> m_lock;
    std::unique_ptr<Contents> m_contents;
    std::set<long> m_changed;
    bool m_created = false;
};

}  // namespace KeyTool
