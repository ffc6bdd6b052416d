// A viewer's InputChannel bytes through what a host makes of them: the stream cut into
// messages in receives of any size, mouse events into presses and moves inside the
// screen, key codes into places held and released, and what is left held at the end.
//
// Input: byte 0 is the receive size (1-256), byte 1 the viewer's layout (bit 0: JIS);
// the rest is the stream.
#include <cstdlib>
#include <string>
#include <vector>

#include "host/key_table.h"
#include "host/mouse_machine.h"
#include "wire/input_wire.h"
#include "wire/input_stream.h"

namespace {

constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;

void check(bool holds)
{
    if (!holds)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    size_t piece = size_t(data[0]) + 1;
    KeyboardLayout layout = data[1] & 1 ? KeyboardLayout::Jis : KeyboardLayout::Us;
    data += 2;
    size -= 2;

    InputStream stream;
    MouseMachine mouse;
    KeyTracker keys;
    std::vector<PointerAction> actions;
    size_t held = 0;
    for (size_t at = 0; at < size; at += piece) {
        stream.append(data + at, std::min(piece, size - at));
        InputEvent event;
        while (stream.next(event)) {
            if (event.type == MSG_MOUSE) {
                int x = 0, y = 0;
                clampToScreen(event.position, kScreenWidth, kScreenHeight, x, y);
                check(x >= 0 && x < kScreenWidth && y >= 0 && y < kScreenHeight);
                mouse.apply(event.argument, x, y, actions);
            } else if (event.type == MSG_KEY && event.position < 256 && !isMouseButtonKey(event.position)) {
                std::string place = keyPlace(layout, event.position);
                KeyAction action = keys.change(event.position, place, event.argument == 0);
                check(!place.empty() || action == KeyAction::Nothing);
                held += action == KeyAction::Press;
                held -= action == KeyAction::Release;
            }
        }
        check(stream.pendingSize() < kInputMessageSize);
    }
    // Everything pressed comes up at the end, each place once.
    check(keys.releaseAll().size() == held);
    actions.clear();
    mouse.releaseAll(actions);
    for (int button : {kButtonLeft, kButtonMiddle, kButtonRight})
        check(!mouse.held(button));
    return 0;
}
