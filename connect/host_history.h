// The remembered destinations, most recent first, and their keys in a profile section.
// Portable: the private-profile calls come in through ProfileStore.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int kHostTextUnits = 128;      // UTF-16 units, terminator included
constexpr int kHostsLoaded = 10;         // keys "00" to "09"
constexpr int kProfileValueUnits = 256;  // a read's buffer, terminator included

struct HostEntry {
    char16_t text[kHostTextUnits] = {};  // always terminated
};

// Index 0 is the most recent destination.
using HostHistory = std::vector<HostEntry>;

extern const char16_t kHostSection[];  // "host"

// The platform's private-profile contract.
class ProfileStore {
public:
    // A missing file, section or key yields `fallback`; a value comes back at most
    // kProfileValueUnits - 1 units long.
    virtual std::u16string read(const char16_t* section, const char16_t* key, const char16_t* fallback) = 0;
    // Creates the file or the section when missing and leaves every other key alone.
    // A failed write is not reported.
    virtual void write(const char16_t* section, const char16_t* key, const char16_t* value) = 0;

protected:
    ~ProfileStore() = default;
};

// The key of list index i: "%02d".
std::u16string hostKey(int index);

// As much of `text` as fits with its terminator; a cut never keeps half of a surrogate
// pair. Reads no further than the unit after the last one kept.
void setHostText(char16_t (&into)[kHostTextUnits], const char16_t* text);

// Appends "00" up to the first missing key, at most ten. An empty value is skipped: the
// connect dialog refuses empty destinations, so one can only come from a hand-edited
// file, and the keys after it still hold real destinations.
// Each entry is a copy of `current` after its text has been set.
void loadHostHistory(HostHistory& history, HostEntry& current, ProfileStore& store);

// Makes `text` (cut as setHostText does) the only entry equal to it, at the front, and
// saves the whole list.
void rememberDestination(HostHistory& history, HostEntry& current, const char16_t* text, ProfileStore& store);

// Writes entry i under key i for every entry; keys beyond the list keep what they hold.
void saveHostHistory(const HostHistory& history, ProfileStore& store);
