// The registrar's script corpus (corpus.txt, REGISTRAR_CORPUS): the scripts run through both
// registrars by the differential test and the seeds of the mutation test, the cases of our
// registrar alone, and the scripts every run must refuse. Each case runs in a fresh sandbox that
// every root key of the script is redirected into.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

struct CorpusCase {
    std::string name;
    std::wstring seed;    // registered (by our registrar) into the sandbox first; may be empty
    std::wstring script;  // the case itself
    std::string phases;   // R = register, U = unregister, in order
    std::vector<HRESULT> ours;  // what our registrar must return for each phase
    std::string differences;    // how the peer's run differs: "same", or kinds of difference
    // A unit case's sandbox after the last phase (DumpRegistryTree).
    std::vector<std::wstring> tree;
};

struct PhaseOutcome {
    bool finished = false;
    HRESULT hr = S_OK;
    std::vector<std::wstring> dump;
};

// The module's registry script, from this executable's resource 101 of type "REGISTRY".
std::wstring ModuleScript();

struct Corpus {
    std::vector<CorpusCase> cases;      // run through both registrars
    std::vector<CorpusCase> units;      // our registrar alone, each with the sandbox it must leave
    std::vector<std::wstring> refused;  // syntax errors however they are run
    // The replacements every case runs with (the module's own three, plus one meant for use
    // outside quotes).
    std::vector<std::pair<std::wstring, std::wstring>> replacements;
};

// Read once; a corpus file that cannot be read or holds a line of no known form fails the test
// that first asks for it.
const Corpus& RegistrarCorpus();

// Registers the case's seed into the sandbox with a registrar of its own.
HRESULT Seed(const CorpusCase& c, HKEY sandbox);
// Runs the case's phases through our registrar, with the corpus's replacements, in a fresh
// sandbox seeded first: each phase's status and the sandbox's dump after it. False when the
// sandbox or the seed failed.
bool RunOurs(const CorpusCase& c, std::vector<PhaseOutcome>& phases);
