#!/usr/bin/env bash
# Three real instances find each other and forget the ones that stop.
#
# Inside the sandbox (tests/sandbox.sh) this makes three network namespaces,
# a, b and c, each with one end of a veth pair whose other end sits on a
# bridge here, addresses 10.78.0.2, .3 and .4, and starts the program
# ($INTERCOM_BIN) in each, offscreen and without sound. It reads their debug
# logs: every instance lists all three (itself included) and hears their
# announcements; none expires while all announce; once b is killed, a and c
# drop "10.78.0.3" about 500 ms after its last announcement; once c is
# killed, a drops "10.78.0.4" and is left with its own row.
set -u

bin=${INTERCOM_BIN:?INTERCOM_BIN must name the built program}

# A sanitized build starts several times slower (ThreadSanitizer most): give
# it the time, without loosening what is checked.
slow=1
ldd "$bin" | grep -q -E 'lib(tsan|asan)' && slow=4

readonly start_deadline_s=$((10 * slow))
readonly expiry_deadline_s=$((5 * slow))
readonly all_alive_s=2
# The record's 500 ms timer fires late under load; the bounds only have to
# tell expiry from never or at once.
readonly expiry_min_ms=400
readonly expiry_max_ms=$((1000 * slow))
[ "${INTERCOM_IN_SANDBOX:-}" = 1 ] || {
    echo "e2e_discovery.sh: starts instances that broadcast; run it through tests/sandbox.sh" >&2
    exit 77
}

work=$(mktemp -d /tmp/intercom-e2e.XXXXXX)
declare -A pid=()
declare -A address=([a]=10.78.0.2 [b]=10.78.0.3 [c]=10.78.0.4)

cleanup() {
    local n
    for n in "${!pid[@]}"; do
        kill -KILL "${pid[$n]}" 2>/dev/null
        wait "${pid[$n]}" 2>/dev/null
    done
    for n in a b c; do ip netns del "$n" 2>/dev/null; done
    ip link del br0 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    local n
    for n in a b c; do
        [ -s "$work/$n.log" ] || continue
        echo "--- instance $n (${address[$n]}), last lines:" >&2
        grep -v 'update sent\|control string' "$work/$n.log" | tail -n 15 >&2
        echo "    ($(grep -c 'update sent' "$work/$n.log") announcements sent)" >&2
    done
    exit 1
}

# wait_until SECONDS DESCRIPTION COMMAND...: polls COMMAND every 50 ms.
wait_until() {
    local seconds=$1 what=$2
    shift 2
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ $SECONDS -lt $deadline ] || fail "$what (waited ${seconds} s)"
        sleep 0.05
    done
}

log_has() { grep -qF -- "$2" "$work/$1.log"; }
count_in_log() { grep -cF -- "$2" "$work/$1.log"; }

# Milliseconds since midnight of a log line stamped "hh:mm:ss.zzz message".
stamp_ms() { awk -F'[:. ]' '{ print (($1 * 60 + $2) * 60 + $3) * 1000 + $4; exit }'; }

# no_timeouts_except REGEX: no instance has expired a peer whose address does
# not match REGEX, that is a peer still announcing.
no_timeouts_except() {
    local n allowed=$1
    for n in a b c; do
        if grep 'Client Timeout:' "$work/$n.log" | grep -vqE -- "$allowed"; then
            fail "instance $n expired a peer that was still announcing:" \
                 "$(grep 'Client Timeout:' "$work/$n.log" | grep -vE -- "$allowed" | head -n 1)"
        fi
    done
}

# --- network: three namespaces on one bridge ---------------------------------
set -e
ip link add br0 type bridge
ip link set br0 up
for n in a b c; do
    ip netns add "$n"
    ip link add "br-$n" type veth peer name eth0 netns "$n"
    ip link set "br-$n" master br0
    ip link set "br-$n" up
    ip -n "$n" link set lo up
    ip -n "$n" addr add "${address[$n]}/24" dev eth0
    ip -n "$n" link set eth0 up
    ip -n "$n" route add default dev eth0
done
set +e

# --- instances ----------------------------------------------------------------
# No sound server: a private runtime directory and no autospawn keep each
# instance from reaching one, which discovery does not need.
cat > "$work/pulse-client.conf" <<'CONF'
autospawn = no
CONF
for n in a b c; do
    mkdir -p "$work/$n-home" "$work/$n-runtime"
    chmod 700 "$work/$n-runtime"
    ip netns exec "$n" env -u PULSE_SERVER \
        HOME="$work/$n-home" XDG_RUNTIME_DIR="$work/$n-runtime" \
        PULSE_CLIENTCONFIG="$work/pulse-client.conf" \
        QT_QPA_PLATFORM=offscreen \
        QT_LOGGING_RULES='default.debug=true' \
        QT_MESSAGE_PATTERN='%{time hh:mm:ss.zzz} %{message}' \
        "$bin" >"$work/$n.out" 2>"$work/$n.log" &
    pid[$n]=$!
done

all_listed() {
    local n
    for n in a b c; do log_has "$n" 'Client Added, size:  3' || return 1; done
}
wait_until $start_deadline_s "every instance lists all three" all_listed

for n in a b c; do
    log_has "$n" 'Client Added, size:  4' && fail "instance $n listed a fourth peer"
    log_has "$n" 'control string:  "update:broadcasting_no:listening_no"' ||
        fail "instance $n logged no status string"
    kill -0 "${pid[$n]}" 2>/dev/null || fail "instance $n has exited"
done

# All three keep announcing; nobody may expire meanwhile. The wait is the
# observation itself, not a guess at how long something takes.
sleep $all_alive_s
no_timeouts_except '^$'
for n in a b c; do
    [ "$(count_in_log "$n" 'Client Added')" = 3 ] ||
        fail "instance $n added peers more than once: $(grep 'Client Added' "$work/$n.log" | tr '\n' ' ')"
done

# --- b stops ------------------------------------------------------------------
# check_expiry SURVIVOR VICTIM ROWS_LEFT
check_expiry() {
    local survivor=$1 victim=$2 rows=$3
    local timeout_line="Client Timeout: \"${address[$victim]}\""
    wait_until $expiry_deadline_s "instance $survivor drops $victim (${address[$victim]})" \
        log_has "$survivor" "$timeout_line"
    wait_until 2 "instance $survivor removes the row of $victim" \
        log_has "$survivor" "Client Removed, size:  $rows"

    local last_sent expired elapsed
    last_sent=$(grep 'update sent:' "$work/$victim.log" | tail -n 1 | stamp_ms)
    expired=$(grep -F -- "$timeout_line" "$work/$survivor.log" | tail -n 1 | stamp_ms)
    elapsed=$((expired - last_sent))
    echo "instance $survivor dropped $victim ${elapsed} ms after its last announcement"
    [ $elapsed -ge $expiry_min_ms ] && [ $elapsed -le $expiry_max_ms ] ||
        fail "instance $survivor dropped $victim after ${elapsed} ms," \
             "expected ${expiry_min_ms} to ${expiry_max_ms} ms"
    [ "$(count_in_log "$survivor" "$timeout_line")" = 1 ] ||
        fail "instance $survivor timed $victim out more than once"
}

kill -KILL "${pid[b]}"
wait "${pid[b]}" 2>/dev/null
unset 'pid[b]'
check_expiry a b 2
check_expiry c b 2
no_timeouts_except '"10\.78\.0\.3"'

# --- c stops ------------------------------------------------------------------
kill -KILL "${pid[c]}"
wait "${pid[c]}" 2>/dev/null
unset 'pid[c]'
check_expiry a c 1
no_timeouts_except '"10\.78\.0\.[34]"'

# a is left with its own row and keeps it.
sleep 1
grep 'Client Timeout:' "$work/a.log" | grep -qF '"10.78.0.2"' && fail "instance a expired itself"
[ "$(count_in_log a 'Client Removed')" = 2 ] || fail "instance a removed more than two rows"
kill -0 "${pid[a]}" 2>/dev/null || fail "instance a has exited"

echo "PASS: three instances found each other and forgot the two that stopped"
exit 0
