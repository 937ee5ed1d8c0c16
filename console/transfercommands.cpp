// The commands that move the repository's objects to and from JSON files: export and import.
#include <windows.h>

#include <algorithm>

#include "commandsupport.h"
#include "failure.h"
#include "jsonfile.h"
#include "storage.h"
#include "text.h"

namespace KeyTool {

int RunExport(Context& context) {
    const bool reveal = context.Has(L"--reveal");
    Session& session = OpenSession(context, kRead);
    std::vector<StoredObject> objects;
    for (const long id : session.Db().AllIds()) objects.push_back(*session.Db().Read(id));
    session.Db().Commit();
    std::string json = RepositoryJson(objects, reveal);
    if (context.arguments.positional.empty()) {
        Out(FromUtf8(json));
    } else {
        const std::wstring path = FullPath(context.arguments.positional[0]);
        WriteFileAtomically(path, json);
        Err(L"keytool: exported " + std::to_wstring(objects.size()) + L" object(s) to " + path +
            L"\n");
    }
    SecureZeroMemory(json.data(), json.size());
    if (!reveal)
        Err(L"keytool: the key values and derived keys were left out of the export (the export "
            L"says so); add --reveal to include them.\n");
    return kExitOk;
}

int RunImport(Context& context) {
    const std::wstring path = FullPath(context.arguments.positional[0]);
    std::string bytes = ReadWholeFile(path, size_t{1} << 30);
    std::vector<StoredObject> objects;
    try {
        objects = ParseRepositoryJson(bytes);
    } catch (const InvalidRepositoryJson& invalid) {
        SecureZeroMemory(bytes.data(), bytes.size());
        Fail(kExitRepository,
             L"cannot import " + path + L": " +
                 (invalid.keyMaterialLeftOut ? invalid.reason
                                             : L"it is not a valid repository: " + invalid.reason) +
                 L".\nNothing was imported; the file was left untouched.");
    }
    SecureZeroMemory(bytes.data(), bytes.size());
    Session& session = OpenSession(context);
    std::sort(objects.begin(), objects.end(),
              [](const StoredObject& a, const StoredObject& b) { return a.id < b.id; });
    std::wstring taken;
    for (const StoredObject& object : objects)
        if (session.Db().KindOf(object.id))
            taken += (taken.empty() ? L"" : L", ") + std::to_wstring(object.id);
    if (!taken.empty())
        Fail(kExitRefused, L"cannot import " + path + L": the repository " + session.Path() +
                               L" holds objects with the IDs " + taken +
                               L" already.\nNothing was imported.");
    // All objects or none: the repository must take each one as it is before any is written.
    try {
        for (const StoredObject& object : objects) session.CheckLoadable(object, path);
    } catch (const Failure& failure) {
        Fail(failure.exitCode, L"cannot import " + path + L": " + failure.message +
                                   L".\nNothing was imported; the file was left untouched.");
    }
    for (const StoredObject& object : objects) session.Db().Write(object);
    session.Db().Commit();
    size_t keys = 0;
    for (const StoredObject& object : objects) keys += object.kind == kKeyKind ? 1 : 0;
    Out(L"Imported " + std::to_wstring(objects.size()) + L" object(s) (" + std::to_wstring(keys) +
        L" key(s)) from " + path + L" into " + session.Path() + L".\n");
    return kExitOk;
}

}  // namespace KeyTool
