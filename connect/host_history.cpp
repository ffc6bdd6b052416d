#include "connect/host_history.h"

#include <algorithm>

const char16_t kHostSection[] = u"host";

namespace {

// What a read returns for a missing key; no destination starts with it.
const char16_t kStopMark[] = u"\u0007";

bool isHighSurrogate(char16_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(char16_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Unit for unit up to the terminator; letter case counts.
bool sameText(const char16_t* a, const char16_t* b)
{
    for (int i = 0; i < kHostTextUnits; ++i) {
        if (a[i] != b[i])
            return false;
        if (a[i] == 0)
            return true;
    }
    return true;
}

}  // namespace

std::u16string hostKey(int index)
{
    std::string digits = std::to_string(index);
    if (digits.size() < 2)
        digits.insert(0, 2 - digits.size(), '0');
    return std::u16string(digits.begin(), digits.end());
}

void setHostText(char16_t (&into)[kHostTextUnits], const char16_t* text)
{
    int length = 0;
    while (length < kHostTextUnits - 1 && text[length] != 0) {
        into[length] = text[length];
        ++length;
    }
    // A pair split by the cut would leave a character no font can show.
    if (length == kHostTextUnits - 1 && isHighSurrogate(into[length - 1]) && isLowSurrogate(text[length]))
        --length;
    std::fill(into + length, into + kHostTextUnits, u'\0');
}

void loadHostHistory(HostHistory& history, HostEntry& current, ProfileStore& store)
{
    for (int i = 0; i < kHostsLoaded; ++i) {
        std::u16string value = store.read(kHostSection, hostKey(i).c_str(), kStopMark);
        if (value.c_str()[0] == kStopMark[0])
            break;
        if (value.c_str()[0] == 0)
            continue;
        setHostText(current.text, value.c_str());
        history.push_back(current);
    }
}

void rememberDestination(HostHistory& history, HostEntry& current, const char16_t* text, ProfileStore& store)
{
    // Cut before comparing, so a long destination matches the entry it was stored as.
    setHostText(current.text, text);
    history.erase(std::remove_if(history.begin(), history.end(),
                                 [&](const HostEntry& entry) { return sameText(entry.text, current.text); }),
                  history.end());
    history.insert(history.begin(), current);
    saveHostHistory(history, store);
}

void saveHostHistory(const HostHistory& history, ProfileStore& store)
{
    for (size_t i = 0; i < history.size(); ++i)
        store.write(kHostSection, hostKey(int(i)).c_str(), history[i].text);
}
