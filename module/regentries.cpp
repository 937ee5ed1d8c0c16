// cgk-regentries: the registry entries that registering CryptoGraphicKey.dll writes, as installer
// registry values, so that a Windows Installer package registers the module through its own
// Registry table rather than by calling DllRegisterServer.
//
//   cgk-regentries <module.dll> <output folder> <file id> <folder property>
//
// The entries come from the module file itself: its registry script (the REGISTRY resource that
// DllRegisterServer runs), read with the module's own registrar, and its type library (the first
// TYPELIB resource), from which the keys that type-library registration writes are derived. The
// module's path becomes the installed file's path ([#<file id>]) and its folder the folder
// property. The output is a WiX include file of flat RegistryValue elements, registry.wxi, for
// the 64-bit registry view.
//
// Type-library registration also copies the interfaces' keys into the 32-bit registry view. The
// package leaves those copies out: a 32-bit client cannot load this 64-bit in-process server, so
// it never marshals these interfaces, and on uninstall the installer would delete the 32-bit
// Interface key itself where nothing else had been registered below it - a shared key that an
// uninstall must keep.
//
// How script entries map onto installer registry rows:
// - a key's default value and every named value become one row each, with the string, DWORD
//   (#n) or binary (#x..) value; the installer removes them on uninstall and then every key
//   left empty, up to the first one that still holds something (CLSID and the like stay);
// - a key that holds no value and no key with a value gets a row that only creates it: "*"
//   (removed with its subtree on uninstall), or "+" (never removed) for a NoRemove key;
// - Delete keys (a deletion at install time) and multi-string values have no form in the
//   installer's Registry table as the package is built, and are refused, as are empty strings,
//   which the installer would take for "no value".
// ForceRemove's deletion before creation has no row either; on a fresh install there is nothing
// to delete, and an upgrade removes the older package's entries first.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

#include "registrar.h"
#include "registration.h"
#include "resource.h"
#include "scoped.h"

using Microsoft::WRL::ComPtr;

namespace {

// Stands for the module's path in the parsed script, until values are written out.
constexpr wchar_t kModuleMarker[] = L"\uE000";

// The proxy/stub classes that type-library registration names for an interface: the universal
// marshaler for dual and oleautomation interfaces, the dispatch proxy for pure dispinterfaces.
constexpr wchar_t kTypeLibMarshaler[] = L"{00020424-0000-0000-C000-000000000046}";
constexpr wchar_t kDispatchProxy[] = L"{00020420-0000-0000-C000-000000000046}";

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
    return bytes;
}

void Check(HRESULT hr, const std::wstring& what) {
    if (FAILED(hr)) {
        wchar_t code[16];
        swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
        throw Failure(Utf8(what + L" failed: " + code));
    }
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

// One row of the installer's Registry table.
struct Entry {
    std::wstring root;  // HKCR, HKCU, HKLM or HKU
    std::wstring key;
    std::wstring name;  // empty: the default value; "+" or "*": the key alone
    std::wstring type;  // WiX value type: string, integer or binary
    std::wstring value;
};

class EntryWriter {
  public:
    EntryWriter(std::wstring fileId, std::wstring folderProperty)
        : m_fileId(std::move(fileId)), m_folderProperty(std::move(folderProperty)) {}

    void AddString(const std::wstring& root, const std::wstring& key, const std::wstring& name,
                   const std::wstring& value) {
        if (value.empty()) throw Failure(Utf8(L"empty string value at " + key));
        m_entries.push_back({root, Formatted(key), Formatted(name), L"string", Formatted(value)});
    }
    void AddKeyOnly(const std::wstring& root, const std::wstring& key, bool keep) {
        m_entries.push_back({root, Formatted(key), keep ? L"+" : L"*", L"string", L""});
    }
    void AddRaw(const std::wstring& root, const std::wstring& key, const std::wstring& name,
                const std::wstring& type, const std::wstring& value) {
        m_entries.push_back({root, Formatted(key), Formatted(name), type, value});
    }
    size_t Count() const { return m_entries.size(); }

    std::string Document(const std::wstring& source) const {
        std::wstring text = L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- Written by " +
                            Xml(L"cgk-regentries from " + source) +
                            L"; do not edit. -->\n<Include>\n";
        for (const Entry& entry : m_entries) {
            text +=
                L"  <RegistryValue Root=\"" + entry.root + L"\" Key=\"" + Xml(entry.key) + L"\"";
            if (!entry.name.empty()) text += L" Name=\"" + Xml(entry.name) + L"\"";
            text += L" Type=\"" + entry.type + L"\" Value=\"" + Xml(entry.value) + L"\"/>\n";
        }
        return Utf8(text + L"</Include>\n");
    }

    // The module's folder: the folder property, which the installer resolves with a trailing
    // separator.
    std::wstring FolderValue() const { return L"[" + m_folderProperty + L"]"; }

  private:
    // Text for a formatted column: brackets (and braces, where brackets are about) escaped, the
    // module marker turned into the installed file's path. A leading '#' of a string value is
    // left alone: the package builder doubles it, so that it is not read as a number.
    std::wstring Formatted(const std::wstring& text) const {
        const bool bracketed = text.find_first_of(L"[]") != std::wstring::npos;
        std::wstring out;
        for (const wchar_t c : text) {
            if (c == L'[' || c == L']' || (bracketed && (c == L'{' || c == L'}'))) {
                out += L"[\\";
                out += c;
                out += L']';
            } else if (c == kModuleMarker[0]) {
                out += L"[#" + m_fileId + L"]";
            } else {
                out += c;
            }
        }
        return out;
    }

    static std::wstring Xml(const std::wstring& text) {
        std::wstring out;
        for (const wchar_t c : text) {
            switch (c) {
                case L'&':
                    out += L"&amp;";
                    break;
                case L'<':
                    out += L"&lt;";
                    break;
                case L'>':
                    out += L"&gt;";
                    break;
                case L'"':
                    out += L"&quot;";
                    break;
                default:
                    out += c;
            }
        }
        return out;
    }

    std::wstring m_fileId;
    std::wstring m_folderProperty;
    std::vector<Entry> m_entries;
};

const wchar_t* RootName(HKEY root) {
    if (root == HKEY_CLASSES_ROOT) return L"HKCR";
    if (root == HKEY_CURRENT_USER) return L"HKCU";
    if (root == HKEY_LOCAL_MACHINE) return L"HKLM";
    if (root == HKEY_USERS) return L"HKU";
    throw Failure("the script writes below a root key that a package cannot write to");
}

std::wstring StringData(const RegScriptData& data) {
    std::wstring text(reinterpret_cast<const wchar_t*>(data.bytes.data()),
                      data.bytes.size() / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

void AddValue(EntryWriter& out, const std::wstring& root, const std::wstring& key,
              const std::wstring& name, const RegScriptData& data) {
    switch (data.type) {
        case REG_SZ:
            out.AddString(root, key, name, StringData(data));
            return;
        case REG_DWORD: {
            LONG number = 0;
            memcpy(&number, data.bytes.data(), sizeof number);
            out.AddRaw(root, key, name, L"integer", std::to_wstring(number));
            return;
        }
        case REG_BINARY: {
            std::wstring hex = L"#x";
            wchar_t pair[3];
            for (const BYTE b : data.bytes) {
                swprintf(pair, 3, L"%02X", b);
                hex += pair;
            }
            out.AddRaw(root, key, name, L"binary", hex);
            return;
        }
        default:
            throw Failure(Utf8(L"a multi-string value at " + key + L" has no installer form"));
    }
}

// Adds the rows of `entries` below `path`; true when any was added.
bool AddScriptEntries(EntryWriter& out, const std::wstring& root, const std::wstring& path,
                      const std::vector<RegScriptEntry>& entries) {
    bool added = false;
    for (const RegScriptEntry& entry : entries) {
        if (entry.isValue) {
            AddValue(out, root, path, entry.name, *entry.data);
            added = true;
            continue;
        }
        const std::wstring key = path.empty() ? entry.name : path + L"\\" + entry.name;
        if (entry.flag == RegKeyFlag::Delete) {
            throw Failure(Utf8(L"the Delete key " + key + L" has no installer form"));
        }
        bool keyAdded = false;
        if (entry.data) {
            AddValue(out, root, key, L"", *entry.data);
            keyAdded = true;
        }
        keyAdded = AddScriptEntries(out, root, key, entry.children) || keyAdded;
        if (!keyAdded) out.AddKeyOnly(root, key, entry.flag == RegKeyFlag::NoRemove);
        added = true;
    }
    return added;
}

void AddScript(EntryWriter& out, HMODULE module) {
    std::wstring script;
    Check(CRegistrar::LoadScriptResource(module, IDR_CRYPTOGRAPHICKEY, script),
          L"reading the registry script");
    CRegistrar registrar;
    Check(AddModuleReplacements(registrar, kModuleMarker), L"adding the replacements");
    RegScript tree;
    Check(registrar.Parse(script.c_str(), &tree), L"parsing the registry script");
    for (const RegScriptRoot& root : tree.roots) {
        AddScriptEntries(out, RootName(root.key), L"", root.entries);
    }
}

// What registering the type library writes: the library's version key with its description,
// the path for its locale and system kind, flags and help folder, and for every dual,
// oleautomation or dispatch interface its Interface key.
void AddTypeLib(EntryWriter& out, const std::wstring& modulePath) {
    ComPtr<ITypeLib> library;
    Check(LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, &library), L"loading the type library");
    TLIBATTR* attr = nullptr;
    Check(library->GetLibAttr(&attr), L"reading the type library's attributes");
    const TLIBATTR lib = *attr;
    library->ReleaseTLibAttr(attr);

    const wchar_t* system = lib.syskind == SYS_WIN64   ? L"win64"
                            : lib.syskind == SYS_WIN32 ? L"win32"
                                                       : L"win16";
    wchar_t version[16];
    swprintf(version, 16, L"%x.%x", lib.wMajorVerNum, lib.wMinorVerNum);
    const std::wstring libId = GuidText(lib.guid);
    const std::wstring libKey = L"TypeLib\\" + libId + L"\\" + version;

    ComLib::ScopedBstr description;
    Check(library->GetDocumentation(-1, nullptr, description.Receive(), nullptr, nullptr),
          L"reading the type library's description");
    out.AddString(L"HKCR", libKey, L"", std::wstring(description.Get(), description.Length()));
    wchar_t locale[16];
    swprintf(locale, 16, L"%lx", static_cast<unsigned long>(lib.lcid));
    out.AddString(L"HKCR", libKey + L"\\" + locale + L"\\" + system, L"", kModuleMarker);
    out.AddString(L"HKCR", libKey + L"\\FLAGS", L"", std::to_wstring(lib.wLibFlags));
    out.AddRaw(L"HKCR", libKey + L"\\HELPDIR", L"", L"string", out.FolderValue());

    const UINT count = library->GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
        ComPtr<ITypeInfo> info;
        Check(library->GetTypeInfo(i, &info), L"reading a type");
        TYPEATTR* type = nullptr;
        Check(info->GetTypeAttr(&type), L"reading a type's attributes");
        const TYPEKIND kind = type->typekind;
        const WORD flags = type->wTypeFlags;
        const GUID iid = type->guid;
        info->ReleaseTypeAttr(type);
        const bool automation = kind == TKIND_DISPATCH ||
                                (kind == TKIND_INTERFACE && (flags & TYPEFLAG_FOLEAUTOMATION));
        if (!automation) continue;

        ComLib::ScopedBstr name;
        Check(library->GetDocumentation(static_cast<INT>(i), name.Receive(), nullptr, nullptr,
                                        nullptr),
              L"reading an interface's name");
        const std::wstring key = L"Interface\\" + GuidText(iid);
        const wchar_t* proxy = kind == TKIND_INTERFACE || (flags & TYPEFLAG_FDUAL)
                                   ? kTypeLibMarshaler
                                   : kDispatchProxy;
        out.AddString(L"HKCR", key, L"", std::wstring(name.Get(), name.Length()));
        out.AddString(L"HKCR", key + L"\\ProxyStubClsid", L"", proxy);
        out.AddString(L"HKCR", key + L"\\ProxyStubClsid32", L"", proxy);
        out.AddString(L"HKCR", key + L"\\TypeLib", L"", libId);
        out.AddString(L"HKCR", key + L"\\TypeLib", L"Version", version);
    }
}

void WriteTextFile(const std::wstring& path, const std::string& document) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Check(HRESULT_FROM_WIN32(GetLastError()), L"creating " + path);
    }
    DWORD written = 0;
    const BOOL ok =
        ::WriteFile(file, document.data(), static_cast<DWORD>(document.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != document.size()) {
        DeleteFileW(path.c_str());
        throw Failure(Utf8(L"writing " + path + L" failed"));
    }
}

void Run(const std::wstring& modulePath, const std::wstring& folder, EntryWriter& out) {
    HMODULE module = LoadLibraryExW(modulePath.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) Check(HRESULT_FROM_WIN32(GetLastError()), L"opening " + modulePath);
    try {
        AddScript(out, module);
    } catch (...) {
        FreeLibrary(module);
        throw;
    }
    FreeLibrary(module);
    AddTypeLib(out, modulePath);

    WriteTextFile(folder + L"\\registry.wxi",
                  out.Document(modulePath.substr(modulePath.find_last_of(L"\\/:") + 1)));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        fwprintf(stderr,
                 L"usage: cgk-regentries <module.dll> <output folder> <file id> "
                 L"<folder property>\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    int status = 0;
    try {
        EntryWriter out(argv[3], argv[4]);
        Run(argv[1], argv[2], out);
        printf("cgk-regentries: %zu registry entries\n", out.Count());
    } catch (const std::exception& e) {
        fprintf(stderr, "cgk-regentries: %s\n", e.what());
        status = 1;
    }
    CoUninitialize();
    return status;
}
