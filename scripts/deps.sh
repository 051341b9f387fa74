#!/usr/bin/env bash
# Installs the Debian packages that are missing for building and running the
# intercom (`deps.sh run`) or also for its tests (`deps.sh test`).
set -eu

# The program is a sound client only, through libpulse alone; the tests start
# their own servers, PulseAudio and PipeWire.
# WirePlumber loses its connection to PipeWire at once where RealtimeKit is
# missing (a recommended package that --no-install-recommends leaves out).
run_packages=(build-essential cmake pkg-config qtbase5-dev qtbase5-dev-tools
              libqt5x11extras5-dev libqt5svg5 zlib1g-dev libpulse-dev)
test_packages=(pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus rtkit
               xvfb xdotool x11-utils imagemagick sox espeak-ng iproute2
               util-linux procps python3 python3-numpy dpkg-dev file
               desktop-file-utils appstream libclang-rt-14-dev)

packages=("${run_packages[@]}")
[ "${1:-run}" = test ] && packages+=("${test_packages[@]}")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
