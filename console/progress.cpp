// Progress on the terminal.
#include "progress.h"

#include <cwchar>

#include "text.h"

namespace KeyTool {

namespace {

constexpr ULONGLONG kFirstShowMs = 1000;  // "more than a moment"
constexpr ULONGLONG kIntervalMs = 250;

}  // namespace

Progress::Progress(std::wstring what, unsigned long long total)
    : m_enabled(ErrIsTerminal()),
      m_what(std::move(what)),
      m_total(total),
      m_start(GetTickCount64()) {}

Progress::~Progress() {
    Clear();
}

void Progress::Update(unsigned long long done, unsigned long long bytes,
                      unsigned long long totalBytes) {
    if (!m_enabled) return;
    const ULONGLONG now = GetTickCount64();
    if (now - m_start < kFirstShowMs || now - m_last < kIntervalMs) return;
    m_last = now;
    const double seconds = (now - m_start) / 1000.0;
    std::wstring line = Grouped(done);
    if (m_total > 0) line += L" of " + Grouped(m_total);
    line += L" " + m_what;
    if (totalBytes > 0) {
        wchar_t read[64];
        swprintf(read, 64, L" (%.0f of %.0f MB read)", bytes / 1048576.0, totalBytes / 1048576.0);
        line += read;
    }
    line += L", " + Grouped(static_cast<unsigned long long>(done / seconds)) + L"/s";
    if (m_total > 0 && done > 0 && done < m_total) {
        const double left = seconds * (m_total - done) / done;
        line += L", about " + Grouped(static_cast<unsigned long long>(left + 0.5)) + L" s left";
    }
    const size_t length = line.size();
    if (length < m_shown) line += std::wstring(m_shown - length, L' ');
    Err(L"\r" + line);
    m_shown = length;
}

void Progress::Clear() {
    if (!m_enabled || m_shown == 0) return;
    Err(L"\r" + std::wstring(m_shown, L' ') + L"\r");
    m_shown = 0;
}

}  // namespace KeyTool
