#include "common/wide_text.h"

#include <string.h>
#include <wchar.h>

namespace {

// LOCALE_INVARIANT (XP on); the headers name it only for newer targets.
constexpr LCID invariant_locale = 0x007F;

bool high_surrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }

} // namespace

bool utf8_from_wide(const wchar_t* text, char* buffer, int size)
{
    if (size <= 0) return false;
    buffer[0] = '\0';
    if (!text) return true;
    const int length = static_cast<int>(wcslen(text));
    // The whole text fits: one call. Else the longest head that does, never half a pair.
    int made = WideCharToMultiByte(CP_UTF8, 0, text, length, buffer, size - 1, nullptr, nullptr);
    if (made > 0 || length == 0) {
        buffer[made] = '\0';
        return true;
    }
    int kept = length < size - 1 ? length : size - 1;
    for (; kept > 0; --kept) {
        if (high_surrogate(text[kept - 1])) continue;
        made = WideCharToMultiByte(CP_UTF8, 0, text, kept, buffer, size - 1, nullptr, nullptr);
        if (made > 0) break;
    }
    buffer[kept > 0 ? made : 0] = '\0';
    return false;
}

bool wide_from_utf8(const char* text, wchar_t* buffer, int count)
{
    if (count <= 0) return false;
    buffer[0] = L'\0';
    if (!text) return true;
    const int length = static_cast<int>(strlen(text));
    int made = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, buffer, count - 1);
    if (made > 0 || length == 0) {
        buffer[made] = L'\0';
        return true;
    }
    // Cut, or not UTF-8: what reads is kept (a character that does not is U+FFFD).
    made = MultiByteToWideChar(CP_UTF8, 0, text, length, buffer, count - 1);
    for (int kept = length; made == 0 && kept > 0;) {
        --kept;
        while (kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xC0) == 0x80) --kept;
        made = MultiByteToWideChar(CP_UTF8, 0, text, kept, buffer, count - 1);
    }
    buffer[made] = L'\0';
    return false;
}

bool same_name(const wchar_t* a, const wchar_t* b)
{
    const size_t length = wcslen(a);
    if (wcslen(b) != length) return false;
    // In pieces, so that a path of any length is compared without the heap.
    constexpr int piece = 256;
    wchar_t upper_a[piece], upper_b[piece];
    for (size_t at = 0; at < length; at += piece) {
        const int n = static_cast<int>(length - at < piece ? length - at : piece);
        if (LCMapStringW(invariant_locale, LCMAP_UPPERCASE, a + at, n, upper_a, piece) != n ||
            LCMapStringW(invariant_locale, LCMAP_UPPERCASE, b + at, n, upper_b, piece) != n)
            return wcsncmp(a + at, b + at, n) == 0 && wcscmp(a + at + n, b + at + n) == 0;
        if (wmemcmp(upper_a, upper_b, n) != 0) return false;
    }
    return true;
}

wide_buffer::wide_buffer(int count)
    : text_(count > 0 ? static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, count * sizeof(wchar_t))) : nullptr),
      count_(text_ ? count : 0)
{
    if (text_) text_[0] = L'\0';
}

wide_buffer::~wide_buffer()
{
    if (text_) HeapFree(GetProcessHeap(), 0, text_);
}

wchar_t* copy_text(const wchar_t* text)
{
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, bytes));
    if (copy) memcpy(copy, text, bytes);
    return copy;
}

void free_text(wchar_t* text)
{
    if (text) HeapFree(GetProcessHeap(), 0, text);
}
