// The launcher window's fixed geometry and look, shared by the Win32 and the GTK shell.
#pragma once

struct WindowRect {
    int left, top, right, bottom;
};

inline constexpr int designWidth = 900, designHeight = 500;
// The window is 4 pixels larger than its design size; the browser covers all but a 2-pixel rim.
inline constexpr int windowWidth = designWidth + 4, windowHeight = designHeight + 4;
inline constexpr int browserInset = 2;
inline constexpr int rimRed = 17, rimGreen = 74, rimBlue = 75;
inline constexpr int rimPenWidth = 5;
inline constexpr int rimCornerDiameter = 20;     // the painted frame's corner ellipse
inline constexpr int windowCornerDiameter = 10;  // the window shape's corner ellipse

// Centred for the design size (so 2 pixels right of and below the exact centre), truncating
// toward zero; a screen smaller than the design gives a negative edge, passed on unchanged.
constexpr WindowRect launcherWindowRect(int screenWidth, int screenHeight) {
    const int left = (screenWidth - designWidth) / 2;
    const int top = (screenHeight - designHeight) / 2;
    return {left, top, left + windowWidth, top + windowHeight};
}

// The browser's bounds inside a client area of the given size.
constexpr WindowRect browserBounds(int clientWidth, int clientHeight) {
    return {browserInset, browserInset, clientWidth - browserInset, clientHeight - browserInset};
}
