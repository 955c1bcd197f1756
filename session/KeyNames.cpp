#include "session/KeyNames.h"

#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/keysymdef.h>

#include <unordered_map>

namespace {
const std::unordered_map<std::string, unsigned long>& table() {
  static const std::unordered_map<std::string, unsigned long> t = [] {
    std::unordered_map<std::string, unsigned long> m = {
        {"Enter", XK_Return},        {"Tab", XK_Tab},
        {"Space", XK_space},         {"Backspace", XK_BackSpace},
        {"Escape", XK_Escape},       {"Delete", XK_Delete},
        {"Left", XK_Left},           {"Right", XK_Right},
        {"Down", XK_Down},           {"Up", XK_Up},
        {"Home", XK_Home},           {"End", XK_End},
        {"PageUp", XK_Prior},        {"PageDown", XK_Next},
        {"Caps", XK_Caps_Lock},      {"Eisu", XK_Eisu_toggle},
        {"Kana", XK_Hiragana_Katakana},
        // The overview of open windows; desktops bind it to the Super key.
        {"MissionControl", XK_Super_L},
        // Keys of the same places on a Japanese layout.
        {":", XK_colon},             {"@", XK_at},
        {"^", XK_asciicircum},       {"¥", XK_yen},
        {"-", XK_minus},             {"=", XK_equal},
        {"]", XK_bracketright},      {"[", XK_bracketleft},
        {"'", XK_apostrophe},        {";", XK_semicolon},
        {"\\", XK_backslash},        {",", XK_comma},
        {"/", XK_slash},             {".", XK_period},
        {"`", XK_grave},
    };
    for (int i = 1; i <= 12; ++i) m["F" + std::to_string(i)] = XK_F1 + (i - 1);
    for (char c = 'a'; c <= 'z'; ++c) m[std::string(1, c)] = XK_a + (c - 'a');
    for (char c = '0'; c <= '9'; ++c) m[std::string(1, c)] = XK_0 + (c - '0');
    return m;
  }();
  return t;
}
}  // namespace

std::optional<unsigned long> keysymForName(const std::string& name) {
  auto it = table().find(name);
  if (it == table().end()) return std::nullopt;
  return it->second;
}

std::optional<unsigned long> keysymForCodePoint(uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) return std::nullopt;
  if (cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return std::nullopt;
  if (cp <= 0xff) return cp;
  return 0x1000000ul + cp;
}

size_t keyNameCount() { return table().size(); }
