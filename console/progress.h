// Progress of work that goes through many keys or a large file, shown on standard error while it
// runs when standard error is a terminal (never when it is redirected to a file or a pipe).
#pragma once

#include <windows.h>

#include <string>

namespace KeyTool {

class Progress {
  public:
    // `what` names what is counted ("keys", "objects"); `total` is how many there will be, 0
    // when that is not known. Nothing is shown for work that ends within the first second.
    Progress(std::wstring what, unsigned long long total);
    ~Progress();  // clears the line
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // `done` of the total are done; `bytes`/`totalBytes`, when given, how far a file was read.
    void Update(unsigned long long done, unsigned long long bytes = 0,
                unsigned long long totalBytes = 0);
    // Clears the line (before other output).
    void Clear();

  private:
    bool m_enabled;
    std::wstring m_what;
    unsigned long long m_total;
    ULONGLONG m_start;
    ULONGLONG m_last = 0;
    size_t m_shown = 0;  // characters on the line now
};

}  // namespace KeyTool
