#!/usr/bin/env bash
# Builds the Debian package with CPack, installs it, starts the installed
# program the way its desktop entry does, under Xvfb, waits for its window,
# checks the window's class and icon, closes it as a window manager would and
# expects a clean exit with no debug line on standard error (a desktop session
# hands that to the system journal). Must run inside tests/sandbox.sh: the
# program broadcasts.
#
#   desktop_package.sh APP_ID        (INTERCOM_BUILD_DIR names the build directory)
#
# As root, with no intercom package installed yet, the package is installed
# for real (apt-get, nothing downloaded) and removed again at the end.
# Otherwise, or with INTERCOM_PACKAGE_INSTALL=extract, it is unpacked into a
# scratch root and run from there with the system's Qt libraries and plugins.
set -u
here=$(cd "$(dirname "$0")" && pwd)
app_id=${1:?usage: desktop_package.sh APP_ID}
build=${INTERCOM_BUILD_DIR:?INTERCOM_BUILD_DIR must name the build directory}

readonly window_deadline_s=30
readonly exit_deadline_s=15
readonly shutdown_warnings='QThread: Destroyed|Timers cannot be stopped|Socket notifiers cannot be|QObject::killTimer|QObject::startTimer|QBasicTimer|platform plugin'
readonly progress_lines='^(update sent|wrote|device started|output volume set to|Client|control string)'

work=$(mktemp -d /tmp/intercom-package.XXXXXX)
installed_for_real=0
program_pid=
xvfb_pid=

. "$here/lib/pulse.sh"

uninstall() {
    [ $installed_for_real = 1 ] || return 0
    installed_for_real=0
    apt-get remove -y -o DPkg::Lock::Timeout=120 intercom >"$work/remove.log" 2>&1 ||
        dpkg -r intercom >>"$work/remove.log" 2>&1
}

cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null && wait "$program_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    pulse_stop "$work/pulse"
    uninstall
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for log in "$work"/*.log; do
        [ -s "$log" ] && { echo "--- $(basename "$log") (last lines)" >&2; tail -n 40 "$log" >&2; }
    done
    exit 1
}

skip_or_fail() {
    echo "$*" >&2
    [ "${CI:-}" = true ] && fail "$*"
    exit 77
}

# Root of the machine, not only of the sandbox's user namespace (where a
# non-root user also has uid 0 but cannot install packages).
machine_root() {
    [ "$(id -u)" = 0 ] && awk '$1 == 0 && $2 == 0 { found = 1 } END { exit !found }' /proc/self/uid_map
}

# Every group of alternatives in the package's Depends has one member installed.
missing_dependencies() {
    local deb=$1 group alt name found
    local IFS=','
    for group in $(dpkg-deb -f "$deb" Depends); do
        found=0
        IFS='|'
        for alt in $group; do
            name=$(echo "$alt" | sed 's/(.*)//; s/[[:space:]]//g')
            dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed" && found=1
        done
        IFS=','
        [ $found = 1 ] || echo "$group"
    done
}

# --- build the package
(cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 || fail "cpack -G DEB failed"
debs=("$work"/out/intercom_*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "expected one intercom_*.deb, got: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Package)" = intercom ] || fail "package name is not intercom"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
echo "Recommends: $(dpkg-deb -f "$deb" Recommends)"
for needed in libqt5widgets5 libqt5network5 libqt5svg5 libpulse0; do
    echo "$depends" | grep -qw -- "$needed" || fail "Depends lacks $needed"
done
# The sound goes through libpulse alone: a second sound stack in the process
# raced the first at exit.
if echo "$depends" | grep -q multimedia; then fail "Depends still names Qt Multimedia: $depends"; fi

# --- what it carries, checked in an unpacked copy
dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x failed"
payload=(usr/bin/intercom
         "usr/share/applications/$app_id.desktop"
         "usr/share/icons/hicolor/scalable/apps/$app_id.svg"
         "usr/share/metainfo/$app_id.metainfo.xml")
for f in "${payload[@]}"; do
    [ -f "$work/root/$f" ] || fail "package lacks /$f"
done
[ -x "$work/root/usr/bin/intercom" ] || fail "/usr/bin/intercom is not executable"
desktop-file-validate "$work/root/usr/share/applications/$app_id.desktop" || fail "desktop entry invalid"
appstreamcli validate-tree --no-net "$work/root" >"$work/validate-tree.log" 2>&1 ||
    fail "appstreamcli validate-tree failed on the unpacked package"

missing=$(missing_dependencies "$deb")
[ -z "$missing" ] || skip_or_fail "packages the intercom package depends on are not installed" \
    "(scripts/deps.sh run installs them): $(echo $missing)"

# --- install
if [ "${INTERCOM_PACKAGE_INSTALL:-}" != extract ] && machine_root &&
   ! dpkg-query -W -f='${Status}' intercom 2>/dev/null | grep -q "install ok installed"; then
    installed_for_real=1
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        -o DPkg::Lock::Timeout=120 "$deb" >"$work/install.log" 2>&1 || fail "apt-get install $deb failed"
    dpkg-query -W -f='${Status}' intercom | grep -q "install ok installed" || fail "intercom not installed"
    prefix=/usr
    echo "installed with apt-get"
else
    prefix=$work/root/usr
    echo "unpacked into a scratch root (no system install)"
fi
for f in "${payload[@]}"; do
    [ -f "${prefix%/usr}/$f" ] || fail "/$f not installed"
done

# The desktop entry's Exec line is what the menu runs: its words, unquoted as
# the desktop entry format quotes them, with the installed bin directory
# first on PATH as /usr/bin is for a real install.
exec_line=$(sed -n 's/^Exec=//p' "$prefix/share/applications/$app_id.desktop")
mapfile -t exec_words < <(python3 -c 'import shlex, sys; print("\n".join(shlex.split(sys.argv[1])))' \
    "$exec_line")
command_word=
for word in "${exec_words[@]}"; do
    case $word in
        env|*=*) ;;
        *) command_word=$word; break ;;
    esac
done
[ -n "$command_word" ] && [ -x "$prefix/bin/$command_word" ] ||
    fail "Exec=$exec_line does not name the installed program"

# --- an X server and a sound server of our own
mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 -dpi 96 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
deadline=$((SECONDS + 10))
until grep -q '[0-9]' "$work/display" 2>/dev/null; do
    kill -0 $xvfb_pid 2>/dev/null || fail "Xvfb did not start"
    [ $SECONDS -lt $deadline ] || fail "Xvfb gave no display within 10 s"
    sleep 0.05
done
export DISPLAY=":$(tr -dc 0-9 <"$work/display")"
pulse_start "$work/pulse" || fail "PulseAudio did not start"

# --- run the installed program as the menu does; whether it is quiet must
# come from the entry, not from this environment
env -u WAYLAND_DISPLAY -u SESSION_MANAGER -u QT_LOGGING_RULES QT_QPA_PLATFORM=xcb \
    XDG_RUNTIME_DIR="$work/runtime" PATH="$prefix/bin:$PATH" \
    "${exec_words[@]}" >"$work/program-stdout.log" 2>"$work/program-stderr.log" &
program_pid=$!

wid=
deadline=$((SECONDS + window_deadline_s))
while [ -z "$wid" ]; do
    kill -0 $program_pid 2>/dev/null || fail "the program ended before showing its window"
    [ $SECONDS -lt $deadline ] || fail "no window named MainWindow within $window_deadline_s s"
    wid=$(xdotool search --onlyvisible --name '^MainWindow$' 2>/dev/null | head -n 1)
    [ -n "$wid" ] || sleep 0.1
done
echo "window $wid: $(xprop -id "$wid" WM_NAME WM_CLASS | tr '\n' ' ')"

xprop -id "$wid" WM_CLASS | grep -q '"intercom", "intercom"' || fail "WM_CLASS is not intercom"
# _NET_WM_ICON holds width, height and ARGB pixels; the SVG must have been
# rendered (Qt's SVG plugin present) and be mostly the icon's blue.
xprop -id "$wid" -notype 32c _NET_WM_ICON >"$work/icon.txt" 2>&1
python3 - "$work/icon.txt" <<'PY' || fail "window icon missing or not the intercom's"
import re, sys
text = open(sys.argv[1]).read()
values = [int(v) for v in re.findall(r"\d+", text.partition("=")[2])]
if len(values) < 3:
    sys.exit("no _NET_WM_ICON: " + text.strip())
width, height = values[0], values[1]
pixels = values[2:2 + width * height]
blue = sum(1 for p in pixels if (p >> 24) > 200 and (p & 0xff) > 150 and ((p >> 16) & 0xff) < 120)
print(f"window icon {width}x{height}, {blue} of {len(pixels)} pixels the icon's blue")
if blue < len(pixels) // 6:
    sys.exit("the icon is not the intercom's")
PY

# --- close it as a window manager's close button does, and expect a clean end
python3 "$here/lib/x11_close.py" "$wid" || fail "could not send WM_DELETE_WINDOW"
deadline=$((SECONDS + exit_deadline_s))
while kill -0 $program_pid 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "the program did not end within $exit_deadline_s s of closing its window"
    sleep 0.05
done
wait $program_pid
rc=$?
program_pid=
[ $rc = 0 ] || fail "the program exited with $rc"
if grep -E "$shutdown_warnings" "$work/program-stderr.log" >&2; then
    fail "Qt warned (above)"
fi
echo "window closed, exit code 0, no Qt warnings"
if grep -q -E "$progress_lines" "$work/program-stderr.log"; then
    grep -E "$progress_lines" "$work/program-stderr.log" | head -n 5 >&2
    fail "started from its desktop entry, the program wrote debug lines (above)"
fi
echo "no debug lines; the program's standard error:"
sort "$work/program-stderr.log" | uniq -c | head -n 20

# --- remove it and leave nothing behind
if [ $installed_for_real = 1 ]; then
    uninstall
    ! dpkg-query -W -f='${Status}' intercom 2>/dev/null | grep -q "install ok installed" ||
        fail "intercom still installed after apt-get remove"
    for f in "${payload[@]}"; do
        [ ! -e "/$f" ] || fail "/$f left behind after removal"
    done
    echo "removed with apt-get"
fi
echo "PASS"
