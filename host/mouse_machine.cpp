#include "host/mouse_machine.h"

#include <algorithm>

#include "wire/input_wire.h"

bool MouseMachine::apply(uint32_t eventCode, int x, int y, std::vector<PointerAction>& out)
{
    switch (eventCode) {
    case kMouseLeftDrag:
    case kMouseLeftUp:
    case MSG_MOUSE_DBLCLK:
    case kMouseRightDown:
    case kMouseRightUp:
    case kMouseMiddleDown:
    case kMouseMiddleUp:
        break;
    default:
        return false;
    }
    out.push_back({PointerAction::Move, x, y, 0});
    switch (eventCode) {
    case kMouseLeftDrag:
        press(kButtonLeft, out);
        break;
    case kMouseLeftUp:
        press(kButtonLeft, out);  // a click when the button was up
        release(kButtonLeft, out);
        break;
    case MSG_MOUSE_DBLCLK:
        // The second press of a double click; the release that follows lets it go.
        release(kButtonLeft, out);
        press(kButtonLeft, out);
        break;
    case kMouseRightDown:
        press(kButtonRight, out);
        break;
    case kMouseRightUp:
        release(kButtonRight, out);
        break;
    case kMouseMiddleDown:
        press(kButtonMiddle, out);
        break;
    case kMouseMiddleUp:
        release(kButtonMiddle, out);
        break;
    }
    return true;
}

void MouseMachine::releaseAll(std::vector<PointerAction>& out)
{
    for (int button : {kButtonLeft, kButtonMiddle, kButtonRight})
        release(button, out);
}

void MouseMachine::press(int button, std::vector<PointerAction>& out)
{
    if (down_[button])
        return;
    down_[button] = true;
    out.push_back({PointerAction::Press, 0, 0, button});
}

void MouseMachine::release(int button, std::vector<PointerAction>& out)
{
    if (!down_[button])
        return;
    down_[button] = false;
    out.push_back({PointerAction::Release, 0, 0, button});
}

void clampToScreen(uint32_t position, int width, int height, int& x, int& y)
{
    x = std::clamp(int(position & 0xFFFF), 0, std::max(0, width - 1));
    y = std::clamp(int(position >> 16), 0, std::max(0, height - 1));
}
