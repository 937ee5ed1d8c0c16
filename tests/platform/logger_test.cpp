// Logger: settings, gates, line texts, file output, counters; assertions.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "zentil500.h"

using namespace Zentil500;

namespace {

constexpr const char* kKeyFile = "C:\\src\\key\\CCryptoGraphicKey.cpp";
constexpr const char* kLayerFile = "/src/export/iface/sdk/common/PublicationInfo.h";

std::wstring TempPath(const wchar_t* name) {
    wchar_t dir[MAX_PATH];
    ::GetTempPathW(MAX_PATH, dir);
    std::wstring path = std::wstring(dir) + name;
    ::DeleteFileW(path.c_str());
    return path;
}

std::string ReadFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs body with the CRT's stderr sent to a file; returns what was written.
template <typename Body>
std::string CaptureStderr(Body body) {
    const std::wstring path = TempPath(L"zentil_stderr.txt");
    std::fflush(stderr);
    const int saved = _dup(2);
    const int fd = _wopen(path.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, 0600);
    _dup2(fd, 2);
    body();
    std::fflush(stderr);
    _dup2(saved, 2);
    _close(saved);
    _close(fd);
    const std::string text = ReadFile(path);
    ::DeleteFileW(path.c_str());
    return text;
}

// Each test starts and ends with tracing off and no sinks; lines it writes land in `records`.
class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SLogger::Configure(SLoggerConfig{});
        SLogger::SetSink([this](const STraceRecord& record) { records.push_back(record); });
    }
    void TearDown() override {
        SLogger::SetSink(nullptr);
        SetAssertSink(nullptr);
        SetAssertEnabled(true);
        for (const char* name : {"ZENTIL_TRACE", "ZENTIL_TRACE_FILES", "ZENTIL_TRACE_OUTPUT"}) {
            ::SetEnvironmentVariableA(name, nullptr);
        }
        SLogger::Configure(SLoggerConfig{});
    }
    // Lines go to the null device: the sink sees them, the test output stays readable.
    static void Enable(const char* levels, const char* files = nullptr) {
        SLoggerConfig config;
        std::string error;
        ASSERT_TRUE(SLogger::ParseSettings(levels, files, "NUL", config, &error)) << error;
        SLogger::Configure(config);
        ASSERT_FALSE(g_traceIsOff);
    }
    std::vector<STraceRecord> records;
};

TEST_F(LoggerTest, SubstitutesEachParameterType) {
    Enable("all");
    STraceObj(14, kKeyFile, 120, 0)(L"IN:\t[X::get_KeyState]\t[%1]\t[%2] [%3] [%4]", L"-", 7,
                                    0x80042A90u, -5L);
    STraceObj(14, kKeyFile, 121, 0)(L"[%1]\t[%2] [%3] [%4]", true, false, SWCharString(L"a\u00e9"),
                                    static_cast<const wchar_t*>(nullptr));
    // A parameter's text is not scanned again; placeholders without parameter stay.
    STraceObj(14, kKeyFile, 122, 0)(L"%1 %2 %3 %% 100%", L"%2", 0x2Au);
    STraceObj(0, kLayerFile, 9, 2)("IPublicationInfo already initialised");

    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].text, L"IN:\t[X::get_KeyState]\t[-]\t[7] [0x80042A90] [-5]");
    EXPECT_EQ(records[0].level, 14);
    EXPECT_STREQ(records[0].file, kKeyFile);
    EXPECT_EQ(records[0].line, 120);
    EXPECT_EQ(records[0].kind, 0);
    EXPECT_EQ(records[1].text, L"[true]\t[false] [a\u00e9] []");
    EXPECT_EQ(records[2].text, L"%2 0x0000002A %3 %% 100%");
    EXPECT_EQ(records[3].text, L"IPublicationInfo already initialised");
    EXPECT_EQ(records[3].kind, 2);
}

TEST_F(LoggerTest, GatesFollowLevelsAndFiles) {
    EXPECT_TRUE(g_traceIsOff);
    EXPECT_FALSE(SLogger::ShouldTrace(3, kKeyFile));
    EXPECT_FALSE(ShouldTrace_slowpath(0, kKeyFile, 1));

    Enable("0,2-14");
    EXPECT_TRUE(SLogger::ShouldTrace(3, kKeyFile));  // the gate does not look at the level
    for (int level : {0, 2, 14}) EXPECT_TRUE(ShouldTrace_slowpath(level, kKeyFile, 1)) << level;
    for (int level : {-1, 1, 15, 32})
        EXPECT_FALSE(ShouldTrace_slowpath(level, kKeyFile, 1)) << level;

    // Names match whole trailing path components, with or without the extension.
    Enable("all", "CCryptoGraphicKey, common/PublicationInfo");
    EXPECT_TRUE(SLogger::ShouldTrace(3, kKeyFile));
    EXPECT_TRUE(ShouldTrace_slowpath(14, kLayerFile, 1));
    EXPECT_TRUE(ShouldTrace_slowpath(14, "C:\\sdk\\COMMON\\PublicationInfo", 1));
    EXPECT_FALSE(SLogger::ShouldTrace(3, "C:\\src\\key\\XCCryptoGraphicKey.cpp"));
    EXPECT_FALSE(SLogger::ShouldTrace(3, "/src/other/PublicationInfo.h"));
    EXPECT_FALSE(ShouldTrace_slowpath(14, nullptr, 1));
}

TEST_F(LoggerTest, MalformedSettingsWarnOnceAndLeaveTracingOff) {
    SLoggerConfig config;
    std::string error;
    for (const char* bad : {"1-x", "32", "5-3", "1,,2", "-1", "1-2-3", "1 2"}) {
        config.output = L"kept";
        EXPECT_FALSE(SLogger::ParseSettings(bad, nullptr, nullptr, config, &error)) << bad;
        EXPECT_NE(error.find("ZENTIL_TRACE=\"" + std::string(bad) + "\""), std::string::npos);
        EXPECT_EQ(config.output, L"kept");
    }
    EXPECT_FALSE(SLogger::ParseSettings("all", "a,,b", nullptr, config, &error));
    EXPECT_NE(error.find("ZENTIL_TRACE_FILES=\"a,,b\""), std::string::npos) << error;

    Enable("all");
    ::SetEnvironmentVariableA("ZENTIL_TRACE", "1-x");
    bool result = true;
    const std::string warning = CaptureStderr([&] { result = SLogger::Initialize(); });
    EXPECT_FALSE(result);
    EXPECT_TRUE(g_traceIsOff);
    EXPECT_NE(warning.find("ZENTIL_TRACE=\"1-x\""), std::string::npos) << warning;
    EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 1) << warning;

    ::SetEnvironmentVariableA("ZENTIL_TRACE", "14");
    ::SetEnvironmentVariableA("ZENTIL_TRACE_OUTPUT", "C:\\no\\such\\folder\\trace.log");
    EXPECT_NE(CaptureStderr([&] { result = SLogger::Initialize(); }).find("ZENTIL_TRACE_OUTPUT"),
              std::string::npos);
    EXPECT_FALSE(result);
    EXPECT_TRUE(g_traceIsOff);
}

TEST_F(LoggerTest, FileOutputFromThreadsKeepsLinesWhole) {
    const std::wstring path = TempPath(L"zentil_threads.log");
    ::SetEnvironmentVariableA("ZENTIL_TRACE", "0,14");
    ::SetEnvironmentVariableA("ZENTIL_TRACE_FILES", "logger_test");
    ::SetEnvironmentVariableW(L"ZENTIL_TRACE_OUTPUT", path.c_str());
    ASSERT_TRUE(SLogger::Initialize());
    EXPECT_FALSE(SLogger::ShouldTrace(3, kKeyFile));
    SLogger::SetSink(nullptr);

    constexpr int kThreads = 4, kLines = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                // Lengths vary so that torn or interleaved writes would show.
                const std::wstring tail(static_cast<size_t>(1 + (i * 37 + t * 11) % 300), L'x');
                STraceObj(14, __FILE__, 100 + t, 0)(L"T%1 line %2 %3", t, i, tail.c_str());
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    STraceObj(0, __FILE__, 5, 1)(L"%1", L"two\r\nlines \u00e9");
    SLogger::Terminate();
    EXPECT_TRUE(g_traceIsOff);

    std::istringstream text(ReadFile(path));
    const std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} +\d+ +14 )"
                           R"(logger_test\.cpp\(10(\d)\): T(\d) line (\d+) (x+)\r)");
    std::vector<int> next(kThreads, 0);
    std::string line;
    for (int i = 0; i < kThreads * kLines && std::getline(text, line); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
        const int t = std::stoi(match[2]), n = std::stoi(match[3]);
        ASSERT_EQ(std::stoi(match[1]), t);
        EXPECT_EQ(n, next[t]++);  // one thread's lines stay in order
        EXPECT_EQ(match[4].length(), static_cast<size_t>(1 + (n * 37 + t * 11) % 300));
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
    // Line breaks inside a value are escaped; text is UTF-8.
    ASSERT_TRUE(std::getline(text, line));
    EXPECT_NE(line.find(" 0 logger_test.cpp(5): two\\r\\nlines \xC3\xA9\r"), std::string::npos);
    EXPECT_FALSE(std::getline(text, line));
    ::DeleteFileW(path.c_str());
}

// A trace point as the tracing code writes it.
void TracePoint(const void* object) {
    if (SLogger::ShouldTrace(3, __FILE__)) {
        SWCharString format(L"IN:\t[Test::Method]\t[");
        SWCharString address;
        StringConvFromInteger(address, reinterpret_cast<std::uint64_t>(object), 16);
        format += address;
        format += L"]\t[%1]\t[%2]";
        if (!g_traceIsOff && ShouldTrace_slowpath(14, __FILE__, __LINE__)) {
            STraceObj(14, __FILE__, __LINE__, 0)(format.c_str(), L"-", 5);
        }
    }
}

TEST_F(LoggerTest, CountersShowWhatATracePointDid) {
    SetTraceCounting(true);
    const STraceCounters& counters = ThreadTraceCounters();
    auto delta = [&, before = counters] {
        return std::vector<unsigned>{
            counters.shouldTrace - before.shouldTrace, counters.slowPath - before.slowPath,
            counters.integerTexts - before.integerTexts, counters.parameters - before.parameters,
            counters.traceObjCalls - before.traceObjCalls};
    };
    TracePoint(this);  // tracing off: the gate only
    EXPECT_EQ(delta(), (std::vector<unsigned>{1, 0, 0, 0, 0}));
    Enable("0");  // format built, level 14 declined by the slow path
    TracePoint(this);
    EXPECT_EQ(delta(), (std::vector<unsigned>{2, 1, 1, 0, 0}));
    Enable("14");
    TracePoint(this);
    EXPECT_EQ(delta(), (std::vector<unsigned>{3, 2, 2, 2, 1}));
    ASSERT_EQ(records.size(), 1u);
    wchar_t address[24];
    std::swprintf(address, 24, L"%llX", reinterpret_cast<unsigned long long>(this));
    EXPECT_EQ(records[0].text, std::wstring(L"IN:\t[Test::Method]\t[") + address + L"]\t[-]\t[5]");

    unsigned otherThread = 0;
    std::thread([&] { otherThread = ThreadTraceCounters().shouldTrace; }).join();
    EXPECT_EQ(otherThread, 0u);

    SetTraceCounting(false);  // switched off, nothing is counted
    TracePoint(this);
    EXPECT_EQ(delta(), (std::vector<unsigned>{3, 2, 2, 2, 1}));
}

TEST_F(LoggerTest, AssertionsReportAndReturn) {
    std::vector<SAssertRecord> asserts;
    SetAssertSink([&](const SAssertRecord& record) { asserts.push_back(record); });
    SetAssertEnabled(false);
    EXPECT_FALSE(ShouldAssert());
    SetAssertEnabled(true);
    EXPECT_TRUE(ShouldAssert());

    // Tracing off: the sink hears every form, no line is written.
    SAssert(kKeyFile, 10, "this->m_pInfoObject");
    SAssert(kKeyFile, 11, "false", "Invalid pointer pType");
    SAssert(kKeyFile, 12, "m_ObjectLocale!=0", L"class CCryptoGraphicKey");
    ASSERT_EQ(asserts.size(), 3u);
    EXPECT_EQ(asserts[0].file, kKeyFile);
    EXPECT_EQ(asserts[0].line, 10);
    EXPECT_EQ(asserts[0].expression, "this->m_pInfoObject");
    EXPECT_EQ(asserts[0].message, L"");
    EXPECT_EQ(asserts[1].message, L"Invalid pointer pType");
    EXPECT_EQ(asserts[2].message, L"class CCryptoGraphicKey");
    EXPECT_TRUE(records.empty());

    // Written like a warning: level 0 on and the file admitted.
    Enable("0");
    SAssert(kKeyFile, 21, "false", "Invalid pointer pv");
    Enable("14");
    SAssert(kKeyFile, 22, "x");
    Enable("0", "OtherFile");
    SAssert(kKeyFile, 23, "x");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, L"ASSERT failed: false: Invalid pointer pv");
    EXPECT_EQ(records[0].level, 0);
    EXPECT_EQ(records[0].kind, 1);
    EXPECT_EQ(records[0].line, 21);
    EXPECT_EQ(asserts.size(), 6u);
}

}  // namespace
