// The history through the real profile functions, in real client.ini files.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "app/globals.h"
#include "connect/host_history_store_win.h"
#include "tests/win/support/test_server.h"

namespace {

using Texts = std::vector<std::wstring>;

std::wstring currentDirectory()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH + 1, buffer);
    return buffer;
}

Texts historyTexts()
{
    Texts out;
    for (const auto& entry : hostHistory)
        out.push_back(reinterpret_cast<const wchar_t*>(entry.text));
    return out;
}

class HostHistoryStore : public ::testing::Test {
protected:
    void SetUp() override { hostHistory.clear(); }
    void TearDown() override
    {
        SetCurrentDirectoryW(savedDirectory.c_str());
        hostHistory.clear();
    }

    // A folder of the test's own, without client.ini, made the current directory.
    void enter(const std::string& name)
    {
        this->name = name;
        std::string folder = windowsPath(scratchFolder(name));
        dir = std::wstring(folder.begin(), folder.end());
        DeleteFileW((dir + L"\\client.ini").c_str());
        ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
        ASSERT_EQ(dir, currentDirectory());
        BuildIniPath();
        ASSERT_EQ(dir + L"\\client.ini", iniPath);
        hostHistory.clear();
    }

    // Loads a copy of the file from another folder: the profile functions may answer a
    // file they have written from memory, a copy they must read from disk.
    Texts reloadFromCopy()
    {
        std::wstring source = iniPath;
        EXPECT_NO_FATAL_FAILURE(enter(name + "-copy"));
        EXPECT_TRUE(CopyFileW(source.c_str(), iniPath.c_str(), FALSE));
        LoadHostHistory();
        return historyTexts();
    }

    std::string name;
    std::wstring dir;
    std::wstring savedDirectory = currentDirectory();
};

TEST_F(HostHistoryStore, LoadRememberAndReloadLeaveTheRestOfTheFileAlone)
{
    ASSERT_NO_FATAL_FAILURE(enter("history-basic"));
    std::ofstream(iniPath.c_str(), std::ios::binary) << "[window]\r\nx=10\r\n[host]\r\n00=old\r\n01=older\r\n03=lost\r\n";
    LoadHostHistory();
    EXPECT_EQ((Texts{L"old", L"older"}), historyTexts());

    RememberDestination(L"studio-pc");
    RememberDestination(L"older");
    EXPECT_EQ((Texts{L"older", L"studio-pc", L"old"}), historyTexts());
    wchar_t value[16] = {};
    GetPrivateProfileStringW(L"window", L"x", L"", value, 16, iniPath.c_str());
    EXPECT_STREQ(L"10", value);
    // "03" is written over only when the list reaches it.
    EXPECT_EQ((Texts{L"older", L"studio-pc", L"old", L"lost"}), reloadFromCopy());
}

TEST_F(HostHistoryStore, TheFirstSaveMakesAFileThatKeepsJapanese)
{
    ASSERT_NO_FATAL_FAILURE(enter("history-new"));
    LoadHostHistory();
    EXPECT_TRUE(hostHistory.empty());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(iniPath.c_str()));
    RememberDestination(L"studio-pc");
    RememberDestination(L"東京サーバー");
    EXPECT_EQ((Texts{L"東京サーバー", L"studio-pc"}), reloadFromCopy());
}

TEST_F(HostHistoryStore, ACurrentDirectoryBeyondTheOldBoundWorks)
{
    std::string name = "history-long";
    for (int i = 0; i < 4; ++i) {
        scratchFolder(name);
        name += "/" + std::string(30, char('a' + i));
    }
    ASSERT_NO_FATAL_FAILURE(enter(name));
    ASSERT_GT(dir.size(), 118u);
    RememberDestination(L"far-away");
    RememberDestination(L"farther");
    EXPECT_EQ((Texts{L"farther", L"far-away"}), reloadFromCopy());
}

}  // namespace
