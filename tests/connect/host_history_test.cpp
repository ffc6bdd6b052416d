#include "connect/host_history.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::u16string>;

const std::u16string kNoKey = u"(no key)";

// The profile contract over a map: section and key to value, reads cut to the
// profile buffer. The real profile functions are tested under Wine.
struct MapStore final : ProfileStore {
    std::map<std::u16string, std::u16string> values;  // "section/key"

    std::u16string read(const char16_t* section, const char16_t* key, const char16_t* fallback) override
    {
        auto found = values.find(std::u16string(section) + u"/" + key);
        return found == values.end() ? fallback : found->second.substr(0, kProfileValueUnits - 1);
    }
    void write(const char16_t* section, const char16_t* key, const char16_t* value) override
    {
        values[std::u16string(section) + u"/" + key] = value;
    }
};

class HostHistoryTest : public ::testing::Test {
protected:
    void store(const Texts& texts)
    {
        for (size_t i = 0; i < texts.size(); ++i)
            if (texts[i] != kNoKey)
                profile.values[u"host/" + hostKey(int(i))] = texts[i];
        profile.values[u"other/00"] = u"not a destination";
    }
    Texts load()
    {
        history.clear();
        loadHostHistory(history, current, profile);
        return texts();
    }
    Texts texts() const
    {
        Texts out;
        for (const auto& entry : history)
            out.push_back(entry.text);
        return out;
    }
    std::u16string stored(int index) { return profile.read(kHostSection, hostKey(index).c_str(), u"(missing)"); }

    MapStore profile;
    HostHistory history;
    HostEntry current;
};

TEST_F(HostHistoryTest, LoadingSkipsEmptyValuesStopsAtAGapAndTakesTen)
{
    Texts twelve;
    for (int i = 0; i < 12; ++i)
        twelve.push_back(u"host" + hostKey(i));
    const struct {
        Texts stored;
        Texts loaded;
    } cases[] = {
        {{}, {}},
        {{u"alpha", u"beta", kNoKey, u"delta"}, {u"alpha", u"beta"}},
        {{u"alpha", u"", u"", u"delta"}, {u"alpha", u"delta"}},
        {twelve, Texts(twelve.begin(), twelve.begin() + 10)},
    };
    for (const auto& c : cases) {
        profile.values.clear();
        store(c.stored);
        EXPECT_EQ(c.loaded, load());
    }
}

TEST_F(HostHistoryTest, RememberingPutsTheOnlyEqualEntryFirstAndSavesTheList)
{
    const struct {
        Texts before;
        std::u16string text;
        Texts after;
    } cases[] = {
        {{u"a", u"b", u"c", u"d", u"e"}, u"d", {u"d", u"a", u"b", u"c", u"e"}},
        {{}, u"first", {u"first"}},
        // Letter case and shared prefixes make different destinations.
        {{u"studio-pc", u"192.168.0.12", u"192.168.0.1"}, u"Studio-PC",
         {u"Studio-PC", u"studio-pc", u"192.168.0.12", u"192.168.0.1"}},
        {{u"studio-pc", u"192.168.0.12", u"192.168.0.1"}, u"192.168.0.1",
         {u"192.168.0.1", u"studio-pc", u"192.168.0.12"}},
        // A destination under two keys is remembered once.
        {{u"a", u"b", u"a", u"c"}, u"a", {u"a", u"b", u"c"}},
    };
    for (const auto& c : cases) {
        profile.values.clear();
        store(c.before);
        load();
        rememberDestination(history, current, c.text.c_str(), profile);
        EXPECT_EQ(c.after, texts());
        // Keys beyond the list keep their old values.
        for (size_t i = 0; i < std::max(c.before.size(), c.after.size()); ++i)
            EXPECT_EQ(i < c.after.size() ? c.after[i] : c.before[i], stored(int(i))) << "key " << i;
        EXPECT_EQ(u"not a destination", profile.values[u"other/00"]);
    }
}

TEST_F(HostHistoryTest, AnEleventhIsSavedAndTheOldestDropsOutOnTheNextLoad)
{
    Texts twelve;
    for (int i = 0; i < 12; ++i)
        twelve.push_back(u"host" + hostKey(i));
    store(twelve);
    load();
    rememberDestination(history, current, u"newcomer", profile);
    EXPECT_EQ(u"newcomer", stored(0));
    EXPECT_EQ(u"host09", stored(10));
    EXPECT_EQ(u"host11", stored(11));  // beyond the list: untouched
    Texts loaded = load();
    ASSERT_EQ(10u, loaded.size());
    EXPECT_EQ(u"newcomer", loaded[0]);
    EXPECT_EQ(u"host08", loaded[9]);
}

TEST_F(HostHistoryTest, LongTextsAreCutToATerminatedEntry)
{
    std::u16string longName(300, u'x');
    store({longName});
    load();
    ASSERT_EQ(1u, history.size());
    EXPECT_EQ(std::u16string(kHostTextUnits - 1, u'x'), history[0].text);
    EXPECT_EQ(0, history[0].text[kHostTextUnits - 1]);

    // Compared as stored: the same long destination again is the same entry.
    rememberDestination(history, current, longName.c_str(), profile);
    EXPECT_EQ(1u, history.size());

    // A surrogate pair across the cut goes whole.
    std::u16string paired = std::u16string(kHostTextUnits - 2, u'y') + u"\U0001F600";
    rememberDestination(history, current, paired.c_str(), profile);
    EXPECT_EQ((Texts{std::u16string(kHostTextUnits - 2, u'y'), longName.substr(0, 127)}), load());
}

}  // namespace
