// The module's registrar against the platform's own registrar (the peer), script by script: the
// peer runs in a driver process of its own (some malformed scripts make it loop forever), ours in
// this one, each in a fresh sandbox; the results and the sandboxes' contents are compared. Where
// the two differ on purpose, the corpus lists the difference with the case: a listed difference
// that no longer occurs fails the test as much as an unlisted one.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "corpus.h"
#include "registrar.h"
#include "registry_dump.h"
#include "support/hresult_checks.h"

namespace {

// The driver reports a call of the peer that does not return as hung; the process as a whole gets
// this long (starting Wine processes on a busy machine can be slow) before it counts as hung too.
constexpr DWORD kProcessLimitMs = 60000;
constexpr size_t kParallelPeers = 4;

struct Outcome {
    std::vector<PhaseOutcome> phases;
    bool hung = false;
    std::string error;  // the run itself failed (not a difference)
};

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::wstring TempDir() {
    wchar_t path[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, path);
    return std::wstring(path, length);
}

std::wstring DriverPath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring self(path, length);
    return self.substr(0, self.find_last_of(L"\\/") + 1) + L"registrar_peer_driver.exe";
}

// One argument of a command line, quoted the way the C runtime splits it again.
std::wstring QuoteArgument(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

// "begin R" / "result 0x..." / dump lines / "end", per phase; "hung" after a "begin" when the
// call did not return.
Outcome ParseDriverOutput(const std::wstring& text) {
    Outcome outcome;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(L'\n', pos);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.rfind(L"begin ", 0) == 0) {
            outcome.phases.emplace_back();
        } else if (line.rfind(L"error ", 0) == 0) {
            outcome.error = "driver: " + ToUtf8(line);
        } else if (outcome.phases.empty()) {
            outcome.error = "unexpected driver output: " + ToUtf8(line);
        } else if (line == L"hung") {
            outcome.hung = true;
        } else if (line.rfind(L"result ", 0) == 0) {
            outcome.phases.back().hr = static_cast<HRESULT>(wcstoul(line.c_str() + 7, nullptr, 16));
        } else if (line == L"end") {
            outcome.phases.back().finished = true;
        } else {
            outcome.phases.back().dump.push_back(line);
        }
    }
    return outcome;
}

// One case run through the peer in a driver process.
class PeerRun {
  public:
    explicit PeerRun(const CorpusCase& c)
        : m_case(c),
          m_sandbox(L"Peer\\" + Widen(c.name)),
          m_outPath(TempDir() + L"cgk-registrar-" + Widen(c.name) + L".out"),
          m_scriptPath(TempDir() + L"cgk-registrar-" + Widen(c.name) + L".rgs") {}

    ~PeerRun() {
        if (m_process) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, INFINITE);
            CloseHandle(m_process);
        }
        DeleteFileW(m_outPath.c_str());
        DeleteFileW(m_scriptPath.c_str());
    }

    void Start() {
        if (!m_sandbox.key()) return Fail("no sandbox");
        if (FAILED(Seed(m_case, m_sandbox.key()))) return Fail("seed failed");
        if (!WriteUtf8File(m_scriptPath, m_case.script)) return Fail("cannot write the script");
        std::wstring command = QuoteArgument(DriverPath()) + L" " + QuoteArgument(m_outPath) +
                               L" " + QuoteArgument(m_sandbox.path()) + L" " +
                               QuoteArgument(m_scriptPath) + L" " + Widen(m_case.phases);
        for (const auto& [name, value] : RegistrarCorpus().replacements) {
            command += L" " + QuoteArgument(name + L"=" + value);
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process)) {
            return Fail("cannot start the driver");
        }
        CloseHandle(process.hThread);
        m_process = process.hProcess;
    }

    // Waits for the driver to end and reads what it wrote.
    void Finish() {
        if (!m_process) return;
        const bool ended = WaitForSingleObject(m_process, kProcessLimitMs) == WAIT_OBJECT_0;
        DWORD code = 0;
        if (!ended) TerminateProcess(m_process, 1);
        WaitForSingleObject(m_process, INFINITE);
        GetExitCodeProcess(m_process, &code);
        CloseHandle(m_process);
        m_process = nullptr;
        const std::string error = m_outcome.error;
        m_outcome = ParseDriverOutput(ReadUtf8File(m_outPath));
        m_outcome.hung = m_outcome.hung || !ended;
        if (m_outcome.error.empty()) m_outcome.error = error;
        if (ended && code != 0 && m_outcome.error.empty()) {
            m_outcome.error = "driver exit code " + std::to_string(code);
        }
    }

    const Outcome& outcome() const { return m_outcome; }

  private:
    void Fail(const char* what) { m_outcome.error = what; }

    const CorpusCase& m_case;
    RegistrySandbox m_sandbox;
    std::wstring m_outPath, m_scriptPath;
    HANDLE m_process = nullptr;
    Outcome m_outcome;
};

// How the two runs differ, as the corpus writes it: "same", or the kinds in this order: "result"
// (a phase returned another status, or phases were lost), "tree" (the registry differs after a
// phase), "peer-hangs" (the peer never returned and was killed after a time-out). `log` gets a
// description for the failure message.
std::string Compare(const CorpusCase& c, const Outcome& ours, const Outcome& peer,
                    std::wstring& log) {
    bool result = !peer.hung && peer.phases.size() != c.phases.size(), tree = false;
    for (size_t i = 0; i < c.phases.size() && i < peer.phases.size(); ++i) {
        const PhaseOutcome& a = ours.phases[i];
        const PhaseOutcome& b = peer.phases[i];
        if (!b.finished) break;
        log += L"phase " + std::to_wstring(i) + L" " + wchar_t(c.phases[i]) + L": ours " +
               Widen(HrText(a.hr)) + L", peer " + Widen(HrText(b.hr)) + L"\n";
        result = result || a.hr != b.hr;
        if (a.dump != b.dump) {
            tree = true;
            log += L"-- ours:\n" + JoinLines(a.dump) + L"-- peer:\n" + JoinLines(b.dump);
        }
    }
    const std::string kinds = std::string(result ? " result" : "") + (tree ? " tree" : "") +
                              (peer.hung ? " peer-hangs" : "");
    return kinds.empty() ? "same" : kinds.substr(1);
}

TEST(RegistrarDifferential, AgreesWithThePeerExceptForTheKnownDifferences) {
    const std::vector<CorpusCase>& corpus = RegistrarCorpus().cases;
    ASSERT_FALSE(corpus.empty());

    // The peer runs a few cases at a time in driver processes.
    std::vector<std::unique_ptr<PeerRun>> peers;
    for (size_t next = 0, done = 0; done < corpus.size(); ++done) {
        while (next < corpus.size() && next - done < kParallelPeers) {
            peers.push_back(std::make_unique<PeerRun>(corpus[next++]));
            peers.back()->Start();
        }
        peers[done]->Finish();
    }

    for (size_t i = 0; i < corpus.size(); ++i) {
        const CorpusCase& c = corpus[i];
        SCOPED_TRACE(c.name);
        const Outcome& peer = peers[i]->outcome();
        ASSERT_TRUE(peer.error.empty()) << peer.error;
        Outcome ours;
        ASSERT_TRUE(RunOurs(c, ours.phases)) << "sandbox or seed failed";
        ASSERT_EQ(c.ours.size(), c.phases.size());
        for (size_t p = 0; p < c.phases.size(); ++p) {
            EXPECT_HR(c.ours[p], ours.phases[p].hr) << "our phase " << p;
        }

        std::wstring log;
        const std::string kinds = Compare(c, ours, peer, log);
        EXPECT_EQ(c.differences, kinds) << ToUtf8(log);
    }
}

}  // namespace
