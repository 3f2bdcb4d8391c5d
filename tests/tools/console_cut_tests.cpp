// A text cut at its buffer's end is cut at a whole character: the client's lines are UTF-8,
// and half a character is no character to a console or to a script that reads the file.
#include "console.h"
#include "common/wide_text.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <string>

namespace {

TEST(Utf8WholeLength, ALastCharacterCutShortIsLeftOutAndAWholeOneKept)
{
    struct Row {
        const char* name;
        std::string text;
        int whole;
    } rows[] = {
        {"empty", "", 0},
        {"ascii", "abc", 3},
        {"two-byte whole", "a\xD0\x81", 3},
        {"two-byte cut", "a\xD0\x81\xD0", 3},
        {"three-byte whole", "\xE3\x82\xB2", 3},
        {"three-byte cut after one", "x\xE3", 1},
        {"three-byte cut after two", "x\xE3\x82", 1},
        {"four-byte whole (emoji)", "\xF0\x9F\x8E\xAE", 4},
        {"four-byte cut after three", "y\xF0\x9F\x8E", 1},
        {"only a lead", "\xF0", 0},
        {"a stray continuation is not ours to judge", "ab\x81", 3},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.whole, utf8_whole_length(row.text.data(), static_cast<int>(row.text.size()))) << row.name;
}

// What console_errf writes of text and then of "x" to a file, as bytes.
std::string written_by_errf(const std::string& text)
{
    wchar_t temp[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    GetTempFileNameW(temp, L"tmc", 0, path);
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "";
    HANDLE was = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, file);
    console_errf("%s\n", text.c_str());
    console_errf("x\n");
    SetStdHandle(STD_ERROR_HANDLE, was);
    std::string written(GetFileSize(file, nullptr), '\0');
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    DWORD read = 0;
    ReadFile(file, &written[0], static_cast<DWORD>(written.size()), &read, nullptr);
    CloseHandle(file);
    DeleteFileW(path);
    written.resize(read);
    return written;
}

// A printf line longer than the client's buffer (1,023 bytes) goes to a file cut at a whole
// character, as a line of its own: two-byte characters after an ASCII one (the line's
// end falls inside a character), and ASCII only (the line's end needs the buffer's last byte).
TEST(ConsoleCut, AFormattedLineTooLongForItsBufferEndsAtAWholeCharacterAndKeepsItsEnd)
{
    std::string cyrillic = "a";
    for (int i = 0; i < 700; ++i) cyrillic += "\xD0\x81"; // Ё
    for (const std::string& text : {cyrillic, std::string(1500, 'a')}) {
        const std::string written = written_by_errf(text);
        ASSERT_GT(written.size(), 1000u);
        EXPECT_GT(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, written.data(), static_cast<int>(written.size()),
                                      nullptr, 0),
                  0)
            << "half a character was written";
        EXPECT_EQ(std::string("\ntickmend-ctl: x\n"), written.substr(written.size() - 17)) << "the next line joined it";
        EXPECT_EQ(2, std::count(written.begin(), written.end(), '\n'));
    }
}

} // namespace
