#include "winhost/input_inject_win.h"

#include "winhost/pointer_scale.h"

Injected InputInjector::mouse(uint32_t eventCode, int x, int y)
{
    actions_.clear();
    if (!mouse_.apply(eventCode, x, y, actions_))
        return Injected::Unknown;
    return pointer(actions_);
}

Injected InputInjector::pointer(const std::vector<PointerAction>& actions)
{
    strokes_.clear();
    keys_.settle(strokes_);  // Shift, held for a Shift-click, goes down before the click
    addKeys(strokes_);
    addPointer(actions);
    return send();
}

Injected InputInjector::key(uint32_t virtualKey, bool down)
{
    strokes_.clear();
    keys_.change(virtualKey, down, strokes_);
    addKeys(strokes_);
    return send();
}

Injected InputInjector::releaseAll(int& keys, int& buttons)
{
    actions_.clear();
    mouse_.releaseAll(actions_);
    strokes_.clear();
    keys_.releaseAll(strokes_);
    keys = int(strokes_.size());
    buttons = int(actions_.size());
    addPointer(actions_);
    addKeys(strokes_);
    return send();
}

void InputInjector::addKeys(const std::vector<KeyStroke>& strokes)
{
    for (const KeyStroke& stroke : strokes) {
        INPUT input = {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = stroke.virtualKey;
        // Windows tells right Shift from left by the scan code, right Ctrl and Alt by the flag.
        input.ki.wScan = WORD(MapVirtualKeyW(stroke.virtualKey, MAPVK_VK_TO_VSC));
        input.ki.dwFlags = (isExtendedKey(stroke.virtualKey) ? KEYEVENTF_EXTENDEDKEY : 0) |
                           (stroke.down ? 0 : KEYEVENTF_KEYUP);
        batch_.push_back(input);
    }
}

void InputInjector::addPointer(const std::vector<PointerAction>& actions)
{
    // The viewer's left is the user's main button, whichever physical button that is here.
    bool swapped = GetSystemMetrics(SM_SWAPBUTTON) != 0;
    // Looked up now: a monitor may have moved. One that is gone takes no moves.
    PixelRect area, desk = virtualDesktop();
    std::string gone;
    bool there = area_.now(area, gone);
    for (const PointerAction& action : actions) {
        INPUT input = {};
        input.type = INPUT_MOUSE;
        if (action.kind == PointerAction::Move) {
            if (!there)
                continue;
            // 0..65535 spans the virtual desktop (without MOUSEEVENTF_VIRTUALDESK: the
            // primary monitor), whichever monitor lies at its left and top.
            AbsolutePoint at = absolutePoint(action.x, action.y, area, desk);
            input.mi.dx = at.x;
            input.mi.dy = at.y;
            input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
        } else {
            int button = action.button;
            if (swapped && button != kButtonMiddle)
                button = button == kButtonLeft ? kButtonRight : kButtonLeft;
            bool press = action.kind == PointerAction::Press;
            if (button == kButtonLeft)
                input.mi.dwFlags = press ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
            else if (button == kButtonRight)
                input.mi.dwFlags = press ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_RIGHTUP;
            else
                input.mi.dwFlags = press ? MOUSEEVENTF_MIDDLEDOWN : MOUSEEVENTF_MIDDLEUP;
        }
        batch_.push_back(input);
    }
}

Injected InputInjector::send()
{
    // One call, so the user's own input cannot land between the events of one message.
    UINT count = UINT(batch_.size());
    UINT taken = count ? SendInput(count, batch_.data(), sizeof(INPUT)) : 0;
    batch_.clear();
    return taken == count ? Injected::Done : Injected::Refused;
}
