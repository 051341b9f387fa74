#!/usr/bin/env bash
# Installs what is missing, builds the intercom into build/ and starts it.
# It installs no sound server: the desktop's own (PulseAudio, or PipeWire with
# pipewire-pulse) serves the program, and a second one would fight it.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
cmake --build build -j"$(nproc)" --target intercom

# Where the PulseAudio client library looks for a server, in its order.
sound_server_found() {
    local socket
    if [ -n "${PULSE_SERVER:-}" ]; then
        socket=${PULSE_SERVER#unix:}
        [ "$socket" != "$PULSE_SERVER" ] || return 0  # a remote server: trust it
    else
        socket=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/pulse/native
        [ -S "$socket" ] || socket=/run/pulse/native
    fi
    [ -S "$socket" ]
}
if ! sound_server_found; then
    echo "run.sh: no sound server found, so the intercom starts without sound." \
         "Install PulseAudio (apt-get install pulseaudio) or PipeWire's PulseAudio server" \
         "(apt-get install pipewire-pulse wireplumber) and log in again." >&2
fi
exec build/intercom
