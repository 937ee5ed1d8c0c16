// The module's registrar: an interpreter of the registry-script language that DllRegisterServer
// and DllUnregisterServer run over the module's "REGISTRY" resource.
//
// Language, as this interpreter reads it:
// - First every %name% is replaced by the value added with AddReplacement (names compared without
//   regard to case); %% stands for one %. An unknown name or an unclosed % is a syntax error. The
//   value is inserted as plain text, so a value meant to stand inside quotes must have its single
//   quotes doubled by the caller (that is what the "Module" replacement is for).
// - Tokens are separated by white space (space, tab, CR, LF, VT, FF). A token starting with a
//   single quote runs to the closing quote; two single quotes inside stand for one. Otherwise "}"
//   and "=" at the start of a token stand alone, "{" stands alone only as a whole word (so that a
//   class id such as {B6BC...} can be written unquoted), and anything else runs to white space.
// - Keywords are recognised only unquoted: a quoted word is always a name or data.
// - script  := { root "{" entries "}" }          root: HKCR HKCU HKLM HKU HKPD HKDD HKCC or their
//                                                 HKEY_... long forms, without regard to case
//   entries := { key | named-value }
//   key     := [ "ForceRemove" | "NoRemove" | "Delete" ] name [ "=" data ] [ "{" entries "}" ]
//   named-value := "val" name "=" data           (keywords without regard to case)
//   data    := "s" word                           REG_SZ
//            | "m" "{" { word } "}"               REG_MULTI_SZ, one word per string; an empty
//                                                 string is refused (it would end the list)
//            | "d" word                           REG_DWORD: decimal with an optional sign
//                                                 (-2147483648 ... 4294967295) or 0x + hex digits
//                                                 up to 0xFFFFFFFF; anything else is refused
//            | "b" word                           REG_BINARY: pairs of hex digits, '' is empty
//   Type letters are lower case. A key name may hold "\" between non-empty parts; an empty name or
//   an empty part is refused. Keys nest at most kMaxDepth levels deep.
// - The whole script is parsed before anything is written: any syntax error gives
//   DISP_E_EXCEPTION and leaves the registry untouched.
//
// Applying it:
// - Register: keys are created and values set in script order. ForceRemove deletes the key with
//   its whole subtree first, then creates it anew; Delete deletes the subtree and creates nothing.
// - Unregister: depth first, the named values the script names are deleted, then each key that has
//   no subkeys left, except keys flagged NoRemove (their children are still processed) and the
//   well-known keys directly below a root (CLSID, TypeLib, Software, ...; see IsNeverDeleted),
//   which are never deleted - by ForceRemove and Delete neither. Delete entries are skipped.
// - A registry failure ends the operation and is returned as HRESULT_FROM_WIN32; what was written
//   before it stays.
#pragma once

#include <windows.h>

#include <cassert>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Owner of one open registry key; closes it when destroyed.
class UniqueHKey {
  public:
    UniqueHKey() = default;
    explicit UniqueHKey(HKEY key) noexcept : m_key(key) {}
    ~UniqueHKey() { reset(); }
    UniqueHKey(const UniqueHKey&) = delete;
    UniqueHKey& operator=(const UniqueHKey&) = delete;
    UniqueHKey(UniqueHKey&& other) noexcept : m_key(std::exchange(other.m_key, nullptr)) {}
    UniqueHKey& operator=(UniqueHKey&& other) noexcept {
        if (this != &other) {
            reset();
            m_key = std::exchange(other.m_key, nullptr);
        }
        return *this;
    }

    HKEY get() const noexcept { return m_key; }
    explicit operator bool() const noexcept { return m_key != nullptr; }
    void reset() noexcept {
        if (m_key) RegCloseKey(m_key);
        m_key = nullptr;
    }
    // For an out-parameter. The owner should be empty (reusing a full owner is a bug, asserted in
    // debug builds); a key it still holds is closed rather than leaked.
    HKEY* put() noexcept {
        assert(m_key == nullptr);
        reset();
        return &m_key;
    }

  private:
    HKEY m_key = nullptr;
};

enum class RegKeyFlag { None, ForceRemove, NoRemove, Delete };

// The type and raw bytes of one registry value, as RegSetValueEx takes them.
struct RegScriptData {
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

// One entry of a parsed script: a key with its children, or a named value ("val").
struct RegScriptEntry {
    bool isValue = false;
    RegKeyFlag flag = RegKeyFlag::None;  // keys only
    std::wstring name;
    std::optional<RegScriptData> data;     // a key's default value, or the named value's data
    std::vector<RegScriptEntry> children;  // keys only
};

struct RegScriptRoot {
    HKEY key = nullptr;  // a predefined key such as HKEY_CLASSES_ROOT
    std::vector<RegScriptEntry> entries;
};

struct RegScript {
    std::vector<RegScriptRoot> roots;
};

class CRegistrar {
  public:
    static constexpr size_t kMaxDepth = 512;

    // Adds or overwrites a replacement; E_POINTER for a null argument, E_INVALIDARG for an empty
    // name or one holding '%', E_OUTOFMEMORY.
    HRESULT AddReplacement(const wchar_t* name, const wchar_t* value) noexcept;
    void ClearReplacements() noexcept { m_replacements.clear(); }

    HRESULT StringRegister(const wchar_t* script) noexcept;
    HRESULT StringUnregister(const wchar_t* script) noexcept;

    // Runs the resource `id` of type "REGISTRY" of `module` (single-byte text in the thread's code
    // page). A missing resource gives the operating system's error.
    HRESULT ResourceRegister(HMODULE module, UINT id, bool doRegister) noexcept;
    // Reads that resource's script text without running it.
    static HRESULT LoadScriptResource(HMODULE module, UINT id, std::wstring& script) noexcept;

    // Replacement, tokenising and parsing only: S_OK, DISP_E_EXCEPTION for a syntax error,
    // E_POINTER, E_OUTOFMEMORY. `tree` (optional) receives the parsed script.
    HRESULT Parse(const wchar_t* script, RegScript* tree = nullptr) const noexcept;

    // For tests: every key the script places below the predefined key `root` goes below `target`
    // instead. `target` is borrowed: it must stay open while the registrar is used.
    // E_INVALIDARG when `root` is not one of the script's root keys or `target` is null.
    HRESULT RemapRoot(HKEY root, HKEY target) noexcept;
    HRESULT RemapAllRoots(HKEY target) noexcept;

    // True for the keys that are never deleted when they sit directly below a root key.
    static bool IsNeverDeleted(std::wstring_view name) noexcept;

  private:
    HRESULT Run(const wchar_t* script, bool doRegister) noexcept;
    HKEY RootFor(HKEY predefined) const noexcept;

    std::vector<std::pair<std::wstring, std::wstring>> m_replacements;
    std::vector<std::pair<HKEY, HKEY>> m_rootMap;
};
