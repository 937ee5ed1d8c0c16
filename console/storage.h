// Files beside the repository: reading a whole file, creating files that only the current user
// can open, and replacing a file so that a crash at any moment leaves either the old or the new
// contents.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace KeyTool {

// The full path of path (relative to the current folder).
std::wstring FullPath(const std::wstring& path);
bool PathExists(const std::wstring& path);

// Up to `count` bytes from the start of the file; empty when it cannot be read.
std::string ReadFileStart(const std::wstring& path, size_t count);

// Creates path, when there is none, with a security descriptor that grants access to the current
// user only (under Wine: no permission bits for group and others). An existing file is left as
// it is. Throws Failure (kExitRepository) when it cannot be created.
void CreateOwnerOnlyFile(const std::wstring& path);

// A file read from the start in pieces.
class InputFile {
  public:
    // Throws Failure (kExitRepository) when it cannot be opened.
    explicit InputFile(const std::wstring& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    unsigned long long Size() const noexcept { return m_size; }
    // Up to `size` bytes; 0 at the end. Throws Failure (kExitRepository) when it cannot be read.
    size_t Read(char* buffer, size_t size);

  private:
    std::wstring m_path;
    HANDLE m_handle;
    unsigned long long m_size = 0;
};

// A file written in pieces that replaces `path` only once it is complete: the pieces go to
// "<path>.tmp" (created owner-only in the same folder), and Commit flushes it to the disk and
// moves it over path (MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH), so
// that a crash at any moment leaves either the old or the new contents. Without Commit (a
// failure on the way) the temporary file is removed and path is left as it was.
class ReplacementFile {
  public:
    // Throws Failure (kExitRepository) when the temporary file cannot be created.
    explicit ReplacementFile(std::wstring path);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Throws Failure (kExitRepository) when the bytes cannot be written (the disk is full).
    void Write(std::string_view bytes);
    // Throws Failure (kExitRepository); the temporary file is removed then.
    void Commit();

  private:
    [[noreturn]] void Failed(const std::wstring& what, DWORD error);
    std::wstring m_path, m_temporary;
    HANDLE m_handle;
};

}  // namespace KeyTool
