// The tray's words: which notices hold now, the tooltip, the balloon's text and the box that
// explains a clicked balloon, all composed in UTF-8 and handed to the shell as UTF-16.
#include "app/tray_words.h"
#include "app/resource.h"
#include "common/settings.h"
#include "daemon/daemon.h"
#include "notice/notice.h"
#include "registry/registry.h"

#include <stdio.h>
#include <string.h>

namespace app {

// A notice that matters now: those about the on sequence only while Gaming Mode is on.
bool notice_matters(int id, int game_mode_on)
{
    // A plan that could not be given back is told after an off, or by the start after a
    // "/k" that had no window to tell it in: it holds while Gaming Mode is off; so does a
    // list of programs that cannot be read.
    bool about_sequence = id != NOTICE_PIPE_NAME_TAKEN && id != NOTICE_RESTORE_PENDING &&
                          id != NOTICE_PLAN_NOT_GIVEN_BACK && id != NOTICE_LIST_UNREAD;
    return game_mode_on || !about_sequence;
}

// The notices that hold now: raised, and mattering in this state.
unsigned notices_holding(int game_mode_on, unsigned raised)
{
    unsigned holding = 0;
    for (int id = 0; id < NOTICE_COUNT; ++id)
        if ((raised & (1u << id)) && notice_matters(id, game_mode_on)) holding |= 1u << id;
    return holding;
}

// UTF-8 text into a wide field of count characters, always ended (cut where it must).
void put_wide(const char* text, wchar_t* field, int count)
{
    if (!MultiByteToWideChar(CP_UTF8, 0, text, -1, field, count)) {
        // Too long: as much as fits.
        int done = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(strlen(text)), field, count - 1);
        field[done > 0 ? done : 0] = L'\0';
    }
}

// A sentence a line: a balloon that does not wrap its text (Wine's) still shows it whole.
static void line_a_sentence(char* text)
{
    for (char* end = strstr(text, ". "); end; end = strstr(end + 1, ". ")) end[1] = '\n';
}

// The balloon's text: the notices in order, a paragraph each, as many whole ones as the
// shell shows (255 characters); a click on the balloon tells them all.
void compose_balloon(unsigned notices, char* text, int size)
{
    const int shown = 255;
    const char more[] = "Click here for the other warnings.";
    text[0] = '\0';
    int used = 0;
    for (int id = 0; id < NOTICE_COUNT; ++id) {
        if (!(notices & (1u << id))) continue;
        char one[256];
        notice_text(static_cast<notice_id>(id), one, sizeof one);
        line_a_sentence(one);
        const int length = static_cast<int>(strlen(one)) + (used ? 1 : 0);
        const bool last = (notices >> (id + 1)) == 0;
        const int room = shown - used - (last ? 0 : static_cast<int>(sizeof more));
        if (length > room && used) {
            _snprintf(text + used, size - used, "\n%s", more);
            text[size - 1] = '\0';
            return;
        }
        _snprintf(text + used, size - used, "%s%s", used ? "\n" : "", one);
        text[size - 1] = '\0';
        used = static_cast<int>(strlen(text));
    }
}

// A balloon was clicked: what it told, in full, with what to do, in a box of its own.
void explain_balloon(HWND window, unsigned notices)
{
    char text[NOTICE_COUNT * 260 + 128] = "";
    for (int id = 0; id < NOTICE_COUNT; ++id) {
        if (!(notices & (1u << id))) continue;
        char one[256];
        notice_text(static_cast<notice_id>(id), one, sizeof one);
        strcat(text, one);
        strcat(text, "\n\n");
    }
    if (!text[0]) return;
    strcat(text, "Status, in the tray menu, tells what the last Gaming Mode on did.");
    static wchar_t wide[sizeof text];
    put_wide(text, wide, sizeof text);
    MessageBoxW(window, wide, L"QEL Pacemill", MB_OK | MB_ICONWARNING);
}

// The first time ever that a listed program switches Gaming Mode on, the balloon says so
// (stored as follow_told); true when this is that time.
bool first_follow_balloon(const char* program)
{
    if (!*program) return false;
    DWORD told = 0;
    if (get_registry_typed(HKEY_CURRENT_USER, settings_key, "follow_told", REG_DWORD, &told, sizeof told) && told)
        return false;
    set_registry_dword(HKEY_CURRENT_USER, settings_key, "follow_told", 1);
    return true;
}

} // namespace app

using app::notice_matters;
using app::notices_holding;

namespace {
const char* tray_answer_brief = "";
} // namespace

void set_tray_answer_brief(const char* brief)
{
    tray_answer_brief = brief ? brief : "";
}

void format_tray_tip(char* buffer, int size, int game_mode_on, unsigned raised)
{
    if (size <= 0) return;
    // An on-period that a listed program began names it.
    char followed[MAX_PATH];
    if (!game_mode_on || !Qel_DaemonFollowedProgram(followed, sizeof followed)) followed[0] = '\0';
    int used = _snprintf(buffer, size, "%s: Gaming Mode %s%s%s", app::tray_title, game_mode_on ? "on" : "off",
                         followed[0] ? " for " : "", followed);
    if (used < 0 || used >= size) {
        buffer[size - 1] = '\0';
        return;
    }
    // How far apart the counters were found after the sync, while Gaming Mode is on.
    char sync_line[64];
    notice_sync_line(sync_line, sizeof sync_line);
    if (game_mode_on && sync_line[0]) {
        int more = _snprintf(buffer + used, size - used, "\n%s", sync_line);
        if (more >= 0 && more < size - used) used += more;
        buffer[used] = '\0';
    }
    // What Gaming Mode left out, or what still stands in the way, one brief a line; a brief
    // that two notices share (power plan unchanged) is said once.
    const char* said[NOTICE_COUNT];
    int said_count = 0;
    for (int id = 0; id < NOTICE_COUNT; ++id) {
        if (!(raised & (1u << id))) continue;
        if (!notice_matters(id, game_mode_on)) continue;
        const char* brief = notice_short(static_cast<notice_id>(id));
        bool repeated = false;
        for (int k = 0; k < said_count; ++k) repeated = repeated || strcmp(said[k], brief) == 0;
        if (repeated) continue;
        said[said_count++] = brief;
        int more = _snprintf(buffer + used, size - used, "\n%s", brief);
        if (more < 0 || more >= size - used) break; // the tooltip is full: cut at a whole line
        used += more;
    }
    // What this PC lacks, where no notice about the driver says it already.
    const unsigned driver_notices = (1u << NOTICE_DRIVER_ABSENT) | (1u << NOTICE_DRIVER_REFUSED);
    if (*tray_answer_brief && !(notices_holding(game_mode_on, raised) & driver_notices)) {
        const int more = _snprintf(buffer + used, size - used, "\n%s", tray_answer_brief);
        if (more >= 0 && more < size - used) used += more;
    }
    buffer[used] = '\0';
}

int tray_icon_id(int game_mode_on, unsigned raised)
{
    if (notices_holding(game_mode_on, raised)) return game_mode_on ? IDI_TRAY_ON_WARNING : IDI_TRAY_OFF_WARNING;
    return game_mode_on ? IDI_TRAY_ON : IDI_TICKMEND;
}
