#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/globals.h"
#include "connect/host_history_store_win.h"
#include "tests/win/support/test_server.h"

namespace {

std::wstring widen(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

std::wstring currentDirectory()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH + 1, buffer);
    return buffer;
}

void writeFile(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::vector<std::wstring> historyTexts()
{
    std::vector<std::wstring> out;
    for (const auto& entry : hostHistory)
        out.push_back(reinterpret_cast<const wchar_t*>(entry.text));
    return out;
}

class HostHistoryStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedDirectory = currentDirectory();
        hostHistory.clear();
        currentHost = HostEntry();
    }

    void TearDown() override
    {
        SetCurrentDirectoryW(savedDirectory.c_str());
        hostHistory.clear();
    }

    // A folder of the test's own, without client.ini, made the current directory.
    bool enter(const std::string& name)
    {
        dir = widen(windowsPath(scratchFolder(name)));
        DeleteFileW((dir + L"\\client.ini").c_str());
        return SetCurrentDirectoryW(dir.c_str()) && currentDirectory() == dir;
    }

    // Loads a copy of the file from another folder: the profile functions may answer a
    // file they have written from memory, a copy they must read from disk.
    std::vector<std::wstring> reloadFromCopy(const std::string& name)
    {
        std::wstring source = iniPath;
        hostHistory.clear();
        if (!enter(name) || !CopyFileW(source.c_str(), L"client.ini", FALSE)) {
            ADD_FAILURE() << "no copy of client.ini in " << name;
            return {};
        }
        BuildIniPath();
        LoadHostHistory();
        return historyTexts();
    }

    std::wstring dir;
    std::wstring savedDirectory;
};

TEST_F(HostHistoryStore, LoadRememberAndReloadLeaveTheRestOfTheFileAlone)
{
    ASSERT_TRUE(enter("history-basic"));
    writeFile(dir + L"\\client.ini", "[window]\r\nx=10\r\n[host]\r\n00=old\r\n01=older\r\n03=lost\r\n");
    BuildIniPath();
    EXPECT_EQ(dir + L"\\client.ini", iniPath);
    LoadHostHistory();
    EXPECT_EQ((std::vector<std::wstring>{L"old", L"older"}), historyTexts());

    RememberDestination(L"studio-pc");
    RememberDestination(L"older");
    EXPECT_EQ((std::vector<std::wstring>{L"older", L"studio-pc", L"old"}), historyTexts());

    wchar_t value[16] = {};
    GetPrivateProfileStringW(L"window", L"x", L"", value, 16, iniPath.c_str());
    EXPECT_STREQ(L"10", value);
    GetPrivateProfileStringW(L"host", L"03", L"", value, 16, iniPath.c_str());
    EXPECT_STREQ(L"lost", value);  // written over only when the list reaches it
    EXPECT_EQ((std::vector<std::wstring>{L"older", L"studio-pc", L"old", L"lost"}), reloadFromCopy("history-basic-copy"));
}

TEST_F(HostHistoryStore, NoFileLoadsNothingAndTheFirstSaveMakesIt)
{
    ASSERT_TRUE(enter("history-new"));
    BuildIniPath();
    LoadHostHistory();
    EXPECT_TRUE(hostHistory.empty());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(iniPath.c_str()));
    RememberDestination(L"192.168.0.1");
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(iniPath.c_str()));
    EXPECT_EQ(std::vector<std::wstring>{L"192.168.0.1"}, reloadFromCopy("history-new-copy"));
}

TEST_F(HostHistoryStore, ACurrentDirectoryBeyondTheOldBoundWorks)
{
    std::string name = "history-long";
    for (int i = 0; i < 4; ++i) {
        scratchFolder(name);
        name += "/" + std::string(30, char('a' + i));
    }
    ASSERT_TRUE(enter(name));
    ASSERT_GT(dir.size(), 118u);
    BuildIniPath();
    EXPECT_EQ(dir + L"\\client.ini", iniPath);
    LoadHostHistory();
    RememberDestination(L"far-away");
    RememberDestination(L"farther");
    EXPECT_EQ((std::vector<std::wstring>{L"farther", L"far-away"}), reloadFromCopy(name + "/copy"));
}

TEST_F(HostHistoryStore, JapaneseDestinationsSurviveTheFile)
{
    ASSERT_TRUE(enter("history-japanese"));
    BuildIniPath();
    RememberDestination(L"studio-pc");
    RememberDestination(L"東京サーバー");
    EXPECT_EQ((std::vector<std::wstring>{L"東京サーバー", L"studio-pc"}), reloadFromCopy("history-japanese-copy"));
}

}  // namespace
