// The repository's storage: one SQLite database file.
//
// Schema (version 1, PRAGMA user_version; PRAGMA application_id marks the file as ours):
//   objects(id INTEGER PRIMARY KEY, kind, title, key_state, compromised)
//     one row per committed object; key_state and compromised repeat SI_KEY_STATE and
//     SI_IS_COMPROMISED (NULL when absent or not an integer) for the indexes that `list`
//     filters by
//   properties(object, position, parent, name, type, value, flags), key (object, position)
//     one row per property of the object's bag, nested bags included: position numbers the
//     properties of the object in depth-first order from 0, parent is the position of the
//     property whose nested bag holds it (NULL at the top); type is the VARTYPE, value the
//     integer, real or text value (NULL for VT_EMPTY and VT_NULL; a VT_UI8 keeps its 64 bits)
//
// Every command is one transaction: changing commands begin it IMMEDIATE (they wait for another
// writer first), reading commands take a consistent snapshot. A second program on the same file
// waits through SQLite's own locking (busy handler) up to the lock timeout, saying so once on
// standard error. A change writes only the rows of the changed object that differ.
//
// Files: the database and the files SQLite writes beside it (the rollback journal) are created
// with a security descriptor that grants access to the current user only; an existing file keeps
// its protection.
//
// Test hook: the environment variable KEYTOOL_TEST_HOOK makes the process end abruptly, as a
// crash or a kill would: "crash-at-write:N" at the Nth write to the database or its journal,
// "crash-before-commit" once the changed rows are written but not committed,
// "crash-after-commit" right after the commit. "slow-write" pauses at each write, so that a test
// can kill the process during a change; "hold:MS" keeps the transaction open for MS
// milliseconds before committing; "full-disk" lets the file grow by no page, as a full disk
// would. (testhook.h reads the variable.)
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "objectdata.h"

struct sqlite3;
struct sqlite3_stmt;

namespace KeyTool {

inline constexpr int kSchemaVersion = 1;

struct IdFilter {
    std::optional<long> state;
    bool compromisedOnly = false;
};

class Database {
  public:
    enum class Access { Read, Write };

    // Opens (creating it when there is none) and checks the database, then begins the
    // command's transaction. Throws Failure (kExitRepository): a file that is not our
    // database or has a newer schema is refused and left untouched; the lock not had within
    // lockTimeoutMs.
    Database(const std::wstring& path, Access access, unsigned lockTimeoutMs);
    ~Database();  // rolls back what was not committed
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    const std::wstring& Path() const noexcept { return m_path; }
    // Whether the command set up a new repository: in a new file, or in an empty one (then
    // WasEmptyFile). Only a writing command does; a reading one refuses a missing or empty file
    // (kExitRepository, saying how to make a repository). A writing command that made the file
    // and fails before it commits removes it again.
    bool Created() const noexcept { return m_created; }
    bool WasEmptyFile() const noexcept { return m_emptyFile; }

    // IDs of the objects of `kind`, ascending; with a state or compromised filter, the objects
    // that may match it (those whose stored value cannot be read are included too).
    std::vector<long> Ids(const std::wstring& kind, const IdFilter& filter = IdFilter());
    std::vector<long> AllIds();
    long MaxId();  // 0 when there is no object
    // The lowest ID above `after` that no object holds, or 0 when every one up to
    // 2,147,483,647 is taken.
    long FreeIdAbove(long after);
    // The stored kind of object id, or nothing when there is no such object.
    std::optional<std::wstring> KindOf(long id);
    // The object, or nothing. Throws Failure (kExitRepository) when its stored rows are damaged.
    std::optional<StoredObject> Read(long id);
    // Reads objects one after the other in ascending ID order: in one pass over the tables when
    // a good part of them is wanted, else one by one. Used by one thread at a time.
    class Scanner {
      public:
        Scanner(Database& database, std::vector<long> ids);  // ids ascending
        ~Scanner();
        Scanner(const Scanner&) = delete;
        Scanner& operator=(const Scanner&) = delete;
        // The next of the IDs, false after the last: `object` is empty when there is no object
        // under it. Throws Failure (kExitRepository) for an object whose rows are damaged; the
        // next call goes on with the next ID.
        bool Next(long& id, std::optional<StoredObject>& object);

      private:
        bool Step(sqlite3_stmt* statement);
        Database& m_db;
        std::vector<long> m_ids;
        size_t m_next = 0;
        sqlite3_stmt* m_objects = nullptr;
        sqlite3_stmt* m_rows = nullptr;
        bool m_objectsLeft = false, m_rowsLeft = false;
    };
    // Inserts the object, or updates the rows that differ from the stored ones.
    void Write(const StoredObject& object);
    // Commits the transaction (a reading command's commit just ends its snapshot).
    void Commit();

  private:
    class Statement;
    class Assembler;

    void Close() noexcept;
    void Execute(const char* sql);
    void CheckSchema();
    void CreateSchema();
    [[noreturn]] void Refuse(const std::wstring& reason);
    [[noreturn]] void Failed(const std::wstring& what, int status);
    sqlite3_stmt* Prepared(int which, const char* sql);

    std::wstring m_path;
    sqlite3* m_db = nullptr;
    Access m_access;
    bool m_created = false;
    bool m_newFile = false;    // this command made the file
    bool m_emptyFile = false;  // the file was there but empty
    bool m_committed = false;
    bool m_inTransaction = false;
    unsigned m_lockTimeoutMs;
    unsigned long long m_waitStart = 0;
    bool m_waitAnnounced = false;
    std::vector<sqlite3_stmt*> m_statements;

    friend int BusyHandler(void* context, int count);
};

}  // namespace KeyTool
