// The key codes of the key maps (CallbackMap), as the display's key reading
// delivers them: character keys by their character code, the arrow keys as
// 81 to 84, and the codes the window library gives the left and right arrows
// on Windows.
#pragma once

constexpr int KEY_ESCAPE = 27;
constexpr int KEY_SPACE = 32;
constexpr int KEY_A = 97;
constexpr int KEY_H = 104;
constexpr int KEY_Q = 113;
constexpr int KEY_R = 114;
constexpr int KEY_S = 115;
constexpr int KEY_W = 119;

constexpr int KEY_LEFT = 81;
constexpr int KEY_RIGHT = 83;

// Virtual-key codes 37 and 39 shifted left by 16 bits.
constexpr int KEY_LEFT_WINDOWS = 2424832;
constexpr int KEY_RIGHT_WINDOWS = 2555904;
