// The tests' stand-in for the message box: every message is recorded, none blocks.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct RecordedMessage {
    HWND owner;
    std::wstring text;
    UINT buttons;
    DWORD threadId;
};

std::vector<RecordedMessage> recordedMessages();
void clearRecordedMessages();
// The texts alone, in order.
std::vector<std::wstring> recordedTexts();
