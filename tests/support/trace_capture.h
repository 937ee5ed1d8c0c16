// Captures the logger's lines and the reported assertions for the life of a test.
#pragma once

#include <initializer_list>
#include <mutex>
#include <vector>

#include "zentil500.h"

class TraceCapture {
public:
    static constexpr int kAssertionKind = 1;

    TraceCapture() {
        TracingOff();
        Zentil500::SLogger::SetSink([this](const Zentil500::STraceRecord& r) {
            if (r.kind == kAssertionKind) return;  // assertions are captured on their own below
            std::lock_guard<std::mutex> lock(m_mutex);
            lines.push_back(Line{r.level, r.file ? r.file : "", r.line, r.kind, r.text});
        });
        Zentil500::SetAssertSink([this](const Zentil500::SAssertRecord& r) {
            std::lock_guard<std::mutex> lock(m_mutex);
            asserts.push_back(r);
        });
        Zentil500::SetAssertEnabled(true);
        Zentil500::SetTraceCounting(true);
    }
    ~TraceCapture() {
        Zentil500::SetTraceCounting(false);
        TracingOff();
        Zentil500::SLogger::SetSink(nullptr);
        Zentil500::SetAssertSink(nullptr);
        Zentil500::SetAssertEnabled(true);
    }

    void TracingOff() { Zentil500::SLogger::Configure(Zentil500::SLoggerConfig{}); }
    void TraceAll() { TraceLevels({0, 14}); }
    void TraceLevels(std::initializer_list<int> levels) {
        Zentil500::SLoggerConfig config;
        config.levels.assign(32, false);
        for (int level : levels) config.levels[level] = true;
        config.output = L"NUL";  // lines reach the sink; the device discards them
        Zentil500::SLogger::Configure(config);
    }

    struct Line {
        int level;
        std::string file;
        int line;
        int kind;
        std::wstring text;
    };
    std::vector<Line> lines;
    std::vector<Zentil500::SAssertRecord> asserts;

private:
    std::mutex m_mutex;
};
