#include "tests/win/support/recorded_messages.h"

#include <mutex>

#include "app/message_box.h"

namespace {
std::mutex lock;
std::vector<RecordedMessage>& store()
{
    static std::vector<RecordedMessage> messages;
    return messages;
}
}  // namespace

int showMessage(HWND owner, const wchar_t* text, UINT buttons)
{
    std::lock_guard<std::mutex> hold(lock);
    store().push_back({owner, text, buttons, GetCurrentThreadId()});
    return (buttons & MB_TYPEMASK) == MB_OKCANCEL ? IDCANCEL : IDOK;
}

std::vector<RecordedMessage> recordedMessages()
{
    std::lock_guard<std::mutex> hold(lock);
    return store();
}

void clearRecordedMessages()
{
    std::lock_guard<std::mutex> hold(lock);
    store().clear();
}

std::vector<std::wstring> recordedTexts()
{
    std::vector<std::wstring> texts;
    for (const RecordedMessage& m : recordedMessages())
        texts.push_back(m.text);
    return texts;
}
