#include "app/message_box.h"

int showMessage(HWND owner, const wchar_t* text, UINT buttons)
{
    return MessageBoxW(owner, text, kTitle, buttons);
}
