// Files of the repository: the lock that keeps two programs from working on one repository at
// once, reading a whole file, and replacing a file so that a crash at any moment leaves either
// the old or the new contents.
#pragma once

#include <windows.h>

#include <string>

namespace KeyTool {

// "<path>.lock", held open without sharing for as long as the object lives and deleted when it
// is closed (also when the process is killed). Waits up to timeoutMs for another holder; throws
// Failure (kExitRepository) when the lock cannot be had.
class FileLock {
  public:
    FileLock(const std::wstring& path, DWORD timeoutMs);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

  private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// The full path of path (relative to the current folder).
std::wstring FullPath(const std::wstring& path);
bool PathExists(const std::wstring& path);

// The whole file; throws Failure (kExitRepository) when it cannot be read or is larger than
// maxBytes.
std::string ReadWholeFile(const std::wstring& path, size_t maxBytes);

// Replaces path with bytes: writes "<path>.tmp" in the same folder, flushes it to the disk, then
// moves it over path (MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH). On a
// failure the temporary file is removed, path is left as it was, and Failure (kExitRepository)
// is thrown.
//
// Test hook: the environment variable KEYTOOL_TEST_HOOK makes the process end abruptly inside
// the write, as a crash or a kill would: "crash-mid-write" after half of the temporary file,
// "crash-before-replace" after the flush, "crash-after-replace" after the move; "slow-write"
// writes in small pieces with pauses, so that a test can kill the process during a write.
void WriteFileAtomically(const std::wstring& path, const std::string& bytes);

}  // namespace KeyTool
