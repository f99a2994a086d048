// Runs the thread's message loop in tests until a condition holds or time runs out.
#pragma once

#include <windows.h>

#include <functional>

// True once `done` holds; false after `milliseconds` without it. Quit messages are dropped: the
// tests destroy one launcher window after another.
inline bool pumpUntil(const std::function<bool()>& done, DWORD milliseconds = 5000) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (!done()) {
        if (GetTickCount64() > end) return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (!done()) MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

// Lets everything already posted be handled.
inline void pumpPending() {
    pumpUntil([] { return false; }, 50);
}
