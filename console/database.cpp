// The repository's storage: one SQLite database file.
#include "database.h"

#include <windows.h>
#include <oleauto.h>

#include <cstring>
#include <mutex>

#include <sqlite3.h>

#include "failure.h"
#include "storage.h"
#include "testhook.h"
#include "text.h"

namespace KeyTool {

namespace {

// "KTDB": marks a database as a keytool repository.
constexpr int kApplicationId = 0x4B544442;

// ---------------------------------------------------------------------------------------------
// The file layer: the system's own SQLite VFS, with new files created owner-only and the test
// hooks at each write.

sqlite3_vfs* g_system = nullptr;
sqlite3_vfs g_vfs;
std::wstring g_hook;
long g_writes = 0;
long g_crashAtWrite = 0;

struct File {
    sqlite3_file base;
    sqlite3_file* real;  // the system VFS's file, right after this header
    int kind;            // SQLITE_OPEN_MAIN_DB, SQLITE_OPEN_MAIN_JOURNAL, ...
};

sqlite3_file* Real(sqlite3_file* file) {
    return reinterpret_cast<File*>(file)->real;
}

void AtWrite(sqlite3_file* file) {
    const int kind = reinterpret_cast<File*>(file)->kind;
    if (kind != SQLITE_OPEN_MAIN_DB && kind != SQLITE_OPEN_MAIN_JOURNAL) return;
    ++g_writes;
    if (g_crashAtWrite > 0 && g_writes >= g_crashAtWrite) CrashForTest();
    if (g_hook == L"slow-write") Sleep(50);
}

int FileClose(sqlite3_file* file) {
    const int status = Real(file)->pMethods->xClose(Real(file));
    file->pMethods = nullptr;
    return status;
}
int FileRead(sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
    return Real(f)->pMethods->xRead(Real(f), data, amount, offset);
}
int FileWrite(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
    AtWrite(f);
    return Real(f)->pMethods->xWrite(Real(f), data, amount, offset);
}
int FileTruncate(sqlite3_file* f, sqlite3_int64 size) {
    return Real(f)->pMethods->xTruncate(Real(f), size);
}
int FileSync(sqlite3_file* f, int flags) {
    return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
    return Real(f)->pMethods->xFileSize(Real(f), size);
}
int FileLock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xLock(Real(f), level);
}
int FileUnlock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xUnlock(Real(f), level);
}
int FileReserved(sqlite3_file* f, int* out) {
    return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* argument) {
    return Real(f)->pMethods->xFileControl(Real(f), op, argument);
}
int FileSectorSize(sqlite3_file* f) {
    return Real(f)->pMethods->xSectorSize(Real(f));
}
int FileDevice(sqlite3_file* f) {
    return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int FileShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    return Real(f)->pMethods->xShmMap(Real(f), page, size, extend, out);
}
int FileShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void FileShmBarrier(sqlite3_file* f) {
    Real(f)->pMethods->xShmBarrier(Real(f));
}
int FileShmUnmap(sqlite3_file* f, int deleteFlag) {
    return Real(f)->pMethods->xShmUnmap(Real(f), deleteFlag);
}
int FileFetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
    return Real(f)->pMethods->xFetch(Real(f), offset, amount, out);
}
int FileUnfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
    return Real(f)->pMethods->xUnfetch(Real(f), offset, page);
}

const sqlite3_io_methods kFileMethods = {
    3,           FileClose,      FileRead,     FileWrite,   FileTruncate,   FileSync,   FileSize,
    FileLock,    FileUnlock,     FileReserved, FileControl, FileSectorSize, FileDevice, FileShmMap,
    FileShmLock, FileShmBarrier, FileShmUnmap, FileFetch,   FileUnfetch,
};

int VfsOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    File* shim = reinterpret_cast<File*>(file);
    shim->base.pMethods = nullptr;
    shim->real = reinterpret_cast<sqlite3_file*>(shim + 1);
    shim->kind = flags & 0x0FFFFF00;
    if (name != nullptr && (flags & SQLITE_OPEN_CREATE)) {
        // Created here first, owner-only; the system VFS then opens the existing file.
        try {
            CreateOwnerOnlyFile(FromUtf8(name));
        } catch (...) {
            return SQLITE_CANTOPEN;
        }
    }
    const int status = g_system->xOpen(g_system, name, shim->real, flags, outFlags);
    if (status == SQLITE_OK && shim->real->pMethods != nullptr) shim->base.pMethods = &kFileMethods;
    return status;
}

void RegisterVfs() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_system = sqlite3_vfs_find(nullptr);
        g_vfs = *g_system;
        g_vfs.zName = "keytool";
        g_vfs.szOsFile = static_cast<int>(sizeof(File)) + g_system->szOsFile;
        g_vfs.xOpen = VfsOpen;
        g_vfs.pNext = nullptr;
        sqlite3_vfs_register(&g_vfs, 0);
        g_hook = TestHook();
        if (g_hook.rfind(L"crash-at-write:", 0) == 0) g_crashAtWrite = std::stol(g_hook.substr(15));
    });
}

std::wstring Utf16(const void* text, int bytes) {
    return std::wstring(static_cast<const wchar_t*>(text), static_cast<size_t>(bytes) / 2);
}

// The bag's properties as rows, in depth-first order.
struct Row {
    long parent;  // -1 at the top
    const StoredProperty* property;
};

void Flatten(const StoredBag& bag, long parent, std::vector<Row>& rows) {
    for (const StoredProperty& property : bag) {
        const long position = static_cast<long>(rows.size());
        rows.push_back(Row{parent, &property});
        Flatten(property.properties, position, rows);
    }
}

sqlite3_int64 IntegerOf(const VARIANT& v) {
    switch (V_VT(&v)) {
        case VT_I1:
            return V_I1(&v);
        case VT_I2:
            return V_I2(&v);
        case VT_I4:
            return V_I4(&v);
        case VT_INT:
            return V_INT(&v);
        case VT_I8:
            return V_I8(&v);
        case VT_UI1:
            return V_UI1(&v);
        case VT_UI2:
            return V_UI2(&v);
        case VT_UI4:
            return V_UI4(&v);
        case VT_UINT:
            return V_UINT(&v);
        case VT_UI8:
            return static_cast<sqlite3_int64>(V_UI8(&v));
        case VT_BOOL:
            return V_BOOL(&v);
        default:
            return 0;
    }
}

// Sets an integer-typed variant from a stored integer; false when it is out of the type's range.
bool SetInteger(VARIANT& v, VARTYPE type, sqlite3_int64 n) {
    const auto in = [&](sqlite3_int64 low, sqlite3_int64 high) { return n >= low && n <= high; };
    switch (type) {
        case VT_I1:
            if (!in(-128, 127)) return false;
            V_I1(&v) = static_cast<CHAR>(n);
            break;
        case VT_I2:
            if (!in(-32768, 32767)) return false;
            V_I2(&v) = static_cast<SHORT>(n);
            break;
        case VT_BOOL:
            if (!in(-32768, 32767)) return false;
            V_BOOL(&v) = static_cast<VARIANT_BOOL>(n);
            break;
        case VT_I4:
            if (!in(INT32_MIN, INT32_MAX)) return false;
            V_I4(&v) = static_cast<LONG>(n);
            break;
        case VT_INT:
            if (!in(INT32_MIN, INT32_MAX)) return false;
            V_INT(&v) = static_cast<INT>(n);
            break;
        case VT_I8:
            V_I8(&v) = n;
            break;
        case VT_UI1:
            if (!in(0, 255)) return false;
            V_UI1(&v) = static_cast<BYTE>(n);
            break;
        case VT_UI2:
            if (!in(0, 65535)) return false;
            V_UI2(&v) = static_cast<USHORT>(n);
            break;
        case VT_UI4:
            if (!in(0, UINT32_MAX)) return false;
            V_UI4(&v) = static_cast<ULONG>(n);
            break;
        case VT_UINT:
            if (!in(0, UINT32_MAX)) return false;
            V_UINT(&v) = static_cast<UINT>(n);
            break;
        case VT_UI8:
            V_UI8(&v) = static_cast<ULONGLONG>(n);
            break;
        default:
            return false;
    }
    V_VT(&v) = type;
    return true;
}

bool SameValue(const VARIANT& a, const VARIANT& b) {
    if (V_VT(&a) != V_VT(&b)) return false;
    switch (V_VT(&a)) {
        case VT_EMPTY:
        case VT_NULL:
            return true;
        case VT_R4:
            return std::memcmp(&V_R4(&a), &V_R4(&b), sizeof(float)) == 0;
        case VT_R8:
        case VT_DATE:
            return std::memcmp(&V_R8(&a), &V_R8(&b), sizeof(double)) == 0;
        case VT_BSTR:
            return SysStringLen(V_BSTR(&a)) == SysStringLen(V_BSTR(&b)) &&
                   std::wmemcmp(V_BSTR(&a) ? V_BSTR(&a) : L"", V_BSTR(&b) ? V_BSTR(&b) : L"",
                                SysStringLen(V_BSTR(&a))) == 0;
        default:
            return IntegerOf(a) == IntegerOf(b);
    }
}

// What the objects table repeats of a key's bag for its indexes.
std::optional<long> IndexedInteger(const StoredObject& object, const wchar_t* name) {
    const StoredProperty* property = FindProperty(object.properties, name);
    long value = 0;
    if (property == nullptr || !IntegerValue(property->value.Get(), value)) return std::nullopt;
    return value;
}

enum StatementId {
    kInsertObject,
    kUpdateObject,
    kSelectObject,
    kSelectRows,
    kInsertRow,
    kUpdateRow,
    kDeleteRows,
    kSelectKind,
    kStatementCount
};

}  // namespace

int BusyHandler(void* context, int count) {
    Database& database = *static_cast<Database*>(context);
    const unsigned long long now = GetTickCount64();
    if (count == 0) database.m_waitStart = now;
    const unsigned long long waited = now - database.m_waitStart;
    if (waited >= database.m_lockTimeoutMs) return 0;
    if (!database.m_waitAnnounced && waited >= 200) {
        database.m_waitAnnounced = true;
        wchar_t seconds[32];
        swprintf(seconds, 32, L"%.1f", database.m_lockTimeoutMs / 1000.0);
        Err(L"keytool: the repository " + database.m_path +
            L" is in use by another program; waiting for it (up to " + seconds +
            L" s, --lock-timeout)...\n");
    }
    Sleep(static_cast<DWORD>(std::min<unsigned long long>(20, database.m_lockTimeoutMs - waited)));
    return 1;
}

class Database::Statement {
  public:
    Statement(Database& database, sqlite3_stmt* statement) : m_db(database), m_stmt(statement) {}
    ~Statement() {
        if (m_stmt == nullptr) return;
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    // Leaves the statement as it is (a scan goes on with it).
    void Release() noexcept { m_stmt = nullptr; }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, sqlite3_int64 value) {
        Check(sqlite3_bind_int64(m_stmt, index, value));
        return *this;
    }
    Statement& BindNull(int index) {
        Check(sqlite3_bind_null(m_stmt, index));
        return *this;
    }
    Statement& Bind(int index, const std::wstring& text) {
        Check(sqlite3_bind_text16(m_stmt, index, text.data(),
                                  static_cast<int>(text.size() * sizeof(wchar_t)),
                                  SQLITE_TRANSIENT));
        return *this;
    }
    Statement& Bind(int index, const std::optional<long>& value) {
        return value ? Bind(index, static_cast<sqlite3_int64>(*value)) : BindNull(index);
    }
    Statement& BindValue(int index, const VARIANT& value) {
        switch (V_VT(&value)) {
            case VT_EMPTY:
            case VT_NULL:
                return BindNull(index);
            case VT_R4:
                Check(sqlite3_bind_double(m_stmt, index, V_R4(&value)));
                return *this;
            case VT_R8:
            case VT_DATE:
                Check(sqlite3_bind_double(m_stmt, index, V_R8(&value)));
                return *this;
            case VT_BSTR:
                Check(sqlite3_bind_text16(m_stmt, index, V_BSTR(&value) ? V_BSTR(&value) : L"",
                                          static_cast<int>(SysStringByteLen(V_BSTR(&value))),
                                          SQLITE_TRANSIENT));
                return *this;
            default:
                return Bind(index, IntegerOf(value));
        }
    }
    // True while there is a row.
    bool Step() {
        const int status = sqlite3_step(m_stmt);
        if (status == SQLITE_ROW) return true;
        if (status != SQLITE_DONE) Check(status);
        return false;
    }
    void Run() { Step(); }
    sqlite3_int64 Integer(int column) { return sqlite3_column_int64(m_stmt, column); }
    bool IsNull(int column) { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    int TypeOf(int column) { return sqlite3_column_type(m_stmt, column); }
    double Real(int column) { return sqlite3_column_double(m_stmt, column); }
    std::wstring Text(int column) {
        const void* text = sqlite3_column_text16(m_stmt, column);
        return text ? Utf16(text, sqlite3_column_bytes16(m_stmt, column)) : std::wstring();
    }
    // The text as a new BSTR (empty for NULL); null when out of memory.
    BSTR NewBstr(int column) {
        const void* text = sqlite3_column_text16(m_stmt, column);
        const int bytes = text ? sqlite3_column_bytes16(m_stmt, column) : 0;
        return SysAllocStringLen(text ? static_cast<const OLECHAR*>(text) : L"",
                                 static_cast<UINT>(bytes / 2));
    }

  private:
    void Check(int status) {
        if (status != SQLITE_OK) m_db.Failed(L"a database statement failed", status);
    }
    Database& m_db;
    sqlite3_stmt* m_stmt;
};

namespace {

// What a read command says where there is no repository.
[[noreturn]] void NoRepository(const std::wstring& path, const std::wstring& what) {
    Fail(kExitRepository,
         L"there is no repository at " + path + L" (" + what +
             L").\nOnly commands that write make one: 'keytool --repo <file> create <title>' "
             L"makes a new one with a key, 'keytool --repo <file> import <file.json>' one with the "
             L"keys of an export. Or name another repository with --repo or KEYTOOL_REPO.");
}

unsigned long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return ~0ull;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

Database::Database(const std::wstring& path, Access access, unsigned lockTimeoutMs)
    : m_path(FullPath(path)), m_access(access), m_lockTimeoutMs(lockTimeoutMs) {
    RegisterVfs();
    const DWORD attributes = GetFileAttributesW(m_path.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        Fail(kExitRepository, L"the repository " + m_path + L" is a folder, not a file");
    if (!exists && access == Access::Read) NoRepository(m_path, L"no such file");
    // No lock inside SQLite: every call on a connection, down to reading a column, would take
    // one, and under Wine that cost more than reading the rows. A command uses its connection on
    // one thread. SQLite's count of the memory it holds, which takes a lock on every allocation,
    // is off too.
    static std::once_flag configured;
    std::call_once(configured, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (!exists) flags |= SQLITE_OPEN_CREATE;
    const int opened = sqlite3_open_v2(ToUtf8(m_path).c_str(), &m_db, flags, "keytool");
    if (opened != SQLITE_OK) {
        const std::wstring reason = m_db ? FromUtf8(sqlite3_errmsg(m_db)) : L"out of memory";
        sqlite3_close(m_db);
        m_db = nullptr;
        Fail(kExitRepository, L"cannot open the repository " + m_path + L": " + reason);
    }
    m_newFile = !exists;
    m_statements.assign(kStatementCount, nullptr);
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_handler(m_db, BusyHandler, this);
    // Reads through a memory mapping and a page cache that holds a large repository: under Wine
    // every read call costs a round trip through the system.
    try {
        Execute("PRAGMA cache_size = -65536; PRAGMA mmap_size = 1073741824");
        if (g_hook == L"full-disk") {
            // As if the disk were full: the file may not grow by a page.
            Execute(("PRAGMA max_page_count = " +
                     std::to_string(std::max<unsigned long long>(1, FileSize(m_path) / 4096)))
                        .c_str());
        }
        Execute(access == Access::Write ? "BEGIN IMMEDIATE" : "BEGIN");
        m_inTransaction = true;
        CheckSchema();
    } catch (...) {
        Close();
        throw;
    }
}

Database::~Database() {
    Close();
}

void Database::Close() noexcept {
    for (sqlite3_stmt*& statement : m_statements) {
        sqlite3_finalize(statement);
        statement = nullptr;
    }
    if (m_db != nullptr && m_inTransaction)
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    m_inTransaction = false;
    sqlite3_close(m_db);
    m_db = nullptr;
    // A command that made the file and failed before its first commit leaves nothing behind
    // (unless another keytool has written to the file meanwhile).
    if (m_newFile && !m_committed && FileSize(m_path) == 0) {
        DeleteFileW(m_path.c_str());
        DeleteFileW((m_path + L"-journal").c_str());
    }
}

void Database::Refuse(const std::wstring& reason) {
    Fail(kExitRepository, L"the repository " + m_path + L" " + reason +
                              L".\nIt was left untouched: move it away, or name another file "
                              L"with --repo.");
}

void Database::Failed(const std::wstring& what, int status) {
    const int primary = status & 0xFF;
    if (primary == SQLITE_NOTADB) {
        // Not a database: the first bytes tell whether it is the JSON that earlier versions kept.
        std::string head;
        try {
            head = ReadFileStart(m_path, 64);
        } catch (const Failure&) {
        }
        const size_t start = head.find_first_not_of(" \t\r\n");
        if (start != std::string::npos && head[start] == '{')
            Refuse(
                L"is not a database but JSON (a repository file of an earlier keytool?); "
                L"move its keys over with 'keytool --repo <new file> import " +
                m_path + L"'");
        Refuse(L"is not a keytool repository (not an SQLite database)");
    }
    if (primary == SQLITE_BUSY)
        Fail(kExitRepository, L"the repository " + m_path +
                                  L" is still in use by another program after " +
                                  std::to_wstring(m_lockTimeoutMs / 1000.0).substr(0, 4) +
                                  L" s; nothing was changed (a longer --lock-timeout waits "
                                  L"longer)");
    if (primary == SQLITE_FULL)
        Fail(kExitRepository,
             L"the repository " + m_path +
                 L" could not be written: the disk is full (or the file reached the largest size "
                 L"it may have).\nNothing was changed: the command's changes were rolled back. "
                 L"Free some space on that disk, or move the repository to another one (--repo "
                 L"names it), and run the command again.");
    if (primary == SQLITE_CORRUPT)
        Refuse(L"is damaged (" + FromUtf8(sqlite3_errstr(status)) + L")");
    const char* message = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(status);
    Fail(kExitRepository, what + L" on the repository " + m_path + L": " + FromUtf8(message) +
                              L" (SQLite status " + std::to_wstring(status) + L")");
}

void Database::Execute(const char* sql) {
    const int status = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (status != SQLITE_OK) Failed(FromUtf8(sql), status);
}

sqlite3_stmt* Database::Prepared(int which, const char* sql) {
    if (m_statements[which] == nullptr) {
        const int status = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT,
                                              &m_statements[which], nullptr);
        if (status != SQLITE_OK) Failed(L"preparing a statement", status);
    }
    return m_statements[which];
}

void Database::CheckSchema() {
    sqlite3_stmt* raw = nullptr;
    const auto single = [&](const char* sql) {
        const int prepared = sqlite3_prepare_v2(m_db, sql, -1, &raw, nullptr);
        if (prepared != SQLITE_OK) Failed(L"reading the schema", prepared);
        sqlite3_int64 value = 0;
        {
            Statement statement(*this, raw);
            if (statement.Step()) value = statement.Integer(0);
        }
        sqlite3_finalize(raw);
        return value;
    };
    const sqlite3_int64 application = single("PRAGMA application_id");
    const sqlite3_int64 version = single("PRAGMA user_version");
    const sqlite3_int64 tables = single("SELECT count(*) FROM sqlite_schema");
    if (application == 0 && version == 0 && tables == 0) {
        // An empty file (or an empty database): only a command that writes sets it up.
        if (m_access == Access::Read)
            NoRepository(m_path, FileSize(m_path) == 0 ? L"the file is empty, 0 bytes"
                                                       : L"the database in the file is empty");
        m_emptyFile = !m_newFile;
        CreateSchema();
        return;
    }
    if (application != kApplicationId) {
        wchar_t id[16];
        swprintf(id, 16, L"0x%08llX", static_cast<unsigned long long>(application) & 0xFFFFFFFF);
        Refuse(std::wstring(L"is an SQLite database of another program, not a keytool "
                            L"repository (application id ") +
               id + L")");
    }
    if (version > kSchemaVersion)
        Refuse(L"has the schema version " + std::to_wstring(version) +
               L", newer than this keytool knows (" + std::to_wstring(kSchemaVersion) +
               L"): use the keytool that wrote it");
    if (version < 1) Refuse(L"is a keytool repository without a schema version (damaged)");
}

void Database::CreateSchema() {
    if (sqlite3_db_readonly(m_db, "main") == 1)
        Fail(kExitRepository,
             L"cannot set up the new repository " + m_path + L": the file cannot be written");
    // A reading command took a snapshot only: setting up needs the write lock.
    if (sqlite3_txn_state(m_db, "main") != SQLITE_TXN_WRITE) {
        Execute("COMMIT");
        Execute("BEGIN IMMEDIATE");
        sqlite3_stmt* raw = nullptr;
        sqlite3_prepare_v2(m_db, "SELECT count(*) FROM sqlite_schema", -1, &raw, nullptr);
        const bool empty = sqlite3_step(raw) == SQLITE_ROW && sqlite3_column_int64(raw, 0) == 0;
        sqlite3_finalize(raw);
        if (!empty) {  // another keytool set it up meanwhile
            Execute("COMMIT");
            Execute("BEGIN");
            CheckSchema();
            return;
        }
    }
    Execute(
        "CREATE TABLE objects ("
        "  id INTEGER PRIMARY KEY CHECK (id BETWEEN 1 AND 2147483647),"
        "  kind TEXT NOT NULL,"
        "  title TEXT NOT NULL,"
        "  key_state INTEGER,"
        "  compromised INTEGER);"
        "CREATE INDEX objects_by_kind ON objects (kind, id);"
        "CREATE INDEX objects_by_state ON objects (kind, key_state, id);"
        "CREATE INDEX objects_by_compromised ON objects (kind, compromised, id);"
        "CREATE TABLE properties ("
        "  object INTEGER NOT NULL REFERENCES objects (id) ON DELETE CASCADE,"
        "  position INTEGER NOT NULL CHECK (position >= 0),"
        "  parent INTEGER CHECK (parent < position),"
        "  name TEXT NOT NULL,"
        "  type INTEGER NOT NULL,"
        "  value,"
        "  flags INTEGER NOT NULL DEFAULT 0,"
        "  PRIMARY KEY (object, position)) WITHOUT ROWID;"
        "PRAGMA application_id = 1263813698;"
        "PRAGMA user_version = 1;");
    static_assert(kApplicationId == 1263813698 && kSchemaVersion == 1);
    m_created = true;
}

std::vector<long> Database::Ids(const std::wstring& kind, const IdFilter& filter) {
    std::string sql = "SELECT id FROM objects WHERE kind = ?1";
    if (filter.state) sql += " AND (key_state = ?2 OR key_state IS NULL)";
    if (filter.compromisedOnly) sql += " AND (compromised IS NULL OR compromised <> 0)";
    sql += " ORDER BY id";
    sqlite3_stmt* raw = nullptr;
    const int prepared = sqlite3_prepare_v2(m_db, sql.c_str(), -1, &raw, nullptr);
    if (prepared != SQLITE_OK) Failed(L"listing the objects", prepared);
    std::vector<long> ids;
    {
        Statement statement(*this, raw);
        statement.Bind(1, kind);
        if (filter.state) statement.Bind(2, static_cast<sqlite3_int64>(*filter.state));
        while (statement.Step()) ids.push_back(static_cast<long>(statement.Integer(0)));
    }
    sqlite3_finalize(raw);
    return ids;
}

std::vector<long> Database::AllIds() {
    sqlite3_stmt* raw = nullptr;
    const int prepared =
        sqlite3_prepare_v2(m_db, "SELECT id FROM objects ORDER BY id", -1, &raw, nullptr);
    if (prepared != SQLITE_OK) Failed(L"listing the objects", prepared);
    std::vector<long> ids;
    {
        Statement statement(*this, raw);
        while (statement.Step()) ids.push_back(static_cast<long>(statement.Integer(0)));
    }
    sqlite3_finalize(raw);
    return ids;
}

long Database::MaxId() {
    sqlite3_stmt* raw = nullptr;
    const int prepared = sqlite3_prepare_v2(m_db, "SELECT max(id) FROM objects", -1, &raw, nullptr);
    if (prepared != SQLITE_OK) Failed(L"reading the largest ID", prepared);
    long id = 0;
    {
        Statement statement(*this, raw);
        if (statement.Step() && !statement.IsNull(0)) id = static_cast<long>(statement.Integer(0));
    }
    sqlite3_finalize(raw);
    return id;
}

long Database::FreeIdAbove(long after) {
    sqlite3_stmt* raw = nullptr;
    const int prepared = sqlite3_prepare_v2(
        m_db, "SELECT id FROM objects WHERE id > ?1 ORDER BY id", -1, &raw, nullptr);
    if (prepared != SQLITE_OK) Failed(L"looking for a free ID", prepared);
    long long candidate = static_cast<long long>(after) + 1;
    {
        Statement statement(*this, raw);
        statement.Bind(1, static_cast<sqlite3_int64>(after));
        // The IDs in order: the first one past the candidate leaves it free.
        while (statement.Step() && statement.Integer(0) == candidate) ++candidate;
    }
    sqlite3_finalize(raw);
    return candidate <= 0x7FFFFFFF ? static_cast<long>(candidate) : 0;
}

std::optional<std::wstring> Database::KindOf(long id) {
    Statement statement(*this, Prepared(kSelectKind, "SELECT kind FROM objects WHERE id = ?1"));
    statement.Bind(1, id);
    if (!statement.Step()) return std::nullopt;
    return statement.Text(0);
}

// Assembles an object's bag from its property rows, handed over in position order. A damaged row
// is remembered (the first one) rather than thrown at once, so that a scan can read past it.
class Database::Assembler {
  public:
    // Room for the rows of a typical object, so that they are not moved while it is read.
    Assembler() {
        m_flat.reserve(32);
        m_parents.reserve(32);
        m_depth.reserve(32);
    }
    // Columns from `first` on: position, parent, name, type, value, flags.
    void Add(Statement& statement, int first) {
        if (!m_damage.empty()) return;
        const long position = static_cast<long>(m_flat.size());
        const auto damaged = [&](const std::wstring& what) {
            m_damage = L"property row " + std::to_wstring(position) + L" " + what;
        };
        if (statement.Integer(first) != position) return damaged(L"is out of sequence");
        long parent = -1;
        if (!statement.IsNull(first + 1)) {
            const sqlite3_int64 stored = statement.Integer(first + 1);
            if (stored < 0 || stored >= position)
                return damaged(L"names a parent that does not precede it");
            parent = static_cast<long>(stored);
        }
        const int level = parent < 0 ? 0 : m_depth[static_cast<size_t>(parent)] + 1;
        if (level > kMaxBagDepth) return damaged(L"is nested too deeply");
        StoredProperty property;
        property.name = statement.Text(first + 2);
        const sqlite3_int64 type = statement.Integer(first + 3);
        property.flags = static_cast<LONG>(statement.Integer(first + 5));
        VARIANT* value = property.value.Receive();
        const int column = first + 4;
        const int stored = statement.TypeOf(column);
        const VARTYPE vt = static_cast<VARTYPE>(type);
        bool valid = type >= 0 && type <= 0xFFFF && TypeName(vt) != nullptr;
        if (valid) {
            if (vt == VT_EMPTY || vt == VT_NULL) {
                valid = stored == SQLITE_NULL;
                V_VT(value) = vt;
            } else if (vt == VT_R4 || vt == VT_R8 || vt == VT_DATE) {
                valid = stored == SQLITE_FLOAT || stored == SQLITE_INTEGER;
                V_VT(value) = vt;
                if (vt == VT_R4)
                    V_R4(value) = static_cast<float>(statement.Real(column));
                else
                    V_R8(value) = statement.Real(column);
            } else if (vt == VT_BSTR) {
                valid = stored == SQLITE_TEXT;
                V_BSTR(value) = statement.NewBstr(column);
                if (V_BSTR(value) == nullptr) throw std::bad_alloc();
                V_VT(value) = VT_BSTR;
            } else {
                valid =
                    stored == SQLITE_INTEGER && SetInteger(*value, vt, statement.Integer(column));
            }
        }
        if (!valid)
            return damaged(L"(" + Excerpt(property.name) +
                           L") has a value that does not fit its type " + std::to_wstring(type));
        m_flat.push_back(std::move(property));
        m_parents.push_back(parent);
        m_depth.push_back(level);
    }

    // The bag of the rows added. Throws Failure (kExitRepository) naming the damaged row.
    void Finish(StoredObject& object, const std::wstring& path) {
        if (!m_damage.empty())
            Fail(kExitRepository, L"the stored object " + std::to_wstring(object.id) + L" in " +
                                      path + L" is damaged: " + m_damage);
        // Each row's parent precedes it, so the nested bags can be assembled from the last row
        // back to the first. children[i]: the positions in the bag of row i; the last entry is
        // the top bag.
        std::vector<std::vector<size_t>> children(m_flat.size() + 1);
        for (size_t i = 0; i < m_flat.size(); ++i)
            children[m_parents[i] < 0 ? m_flat.size() : static_cast<size_t>(m_parents[i])]
                .push_back(i);
        for (size_t i = m_flat.size(); i-- > 0;) {
            m_flat[i].properties.reserve(children[i].size());
            for (const size_t child : children[i])
                m_flat[i].properties.push_back(std::move(m_flat[child]));
        }
        object.properties.reserve(children[m_flat.size()].size());
        for (const size_t child : children[m_flat.size()])
            object.properties.push_back(std::move(m_flat[child]));
    }

  private:
    std::vector<StoredProperty> m_flat;
    std::vector<long> m_parents;
    std::vector<int> m_depth;
    std::wstring m_damage;
};

std::optional<StoredObject> Database::Read(long id) {
    StoredObject object;
    {
        Statement statement(
            *this, Prepared(kSelectObject, "SELECT kind, title FROM objects WHERE id = ?1"));
        statement.Bind(1, id);
        if (!statement.Step()) return std::nullopt;
        object.id = id;
        object.kind = statement.Text(0);
        object.title = statement.Text(1);
    }
    Assembler rows;
    Statement statement(*this, Prepared(kSelectRows,
                                        "SELECT position, parent, name, type, value, flags "
                                        "FROM properties WHERE object = ?1 ORDER BY position"));
    statement.Bind(1, id);
    while (statement.Step()) rows.Add(statement, 0);
    rows.Finish(object, m_path);
    return object;
}

// ---------------------------------------------------------------------------------------------
// Scanner

Database::Scanner::Scanner(Database& database, std::vector<long> ids)
    : m_db(database), m_ids(std::move(ids)) {
    if (m_ids.empty()) return;
    // A pass over the tables pays when a good part of the objects is wanted; a few are read
    // one by one.
    sqlite3_int64 total = 0;
    {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(m_db.m_db, "SELECT count(*) FROM objects", -1, &raw, nullptr) ==
            SQLITE_OK) {
            Statement count(m_db, raw);
            if (count.Step()) total = count.Integer(0);
        }
        sqlite3_finalize(raw);
    }
    if (static_cast<sqlite3_int64>(m_ids.size()) * 4 < total) return;
    const auto prepare = [&](const char* sql, sqlite3_stmt*& statement) {
        const int status = sqlite3_prepare_v2(m_db.m_db, sql, -1, &statement, nullptr);
        if (status != SQLITE_OK) m_db.Failed(L"reading the objects", status);
        sqlite3_bind_int64(statement, 1, m_ids.front());
    };
    prepare("SELECT id, kind, title FROM objects WHERE id >= ?1 ORDER BY id", m_objects);
    prepare(
        "SELECT object, position, parent, name, type, value, flags FROM properties "
        "WHERE object >= ?1 ORDER BY object, position",
        m_rows);
    m_objectsLeft = Step(m_objects);
    m_rowsLeft = Step(m_rows);
}

Database::Scanner::~Scanner() {
    sqlite3_finalize(m_objects);
    sqlite3_finalize(m_rows);
}

bool Database::Scanner::Step(sqlite3_stmt* statement) {
    const int status = sqlite3_step(statement);
    if (status == SQLITE_ROW) return true;
    if (status != SQLITE_DONE) m_db.Failed(L"reading the objects", status);
    return false;
}

bool Database::Scanner::Next(long& id, std::optional<StoredObject>& object) {
    object.reset();
    if (m_next >= m_ids.size()) return false;
    id = m_ids[m_next++];
    if (m_objects == nullptr) {
        object = m_db.Read(id);
        return true;
    }
    while (m_objectsLeft && sqlite3_column_int64(m_objects, 0) < id)
        m_objectsLeft = Step(m_objects);
    while (m_rowsLeft && sqlite3_column_int64(m_rows, 0) < id) m_rowsLeft = Step(m_rows);
    if (!m_objectsLeft || sqlite3_column_int64(m_objects, 0) != id) return true;
    StoredObject found;
    found.id = id;
    {
        Statement row(m_db, m_objects);
        found.kind = row.Text(1);
        found.title = row.Text(2);
        row.Release();
    }
    Assembler rows;
    while (m_rowsLeft && sqlite3_column_int64(m_rows, 0) == id) {
        Statement row(m_db, m_rows);
        rows.Add(row, 1);
        row.Release();
        m_rowsLeft = Step(m_rows);
    }
    m_objectsLeft = Step(m_objects);
    rows.Finish(found, m_db.m_path);
    object = std::move(found);
    return true;
}

void Database::Write(const StoredObject& object) {
    const std::optional<long> state = IndexedInteger(object, L"SI_KEY_STATE");
    std::optional<long> compromised = IndexedInteger(object, L"SI_IS_COMPROMISED");
    if (compromised) compromised = *compromised != 0 ? 1 : 0;
    bool exists = false;
    {
        Statement select(*this,
                         Prepared(kSelectObject, "SELECT kind, title FROM objects WHERE id = ?1"));
        select.Bind(1, object.id);
        exists = select.Step();
    }
    if (!exists) {
        Statement insert(*this, Prepared(kInsertObject,
                                         "INSERT INTO objects (id, kind, title, key_state, "
                                         "compromised) VALUES (?1, ?2, ?3, ?4, ?5)"));
        insert.Bind(1, object.id).Bind(2, object.kind).Bind(3, object.title).Bind(4, state);
        insert.Bind(5, compromised).Run();
    } else {
        Statement update(*this,
                         Prepared(kUpdateObject,
                                  "UPDATE objects SET kind = ?2, title = ?3, key_state = ?4, "
                                  "compromised = ?5 WHERE id = ?1 AND (kind IS NOT ?2 OR title "
                                  "IS NOT ?3 OR key_state IS NOT ?4 OR compromised IS NOT ?5)"));
        update.Bind(1, object.id).Bind(2, object.kind).Bind(3, object.title).Bind(4, state);
        update.Bind(5, compromised).Run();
    }

    std::vector<Row> rows;
    Flatten(object.properties, -1, rows);
    std::optional<StoredObject> stored;
    if (exists) stored = Read(object.id);
    std::vector<Row> old;
    if (stored) Flatten(stored->properties, -1, old);
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const StoredProperty& p = *row.property;
        if (i < old.size() && old[i].parent == row.parent && old[i].property->name == p.name &&
            old[i].property->flags == p.flags &&
            SameValue(old[i].property->value.Get(), p.value.Get()))
            continue;
        Statement write(*this,
                        i < old.size()
                            ? Prepared(kUpdateRow,
                                       "UPDATE properties SET parent = ?3, name = ?4, type = ?5, "
                                       "value = ?6, flags = ?7 WHERE object = ?1 AND position = ?2")
                            : Prepared(kInsertRow,
                                       "INSERT INTO properties (object, position, parent, name, "
                                       "type, value, flags) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"));
        write.Bind(1, object.id).Bind(2, static_cast<sqlite3_int64>(i));
        if (row.parent < 0)
            write.BindNull(3);
        else
            write.Bind(3, static_cast<sqlite3_int64>(row.parent));
        write.Bind(4, p.name).Bind(5, static_cast<sqlite3_int64>(p.value.Type()));
        write.BindValue(6, p.value.Get()).Bind(7, static_cast<sqlite3_int64>(p.flags)).Run();
    }
    if (old.size() > rows.size()) {
        Statement remove(*this, Prepared(kDeleteRows,
                                         "DELETE FROM properties WHERE object = ?1 AND "
                                         "position >= ?2"));
        remove.Bind(1, object.id).Bind(2, static_cast<sqlite3_int64>(rows.size())).Run();
    }
}

void Database::Commit() {
    if (g_hook == L"crash-before-commit") CrashForTest();
    if (g_hook.rfind(L"hold:", 0) == 0) Sleep(static_cast<DWORD>(std::stoul(g_hook.substr(5))));
    Execute("COMMIT");
    m_inTransaction = false;
    m_committed = true;
    if (g_hook == L"crash-after-commit") CrashForTest();
}

}  // namespace KeyTool
