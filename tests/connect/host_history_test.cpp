#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "connect/host_history.h"
#include "tests/support/ini_file_store.h"

namespace {

class HostHistoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/host-history-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
        path = dir + "/client.ini";
    }

    void TearDown() override
    {
        std::remove(path.c_str());
        rmdir(dir.c_str());
    }

    // A [host] section with the given "key=value" lines, and another section around it.
    void writeFile(const std::vector<std::u16string>& hostLines)
    {
        std::u16string text = u"\uFEFF[window]\r\nx=10\r\n[host]\r\n";
        for (const auto& line : hostLines)
            text += line + u"\r\n";
        text += u"[other]\r\n00=not a destination\r\n";
        IniFileStore::writeUnits(path, text);
    }

    std::vector<std::u16string> load()
    {
        history.clear();
        IniFileStore store(path);
        loadHostHistory(history, current, store);
        return texts();
    }

    void remember(const std::u16string& text)
    {
        IniFileStore store(path);
        rememberDestination(history, current, text.c_str(), store);
    }

    std::vector<std::u16string> texts() const
    {
        std::vector<std::u16string> out;
        for (const auto& entry : history)
            out.push_back(entry.text);
        return out;
    }

    std::u16string stored(const char16_t* key)
    {
        IniFileStore store(path);
        return store.read(kHostSection, key, u"(missing)");
    }

    std::string dir, path;
    HostHistory history;
    HostEntry current;
};

TEST_F(HostHistoryTest, NoFileOrNoSectionLoadsNothing)
{
    EXPECT_TRUE(load().empty());
    IniFileStore::writeUnits(path, u"[other]\r\n00=elsewhere\r\n");
    EXPECT_TRUE(load().empty());
}

TEST_F(HostHistoryTest, LoadingStopsAtTheFirstMissingKey)
{
    writeFile({u"00=alpha", u"01=beta", u"03=delta"});
    EXPECT_EQ((std::vector<std::u16string>{u"alpha", u"beta"}), load());
}

TEST_F(HostHistoryTest, AnEmptyValueIsSkippedAndLoadingGoesOn)
{
    writeFile({u"00=alpha", u"01=", u"02=  ", u"03=delta"});
    EXPECT_EQ((std::vector<std::u16string>{u"alpha", u"delta"}), load());
}

TEST_F(HostHistoryTest, TenAreLoadedAndANewEleventhPushesTheOldestOut)
{
    std::vector<std::u16string> lines;
    for (int i = 0; i < 12; ++i)
        lines.push_back(hostKey(i) + u"=host" + hostKey(i));
    writeFile(lines);
    auto loaded = load();
    ASSERT_EQ(10u, loaded.size());
    EXPECT_EQ(u"host00", loaded.front());
    EXPECT_EQ(u"host09", loaded.back());

    remember(u"newcomer");
    EXPECT_EQ(11u, history.size());
    EXPECT_EQ(u"newcomer", stored(u"00"));
    EXPECT_EQ(u"host09", stored(u"10"));
    EXPECT_EQ(u"host11", stored(u"11"));  // beyond the list: untouched

    loaded = load();
    ASSERT_EQ(10u, loaded.size());
    EXPECT_EQ(u"newcomer", loaded[0]);
    EXPECT_EQ(u"host08", loaded[9]);
}

TEST_F(HostHistoryTest, RememberingAnEntryMovesItToTheFront)
{
    writeFile({u"00=a", u"01=b", u"02=c", u"03=d", u"04=e"});
    load();
    remember(u"d");
    const std::vector<std::u16string> expected{u"d", u"a", u"b", u"c", u"e"};
    EXPECT_EQ(expected, texts());
    EXPECT_EQ(expected, load());
    EXPECT_EQ(u"10", IniFileStore(path).read(u"window", u"x", u""));
    EXPECT_EQ(u"not a destination", IniFileStore(path).read(u"other", u"00", u""));
}

TEST_F(HostHistoryTest, LetterCaseAndSharedPrefixesMakeDifferentDestinations)
{
    writeFile({u"00=studio-pc", u"01=192.168.0.12", u"02=Studio-PC", u"03=192.168.0.1"});
    load();
    remember(u"Studio-PC");
    EXPECT_EQ((std::vector<std::u16string>{u"Studio-PC", u"studio-pc", u"192.168.0.12", u"192.168.0.1"}), texts());
    remember(u"192.168.0.1");
    EXPECT_EQ((std::vector<std::u16string>{u"192.168.0.1", u"Studio-PC", u"studio-pc", u"192.168.0.12"}), texts());
    remember(u"192.168.0.123");
    EXPECT_EQ(5u, history.size());
}

TEST_F(HostHistoryTest, ADestinationUnderTwoKeysIsRememberedOnce)
{
    writeFile({u"00=a", u"01=b", u"02=a", u"03=c"});
    EXPECT_EQ(4u, load().size());
    remember(u"a");
    EXPECT_EQ((std::vector<std::u16string>{u"a", u"b", u"c"}), texts());
    EXPECT_EQ(u"c", stored(u"02"));
    EXPECT_EQ(u"c", stored(u"03"));  // the last old key keeps its old value
    EXPECT_EQ((std::vector<std::u16string>{u"a", u"b", u"c", u"c"}), load());
}

TEST_F(HostHistoryTest, LongTextsAreCutToATerminatedEntry)
{
    std::u16string longName(300, u'x');
    writeFile({u"00=" + longName});
    load();
    ASSERT_EQ(1u, history.size());
    EXPECT_EQ(std::u16string(kHostTextUnits - 1, u'x'), history[0].text);
    EXPECT_EQ(0, history[0].text[kHostTextUnits - 1]);

    // Compared as stored: the same long destination again is the same entry.
    remember(longName);
    EXPECT_EQ(1u, history.size());

    // A surrogate pair across the cut goes whole.
    std::u16string paired = std::u16string(kHostTextUnits - 2, u'y') + u"\U0001F600";
    remember(paired);
    EXPECT_EQ(std::u16string(kHostTextUnits - 2, u'y'), history[0].text);
    EXPECT_EQ((std::vector<std::u16string>{std::u16string(kHostTextUnits - 2, u'y'), longName.substr(0, 127)}),
              load());
}

}  // namespace
