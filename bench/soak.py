#!/usr/bin/python3
"""Soak: two instances broadcasting and listening to each other while emulated
peers join and leave every second.

A (10.79.0.11) and B (10.79.0.12) are set up as in tests/e2e_audio.py: each in
its own network namespace on one bridge, with its own PulseAudio server, a mic
fed with a tone (440 Hz for A, 660 Hz for B) and its own Xvfb display; the
real buttons are clicked, "listen" then "broadcast", on both. A third
namespace on the bridge runs bench/peers.py with 40 addresses (10.79.0.100 to
.139) of which 20 announce at any time to A and B only; every second the
oldest stops and the next starts. The last seconds hold still.

While the peers hold still at the end, each instance's log must show the
table at the number of live peers: the 20 emulated ones, the other instance
and itself (22). The resident memory of each instance is sampled every 10 s.

    soak.py BIN [SECONDS]          (inside tests/sandbox.sh; default 600 s)

Prints a JSON summary; exits 1 if a table does not match or an instance died.
"""

import json
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import e2e_audio as e2e  # noqa: E402
import harness  # noqa: E402

LIVE_PEERS = 20
POOL = 40
SAMPLE_S = 10
WARM_S = 30
HOLD_READ_S = 1.0


def table_from_log(text):
    sizes = re.findall(r"Client (Added|Removed), size:\s+(\d+)", text)
    added = sum(1 for kind, _ in sizes if kind == "Added")
    removed = len(sizes) - added
    return {"added": added, "removed": removed, "added_minus_removed": added - removed,
            "last_size_line": int(sizes[-1][1]) if sizes else None,
            "timeouts": len(re.findall(r"Client Timeout:", text))}


def main():
    e2e.BIN = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 600.0
    if os.environ.get("INTERCOM_IN_SANDBOX") != "1":
        sys.exit("soak.py: sends datagrams; run it through tests/sandbox.sh")
    e2e.ARTIFACTS = tempfile.mkdtemp(prefix="intercom-soak.")
    world = e2e.World()
    result = {"seconds": seconds, "live_emulated_peers": LIVE_PEERS, "logs": e2e.ARTIFACTS}
    ok = False
    try:
        a = world.add("a", 11, frequency=440)
        b = world.add("b", 12, frequency=660)
        pool = ["%s.%d" % (e2e.SUBNET, 100 + i) for i in range(POOL)]
        harness.attach_namespace(world.bridge, "gen")
        batch = os.path.join(world.tmp, "gen.batch")
        with open(batch, "w") as f:
            f.write("link set lo up\nlink set eth0 up\n")
            f.write("".join("addr add %s/24 dev eth0\n" % p for p in pool))
        e2e.run("ip", "-n", "gen", "-batch", batch)
        addresses = os.path.join(world.tmp, "pool.txt")
        with open(addresses, "w") as f:
            f.write("\n".join(pool) + "\n")

        world.start_and_show((a, b))
        for i in (a, b):
            e2e.check(e2e.poll(lambda: i.count(r"Client Added, size:\s+2"), 10),
                      "%s never listed both instances" % i.name)
        for i in (a, b):
            i.click("listen")
            i.click("broadcast")
        e2e.check(e2e.poll(lambda: e2e.carries(b.speaker.last(0.3), a.frequency), 3),
                  "B does not play A's tone")
        e2e.check(e2e.poll(lambda: e2e.carries(a.speaker.last(0.3), b.frequency), 3),
                  "A does not play B's tone")
        e2e.log("both broadcasting and listening; emulated peers start")

        generator = subprocess.Popen(
            ["ip", "netns", "exec", "gen", sys.executable, os.path.join(HERE, "peers.py"),
             "--targets", "%s,%s" % (a.address, b.address), "--addresses", addresses,
             "--seconds", str(seconds), "--churn", str(LIVE_PEERS)],
            stdout=subprocess.PIPE, text=True)
        started = time.monotonic()
        samples = {"a": [], "b": []}
        while True:
            elapsed = time.monotonic() - started
            for i in (a, b):
                samples[i.name].append((round(elapsed), harness.rss_kb(i.proc.pid)))
            wait = min(SAMPLE_S, seconds - HOLD_READ_S - elapsed)
            if wait <= 0:
                break
            time.sleep(wait)

        # The peers hold still now: read both tables before anyone expires.
        for i in (a, b):
            table = table_from_log(i.log_text())
            series = samples[i.name]
            warm = next((kb for t, kb in series if t >= WARM_S), series[0][1])
            table.update({
                "rss_first_kb": series[0][1], "rss_at_%ds_kb" % WARM_S: warm,
                "rss_max_kb": max(kb for _, kb in series), "rss_end_kb": series[-1][1],
                "rss_growth_after_warmup_kb": series[-1][1] - warm,
                "expected_rows": LIVE_PEERS + 2,
                "alive": i.proc.poll() is None,
                "plays_other": bool(e2e.carries(i.speaker.last(0.3),
                                           (b if i is a else a).frequency)),
                "false_timeouts_of_real_peers": len(re.findall(
                    r'Client Timeout:\s+"(%s|%s)"' % (re.escape(a.address),
                                                       re.escape(b.address)), i.log_text())),
                "rss_series_kb": series,
            })
            result[i.name] = table
        result["generator"] = json.loads(generator.communicate(timeout=30)[0])
        ok = all(result[n]["alive"] and result[n]["last_size_line"] == LIVE_PEERS + 2
                 and result[n]["added_minus_removed"] == LIVE_PEERS + 2
                 and result[n]["false_timeouts_of_real_peers"] == 0 for n in ("a", "b"))
        result["ok"] = ok
    finally:
        world.shutdown()
    print(json.dumps(result), flush=True)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
