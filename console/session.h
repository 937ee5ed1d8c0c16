// A run of the console host against one repository: the database, an in-memory repository that
// holds the objects the command works on (loaded from the database when first needed), and the
// key module.
#pragma once

#include <memory>
#include <string>

#include "keymodule.h"
#include "refhost.h"
#include "database.h"

namespace KeyTool {

// Property names of the key objects, as the repository names them.
namespace Prop {
inline constexpr wchar_t kValue[] = L"SI_VALUE";
inline constexpr wchar_t kDerivedKey[] = L"SI_DERIVED_KEY";
inline constexpr wchar_t kKeyState[] = L"SI_KEY_STATE";
inline constexpr wchar_t kCreationTime[] = L"SI_CREATION_TIME";
inline constexpr wchar_t kIsCompromised[] = L"SI_IS_COMPROMISED";
inline constexpr wchar_t kMimeType[] = L"SI_MIMETYPE";
inline constexpr wchar_t kKind[] = L"SI_KIND";
// This host's record of how the derived key was made: a nested bag.
inline constexpr wchar_t kDerivation[] = L"SI_KEY_DERIVATION";
inline constexpr wchar_t kAlgorithm[] = L"SI_ALGORITHM";
inline constexpr wchar_t kIterations[] = L"SI_ITERATIONS";
inline constexpr wchar_t kSalt[] = L"SI_SALT";
inline constexpr wchar_t kEncoding[] = L"SI_ENCODING";
}  // namespace Prop

inline constexpr wchar_t kKeyKind[] = L"CryptoGraphicKey";
inline constexpr wchar_t kKeyMimeType[] = L"application/x-cryptographic-key";
// The first ID the repository hands out (lower ones belong to the platform's own objects).
inline constexpr long kFirstNewId = 1001;

// Writes a line about the host's own steps to standard error when tracing is on.
void HostTrace(const std::wstring& text);
void SetHostTrace(bool on);

struct RepositoryOptions {
    std::wstring path;
    unsigned lockTimeoutMs = 10000;
};

class Session {
  public:
    // Checks that the key module is registered and loads it, then opens the database and begins
    // the command's transaction. Throws Failure.
    Session(const RepositoryOptions& options, Database::Access access);

    RefHost::Repository& Repository() { return *m_repository; }
    Database& Db() { return m_db; }
    const std::wstring& Path() const { return m_db.Path(); }

    // A new key object over a new host object (not committed yet), with the ID above every
    // stored one (at least kFirstNewId); when an object holds the last ID there is
    // (2,147,483,647), the lowest free ID from kFirstNewId on, saying so on standard error.
    // Throws Failure (kExitRefused) when no ID is free.
    KeyObject NewKey();
    // The committed key `id`, over a new host object loaded from the repository. Throws
    // Failure (kExitRefused) when there is no such object or it is not a key.
    KeyObject OpenKey(long id, const std::wstring& command);
    // The same for reading only an object read already (empty when there is none under `id`),
    // as a scan of the database gives it: the in-memory repository does not keep it, so that
    // dropping the key object is all it takes to forget it. The stored property values are
    // taken over (left empty).
    KeyObject ReadStoredKey(long id, std::optional<StoredObject>& stored,
                            const std::wstring& command);
    // Drops the in-memory copy of object `id` (a command that goes through many objects keeps
    // one at a time).
    void Forget(long id);
    // Checks that the repository takes the stored object as it is (its kind installed, its bag
    // accepted), without keeping it. Throws Failure (kExitRepository) naming `source`.
    void CheckLoadable(const StoredObject& object, const std::wstring& source);
    // Commits the key as the platform's host does: PrepareForCommit, store in the repository,
    // AfterCommit; then keeps the object as the plug-in left it (its change journals handed over)
    // and writes its changed rows to the database in the command's transaction, which it
    // commits. Throws Failure naming `command` when a step fails; the database is written only
    // when the plug-in prepared the commit and the repository stored the object.
    void Commit(const KeyObject& key, const std::wstring& command);

    // Batch mode (bulk loading): Commit writes the rows but leaves the transaction open; the
    // caller commits it through Db().Commit().
    void SetBatch(bool batch) { m_batch = batch; }

  private:
    // The key object over a loaded host object, checked to be a key.
    KeyObject Attach(long id, const ComPtr<ISInfoObject>& host, const std::wstring& command);
    // Fails (kExitRefused) unless `stored` is a key.
    void CheckKey(long id, const std::optional<StoredObject>& stored, const std::wstring& command);
    // The stored object as a host object committed to the in-memory repository (`keep`), or
    // only marked as loaded (RefHost::MarkLoaded). With `taken` (the object's properties), their
    // values are taken over instead of copied.
    ComPtr<ISInfoObject> Load(const StoredObject& object, const std::wstring& source, bool keep,
                              StoredBag* taken = nullptr);

    KeyModule m_module;
    Database m_db;
    std::shared_ptr<RefHost::Repository> m_repository;
    bool m_batch = false;
};

}  // namespace KeyTool
