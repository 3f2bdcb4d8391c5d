// tickmend-ctl: the command-line client of the control pipe, a look at the processor
// topology as the program derives it, and the TSC offsets between the processors.
//
//   tickmend-ctl status|on [--strict]|off [--strict]|topology [--csv]|skew [options]
//                |auto list|add PROGRAM|remove PROGRAM|path add|remove|version|help
//
// Exit codes: 0 done; 1 the pipe answered wrongly or broke off, or the topology could not
// be read, or a measurement failed; 2 no pipe and no tickmend runs; 3 (skew) out of step;
// 4 another program serves the pipe; 5 (on/off --strict) Gaming Mode left something out or
// did not give it back; 6 busy: tickmend did not say its state within its bound, or runs
// without its pipe (another program holds its name); 7 (auto
// remove) the program was not in the list; 8 refused: this process went beyond its share of
// the pipe; 9 (skew, on --strict) cannot tell; 64 usage error. Commands and options are taken in any case.
//
// The arguments are taken as Windows gives them (UTF-16, wmain) and handed on in UTF-8, so
// that a program's name in any language reaches the list as typed; everything printed is
// UTF-8 (console.h).
#include <windows.h>
#include <string.h>

#include "client_machine.h"
#include "console.h"
#include "ctl_auto.h"
#include "ctl_pipe.h"
#include "ctl_topology.h"
#include "ctl_usage.h"
#include "skew.h"
#include "user_path.h"
#include "tickmend_version.h"

namespace {

int run(int argc, char** argv)
{
    if (argc < 2) return usage_error("%s", "no command given");
    client_machine_bounds();
    const char* command = argv[1];
    // The commands with options of their own.
    if (same(command, "topology")) return topology(argc - 2, argv + 2);
    if (same(command, "skew")) return skew_command(argc - 2, argv + 2);
    if (same(command, "auto")) return auto_command(argc - 2, argv + 2);
    if (same(command, "path")) return path_command(argc - 2, argv + 2);
    if (same(command, "on") || same(command, "off")) {
        bool strict = false;
        for (int i = 2; i < argc; ++i) {
            if (!same(argv[i], "--strict"))
                return usage_error("%s takes only --strict, not \"%s\"", same(command, "on") ? "on" : "off", argv[i]);
            strict = true;
        }
        return pipe_command(same(command, "on") ? "1" : "0", strict);
    }
    if (is_help(command)) {
        print_help();
        return exit_ok;
    }
    const bool version = same(command, "version") || same(command, "--version");
    const bool known = same(command, "status") || version;
    if (!known) return usage_error("unknown command \"%s\"", command);
    if (argc > 2) return usage_error("%s takes no argument, not \"%s\"", command, argv[2]);
    if (version) {
        console_out("tickmend-ctl " TICKMEND_VERSION "\n");
        return exit_ok;
    }
    return pipe_command(status_request);
}

} // namespace

int wmain(int argc, wchar_t** wide)
{
    // Each argument in UTF-8 on the process heap, for the life of the process.
    char** argv = static_cast<char**>(HeapAlloc(GetProcessHeap(), 0, (argc + 1) * sizeof(char*)));
    if (!argv) return exit_failed;
    for (int i = 0; i < argc; ++i) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        argv[i] = size > 0 ? static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size)) : nullptr;
        if (!argv[i] || !WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, argv[i], size, nullptr, nullptr)) return exit_failed;
    }
    argv[argc] = nullptr;
    return run(argc, argv);
}
