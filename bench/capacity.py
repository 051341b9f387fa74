#!/usr/bin/python3
"""Announcement capacity and idle cost of one instance.

Inside tests/sandbox.sh this makes two network namespaces joined by a veth
pair: "inst" (10.80.0.2/16) runs the program offscreen without sound, "gen"
carries the emulated peers' addresses (10.80.1.2 and up) and runs
bench/peers.py, which announces from each of them every 100 ms to 10.80.0.2
only. Each run starts a fresh instance, lets it settle, runs the generator for
the run's length and reads:

- CPU share of the instance: utime + stime from /proc/PID/stat over the wall
  time of the generator's run, skipping its first 2 seconds;
- false expiries: "Client Timeout:" lines (every emulated peer announces to
  the end, so each one is false) and "Client Added" lines beyond N + 1;
- the namespace's UDP receive-buffer drops (RcvbufErrors);
- the generator's worst lateness, which would explain an expiry on its side.

    capacity.py BIN RUN...      RUN is N:SECONDS:LOG, LOG "log" (debug log to
                                a file) or "quiet" (QT_LOGGING_RULES
                                *.debug=false); N 0 is the idle instance.
    CAPACITY_PERF=DIR also records a 5-second perf profile of each run there.

Prints one JSON line per run.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lib"))
from harness import configure_host, cpu_ticks, rss_kb, run as sh, udp_counters  # noqa: E402

INSTANCE = "10.80.0.2"
SETTLE_S = 2.0
SKIP_S = 2.0
TICKS = os.sysconf("SC_CLK_TCK")


def peer_address(i):
    return "10.80.%d.%d" % (1 + i // 250, 2 + i % 250)


def setup(max_peers, work):
    sh("ip", "netns", "add", "inst")
    sh("ip", "netns", "add", "gen")
    sh("ip", "link", "add", "eth0", "netns", "inst", "type", "veth", "peer", "name", "eth0",
       "netns", "gen")
    for ns, address in (("inst", INSTANCE), ("gen", "10.80.0.3")):
        configure_host(ns, address, 16)
    batch = os.path.join(work, "addresses.batch")
    with open(batch, "w") as f:
        for i in range(max_peers):
            f.write("addr add %s/16 dev eth0\n" % peer_address(i))
    if max_peers:
        sh("ip", "-n", "gen", "-batch", batch)
    # A receive buffer as the system gives it; only its drops are counted.


def run_one(binary, peers, seconds, log, work):
    tag = "%d-%s" % (peers, log)
    logpath = os.path.join(work, "instance-%s.log" % tag)
    home = os.path.join(work, "home")
    runtime = os.path.join(work, "runtime")
    os.makedirs(home, exist_ok=True)
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    pulseconf = os.path.join(work, "pulse-client.conf")
    with open(pulseconf, "w") as f:
        f.write("autospawn = no\n")
    env = {k: v for k, v in os.environ.items() if k not in ("PULSE_SERVER", "DISPLAY")}
    env.update(HOME=home, XDG_RUNTIME_DIR=runtime, PULSE_CLIENTCONFIG=pulseconf,
               QT_QPA_PLATFORM="offscreen",
               QT_LOGGING_RULES="default.debug=true" if log == "log" else "*.debug=false",
               QT_MESSAGE_PATTERN="%{time hh:mm:ss.zzz} %{message}")
    addresses = os.path.join(work, "addresses-%d.txt" % peers)
    with open(addresses, "w") as f:
        f.write("".join(peer_address(i) + "\n" for i in range(peers)))

    udp_before = udp_counters("inst")
    with open(logpath, "w") as logfile:
        proc = subprocess.Popen(["ip", "netns", "exec", "inst", binary], env=env,
                                stdout=subprocess.DEVNULL, stderr=logfile)
    try:
        time.sleep(SETTLE_S)
        rss_start = rss_kb(proc.pid)
        generator = None
        if peers:
            generator = subprocess.Popen(
                ["ip", "netns", "exec", "gen", sys.executable, os.path.join(HERE, "peers.py"),
                 "--targets", INSTANCE, "--addresses", addresses, "--seconds", str(seconds)],
                stdout=subprocess.PIPE, text=True)
        time.sleep(SKIP_S)
        t0, c0 = time.monotonic(), cpu_ticks(proc.pid)
        if os.environ.get("CAPACITY_PERF"):
            # Where the instance's time goes: a 5-second profile, all threads.
            profile = os.path.join(os.environ["CAPACITY_PERF"], "perf-%s.data" % tag)
            subprocess.run(["perf", "record", "-q", "-F", "499", "-g", "-p", str(proc.pid),
                            "-o", profile, "--", "sleep", "5"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(max(0.0, seconds - SKIP_S - 0.5 - (time.monotonic() - t0)))
        t1, c1 = time.monotonic(), cpu_ticks(proc.pid)
        rss_end = rss_kb(proc.pid)
        gen = json.loads(generator.communicate(timeout=30)[0]) if generator else {}
        alive = proc.poll() is None
    finally:
        proc.kill()
        proc.wait()
    udp_after = udp_counters("inst")
    with open(logpath, errors="replace") as f:
        text = f.read()
    result = {
        "peers": peers, "seconds": seconds, "log": log,
        "cpu_share": round((c1 - c0) / TICKS / (t1 - t0), 3),
        "false_timeouts": text.count("Client Timeout:"),
        "added": text.count("Client Added"),
        "alive_to_end": alive,
        "rcvbuf_drops": udp_after.get("RcvbufErrors", 0) - udp_before.get("RcvbufErrors", 0),
        "rss_start_kb": rss_start, "rss_end_kb": rss_end,
        "log_mb": round(os.path.getsize(logpath) / 1e6, 1),
        "generator": gen,
    }
    if log == "log":
        result["announcements_logged"] = text.count("control string:")
        result["update_sent"] = text.count("update sent:")
        # Announcements that reached the socket but not yet the table when the
        # instance was stopped: a backlog that grows means it cannot keep up.
        if gen:
            result["unprocessed_at_end"] = (gen["sends"] - result["rcvbuf_drops"]
                                            - result["announcements_logged"]
                                            + result.get("update_sent", 0))
    os.remove(logpath)
    return result


def main():
    binary = os.path.abspath(sys.argv[1])
    runs = [r.split(":") for r in sys.argv[2:]]
    if os.environ.get("INTERCOM_IN_SANDBOX") != "1":
        sys.exit("capacity.py: sends datagrams; run it through tests/sandbox.sh")
    work = tempfile.mkdtemp(prefix="intercom-capacity.")
    try:
        setup(max(int(n) for n, _, _ in runs), work)
        for n, seconds, log in runs:
            result = run_one(binary, int(n), float(seconds), log, work)
            result["binary"] = binary
            print(json.dumps(result), flush=True)
    finally:
        for ns in ("inst", "gen"):
            subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
