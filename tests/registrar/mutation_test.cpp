// Random damage to the corpus scripts, fed to the parser: whatever the input, it must answer
// S_OK or DISP_E_EXCEPTION - never crash, hang or report anything else. Some of the scripts that
// parse are also registered and unregistered in a sandbox. Fixed seed, bounded run.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "corpus.h"
#include "registrar.h"
#include "registry_dump.h"
#include "support/hresult_checks.h"

namespace {

constexpr int kIterations = 4000;
constexpr unsigned kSeed = 0x5EED2024;
constexpr int kApplyEvery = 4;  // of the accepted scripts

// What applying a script that parsed may give: success or a registry failure.
bool IsApplyResult(HRESULT hr) {
    return hr == S_OK || HRESULT_FACILITY(hr) == FACILITY_WIN32;
}

class Mutator {
  public:
    explicit Mutator(unsigned seed) : m_random(seed) {}

    std::wstring Mutate(std::wstring text) {
        const int count = 1 + Below(4);
        for (int i = 0; i < count; ++i) {
            if (Below(2) == 0) {
                MutateCharacters(text);
            } else {
                MutateTokens(text);
            }
        }
        return text;
    }

  private:
    int Below(size_t limit) {
        return static_cast<int>(std::uniform_int_distribution<size_t>(0, limit - 1)(m_random));
    }

    void MutateCharacters(std::wstring& text) {
        static const wchar_t kInserted[] = L"'{}%=\\ \n\tax0-9sdbm";
        const size_t pos = text.empty() ? 0 : static_cast<size_t>(Below(text.size()));
        switch (Below(4)) {
            case 0:
                if (!text.empty()) text.erase(pos, 1);
                break;
            case 1:
                text.insert(text.begin() + pos, kInserted[Below(wcslen(kInserted))]);
                break;
            case 2:
                if (!text.empty()) text.insert(text.begin() + pos, text[pos]);
                break;
            default:
                if (pos + 1 < text.size()) std::swap(text[pos], text[pos + 1]);
                break;
        }
    }

    // Works on white-space separated words (quoted strings may be cut: that is damage too).
    void MutateTokens(std::wstring& text) {
        static const wchar_t* const kTokens[] = {
            L"{",   L"}",        L"=",           L"'",      L"''",   L"%",  L"%%",
            L"val", L"NoRemove", L"ForceRemove", L"Delete", L"s",    L"m",  L"d",
            L"b",   L"HKCU",     L"%MODULE%",    L"'x'",    L"0x1F", L"-1", L"m { 'a' }"};
        std::vector<std::wstring> words;
        for (size_t pos = 0; pos < text.size();) {
            const size_t start = text.find_first_not_of(L" \t\r\n", pos);
            if (start == std::wstring::npos) break;
            const size_t end = std::min(text.find_first_of(L" \t\r\n", start), text.size());
            words.push_back(text.substr(start, end - start));
            pos = end;
        }
        const size_t pos = words.empty() ? 0 : static_cast<size_t>(Below(words.size()));
        switch (Below(4)) {
            case 0:
                if (!words.empty()) words.erase(words.begin() + pos);
                break;
            case 1:
                words.insert(words.begin() + pos, kTokens[Below(std::size(kTokens))]);
                break;
            case 2:
                if (!words.empty()) words.insert(words.begin() + pos, words[pos]);
                break;
            default:
                if (words.size() >= 2) {
                    std::swap(words[pos], words[static_cast<size_t>(Below(words.size()))]);
                }
                break;
        }
        text.clear();
        for (const std::wstring& word : words) text += word + L" ";
    }

    std::mt19937 m_random;
};

TEST(RegistrarMutation, DamagedScriptsParseOrGiveTheSyntaxError) {
    RegistrySandbox sandbox(L"Mutation");
    ASSERT_NE(nullptr, sandbox.key());
    CRegistrar registrar;
    ASSERT_HR(S_OK, registrar.RemapAllRoots(sandbox.key()));
    for (const auto& [name, value] : RegistrarCorpus().replacements) {
        ASSERT_HR(S_OK, registrar.AddReplacement(name.c_str(), value.c_str()));
    }
    std::vector<std::wstring> seeds;
    for (const CorpusCase& c : RegistrarCorpus().cases) {
        seeds.push_back(c.script);
        if (!c.seed.empty()) seeds.push_back(c.seed);
    }

    Mutator mutator(kSeed);
    int accepted = 0, refused = 0;
    for (int i = 0; i < kIterations; ++i) {
        const std::wstring script = mutator.Mutate(seeds[static_cast<size_t>(i) % seeds.size()]);
        RegScript tree;
        const HRESULT hr = registrar.Parse(script.c_str(), &tree);
        if (hr == S_OK) {
            if (++accepted % kApplyEvery == 0) {
                const HRESULT registered = registrar.StringRegister(script.c_str());
                EXPECT_TRUE(IsApplyResult(registered))
                    << "iteration " << i << ": " << HrText(registered);
                const HRESULT unregistered = registrar.StringUnregister(script.c_str());
                EXPECT_TRUE(IsApplyResult(unregistered))
                    << "iteration " << i << ": " << HrText(unregistered);
            }
        } else if (hr == DISP_E_EXCEPTION) {
            ++refused;
            EXPECT_TRUE(tree.roots.empty()) << "a refused script still produced a tree";
        } else {
            ADD_FAILURE() << "iteration " << i << ": got " << HrText(hr);
        }
    }
    // Both outcomes are exercised, or the mutations prove nothing.
    EXPECT_GT(accepted, kIterations / 20);
    EXPECT_GT(refused, kIterations / 4);
}

}  // namespace
