// What an administrator meets around the commands: a reading command never makes a repository
// (a missing or empty file is named, with how to make one), a failed first write leaves no file,
// a full disk is named with what to do, a title with spaces gets a hint, the help fits 80
// columns, and progress is never written into redirected output.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "keytool_support.h"

using namespace KeyToolTest;

TEST(KeyToolUsability, ReadingCommandsMakeNoRepository) {
    Folder folder;
    const std::wstring file = folder.File(L"keys.db");
    for (const wchar_t* command : {L"list", L"show 1001", L"verify", L"export", L"list --json"}) {
        SCOPED_TRACE(Narrow(command));
        const Result r = RunKeytool(folder, command);
        EXPECT_RUN(r, kRepository);
        EXPECT_TRUE(Contains(r.err, "there is no repository at ") &&
                    Contains(r.err, "(no such file)") && Contains(r.err, "create <title>"))
            << r.err;
        EXPECT_FALSE(FileExists(file));
    }
    // An empty file is no repository either; a command that writes sets one up in it.
    WriteFileBytes(file, "");
    Result r = RunKeytool(folder, L"list");
    EXPECT_RUN(r, kRepository);
    EXPECT_TRUE(Contains(r.err, "the file is empty, 0 bytes")) << r.err;
    EXPECT_EQ("", ReadFileBytes(file));
    r = RunKeytool(folder, L"create First");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.err, "was empty; set up a new repository in it")) << r.err;
    EXPECT_RUN(RunKeytool(folder, L"list"), kOk);
}

TEST(KeyToolUsability, AFullDiskChangesNothingAndLeavesNoNewFile) {
    Folder folder;
    const std::wstring file = folder.File(L"keys.db");
    Result r = RunKeytool(folder, L"create Lost", L"full-disk");
    EXPECT_RUN(r, kRepository);
    EXPECT_TRUE(Contains(r.err, "could not be written: the disk is full") &&
                Contains(r.err, "Nothing was changed") && Contains(r.err, "Free some space"))
        << r.err;
    EXPECT_FALSE(FileExists(file));
    EXPECT_FALSE(FileExists(file + L"-journal"));
    // A failed first command of another kind leaves no file either.
    WriteFileBytes(folder.File(L"keys.json"), "{}");
    EXPECT_RUN(RunKeytool(folder, L"import keys.json"), kRepository);
    EXPECT_FALSE(FileExists(file));

    ASSERT_EQ(kOk, RunKeytool(folder, L"create Kept").exitCode);
    const std::string before = ReadFileBytes(file);
    for (int i = 0; i < 3; ++i) {  // enough keys that the file must grow
        r = RunKeytool(folder, L"create \"" + std::wstring(5000, L'x') + L"\"", L"full-disk");
        EXPECT_RUN(r, kRepository);
    }
    EXPECT_EQ(before, ReadFileBytes(file));
    EXPECT_RUN(RunKeytool(folder, L"verify"), kOk);
}

TEST(KeyToolUsability, HintsHelpAndProgress) {
    Folder folder;
    Result r = RunKeytool(folder, L"create Payroll key");
    EXPECT_RUN(r, kUsage);
    EXPECT_TRUE(Contains(r.err,
                         "a title with spaces is written in quotes, as in keytool create "
                         "\"Payroll key\""))
        << r.err;
    const auto narrow = [](const std::string& text) {
        size_t start = 0, widest = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            widest = std::max(widest, end - start);
        return widest;
    };
    for (const wchar_t* command :
         {L"--help", L"create --help", L"list --help", L"show --help", L"verify --help",
          L"export --help", L"import --help", L"revoke --help", L"start-rekey --help",
          L"compromise --help", L"add-category --help", L"remove-category --help",
          L"register --help"}) {
        r = RunKeytool(folder, command);
        EXPECT_RUN(r, kOk);
        EXPECT_LE(narrow(r.out), 79u) << Narrow(command) << ":\n" << r.out;
    }
    // Redirected, the long-running commands write no progress (no carriage return).
    ASSERT_EQ(kOk, RunKeytool(folder, L"create One").exitCode);
    for (const wchar_t* command : {L"list", L"verify", L"export --reveal all.json"}) {
        r = RunKeytool(folder, command);
        EXPECT_RUN(r, kOk);
        EXPECT_FALSE(Contains(r.err, "\r") || Contains(r.out, "\r")) << r.err;
    }
    Folder other;
    WriteFileBytes(other.File(L"all.json"), ReadFileBytes(folder.File(L"all.json")));
    r = RunKeytool(other, L"import all.json");
    EXPECT_RUN(r, kOk);
    EXPECT_FALSE(Contains(r.err, "\r")) << r.err;
}
