// What an administrator meets around the commands: a reading command never makes a repository
// (a missing or empty file is named, with how to make one), a failed first write leaves no file,
// a full disk is named with what to do, and progress is never written into redirected output.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "keytool_support.h"

using namespace KeyToolTest;

TEST(KeyToolUsability, ReadingCommandsMakeNoRepositoryAndWriteNoProgressWhenRedirected) {
    Folder folder;
    const std::wstring file = folder.File(L"keys.db");
    for (const wchar_t* command : {L"list", L"show 1001", L"verify", L"export", L"list --json"}) {
        Expect(folder, command, kRepository, {},
               {"there is no repository at ", "(no such file)", "create <title>"});
        EXPECT_FALSE(FileExists(file)) << Narrow(command);
    }
    // An empty file is no repository either; a command that writes sets one up in it.
    WriteFileBytes(file, "");
    Expect(folder, L"list", kRepository, {}, {"the file is empty, 0 bytes"});
    EXPECT_EQ("", ReadFileBytes(file));
    Expect(folder, L"create First", kOk, {}, {"was empty; set up a new repository in it"});
    // Redirected, the long-running commands write no progress (no carriage return).
    for (const wchar_t* command : {L"list", L"verify", L"export --reveal all.json"}) {
        const Result r = Expect(folder, command, kOk);
        EXPECT_FALSE(Contains(r.err, "\r") || Contains(r.out, "\r")) << r.err;
    }
    Folder other;
    WriteFileBytes(other.File(L"all.json"), ReadFileBytes(folder.File(L"all.json")));
    EXPECT_FALSE(Contains(Expect(other, L"import all.json", kOk).err, "\r"));
}

TEST(KeyToolUsability, AFullDiskChangesNothingAndLeavesNoNewFile) {
    Folder folder;
    const std::wstring file = folder.File(L"keys.db");
    Check(RunKeytool(folder, L"create Lost", L"full-disk"), kRepository, {},
          {"could not be written: the disk is full", "Nothing was changed", "Free some space"});
    EXPECT_FALSE(FileExists(file));
    EXPECT_FALSE(FileExists(file + L"-journal"));
    // A failed first command of another kind leaves no file either.
    WriteFileBytes(folder.File(L"keys.json"), "{}");
    EXPECT_RUN(RunKeytool(folder, L"import keys.json"), kRepository);
    EXPECT_FALSE(FileExists(file));

    ASSERT_EQ(kOk, RunKeytool(folder, L"create Kept").exitCode);
    const std::string before = ReadFileBytes(file);
    for (int i = 0; i < 3; ++i) {  // enough keys that the file must grow
        const std::wstring title = L"\"" + std::wstring(5000, L'x') + L"\"";
        EXPECT_RUN(RunKeytool(folder, L"create " + title, L"full-disk"), kRepository);
    }
    EXPECT_EQ(before, ReadFileBytes(file));
    Expect(folder, L"verify", kOk);
}
