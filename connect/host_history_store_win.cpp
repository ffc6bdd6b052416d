#include "connect/host_history_store_win.h"

#include "app/globals.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t");

namespace {

const wchar_t* wide(const char16_t* text)
{
    return reinterpret_cast<const wchar_t*>(text);
}

// The profile functions keep the encoding a file already has and write a new one in the
// ANSI code page, which would turn Japanese destinations into question marks. A file
// begun with the UTF-16LE mark is written in UTF-16 from then on.
void startUnicodeFile(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;  // there already, or not writable: the write itself settles it
    static const BYTE mark[2] = {0xFF, 0xFE};
    DWORD written = 0;
    WriteFile(file, mark, sizeof mark, &written, nullptr);
    CloseHandle(file);
}

class PrivateProfileStore : public ProfileStore {
public:
    explicit PrivateProfileStore(const std::wstring& path) : path_(path) {}

    std::u16string read(const char16_t* section, const char16_t* key, const char16_t* fallback) override
    {
        if (path_.empty())
            return fallback;
        wchar_t value[kProfileValueUnits] = {};
        GetPrivateProfileStringW(wide(section), wide(key), wide(fallback), value, kProfileValueUnits, path_.c_str());
        return reinterpret_cast<const char16_t*>(value);
    }

    void write(const char16_t* section, const char16_t* key, const char16_t* value) override
    {
        if (path_.empty())
            return;
        if (!started_) {  // once per save, not once per key
            startUnicodeFile(path_);
            started_ = true;
        }
        WritePrivateProfileStringW(wide(section), wide(key), wide(value), path_.c_str());
    }

private:
    const std::wstring& path_;
    bool started_ = false;
};

}  // namespace

void BuildIniPath()
{
    iniPath.clear();
    std::wstring directory;
    // Sized by what the system reports; asked again should the directory change between
    // the two calls and no longer fit.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD size = GetCurrentDirectoryW(0, nullptr);
        if (size == 0)
            return;
        directory.assign(size, L'\0');
        DWORD length = GetCurrentDirectoryW(size, &directory[0]);
        if (length == 0)
            return;
        if (length < size) {
            directory.resize(length);
            if (directory.back() != L'\\')  // a drive's root ends in one already
                directory += L'\\';
            iniPath = directory + L"client.ini";
            return;
        }
    }
}

void LoadHostHistory()
{
    PrivateProfileStore store(iniPath);
    loadHostHistory(hostHistory, currentHost, store);
}

void RememberDestination(const wchar_t* text)
{
    PrivateProfileStore store(iniPath);
    rememberDestination(hostHistory, currentHost, reinterpret_cast<const char16_t*>(text), store);
}

void SaveHostHistory()
{
    PrivateProfileStore store(iniPath);
    saveHostHistory(hostHistory, store);
}
