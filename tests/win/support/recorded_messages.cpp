#include "tests/win/support/recorded_messages.h"

#include <mutex>

#include "app/message_box.h"

namespace {
std::mutex lock;
// Reached from the globals' constructors too.
std::vector<std::wstring>& texts()
{
    static std::vector<std::wstring> all;
    return all;
}
}  // namespace

int showMessage(HWND, const wchar_t* text, UINT buttons)
{
    std::lock_guard<std::mutex> hold(lock);
    texts().push_back(text);
    return (buttons & MB_TYPEMASK) == MB_OKCANCEL ? IDCANCEL : IDOK;
}

std::vector<std::wstring> takeRecordedTexts()
{
    std::lock_guard<std::mutex> hold(lock);
    std::vector<std::wstring> taken;
    taken.swap(texts());
    return taken;
}
