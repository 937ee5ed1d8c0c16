#include "corpus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "registrar.h"
#include "registry_dump.h"

namespace {

// \r \n \t and \s stand for carriage return, line feed, tab and space; any other backslash is
// itself. The file is ASCII.
std::wstring Unescape(const std::string& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char* escape = i + 1 < text.size() && text[i] == '\\' && text[i + 1] != '\0'
                                 ? std::strchr("rnts", text[i + 1])
                                 : nullptr;
        if (escape) {
            out += L"\r\n\t "[escape - "rnts"];
            ++i;
        } else {
            out += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
        }
    }
    return out;
}

HRESULT Status(const std::string& word) {
    if (word == "S_OK") return S_OK;
    if (word == "DISP_E_EXCEPTION") return DISP_E_EXCEPTION;
    return static_cast<HRESULT>(std::stoul(word, nullptr, 16));
}

// "case <name> | <phases> | <statuses> | <differences>", "unit <name> | <phases> | <statuses>",
// then "seed: ", "script: " and (for a unit case) "tree: " lines; "refused: ", "replacement: ".
Corpus ReadCorpus() {
    Corpus corpus;
    std::vector<CorpusCase>* cases = &corpus.cases;
    std::ifstream file(REGISTRAR_CORPUS);
    if (!file) ADD_FAILURE() << "cannot read the corpus file";
    std::string line;
    while (std::getline(file, line)) {
        const auto take = [&](const char* prefix) {
            const bool match = line.rfind(prefix, 0) == 0;
            if (match) line.erase(0, std::strlen(prefix));
            return match;
        };
        if (line.empty() || line[0] == '#') continue;
        const bool unit = line.rfind("unit ", 0) == 0;
        if (take("case ") || take("unit ")) {
            std::vector<std::string> fields;
            for (size_t start = 0, end = 0; end != std::string::npos; start = end + 3) {
                end = line.find(" | ", start);
                fields.push_back(line.substr(start, end - start));
            }
            if (fields.size() != (unit ? 3u : 4u)) ADD_FAILURE() << "fields missing: " << line;
            fields.resize(4);
            CorpusCase c{fields[0], L"", L"", fields[1], {}, fields[3]};
            std::istringstream statuses(fields[2]);
            for (std::string word; statuses >> word;) c.ours.push_back(Status(word));
            cases = unit ? &corpus.units : &corpus.cases;
            cases->push_back(std::move(c));
        } else if (!cases->empty() && take("seed: ")) {
            cases->back().seed = Unescape(line);
        } else if (!cases->empty() && take("script: ")) {
            cases->back().script = line == "@module" ? ModuleScript() : Unescape(line);
        } else if (!cases->empty() && take("tree: ")) {
            cases->back().tree.push_back(std::wstring(line.begin(), line.end()));
        } else if (take("refused: ")) {
            corpus.refused.push_back(Unescape(line));
        } else if (take("replacement: ")) {
            const size_t space = std::min(line.find(' '), line.size());
            corpus.replacements.emplace_back(
                Unescape(line.substr(0, space)),
                Unescape(line.substr(std::min(space + 1, line.size()))));
        } else {
            ADD_FAILURE() << "a corpus line of no known form: " << line;
        }
    }
    return corpus;
}

}  // namespace

std::wstring ModuleScript() {
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(101), L"REGISTRY");
    if (!resource) return L"<no resource>";
    const HGLOBAL loaded = LoadResource(nullptr, resource);
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    const int size = static_cast<int>(SizeofResource(nullptr, resource));
    std::wstring text(static_cast<size_t>(size), L'\0');
    text.resize(
        static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, bytes, size, text.data(), size)));
    return text;
}

const Corpus& RegistrarCorpus() {
    static const Corpus corpus = ReadCorpus();
    return corpus;
}

HRESULT Seed(const CorpusCase& c, HKEY sandbox) {
    if (c.seed.empty()) return S_OK;
    CRegistrar registrar;
    registrar.RemapAllRoots(sandbox);
    return registrar.StringRegister(c.seed.c_str());
}

bool RunOurs(const CorpusCase& c, std::vector<PhaseOutcome>& phases) {
    RegistrySandbox sandbox(L"Ours\\" + std::wstring(c.name.begin(), c.name.end()));
    if (!sandbox.key() || FAILED(Seed(c, sandbox.key()))) return false;
    CRegistrar registrar;
    registrar.RemapAllRoots(sandbox.key());
    for (const auto& [name, value] : RegistrarCorpus().replacements) {
        registrar.AddReplacement(name.c_str(), value.c_str());
    }
    for (const char phase : c.phases) {
        const HRESULT hr = phase == 'R' ? registrar.StringRegister(c.script.c_str())
                                        : registrar.StringUnregister(c.script.c_str());
        phases.push_back({true, hr, DumpRegistryTree(sandbox.key())});
    }
    return true;
}
