#!/usr/bin/python3
"""Emulated peers: announcements from many source addresses, for benchmarks.

Each peer is one UDP socket bound to one of the given local addresses, sending
the announcement "update:broadcasting_no:listening_no" every 100 ms by unicast
to the target instances (port 8002). The peers' sends are spread evenly over
the 100 ms period. Run it in a network namespace of its own, inside
tests/sandbox.sh, whose interface carries the addresses: it sends only to the
targets given, which must be addresses of that private network.

    peers.py --targets A[,B] --addresses FILE --seconds S [--churn LIVE]
             [--status STATUS] [--sink]

--status sends that status string instead, "update:broadcasting_no:listening_yes"
for peers a broadcasting target sends its audio to. --sink also takes in
whatever reaches port 8002 of the namespace, as listening peers would (without
it the system answers each audio datagram with an ICMP error), and reports the
audio datagrams it took.

--churn LIVE keeps LIVE peers announcing out of the address list and, once a
second, stops the oldest one and starts the next unused address (wrapping
around): one peer leaves and one joins every second. The last three seconds
hold still, so that the targets' tables settle on the live set.

Stops by itself after S seconds. Prints one JSON line: sends, the worst lateness
of a send against its schedule, and at the end the addresses still live.
"""

import argparse
import json
import resource
import socket
import struct
import sys
import time
import zlib

PORT = 8002
PERIOD = 0.1
HOLD_S = 3.0


def announcement(status="update:broadcasting_no:listening_no"):
    """The datagram bytes: qCompress's 4-byte size, then zlib at level -1 of a
    QDataStream (version 15) holding the status string and a null byte array."""
    header = status.encode("utf-16-be")
    body = struct.pack(">I", len(header)) + header + b"\xff\xff\xff\xff"
    return struct.pack(">I", len(body)) + zlib.compress(body, -1)


def drain(sink):
    """Datagrams waiting at the sink, read and dropped; their count."""
    count = 0
    while True:
        try:
            sink.recv(65536)
        except BlockingIOError:
            return count
        count += 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--targets", required=True)
    parser.add_argument("--addresses", required=True, help="file, one source address a line")
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--churn", type=int, default=0)
    parser.add_argument("--status", default="update:broadcasting_no:listening_no")
    parser.add_argument("--sink", action="store_true")
    args = parser.parse_args()
    if not 0 < args.seconds <= 1200:
        sys.exit("peers.py: --seconds must be in (0, 1200]")

    targets = [(t, PORT) for t in args.targets.split(",")]
    with open(args.addresses) as f:
        addresses = [line.strip() for line in f if line.strip()]
    need = len(addresses) + 16
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < need:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(max(need, soft), hard), hard))

    sockets = []
    for address in addresses:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((address, 0))
        s.setblocking(False)
        sockets.append(s)

    payload = announcement(args.status)
    sink = None
    taken = 0
    if args.sink:
        sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sink.bind(("0.0.0.0", PORT))
        sink.setblocking(False)
    n = len(sockets)
    live = list(range(min(args.churn, n))) if args.churn else list(range(n))
    next_unused = len(live) % n
    start = time.monotonic()
    end = start + args.seconds
    churn_until = end - HOLD_S
    next_churn = start + 1.0
    sends = 0
    errors = 0
    worst_late = 0.0
    joins = leaves = 0
    # Slot k of every period belongs to peer live[k]; a peer's offset in the
    # period is fixed by its position, so its sends stay 100 ms apart.
    period_start = start
    while True:
        now = time.monotonic()
        if now >= end:
            break
        if args.churn and now >= next_churn and now < churn_until:
            live.pop(0)
            leaves += 1
            live.append(next_unused)
            joins += 1
            next_unused = (next_unused + 1) % n
            next_churn += 1.0
        count = len(live)
        slot = PERIOD / count
        k = 0
        while k < count:
            due = period_start + k * slot
            now = time.monotonic()
            if now >= end:
                break
            if due > now:
                if sink:
                    taken += drain(sink)
                time.sleep(min(due - now, 0.002))
                continue
            worst_late = max(worst_late, now - due)
            # Send every slot that is due by now in one burst.
            while k < count and period_start + k * slot <= now:
                s = sockets[live[k]]
                for target in targets:
                    try:
                        s.sendto(payload, target)
                        sends += 1
                    except OSError:
                        errors += 1
                k += 1
        period_start += PERIOD

    for s in sockets:
        s.close()
    print(json.dumps({"peers": n, "sends": sends, "errors": errors,
                      "seconds": round(time.monotonic() - start, 2),
                      "worst_late_ms": round(worst_late * 1000, 1),
                      "joins": joins, "leaves": leaves, "audio_taken": taken,
                      "live_at_end": [addresses[i] for i in live] if args.churn else len(live)}),
          flush=True)


if __name__ == "__main__":
    main()
