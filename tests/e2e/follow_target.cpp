// follow_target.exe TITLE [MS]: a program with a top-level window named TITLE, as a game is
// to the follower; it runs until its window is closed or it is ended, or for MS milliseconds.
// follow_target.exe TITLE hung: its window shown, it answers no message until it is ended.
#include <windows.h>
#include <stdlib.h>
#include <string.h>

namespace {

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_DESTROY) PostQuitMessage(0);
    if (message == WM_TIMER) DestroyWindow(window);
    return DefWindowProcA(window, message, wparam, lparam);
}

} // namespace

int main(int argc, char** argv)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = window_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "tickmend_follow_target";
    RegisterClassA(&wc);
    HWND window = CreateWindowExA(0, wc.lpszClassName, argc > 1 ? argv[1] : "follow target", WS_OVERLAPPEDWINDOW,
                                  0, 0, 200, 100, nullptr, nullptr, wc.hInstance, nullptr);
    if (!window) return 1;
    if (argc > 2 && strcmp(argv[2], "hung") == 0) {
        ShowWindow(window, SW_SHOWNOACTIVATE);
        Sleep(INFINITE);
    }
    if (argc > 2) SetTimer(window, 1, static_cast<UINT>(atoi(argv[2])), nullptr);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
}
