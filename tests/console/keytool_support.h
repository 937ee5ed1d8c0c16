// What the console tests share: exit codes, running keytool for an export, direct SQL on a
// repository file, and JSON repository texts made for a test.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "keytool_runner.h"

namespace KeyToolTest {

using Json = nlohmann::ordered_json;

inline constexpr DWORD kOk = 0, kRefused = 1, kUsage = 2, kRepository = 3, kModule = 4;

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

#define EXPECT_RUN(result, code)                                                            \
    EXPECT_EQ(static_cast<DWORD>(code), (result).exitCode) << "stdout:\n"                   \
                                                           << (result).out << "\nstderr:\n" \
                                                           << (result).err

// The whole repository of the folder, key material included, as `export --reveal` writes it.
inline Json Export(const Folder& folder) {
    const Result r = RunKeytool(folder, L"export --reveal");
    EXPECT_EQ(0u, r.exitCode) << r.err;
    return Json::parse(r.out);
}

inline std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// Runs SQL on a database file directly (not through keytool); the rows of the last statement.
inline std::vector<std::vector<std::string>> Sql(const std::wstring& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::vector<std::vector<std::string>> rows;
    if (sqlite3_open16(path.c_str(), &db) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << Narrow(path);
        sqlite3_close(db);
        return rows;
    }
    char* error = nullptr;
    const auto collect = [](void* out, int count, char** values, char**) {
        auto& table = *static_cast<std::vector<std::vector<std::string>>*>(out);
        table.emplace_back();
        for (int i = 0; i < count; ++i) table.back().push_back(values[i] ? values[i] : "NULL");
        return 0;
    };
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), collect, &rows, &error))
        << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
    return rows;
}

// The property `name` in a bag or in one of its nested bags.
inline Json* FindNamed(Json& properties, const char* name) {
    for (Json& property : properties) {
        if (property["name"] == name) return &property;
        if (property.contains("properties"))
            if (Json* found = FindNamed(property["properties"], name)) return found;
    }
    return nullptr;
}

// A JSON repository file with the given objects.
inline std::string RepositoryText(const Json& objects) {
    return Json({{"format", "keytool repository"}, {"version", 1}, {"objects", objects}}).dump(2);
}

// A key object of the JSON repository format with the given properties after its own.
inline Json KeyEntry(long id, const std::string& title, const Json& extra = Json::array()) {
    Json key = {{"id", id}, {"kind", "CryptoGraphicKey"}, {"title", title}};
    key["properties"] = Json::array({
        {{"name", "SI_ID"}, {"type", "VT_I4"}, {"value", id}},
        {{"name", "SI_KIND"}, {"type", "VT_BSTR"}, {"value", "CryptoGraphicKey"}},
        {{"name", "SI_NAME"}, {"type", "VT_BSTR"}, {"value", title}},
    });
    for (const Json& property : extra) key["properties"].push_back(property);
    return key;
}

inline const Json* FindObject(const Json& root, long id) {
    for (const Json& object : root["objects"])
        if (object["id"] == id) return &object;
    return nullptr;
}

inline const Json* FindProperty(const Json& properties, const std::string& name) {
    for (const Json& property : properties)
        if (property["name"] == name) return &property;
    return nullptr;
}

}  // namespace KeyToolTest
