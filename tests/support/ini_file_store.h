// A private-profile store over a real INI file, for the native tests: UTF-16LE with a
// byte-order mark, sections and keys matched without regard to ASCII case, values
// trimmed, reads cut to the profile buffer, writes that touch only their own key.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "connect/host_history.h"

class IniFileStore : public ProfileStore {
public:
    explicit IniFileStore(std::string path) : path_(std::move(path)) {}

    std::u16string read(const char16_t* section, const char16_t* key, const char16_t* fallback) override
    {
        std::vector<std::u16string> lines;
        if (!loadLines(lines))
            return fallback;
        size_t at = findKey(lines, section, key);
        if (at == npos)
            return fallback;
        std::u16string value = trim(lines[at].substr(lines[at].find(u'=') + 1));
        return value.substr(0, kProfileValueUnits - 1);
    }

    void write(const char16_t* section, const char16_t* key, const char16_t* value) override
    {
        std::vector<std::u16string> lines;
        loadLines(lines);
        std::u16string line = std::u16string(key) + u"=" + value;
        size_t at = findKey(lines, section, key);
        if (at != npos) {
            lines[at] = line;
        } else {
            size_t start = findSection(lines, section);
            if (start == npos) {
                lines.push_back(u"[" + std::u16string(section) + u"]");
                lines.push_back(line);
            } else {
                size_t end = start + 1;
                while (end < lines.size() && !isSectionLine(lines[end]))
                    ++end;
                lines.insert(lines.begin() + long(end), line);
            }
        }
        std::u16string text = u"\uFEFF";
        for (const auto& l : lines)
            text += l + u"\r\n";
        writeUnits(path_, text);
    }

    // Writes `text` as the whole file, UTF-16LE; for fixtures.
    static void writeUnits(const std::string& path, const std::u16string& text)
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (!file)
            return;
        for (char16_t unit : text) {
            unsigned char bytes[2] = {static_cast<unsigned char>(unit & 0xFF), static_cast<unsigned char>(unit >> 8)};
            std::fwrite(bytes, 1, 2, file);
        }
        std::fclose(file);
    }

private:
    static constexpr size_t npos = std::u16string::npos;
    std::string path_;

    bool loadLines(std::vector<std::u16string>& lines) const
    {
        std::FILE* file = std::fopen(path_.c_str(), "rb");
        if (!file)
            return false;
        std::u16string text;
        unsigned char bytes[2];
        while (std::fread(bytes, 1, 2, file) == 2)
            text += char16_t(bytes[0] | bytes[1] << 8);
        std::fclose(file);
        if (!text.empty() && text[0] == u'\uFEFF')
            text.erase(0, 1);
        std::u16string line;
        for (char16_t unit : text) {
            if (unit == u'\n') {
                lines.push_back(trimEnd(line));
                line.clear();
            } else {
                line += unit;
            }
        }
        if (!line.empty())
            lines.push_back(trimEnd(line));
        return true;
    }

    static bool isSpace(char16_t unit) { return unit == u' ' || unit == u'\t' || unit == u'\r'; }

    static std::u16string trimEnd(std::u16string text)
    {
        while (!text.empty() && isSpace(text.back()))
            text.pop_back();
        return text;
    }

    static std::u16string trim(const std::u16string& text)
    {
        size_t start = 0;
        while (start < text.size() && isSpace(text[start]))
            ++start;
        return trimEnd(text.substr(start));
    }

    static bool sameName(const std::u16string& a, const std::u16string& b)
    {
        auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (lower(a[i]) != lower(b[i]))
                return false;
        return true;
    }

    static bool isSectionLine(const std::u16string& line)
    {
        std::u16string t = trim(line);
        return !t.empty() && t[0] == u'[';
    }

    static size_t findSection(const std::vector<std::u16string>& lines, const char16_t* section)
    {
        for (size_t i = 0; i < lines.size(); ++i) {
            std::u16string t = trim(lines[i]);
            size_t close = t.find(u']');
            if (isSectionLine(t) && close != npos && sameName(trim(t.substr(1, close - 1)), section))
                return i;
        }
        return npos;
    }

    static size_t findKey(const std::vector<std::u16string>& lines, const char16_t* section, const char16_t* key)
    {
        size_t start = findSection(lines, section);
        if (start == npos)
            return npos;
        for (size_t i = start + 1; i < lines.size() && !isSectionLine(lines[i]); ++i) {
            size_t equals = lines[i].find(u'=');
            if (equals != npos && sameName(trim(lines[i].substr(0, equals)), key))
                return i;
        }
        return npos;
    }
};
