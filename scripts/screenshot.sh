#!/usr/bin/env bash
# Takes docs/screenshot.png: two instances in two private network namespaces
# joined by a bridge, each with its own PulseAudio server; the first, under
# Xvfb, is switched to broadcast and listen. Run it through the sandbox:
#   tests/sandbox.sh -- scripts/screenshot.sh build/intercom
set -u
bin=$(realpath "${1:-build/intercom}")
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/intercom-shot.XXXXXX)
. "$top/tests/lib/pulse.sh"

ip link add br0 type bridge && ip link set br0 up
i=2
for h in a b; do
    ip netns add $h
    ip link add v$h type veth peer name eth0 netns $h
    ip link set v$h master br0 up
    ip netns exec $h ip link set lo up
    ip netns exec $h ip addr add 10.78.0.$i/24 dev eth0
    ip netns exec $h ip link set eth0 up
    ip netns exec $h ip route add default dev eth0
    i=$((i + 1))
done
pulse_start "$work/pa"; pa=$PULSE_SERVER
pulse_start "$work/pb"; pb=$PULSE_SERVER

# A display number no other display (on this machine or in another
# namespace) holds a lock file for.
d=61
while [ -e "/tmp/.X$d-lock" ] || [ -e "/tmp/.X11-unix/X$d" ]; do d=$((d + 1)); done
ip netns exec a Xvfb ":$d" -noreset -screen 0 400x420x24 -dpi 96 >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do ip netns exec a xdpyinfo -display ":$d" >/dev/null 2>&1 && break; sleep 0.1; done
ip netns exec a env DISPLAY=":$d" PULSE_SERVER="$pa" "$bin" >"$work/a.log" 2>&1 &
first=$!
ip netns exec b env QT_QPA_PLATFORM=offscreen PULSE_SERVER="$pb" "$bin" >"$work/b.log" 2>&1 &
second=$!
x() { ip netns exec a env DISPLAY=":$d" "$@"; }
wid=$(x xdotool search --sync --name MainWindow | head -1)
x xdotool windowmove --sync "$wid" 0 0
for _ in $(seq 50); do grep -q 'Client Added, size:  2' "$work/a.log" && break; sleep 0.1; done
# broadcast, then listen (the central widget starts 17 px down)
x xdotool mousemove 60 193 click 1 mousemove 257 193 click 1
for _ in $(seq 50); do grep -q 'broadcasting_yes:listening_yes' "$work/a.log" && break; sleep 0.1; done
sleep 0.3
x import -window "$wid" "$top/docs/screenshot.png"
x xdotool windowclose "$wid"
# Only what this script started: other displays and instances may be running.
kill "$first" "$second" 2>/dev/null; wait "$first" "$second" 2>/dev/null
kill "$xvfb"; wait "$xvfb" 2>/dev/null
pulse_stop "$work/pa"; pulse_stop "$work/pb"
rm -rf "$work"
