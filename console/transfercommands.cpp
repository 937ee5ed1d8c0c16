// The commands that move the repository's objects to and from JSON files: export and import.
// Both stream: export writes each object as it reads it, import takes each object into the
// command's transaction as it reads it, so that memory does not grow with the repository or the
// file.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "commandsupport.h"
#include "failure.h"
#include "jsonfile.h"
#include "progress.h"
#include "storage.h"
#include "text.h"

namespace KeyTool {

namespace {

// How many taken IDs a refused import names.
constexpr size_t kTakenIdsNamed = 5;

class FileSource final : public JsonSource {
  public:
    explicit FileSource(InputFile& file) : m_file(file) {}
    size_t Read(char* buffer, size_t size) override { return m_file.Read(buffer, size); }

  private:
    InputFile& m_file;
};

}  // namespace

int RunExport(Context& context) {
    const bool reveal = context.Has(L"--reveal");
    Session& session = OpenSession(context, kRead);
    std::unique_ptr<ReplacementFile> file;
    std::wstring path;
    if (!context.arguments.positional.empty()) {
        path = FullPath(context.arguments.positional[0]);
        file = std::make_unique<ReplacementFile>(path);
    }
    // The text goes out in pieces of about a megabyte, each cleared once written (it may hold
    // key material).
    std::string pending;
    const auto flush = [&] {
        if (file)
            file->Write(pending);
        else if (!OutUtf8(pending))
            Fail(kExitRepository, L"cannot write the export to standard output: " +
                                      StatusText(HRESULT_FROM_WIN32(GetLastError())));
        SecureZeroMemory(pending.data(), pending.size());
        pending.clear();
    };
    RepositoryJsonWriter writer(reveal, [&](std::string_view piece) {
        pending.append(piece);
        if (pending.size() >= (1u << 20)) flush();
    });
    const std::vector<long> ids = session.Db().AllIds();
    Progress progress(L"objects exported", ids.size());
    size_t exported = 0, damaged = 0;
    Database::Scanner scanner(session.Db(), ids);
    for (size_t done = 1;; ++done) {
        // A stored object that cannot be read or written as JSON is reported and left out; the
        // others are exported all the same.
        long id = 0;
        try {
            std::optional<StoredObject> object;
            if (!scanner.Next(id, object)) break;
            if (object) {
                writer.Add(*object);
                ++exported;
            }
        } catch (const Failure& failure) {
            progress.Clear();
            Err(L"keytool: object " + std::to_wstring(id) + L" was not exported: " +
                failure.message + L"\n");
            ++damaged;
        }
        progress.Update(done);
    }
    writer.Finish();
    flush();
    session.Db().Commit();
    if (file) file->Commit();
    progress.Clear();
    if (file)
        Err(L"keytool: exported " + std::to_wstring(exported) + L" object(s) to " + path + L"\n");
    if (!reveal)
        Err(L"keytool: the key values and derived keys were left out of the export (the export "
            L"says so); add --reveal to include them.\n");
    if (damaged > 0) {
        Err(L"keytool: " + std::to_wstring(damaged) + L" of " + std::to_wstring(ids.size()) +
            L" object(s) could not be read and were left out of the export (see above); the "
            L"other " +
            std::to_wstring(exported) + L" were exported.\n");
        return kExitRefused;
    }
    return kExitOk;
}

int RunImport(Context& context) {
    const std::wstring path = FullPath(context.arguments.positional[0]);
    InputFile input(path);
    Session& session = OpenSession(context);
    // All objects or none, in the command's one transaction: each object is checked (the
    // repository must take it as it is) and written as it is read; the transaction is committed
    // only when the whole file was read and every object was taken.
    std::vector<long> takenIds;
    size_t taken = 0, imported = 0, keys = 0;
    std::optional<Failure> refused;
    Progress progress(L"objects read", 0);
    FileSource source(input);
    try {
        ReadRepositoryJson(
            source,
            [&](StoredObject& object, size_t) {
                if (session.Db().KindOf(object.id)) {
                    if (takenIds.size() < kTakenIdsNamed) takenIds.push_back(object.id);
                    ++taken;
                    return;
                }
                if (taken > 0 || refused) return;  // nothing will be imported: only checked
                try {
                    session.CheckLoadable(object, path);
                } catch (const Failure& failure) {
                    refused = failure;
                    return;
                }
                session.Db().Write(object);
                ++imported;
                keys += object.kind == kKeyKind ? 1 : 0;
            },
            [&](unsigned long long bytes) { progress.Update(imported, bytes, input.Size()); });
    } catch (const InvalidRepositoryJson& invalid) {
        progress.Clear();
        Fail(kExitRepository,
             L"cannot import " + path + L": " +
                 (invalid.keyMaterialLeftOut ? invalid.reason
                                             : L"it is not a valid repository: " + invalid.reason) +
                 L".\nNothing was imported; the file was left untouched.");
    }
    progress.Clear();
    if (taken > 0) {
        std::wstring named;
        for (const long id : takenIds) named += (named.empty() ? L"" : L", ") + std::to_wstring(id);
        Fail(kExitRefused, L"cannot import " + path + L": the repository " + session.Path() +
                               (taken <= kTakenIdsNamed
                                    ? L" holds objects with the IDs " + named + L" already"
                                    : L" holds objects with " + Grouped(taken) +
                                          L" of the file's IDs already, among them " + named) +
                               L".\nNothing was imported.");
    }
    if (refused)
        Fail(refused->exitCode, L"cannot import " + path + L": " + refused->message +
                                    L".\nNothing was imported; the file was left untouched.");
    session.Db().Commit();
    Out(L"Imported " + std::to_wstring(imported) + L" object(s) (" + std::to_wstring(keys) +
        L" key(s)) from " + path + L" into " + session.Path() + L".\n");
    return kExitOk;
}

}  // namespace KeyTool
