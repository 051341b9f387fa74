# Private PulseAudio servers for tests: a null sink "spk" as the speaker and a
# pipe source "mic" fed through DIR/mic.fifo as the microphone.
# Source this file; then `pulse_start DIR` exports PULSE_SERVER for DIR, and
# `pulse_stop DIR` ends it.

pulse_start() {
    local dir=$1
    mkdir -p "$dir/runtime" "$dir/home"
    chmod 700 "$dir/runtime"
    cat > "$dir/pa.conf" <<CONF
load-module module-native-protocol-unix socket=$dir/native auth-anonymous=1
load-module module-null-sink sink_name=spk rate=44100 channels=1
load-module module-pipe-source source_name=mic file=$dir/mic.fifo format=s16le rate=44100 channels=1
set-default-sink spk
set-default-source mic
CONF
    XDG_RUNTIME_DIR="$dir/runtime" HOME="$dir/home" PULSE_RUNTIME_PATH="$dir/runtime" \
        pulseaudio -n -F "$dir/pa.conf" --daemonize=no --exit-idle-time=-1 --disallow-exit \
        --use-pid-file=no --log-target=file:"$dir/pulse.log" >/dev/null 2>&1 &
    echo $! > "$dir/pulse.pid"
    local i
    for i in $(seq 1 100); do
        [ -S "$dir/native" ] && PULSE_SERVER="unix:$dir/native" pactl info >/dev/null 2>&1 && break
        sleep 0.05
    done
    export PULSE_SERVER="unix:$dir/native"
    PULSE_SERVER="unix:$dir/native" pactl info >/dev/null 2>&1
}

pulse_stop() {
    local dir=$1
    [ -f "$dir/pulse.pid" ] || return 0
    kill "$(cat "$dir/pulse.pid")" 2>/dev/null
    wait "$(cat "$dir/pulse.pid")" 2>/dev/null
    rm -f "$dir/pulse.pid"
}
