#include "connect/host_history.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::u16string>;

// The profile contract over a map: section and key to value, reads cut to the profile
// buffer. The real profile functions are tested under Wine.
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
    // The history as stored under "00" onwards.
    void store(const Texts& stored)
    {
        for (size_t i = 0; i < stored.size(); ++i)
            values[u"host/" + hostKey(int(i))] = stored[i];
    }
};

Texts texts(const HostHistory& history)
{
    Texts out;
    for (const auto& entry : history)
        out.push_back(entry.text);
    return out;
}

TEST(HostHistoryTest, LoadingAndRememberingKeepEachDestinationOnceMostRecentFirst)
{
    Texts twelve, ten, eleven = {u"newcomer"};
    for (int i = 0; i < 12; ++i)
        twelve.push_back(u"host" + hostKey(i));
    ten.assign(twelve.begin(), twelve.begin() + 10);
    eleven.insert(eleven.end(), ten.begin(), ten.end());
    const struct {
        Texts stored;
        const char16_t* remembered;  // null: only loaded
        Texts after;
    } cases[] = {
        // Loading skips empty values and takes ten. A gap, the first save and moving to the
        // front go through real files under Wine.
        {{}, nullptr, {}},
        {{u"alpha", u"", u"", u"delta"}, nullptr, {u"alpha", u"delta"}},
        {twelve, nullptr, ten},
        // Letter case and shared prefixes make different destinations.
        {{u"studio-pc", u"192.168.0.12", u"192.168.0.1"}, u"Studio-PC",
         {u"Studio-PC", u"studio-pc", u"192.168.0.12", u"192.168.0.1"}},
        {{u"studio-pc", u"192.168.0.12", u"192.168.0.1"}, u"192.168.0.1",
         {u"192.168.0.1", u"studio-pc", u"192.168.0.12"}},
        // A destination under two keys is remembered once.
        {{u"a", u"b", u"a", u"c"}, u"a", {u"a", u"b", u"c"}},
        // Ten loaded and one more: eleven saved, the twelfth key untouched.
        {twelve, u"newcomer", eleven},
    };
    for (const auto& c : cases) {
        MapStore profile;
        profile.values[u"other/00"] = u"not a destination";
        HostHistory history;
        HostEntry current;
        profile.store(c.stored);
        loadHostHistory(history, current, profile);
        if (c.remembered)
            rememberDestination(history, current, c.remembered, profile);
        EXPECT_EQ(c.after, texts(history));
        // Saved whole; keys beyond the list keep their old values.
        for (size_t i = 0; c.remembered && i < std::max(c.stored.size(), c.after.size()); ++i)
            EXPECT_EQ(i < c.after.size() ? c.after[i] : c.stored[i], profile.values[u"host/" + hostKey(int(i))]);
        EXPECT_EQ(u"not a destination", profile.values[u"other/00"]);
    }
}

TEST(HostHistoryTest, LongTextsAreCutToATerminatedEntry)
{
    MapStore profile;
    HostHistory history;
    HostEntry current;
    std::u16string longName(300, u'x');
    profile.store({longName});
    loadHostHistory(history, current, profile);
    EXPECT_EQ(Texts{longName.substr(0, kHostTextUnits - 1)}, texts(history));
    EXPECT_EQ(0, history[0].text[kHostTextUnits - 1]);
    // Compared as stored: the same long destination again is the same entry.
    rememberDestination(history, current, longName.c_str(), profile);
    EXPECT_EQ(1u, history.size());
    // A surrogate pair across the cut goes whole.
    std::u16string paired = std::u16string(kHostTextUnits - 2, u'y') + u"\U0001F600";
    rememberDestination(history, current, paired.c_str(), profile);
    history.clear();
    loadHostHistory(history, current, profile);
    EXPECT_EQ((Texts{paired.substr(0, kHostTextUnits - 2), longName.substr(0, kHostTextUnits - 1)}), texts(history));
}

}  // namespace
