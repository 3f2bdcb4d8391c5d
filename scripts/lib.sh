# Shared by the scripts: where things are, and the project's own Wine environment.
# Sourced, not run.

TICKMEND_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${TICKMEND_BUILD_DIR:-$TICKMEND_ROOT/build}
export WINEPREFIX=${TICKMEND_WINEPREFIX:-$BUILD_DIR/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# Our own powrprof.dll before Wine's stubs; no Mono/Gecko prompts; no desktop menu entries.
export WINEDLLOVERRIDES="powrprof=n,b;mscoree=;mshtml=;winemenubuilder.exe=d"

die() { printf '%s\n' "$*" >&2; exit 2; }

# A display for everything that creates a window. Without one, Wine's window-using
# processes fail, and keep failing in the same wineserver session even after one is set.
ensure_display() {
    [ -n "${DISPLAY:-}" ] && return 0
    mkdir -p "$BUILD_DIR"
    local f="$BUILD_DIR/.xvfb" n pid
    if [ -f "$f" ]; then
        read -r n pid < "$f"
        if kill -0 "$pid" 2>/dev/null; then export DISPLAY=":$n"; return 0; fi
        rm -f "$f"
    fi
    command -v Xvfb >/dev/null || die "Xvfb is missing: run scripts/setup as root"
    for n in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        setsid Xvfb ":$n" -nolisten tcp -screen 0 1024x768x24 </dev/null >"$BUILD_DIR/xvfb.log" 2>&1 &
        pid=$!
        for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
        if kill -0 "$pid" 2>/dev/null; then
            echo "$n $pid" > "$f"
            export DISPLAY=":$n"
            return 0
        fi
    done
    die "could not start Xvfb (see $BUILD_DIR/xvfb.log)"
}

# The folder where a 32-bit program's C:\windows\system32 lies in this prefix.
wine_system_dir() {
    if [ -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
        echo "$WINEPREFIX/drive_c/windows/syswow64"
    else
        echo "$WINEPREFIX/drive_c/windows/system32"
    fi
}

# Copies the stand-ins that the build made into the prefix, where every program finds them.
install_stand_ins() {
    local sys f
    sys=$(wine_system_dir)
    for f in powrprof.dll powercfg.exe; do
        if [ -f "$BUILD_DIR/$f" ] && ! cmp -s "$BUILD_DIR/$f" "$sys/$f"; then
            # A new file, not the old one written over: a cloned prefix shares the old one.
            cp --remove-destination "$BUILD_DIR/$f" "$sys/$f"
        fi
    done
}

# The project's own prefix, which every other one is cloned from.
main_prefix() { echo "$BUILD_DIR/wineprefix"; }
# Where the test entries' own prefixes are (one folder each, named by the entry).
test_prefixes() { echo "$BUILD_DIR/test/prefixes"; }

# A prefix made by copying a booted one ($1) to $2: seconds, where booting a new one takes
# half a minute or more. The system folders (most of its size) are linked, not copied:
# Wine writes nothing into them, and install_stand_ins replaces a file rather than writing
# into it. The copy is made beside and renamed, so a prefix is either whole or absent.
clone_prefix() { # FROM TO
    local from=$1 to=$2 tmp="$2.new.$$" d
    rm -rf "$tmp" && mkdir -p "$tmp" || return 1
    tar -C "$from" --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/syswow64 -cf - . |
        tar -C "$tmp" -xf - || { rm -rf "$tmp"; return 1; }
    for d in system32 syswow64; do
        [ -d "$from/drive_c/windows/$d" ] || continue
        cp -al "$from/drive_c/windows/$d" "$tmp/drive_c/windows/$d" || { rm -rf "$tmp"; return 1; }
    done
    mv -T "$tmp" "$to" || { rm -rf "$tmp"; return 1; }
}

# Prefix, display, a persistent wineserver and Wine's own services, all started with
# their output in files, so that none of them holds a caller's output open.
wine_env() {
    command -v wine >/dev/null || die "wine is missing: run scripts/setup as root"
    # The outermost script that sets Wine up is the one that stops it (scripts/run started
    # by a test of scripts/test leaves the suite's wineserver and display running).
    export TICKMEND_WINE_OWNER=${TICKMEND_WINE_OWNER:-$$}
    ensure_display
    mkdir -p "$BUILD_DIR"
    local main
    main=$(main_prefix)
    # Another prefix (a test entry's own) is cloned from the project's, booted first. Each
    # prefix is set up under a lock of its own, so prefixes start side by side.
    [ "$WINEPREFIX" = "$main" ] || [ -f "$WINEPREFIX/system.reg" ] || (WINEPREFIX=$main wine_env) || return 1
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"${WINEPREFIX%/}.lock"
    flock 9
    if [ "$WINEPREFIX" != "$main" ] && [ ! -f "$WINEPREFIX/system.reg" ]; then
        rm -rf "$WINEPREFIX"
        clone_prefix "$main" "$WINEPREFIX" || die "could not copy the Wine prefix $main to $WINEPREFIX"
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i </dev/null >"$BUILD_DIR/wineboot.log" 2>&1
        wineserver -w
    fi
    if ! wineserver_running; then
        setsid wineserver -p </dev/null >>"$BUILD_DIR/wineserver.log" 2>&1
        wine cmd /c exit </dev/null >>"$BUILD_DIR/wineserver.log" 2>&1
    fi
    install_stand_ins
    unmanaged_windows
    flock -u 9
    exec 9>&-
}

# Windows that no window manager manages: with none running (Xvfb), Wine waits 2 s for one to
# take every hidden top-level window away (a message box, the About box, the tray icon's
# window) before it goes on; unmanaged, they go at once.
unmanaged_windows() {
    grep -qs '^"Managed"="N"' "$WINEPREFIX/user.reg" && return 0
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >>"$BUILD_DIR/wineserver.log" 2>&1
}

# A machine switched on afresh: ends an instance an earlier run left running (its "/k" also
# gives back what an earlier run still owes), then forgets the program's settings in this
# prefix (start_mode above all), so that nothing of an earlier run carries over.
# $1: the program (tickmend-sim.exe), run with the simulated machine of the environment.
fresh_settings() {
    wine "$1" /k </dev/null >/dev/null 2>&1
    wine reg delete 'HKCU\Software\QEL\qel_pacemill' /f </dev/null >/dev/null 2>&1
    return 0
}

wineserver_running() {
    # Any wine client that finds no server starts one; look at the server's socket instead.
    local id
    id=$(stat -c '%d %i' "$WINEPREFIX" 2>/dev/null) || return 1
    set -- $id
    local s
    for s in /tmp/wine-*/"server-$(printf '%x' "$1")-$(printf '%x' "$2")"/socket \
             /tmp/.wine-"$(id -u)"/"server-$(printf '%x' "$1")-$(printf '%x' "$2")"/socket; do
        [ -S "$s" ] && return 0
    done
    return 1
}

# Ends what wine_env started: the wineserver (and with it every Wine process) and our Xvfb;
# nothing when a script that started this one set Wine up. The test entries' own prefixes
# (tests/CMakeLists.txt), each with its wineserver, go too.
wine_stop() {
    [ "${TICKMEND_WINE_OWNER:-$$}" = "$$" ] || return 0
    wineserver -k 2>/dev/null
    local prefix
    for prefix in "$(test_prefixes)"/*/; do
        [ -f "$prefix/system.reg" ] && WINEPREFIX=${prefix%/} wineserver -k 2>/dev/null
    done
    local f="$BUILD_DIR/.xvfb" n pid
    if [ -f "$f" ]; then
        read -r n pid < "$f"
        kill "$pid" 2>/dev/null
        rm -f "$f"
    fi
}

# An X display of the caller's own, that nothing else draws on (for pictures): sets DISPLAY
# and own_xvfb_pid, which the caller ends (kill "$own_xvfb_pid"). $1: the file Xvfb writes to.
own_display() { # LOG
    local n
    own_xvfb_pid=
    for n in $(seq 150 199); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        setsid Xvfb ":$n" -nolisten tcp -screen 0 1024x768x24 </dev/null >"$1" 2>&1 &
        own_xvfb_pid=$!
        for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
        if kill -0 "$own_xvfb_pid" 2>/dev/null; then export DISPLAY=":$n"; return 0; fi
        own_xvfb_pid=
    done
    return 1
}

# Saves DIR/NAME.png from the screen: the part a user looks at, the tray corner (menu and
# icon) or what stands on the desktop above the taskbar, cut to its edges (a dialog, a
# balloon). Prints the picture's path.
screen_capture() { # DIR NAME tray|window
    local cut
    if [ "$3" = tray ]; then cut=(-gravity SouthEast -crop 300x150+0+0 +repage)
    else cut=(-crop 1024x738+0+0 +repage -trim +repage -bordercolor "#256f95" -border 6); fi
    xwd -root -silent -display "$DISPLAY" > "$1/$2.xwd" && convert "xwd:$1/$2.xwd" "${cut[@]}" "$1/$2.png" \
        || die "capture of $2 failed"
    rm -f "$1/$2.xwd"
    echo "$1/$2.png"
}
