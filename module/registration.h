// Self-registration of the module: its registry script and its type library.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

class CRegistrar;

// The full path of `module` (GetModuleFileNameW into room for MAX_PATH characters). A path that
// fills the room completely may have been cut short: HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER).
// Another failure: the system error as a status.
HRESULT GetModulePath(HMODULE module, std::wstring& path) noexcept;

// `text` with every single quote doubled, to stand inside a quoted registry-script string.
std::wstring DoubleSingleQuotes(std::wstring_view text);

// Adds the replacements that the module's registry script uses: APPID (empty), Module (`path`,
// quotes doubled) and Module_Raw (`path` as it is).
HRESULT AddModuleReplacements(CRegistrar& registrar, const std::wstring& path) noexcept;

// Runs the registry script resource `resourceId` (type "REGISTRY") of `module`, registering or
// unregistering, with the module's replacements for its own path. The script is read from the
// module file opened as a data file.
HRESULT UpdateRegistryFromResource(HMODULE module, UINT resourceId, bool doRegister) noexcept;

// Registers the module's type library (its first TYPELIB resource) machine-wide, with the help
// directory of the library's help file when it names one.
HRESULT RegisterModuleTypeLib(HMODULE module) noexcept;
// Removes that registration again (by the library's id, version, locale and system kind).
HRESULT UnRegisterModuleTypeLib(HMODULE module) noexcept;
