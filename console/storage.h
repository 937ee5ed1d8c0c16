// Files beside the repository: reading a whole file, creating files that only the current user
// can open, and replacing a file so that a crash at any moment leaves either the old or the new
// contents.
#pragma once

#include <windows.h>

#include <string>

namespace KeyTool {

// The full path of path (relative to the current folder).
std::wstring FullPath(const std::wstring& path);
bool PathExists(const std::wstring& path);

// The whole file; throws Failure (kExitRepository) when it cannot be read or is larger than
// maxBytes.
std::string ReadWholeFile(const std::wstring& path, size_t maxBytes);

// Up to `count` bytes from the start of the file; empty when it cannot be read.
std::string ReadFileStart(const std::wstring& path, size_t count);

// Creates path, when there is none, with a security descriptor that grants access to the current
// user only (under Wine: no permission bits for group and others). An existing file is left as
// it is. Throws Failure (kExitRepository) when it cannot be created.
void CreateOwnerOnlyFile(const std::wstring& path);

// Replaces path with bytes: writes "<path>.tmp" (owner-only) in the same folder, flushes it to
// the disk, then moves it over path (MoveFileExW with MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH). On a failure the temporary file is removed, path is left as it was,
// and Failure (kExitRepository) is thrown.
void WriteFileAtomically(const std::wstring& path, const std::string& bytes);

}  // namespace KeyTool
