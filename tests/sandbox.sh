#!/usr/bin/env bash
# Runs a test inside a private network namespace, so that nothing it sends can
# leave it: one veth pair whose both ends stay inside, a 10.x address that does
# not end in .1 and a default route, so the limited broadcast has a way out and
# loops back to the sender itself. A private mount namespace keeps any further
# namespaces the test makes (ip netns) out of sight of the host.
#
#   sandbox.sh [--pulse] [--] command [args...]
#
# --pulse also starts a private PulseAudio server for the command.
# Exits 77 (skipped) when no namespace can be made, except under CI, where the
# tests must run and it fails instead.
set -u
here=$(cd "$(dirname "$0")" && pwd)

pulse=0
while [ $# -gt 0 ]; do
    case $1 in
        --pulse) pulse=1; shift ;;
        --) shift; break ;;
        *) break ;;
    esac
done

if [ -z "${INTERCOM_IN_SANDBOX:-}" ]; then
    if [ "$(id -u)" = 0 ]; then
        flags=(--net --mount)
    else
        flags=(--user --map-root-user --net --mount)
    fi
    if ! unshare "${flags[@]}" true 2>/dev/null; then
        echo "sandbox: cannot create a private network namespace here (unshare ${flags[*]} failed):" \
             "tests that send datagrams are not run" >&2
        [ "${CI:-}" = true ] && exit 1
        exit 77
    fi
    INTERCOM_IN_SANDBOX=1 exec unshare "${flags[@]}" "$0" "$([ $pulse = 1 ] && echo --pulse || echo --)" "$@"
fi

set -e
ip link set lo up
ip link add veth0 type veth peer name veth1
ip addr add 10.77.0.2/24 dev veth0
ip link set veth0 up
ip link set veth1 up
ip route add default dev veth0
# Anything the test makes with `ip netns` stays in this mount namespace.
mkdir -p /run/netns
mount -t tmpfs -o mode=755 tmpfs /run/netns
set +e

if [ $pulse = 1 ]; then
    . "$here/lib/pulse.sh"
    piddir=$(mktemp -d /tmp/intercom-pulse.XXXXXX)
    pulse_start "$piddir"
    "$@"
    rc=$?
    pulse_stop "$piddir"
    rm -rf "$piddir"
    exit $rc
fi
exec "$@"
