// The key tables against the system's own XKB data: for every code, the key it names
// exists on the keyboard that layout describes and types there, plain and shifted, what the
// key that sends the code types on Windows.
#include <gtest/gtest.h>

#include <xkbcommon/xkbcommon.h>

#include <map>
#include <memory>
#include <utility>

#include "host/key_table.h"

namespace {

using Syms = std::pair<xkb_keysym_t, xkb_keysym_t>;  // plain and shifted; 0 is not checked

// The first level only, or the keypad's NumLock level.
const std::map<uint32_t, Syms> kBoth = {
    {0x03, {XKB_KEY_Pause, 0}}, {0x08, {XKB_KEY_BackSpace, 0}}, {0x09, {XKB_KEY_Tab, 0}},
    {0x0C, {XKB_KEY_KP_Begin, XKB_KEY_KP_5}}, {0x0D, {XKB_KEY_Return, 0}}, {0x10, {XKB_KEY_Shift_L, 0}},
    {0x11, {XKB_KEY_Control_L, 0}}, {0x12, {XKB_KEY_Alt_L, 0}}, {0x13, {XKB_KEY_Pause, 0}},
    {0x1B, {XKB_KEY_Escape, 0}}, {0x20, {XKB_KEY_space, 0}}, {0x21, {XKB_KEY_Prior, 0}}, {0x22, {XKB_KEY_Next, 0}},
    {0x23, {XKB_KEY_End, 0}}, {0x24, {XKB_KEY_Home, 0}}, {0x25, {XKB_KEY_Left, 0}}, {0x26, {XKB_KEY_Up, 0}},
    {0x27, {XKB_KEY_Right, 0}}, {0x28, {XKB_KEY_Down, 0}}, {0x2C, {XKB_KEY_Print, 0}},
    {0x2D, {XKB_KEY_Insert, 0}}, {0x2E, {XKB_KEY_Delete, 0}}, {0x5B, {XKB_KEY_Super_L, 0}},
    {0x5C, {XKB_KEY_Super_R, 0}}, {0x5D, {XKB_KEY_Menu, 0}}, {0x6A, {XKB_KEY_KP_Multiply, 0}},
    {0x6B, {XKB_KEY_KP_Add, 0}}, {0x6D, {XKB_KEY_KP_Subtract, 0}}, {0x6E, {XKB_KEY_KP_Delete, XKB_KEY_KP_Decimal}},
    {0x6F, {XKB_KEY_KP_Divide, 0}}, {0x90, {XKB_KEY_Num_Lock, 0}}, {0x91, {XKB_KEY_Scroll_Lock, 0}},
    {0xA0, {XKB_KEY_Shift_L, 0}}, {0xA1, {XKB_KEY_Shift_R, 0}}, {0xA2, {XKB_KEY_Control_L, 0}},
    {0xA3, {XKB_KEY_Control_R, 0}}, {0xA4, {XKB_KEY_Alt_L, 0}}, {0xA5, {XKB_KEY_Alt_R, 0}},
    {0xBC, {',', '<'}}, {0xBE, {'.', '>'}}, {0xBF, {'/', '?'}},
};

const std::map<uint32_t, Syms> kUs = {
    {0xC0, {'`', '~'}}, {0xBD, {'-', '_'}}, {0xBB, {'=', '+'}}, {0xDB, {'[', '{'}}, {0xDD, {']', '}'}},
    {0xDC, {'\\', '|'}}, {0xBA, {';', ':'}}, {0xDE, {'\'', '"'}}, {0x14, {XKB_KEY_Caps_Lock, 0}},
    {0xE2, {0, 0}},  // the ISO key: Windows types \ | there, X's us layout < >
};

const std::map<uint32_t, Syms> kJis = {
    {0xBD, {'-', '='}}, {0xDE, {'^', '~'}}, {0xC0, {'@', '`'}}, {0xDB, {'[', '{'}}, {0xBB, {';', '+'}},
    {0xBA, {':', '*'}}, {0xDD, {']', '}'}}, {0xE2, {'\\', '_'}},
    {0xDC, {'\\', '|'}},  // ¥: the code page's 0x5C
    {0xF3, {XKB_KEY_Zenkaku_Hankaku, 0}}, {0xF4, {XKB_KEY_Zenkaku_Hankaku, 0}}, {0x19, {XKB_KEY_Zenkaku_Hankaku, 0}},
    {0x1C, {XKB_KEY_Henkan, 0}}, {0x1D, {XKB_KEY_Muhenkan, 0}}, {0xF2, {XKB_KEY_Hiragana_Katakana, 0}},
    {0x15, {XKB_KEY_Hiragana_Katakana, 0}}, {0xF1, {XKB_KEY_Hiragana_Katakana, 0}},
    {0xF5, {XKB_KEY_Hiragana_Katakana, 0}}, {0xF6, {XKB_KEY_Hiragana_Katakana, 0}},
    {0xF0, {XKB_KEY_Eisu_toggle, XKB_KEY_Caps_Lock}}, {0x14, {XKB_KEY_Eisu_toggle, XKB_KEY_Caps_Lock}},
};

xkb_keysym_t symAt(xkb_keymap* keymap, xkb_keycode_t code, unsigned level)
{
    const xkb_keysym_t* syms = nullptr;
    return xkb_keymap_key_get_syms_by_level(keymap, code, 0, level, &syms) == 1 ? syms[0] : 0;
}

TEST(KeyPlaceTest, EveryCodeNamesAKeyThatTypesWhatWindowsTypesThere)
{
    struct Case {
        KeyboardLayout layout;
        const char* model;
        const char* xLayout;
        const std::map<uint32_t, Syms>& own;
        const char* shiftedDigits;  // from 0; a space where Windows types nothing
    };
    for (const Case& c : {Case{KeyboardLayout::Us, "pc105", "us", kUs, ")!@#$%^&*("},
                          Case{KeyboardLayout::Jis, "jp106", "jp", kJis, " !\"#$%&'()"}}) {
        std::unique_ptr<xkb_context, void (*)(xkb_context*)> context(
            xkb_context_new(xkb_context_flags(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES)), xkb_context_unref);
        ASSERT_TRUE(context && xkb_context_include_path_append(context.get(), "/usr/share/X11/xkb"));
        xkb_rule_names names{"evdev", c.model, c.xLayout, "", ""};
        std::unique_ptr<xkb_keymap, void (*)(xkb_keymap*)> keymap(
            xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS), xkb_keymap_unref);
        ASSERT_TRUE(keymap) << c.xLayout;

        std::map<uint32_t, Syms> expected = kBoth;
        expected.insert(c.own.begin(), c.own.end());
        for (uint32_t i = 0; i < 26; ++i)
            expected['A' + i] = {XKB_KEY_a + i, XKB_KEY_A + i};
        for (uint32_t i = 0; i < 10; ++i) {
            expected['0' + i] = {XKB_KEY_0 + i, xkb_keysym_t(c.shiftedDigits[i] == ' ' ? 0 : c.shiftedDigits[i])};
            expected[0x60 + i] = {0, XKB_KEY_KP_0 + i};
        }
        for (uint32_t i = 0; i < 24; ++i)
            expected[0x70 + i] = {i < 12 ? XKB_KEY_F1 + i : 0, 0};  // F13 on: launcher keysyms on X

        for (uint32_t key = 0; key < 256; ++key) {
            std::string place = keyPlace(c.layout, key);
            auto want = expected.find(key);
            SCOPED_TRACE(testing::Message() << c.xLayout << " 0x" << std::hex << key << " " << place);
            if (want == expected.end()) {
                EXPECT_EQ(place, "");
                continue;
            }
            xkb_keycode_t code = xkb_keymap_key_by_name(keymap.get(), place.c_str());
            ASSERT_NE(code, XKB_KEYCODE_INVALID);
            auto [plain, shifted] = want->second;
            if (plain)
                EXPECT_EQ(symAt(keymap.get(), code, 0), plain);
            if (shifted)
                EXPECT_EQ(symAt(keymap.get(), code, 1), shifted);
        }
    }
}

}  // namespace
