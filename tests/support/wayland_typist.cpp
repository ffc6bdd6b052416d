// The test's Wayland client as a program of its own, for the Windows-side tests: it shows
// the known picture on $WAYLAND_DISPLAY, creates the file named on its command line once
// shown, then appends the text typed into it to that file and writes each button it
// receives to standard output ("button 0x110 down 100,100"). It runs until it is killed.
#include <cstdio>

#include "tests/support/wayland_client.h"

int main(int argc, char** argv)
{
    WaylandClient client(nullptr);
    while (!client.shown())
        usleep(20000);
    FILE* out = argc == 2 ? std::fopen(argv[1], "w") : nullptr;
    if (!out)
        return 2;
    for (size_t written = 0, buttons = 0;; usleep(20000)) {
        std::string text = client.text();
        std::fputs(text.c_str() + written, out);
        std::fflush(out);
        written = text.size();
        std::vector<WaylandClient::Button> now = client.buttons();
        for (; buttons < now.size(); ++buttons) {
            auto [code, pressed, x, y] = now[buttons];
            std::printf("button 0x%x %s %d,%d\n", code, pressed ? "down" : "up", x, y);
        }
        std::fflush(stdout);
    }
}
