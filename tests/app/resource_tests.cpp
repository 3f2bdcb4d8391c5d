// The program's resources, linked into this test program from the same app.rc: what the
// window, the menus, the About box and Explorer's properties page load from them.
#include "app/app.h"
#include "app/resource.h"
#include "app_test_support.h"
#include "support/test_support.h"
#include "tickmend_version.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace app_testing;

namespace {

const WORD english_us = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

struct FoundResources {
    std::vector<std::string> names;
    std::vector<WORD> languages;
};

BOOL CALLBACK on_resource_language(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR param)
{
    reinterpret_cast<FoundResources*>(param)->languages.push_back(language);
    return TRUE;
}

BOOL CALLBACK on_resource_name(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR param)
{
    auto* found = reinterpret_cast<FoundResources*>(param);
    found->names.push_back(std::to_string(reinterpret_cast<ULONG_PTR>(type)) + "/" +
                           (IS_INTRESOURCE(name) ? std::to_string(reinterpret_cast<ULONG_PTR>(name)) : name));
    EnumResourceLanguagesA(module, type, name, on_resource_language, param);
    return TRUE;
}

TEST(Resources, EveryResourceIsEnglishUnitedStates)
{
    FoundResources found;
    for (LPCSTR type : {RT_ICON, RT_GROUP_ICON, RT_BITMAP, RT_STRING, RT_MENU, RT_ACCELERATOR, RT_DIALOG,
                        RT_VERSION})
        EnumResourceNamesA(instance(), type, on_resource_name, reinterpret_cast<LONG_PTR>(&found));
    // 4 icon groups of 5 images, bitmap, string block, menu, accelerators, three dialogs (About,
    // the followed programs, the status window), version.
    EXPECT_EQ(32u, found.names.size());
    ASSERT_EQ(found.names.size(), found.languages.size()) << "one language each";
    for (WORD language : found.languages) EXPECT_EQ(english_us, language);
}

TEST(Resources, StringsNameTheWindowAndItsClass)
{
    char text[100];
    SetLastError(0xdeadbeef);
    memset(text, 'x', sizeof text);
    EXPECT_EQ(8, LoadStringA(instance(), IDS_APP_TITLE, text, sizeof text));
    EXPECT_STREQ("tickmend", text);
    memset(text, 'x', sizeof text);
    EXPECT_EQ(8, LoadStringA(instance(), IDC_TICKMEND, text, sizeof text));
    EXPECT_STREQ("TICKMEND", text);
}

// The 16x16 image of an icon as 32-bit pixels, top row first.
std::vector<DWORD> small_pixels(int id)
{
    std::vector<DWORD> pixels(16 * 16);
    HICON icon = static_cast<HICON>(LoadImageA(instance(), MAKEINTRESOURCEA(id), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    if (!icon) return {};
    ICONINFO info = {};
    GetIconInfo(icon, &info);
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = 16;
    bmi.bmiHeader.biHeight = -16;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    HDC dc = GetDC(nullptr);
    GetDIBits(dc, info.hbmColor, 0, 16, pixels.data(), &bmi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
    return pixels;
}

TEST(Resources, EachIconHoldsFiveSizesIn32BitColourAndOnIsNotOff)
{
#pragma pack(push, 2)
    struct GroupEntry {
        BYTE width, height, colours, reserved;
        WORD planes, bit_count;
        DWORD bytes;
        WORD id;
    };
    struct GroupHeader {
        WORD reserved, type, count;
    };
#pragma pack(pop)
    for (int id : {IDI_TICKMEND, IDI_TRAY_ON, IDI_TRAY_OFF_WARNING, IDI_TRAY_ON_WARNING}) {
        SCOPED_TRACE(id);
        HRSRC found = FindResourceExA(instance(), RT_GROUP_ICON, MAKEINTRESOURCEA(id), english_us);
        ASSERT_NE(nullptr, found);
        auto* header = static_cast<const GroupHeader*>(LockResource(LoadResource(instance(), found)));
        ASSERT_NE(nullptr, header);
        auto* entries = reinterpret_cast<const GroupEntry*>(header + 1);
        std::vector<int> sizes;
        for (int i = 0; i < header->count; ++i) {
            sizes.push_back(entries[i].width);
            EXPECT_EQ(entries[i].width, entries[i].height);
            EXPECT_EQ(32, entries[i].bit_count);
        }
        EXPECT_EQ((std::vector<int>{16, 20, 24, 32, 48}), sizes);
        // The tray asks for the small size and gets the 16x16 image, not a shrunk larger one.
        int chosen = LookupIconIdFromDirectoryEx(reinterpret_cast<BYTE*>(const_cast<GroupHeader*>(header)), TRUE,
                                                 16, 16, LR_DEFAULTCOLOR);
        EXPECT_EQ(entries[0].id, chosen);
    }
    // At 16 px the four differ in many pixels, not in a stray one.
    const std::vector<DWORD> icons[] = {small_pixels(IDI_TICKMEND), small_pixels(IDI_TRAY_ON),
                                        small_pixels(IDI_TRAY_OFF_WARNING), small_pixels(IDI_TRAY_ON_WARNING)};
    for (int a = 0; a < 4; ++a) {
        ASSERT_EQ(256u, icons[a].size());
        for (int b = a + 1; b < 4; ++b) {
            int differ = 0;
            for (int i = 0; i < 256; ++i) differ += icons[a][i] != icons[b][i];
            EXPECT_GT(differ, 20) << a << " and " << b;
        }
    }
}

TEST(Resources, LogoIs95By37With8BitsPerPixel)
{
    HBITMAP logo = static_cast<HBITMAP>(
        LoadImageA(instance(), MAKEINTRESOURCEA(IDB_LOGO), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    ASSERT_NE(nullptr, logo);
    DIBSECTION dib = {};
    ASSERT_EQ(static_cast<int>(sizeof dib), GetObjectA(logo, sizeof dib, &dib));
    EXPECT_EQ(95, dib.dsBm.bmWidth);
    EXPECT_EQ(37, dib.dsBm.bmHeight);
    EXPECT_EQ(8, dib.dsBm.bmBitsPixel);
    // Not a blank square: the logo has at least a background, a face and a hand colour.
    const BYTE* bits = static_cast<const BYTE*>(dib.dsBm.bmBits);
    bool used[256] = {};
    int distinct = 0;
    for (int y = 0; y < 37; ++y)
        for (int x = 0; x < 95; ++x) {
            BYTE index = bits[y * dib.dsBm.bmWidthBytes + x];
            if (!used[index]) ++distinct;
            used[index] = true;
        }
    EXPECT_GE(distinct, 3);
    DeleteObject(logo);
}

TEST(Resources, ClassMenuHasFileExitAndHelpAbout)
{
    HMENU menu = LoadMenuA(instance(), MAKEINTRESOURCEA(IDC_TICKMEND));
    ASSERT_NE(nullptr, menu);
    ASSERT_EQ(2, GetMenuItemCount(menu));
    HMENU file = GetSubMenu(menu, 0);
    HMENU help = GetSubMenu(menu, 1);
    ASSERT_NE(nullptr, file);
    ASSERT_NE(nullptr, help);
    char text[32];
    GetMenuStringA(menu, 0, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ("&File", text);
    GetMenuStringA(menu, 1, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ("&Help", text);
    EXPECT_EQ((std::vector<std::string>{"E&xit|105"}), menu_items(file));
    EXPECT_EQ((std::vector<std::string>{"&About ...|104"}), menu_items(help));
    DestroyMenu(menu);
}

// Receives what TranslateAccelerator sends.
std::vector<std::pair<UINT, WPARAM>> commands;
LRESULT CALLBACK command_recorder(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_COMMAND || message == WM_SYSCOMMAND) commands.emplace_back(message, wparam);
    return DefWindowProcA(window, message, wparam, lparam);
}

TEST(Resources, AltQuestionMarkAndAltSlashAskForTheAboutBox)
{
    HWND target = make_window("AcceleratorTarget", command_recorder);
    ASSERT_NE(nullptr, target);
    HACCEL table = LoadAcceleratorsA(instance(), MAKEINTRESOURCEA(IDC_TICKMEND));
    ASSERT_NE(nullptr, table);

    // The keyboard as it is while Alt is held (the accelerator looks at the key state).
    BYTE keys[256];
    ASSERT_TRUE(GetKeyboardState(keys));
    BYTE alt_held[256];
    memcpy(alt_held, keys, sizeof keys);
    alt_held[VK_MENU] = alt_held[VK_LMENU] = 0x80;
    alt_held[VK_SHIFT] = alt_held[VK_LSHIFT] = 0;

    const LPARAM alt_context = 0x20000001;
    ASSERT_TRUE(SetKeyboardState(alt_held));
    for (WPARAM key : {WPARAM('?'), WPARAM('/')}) {
        commands.clear();
        MSG msg = {target, WM_SYSCHAR, key, alt_context, 0, {0, 0}};
        EXPECT_TRUE(TranslateAcceleratorA(target, table, &msg)) << char(key);
        ASSERT_EQ(1u, commands.size()) << char(key);
        EXPECT_EQ(static_cast<UINT>(WM_COMMAND), commands[0].first);
        EXPECT_EQ(static_cast<WPARAM>(MAKEWPARAM(IDM_ABOUT, 1)), commands[0].second) << "high word 1: an accelerator";
    }
    // Another character with Alt: nothing.
    commands.clear();
    MSG other = {target, WM_SYSCHAR, 'k', alt_context, 0, {0, 0}};
    EXPECT_FALSE(TranslateAcceleratorA(target, table, &other));
    // The same characters without Alt: nothing.
    keys[VK_MENU] = keys[VK_LMENU] = keys[VK_RMENU] = 0;
    ASSERT_TRUE(SetKeyboardState(keys));
    for (WPARAM key : {WPARAM('?'), WPARAM('/')}) {
        MSG plain = {target, WM_CHAR, key, 1, 0, {0, 0}};
        EXPECT_FALSE(TranslateAcceleratorA(target, table, &plain)) << char(key);
    }
    EXPECT_TRUE(commands.empty());

    DestroyAcceleratorTable(table);
    DestroyWindow(target);
}

// The About box's template, read the way the dialog manager reads it.
struct Control {
    std::string window_class; // "static", "button" or another class name, in lower case
    std::string text;         // or "#131" for a resource ordinal
    int id;
    DWORD style;
    short x, y, cx, cy;
    bool operator==(const Control&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Control& c)
{
    return os << c.window_class << " \"" << c.text << "\" id " << c.id << " style 0x" << std::hex << c.style
              << std::dec << " at " << c.x << "," << c.y << " " << c.cx << "x" << c.cy;
}

struct Reader {
    const BYTE* p;
    WORD word()
    {
        WORD w;
        memcpy(&w, p, 2);
        p += 2;
        return w;
    }
    DWORD dword()
    {
        DWORD d;
        memcpy(&d, p, 4);
        p += 4;
        return d;
    }
    std::string text()
    {
        std::string s;
        for (WORD c = word(); c; c = word()) s += static_cast<char>(c);
        return s;
    }
    // A string or an ordinal (0xFFFF, then the number).
    std::string text_or_ordinal(bool* is_ordinal = nullptr, WORD* ordinal = nullptr)
    {
        WORD first;
        memcpy(&first, p, 2);
        if (first == 0xFFFF) {
            p += 2;
            WORD n = word();
            if (is_ordinal) *is_ordinal = true;
            if (ordinal) *ordinal = n;
            return "#" + std::to_string(n);
        }
        if (is_ordinal) *is_ordinal = false;
        return text();
    }
    void align(const BYTE* base, int to)
    {
        while ((p - base) % to) ++p;
    }
};

TEST(Resources, AboutBoxTemplateHasItsCaptionFontAndSixControls)
{
    HRSRC found = FindResourceExA(instance(), RT_DIALOG, MAKEINTRESOURCEA(IDD_ABOUTBOX), english_us);
    ASSERT_NE(nullptr, found);
    const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(instance(), found)));
    ASSERT_NE(nullptr, base);
    Reader r{base};
    EXPECT_EQ(1, r.word());      // dlgVer
    EXPECT_EQ(0xFFFF, r.word()); // signature: an extended template
    r.dword();                   // help id
    EXPECT_EQ(0u, r.dword());    // extended style
    EXPECT_EQ(static_cast<DWORD>(DS_MODALFRAME | DS_SHELLFONT | DS_CENTER | WS_CAPTION | WS_SYSMENU), r.dword());
    WORD count = r.word();
    EXPECT_EQ(22, static_cast<short>(r.word()));
    EXPECT_EQ(17, static_cast<short>(r.word()));
    EXPECT_EQ(300, static_cast<short>(r.word()));
    EXPECT_EQ(93, static_cast<short>(r.word()));
    EXPECT_EQ("", r.text_or_ordinal()); // no menu
    EXPECT_EQ("", r.text_or_ordinal()); // the standard dialog class
    EXPECT_EQ("About QEL Pacemill", r.text());
    EXPECT_EQ(8, r.word()); // points
    r.word();               // weight
    r.word();               // italic and character set
    EXPECT_EQ("MS Shell Dlg", r.text());

    std::vector<Control> controls;
    for (int i = 0; i < count; ++i) {
        r.align(base, 4);
        Control c;
        r.dword(); // help id
        r.dword(); // extended style
        c.style = r.dword();
        c.x = static_cast<short>(r.word());
        c.y = static_cast<short>(r.word());
        c.cx = static_cast<short>(r.word());
        c.cy = static_cast<short>(r.word());
        c.id = static_cast<int>(r.dword());
        bool atom = false;
        WORD atom_value = 0;
        std::string cls = r.text_or_ordinal(&atom, &atom_value);
        // By atom (0x80 button, 0x82 static) or by name, in any case.
        c.window_class = !atom ? cls : atom_value == 0x80 ? "Button" : atom_value == 0x82 ? "Static" : cls;
        for (char& ch : c.window_class) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        c.text = r.text_or_ordinal();
        WORD extra = r.word();
        r.p += extra;
        controls.push_back(c);
    }
    const DWORD child = WS_CHILD | WS_VISIBLE;
    std::vector<Control> expected = {
        {"static", "Enabled by the QEL Pacemill " TICKMEND_VERSION, -1, child | SS_LEFT | SS_NOPREFIX | WS_GROUP, 76, 19, 215, 8},
        // Windows' usual push button: 50 by 14 dialog units.
        {"button", "OK", IDOK, child | BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, 125, 72, 50, 14},
        {"static", "Power Management will be disabled on Multi-processor systems", -1, child | SS_LEFT | WS_GROUP, 76,
         42, 215, 8},
        {"static", "Gaming Mode", -1, child | SS_LEFT | WS_GROUP, 76, 9, 215, 8},
        {"static", "for optimum game performance.", -1, child | SS_LEFT | WS_GROUP, 76, 53, 215, 8},
        {"static", "#131", -1, child | SS_BITMAP, 12, 12, 48, 19},
    };
    ASSERT_EQ(expected.size(), controls.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(expected[i], controls[i]) << "control " << i;
}

TEST(Resources, AboutBoxShowsItsTextsAndTheLogo)
{
    HWND dialog = CreateDialogParamA(instance(), MAKEINTRESOURCEA(IDD_ABOUTBOX), nullptr, about_dialog_proc, 0);
    ASSERT_NE(nullptr, dialog);
    std::vector<std::string> texts;
    HBITMAP shown = nullptr;
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        char text[128] = "";
        GetWindowTextA(c, text, sizeof text);
        char cls[32] = "";
        GetClassNameA(c, cls, sizeof cls);
        bool picture = lstrcmpiA(cls, "Static") == 0 && (GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP;
        if (picture) shown = reinterpret_cast<HBITMAP>(SendMessageA(c, STM_GETIMAGE, IMAGE_BITMAP, 0));
        else texts.push_back(text);
    }
    EXPECT_EQ((std::vector<std::string>{"Enabled by the QEL Pacemill " TICKMEND_VERSION, "OK",
                                        "Power Management will be disabled on Multi-processor systems", "Gaming Mode",
                                        "for optimum game performance."}),
              texts);
    ASSERT_NE(nullptr, shown) << "the picture control loaded bitmap 131";
    BITMAP bm = {};
    GetObjectA(shown, sizeof bm, &bm);
    EXPECT_EQ(95, bm.bmWidth);
    EXPECT_EQ(37, bm.bmHeight);
    DestroyWindow(dialog);
}

TEST(Resources, VersionBlockDescribesTheProgram)
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    ASSERT_NE(0u, size);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(VS_FFI_SIGNATURE, fixed->dwSignature);
    // The project's version (1.1.2.0 when it was first shipped): 0x00010001, 0x00020000.
    const DWORD ms = MAKELONG(TICKMEND_VERSION_MINOR, TICKMEND_VERSION_MAJOR), ls = MAKELONG(0, TICKMEND_VERSION_PATCH);
    EXPECT_EQ(ms, fixed->dwFileVersionMS);
    EXPECT_EQ(ls, fixed->dwFileVersionLS);
    EXPECT_EQ(ms, fixed->dwProductVersionMS);
    EXPECT_EQ(ls, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VOS__WINDOWS32), fixed->dwFileOS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                               &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(1252, translation[1]);

    struct {
        const char* name;
        const char* value;
    } strings[] = {{"CompanyName", "QEL"},         {"FileDescription", "QEL Pacemill"},
                   {"FileVersion", TICKMEND_VERSION_RC_TEXT},  {"InternalName", "QEL Pacemill"},
                   {"OriginalFilename", "tickmend.exe"}, {"ProductName", "QEL Pacemill"},
                   {"ProductVersion", TICKMEND_VERSION_RC_TEXT}};
    for (const auto& s : strings) {
        char* value = nullptr;
        std::string query = std::string("\\StringFileInfo\\040904E4\\") + s.name;
        ASSERT_TRUE(VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) << s.name;
        EXPECT_STREQ(s.value, value) << s.name;
    }
}

} // namespace

// The shipped executables carry their manifest; XP loads them (the imports test runs them
// through the XP check), later Windows read what is declared.
TEST(Resources, ExecutablesDeclareAsInvokerTheirWindowsVersionsAndDpiAwareness)
{
    for (const char* exe : {"tickmend.exe", "tickmend-ctl.exe"}) {
        SCOPED_TRACE(exe);
        const std::string path = testing_support::product_path(exe);
        HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!module) GTEST_SKIP() << path << " is not built";
        HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
        ASSERT_NE(nullptr, found) << "no manifest";
        const char* text = static_cast<const char*>(LockResource(LoadResource(module, found)));
        const std::string manifest(text, SizeofResource(module, found));
        FreeLibrary(module);
        EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));
        EXPECT_NE(std::string::npos, manifest.find("{e2011457-1546-43c5-a5fe-008deee3d3f0}")) << "Vista";
        EXPECT_NE(std::string::npos, manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}")) << "10";
        EXPECT_NE(std::string::npos, manifest.find(">true</dpiAware>"));
        const bool common_controls = manifest.find("Microsoft.Windows.Common-Controls") != std::string::npos;
        EXPECT_EQ(strcmp(exe, "tickmend.exe") == 0, common_controls) << "version 6 for the window program only";
    }
}
