// A run of the console host against one repository: the repository file, the in-memory
// repository rebuilt from it, and the key module.
#pragma once

#include <memory>
#include <string>

#include "keymodule.h"
#include "refhost.h"
#include "repofile.h"

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

// Writes a line about the host's own steps to standard error when tracing is on.
void HostTrace(const std::wstring& text);
void SetHostTrace(bool on);

class Session {
  public:
    // Checks that the key module is registered and loads it, then opens the repository file
    // and rebuilds the repository from it. Throws Failure.
    explicit Session(const std::wstring& repositoryPath);

    RefHost::Repository& Repository() { return *m_repository; }
    RepositoryFile& File() { return m_file; }

    // A new key object over a new host object (not committed yet).
    KeyObject NewKey();
    // The committed key `id`, over a new host object loaded from the repository. Throws
    // Failure (kExitRefused) when there is no such object or it is not a key.
    KeyObject OpenKey(long id, const std::wstring& command);
    // Commits the key as the platform's host does: PrepareForCommit, store in the repository,
    // AfterCommit; then keeps the object as the plug-in left it (its change journals handed over)
    // and writes the repository file. Throws Failure naming `command` when a step fails; the file
    // is written only when the plug-in prepared the commit and the repository stored the object.
    void Commit(const KeyObject& key, const std::wstring& command);

  private:
    KeyModule m_module;
    RepositoryFile m_file;
    std::shared_ptr<RefHost::Repository> m_repository;
};

}  // namespace KeyTool
