// The About box: one at a time, its logo drawn for the screen's DPI.
#include "app/about.h"
#include "app/program_module.h"
#include "app/resource.h"

namespace {

HWND about_box;     // the About box while it is open
HBITMAP about_logo; // its logo drawn for the screen's DPI, while it is open

// The logo stretched to the screen's DPI (the program is DPI-aware: the dialog grows with
// the DPI, a bitmap does not); null at 96 DPI or when it cannot be drawn.
HBITMAP logo_for_dpi(HBITMAP logo)
{
    BITMAP size = {};
    if (!logo || !GetObjectA(logo, sizeof size, &size)) return nullptr;
    HDC screen = GetDC(nullptr);
    if (!screen) return nullptr;
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    HBITMAP scaled = nullptr;
    if (dpi > 0 && dpi != 96) {
        const int width = MulDiv(size.bmWidth, dpi, 96), height = MulDiv(size.bmHeight, dpi, 96);
        HDC from = CreateCompatibleDC(screen), to = CreateCompatibleDC(screen);
        scaled = from && to ? CreateCompatibleBitmap(screen, width, height) : nullptr;
        if (scaled) {
            HGDIOBJ old_from = SelectObject(from, logo), old_to = SelectObject(to, scaled);
            SetStretchBltMode(to, HALFTONE);
            SetBrushOrgEx(to, 0, 0, nullptr);
            StretchBlt(to, 0, 0, width, height, from, 0, 0, size.bmWidth, size.bmHeight, SRCCOPY);
            SelectObject(from, old_from);
            SelectObject(to, old_to);
        }
        if (from) DeleteDC(from);
        if (to) DeleteDC(to);
    }
    ReleaseDC(nullptr, screen);
    return scaled;
}

// The picture control of a dialog (SS_BITMAP), or null.
HWND picture_of(HWND dialog)
{
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP) return child;
    return nullptr;
}

} // namespace

namespace app {

bool show_about_box(HWND owner)
{
    // One About box: a second request brings the open one to the front.
    if (about_box) {
        SetForegroundWindow(about_box);
        return false;
    }
    DialogBoxParamA(app_instance, MAKEINTRESOURCEA(IDD_ABOUTBOX), owner, about_dialog_proc, 0);
    return true;
}

void end_about_box()
{
    if (about_box) EndDialog(about_box, IDCANCEL);
}

} // namespace app

INT_PTR CALLBACK about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: {
        about_box = dialog;
        HWND picture = picture_of(dialog);
        HBITMAP loaded = picture ? reinterpret_cast<HBITMAP>(SendMessageA(picture, STM_GETIMAGE, IMAGE_BITMAP, 0))
                                 : nullptr;
        HBITMAP scaled = logo_for_dpi(loaded);
        if (scaled) {
            // The control sizes itself to the new image; the one it loaded is ours to delete.
            HBITMAP old = reinterpret_cast<HBITMAP>(
                SendMessageA(picture, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(scaled)));
            if (old && old != scaled) DeleteObject(old);
            if (about_logo) DeleteObject(about_logo);
            about_logo = scaled;
        }
        return TRUE;
    }
    case WM_DESTROY:
        if (about_box == dialog) about_box = nullptr;
        break;
    case WM_NCDESTROY:
        // The picture control is gone by now: the logo drawn for it goes too.
        if (about_logo) DeleteObject(about_logo);
        about_logo = nullptr;
        break;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wparam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}
