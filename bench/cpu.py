#!/usr/bin/python3
"""What the intercom costs the machine: CPU share of the whole process and of
each of its threads, idle and while talking.

Two instances, A (10.79.0.11) and B (10.79.0.12), are set up as in
tests/e2e_audio.py: each in its own network namespace on one bridge, with its
own sound server (PulseAudio, or PipeWire with WirePlumber and pipewire-pulse),
a microphone that hands over whole periods as hardware does (a null sink's
monitor, fed a tone in real time) and its own Xvfb display with the window
shown; buttons are clicked with xdotool. The states, each measured for
SECONDS (default 20) after it has settled:

- idle2: A and B running, neither broadcasting nor listening; both are
  measured (two samples of the same state);
- talk: B clicks "listen", A clicks "broadcast", and B's speaker carries A's
  tone: A's figure is "broadcasting to 1 peer", B's "listening to 1 peer";
- idle50: B stopped, A started afresh with its window shown, and a third
  namespace on the bridge running bench/peers.py with 50 addresses
  (10.79.0.100 to .149) that announce to A only, every 100 ms each;
- idle200: the same with 200 addresses (10.79.1.1 to .200);
- fanout50: A started afresh and broadcasting to 50 emulated peers that
  announce "listening_yes" and take in A's audio (peers.py --sink).

Each state is run twice, each time with fresh programs: "log" with the debug
log written to a file, as when the program is started from a terminal
(QT_LOGGING_RULES=default.debug=true, standard output and error to the file),
and "quiet" with debug output off (QT_LOGGING_RULES=*.debug=false), as the
desktop entry starts it; warnings still go to the file.

Per instance and state it reads, over the window:
- the CPU share of the whole process: utime + stime of /proc/PID/stat over
  wall time, in per cent of one core;
- the same per thread, from /proc/PID/task/*/stat, each thread named by its
  comm (a second thread of the same name gets " 2", in the order of their
  ids), with its context switches a second (voluntary + involuntary from
  /proc/PID/task/TID/status: nearly all are wake-ups);
- the lines and bytes the program wrote to its log;
- the CPU share of its sound server's processes, for comparison only.

    cpu.py BIN [SERVER]         SERVER pulse (default) or pipewire; run it
                                inside tests/sandbox.sh (bench/run cpu does)
    CPU_SECONDS=S               the length of each window
    CPU_LOGS="log quiet"        which log settings, in this order
    CPU_CASES="idle2 talk idle50 idle200 fanout50"
    CPU_PROFILE=DIR             after each window, 5 s of `strace -c -f` and
                                then 5 s of `perf record -g` of each measured
                                instance into DIR (outside the window)

Prints a Markdown table and one JSON line per instance and state.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import e2e_audio as e2e  # noqa: E402
import harness  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
SETTLE_S = 3.0
EMULATED = 50
CROWD = 200
GEN_HOST = 100
PROFILE_S = 5
TARGETS = {"idle2": 0.5, "idle50": 2.0, "idle200": 2.0, "fanout50": 5.0, "broadcasting": 2.0,
           "listening": 2.0}
LOG_TARGETS = {"idle200": 3.0}
RULES = {"log": "default.debug=true", "quiet": "*.debug=false"}
SERVER_PROGRAMS = ("pulseaudio", "pipewire", "pipewire-pulse", "wireplumber")


# ---- /proc --------------------------------------------------------------------

def read_task(pid, tid):
    """(comm, utime + stime in ticks, context switches) of one thread, or None
    once it is gone."""
    base = "/proc/%d/task/%d/" % (pid, tid)
    try:
        with open(base + "stat") as f:
            stat = f.read()
        with open(base + "status") as f:
            status = f.read()
    except OSError:
        return None
    comm = stat[stat.index("(") + 1:stat.rindex(")")]
    fields = stat.rsplit(")", 1)[1].split()
    switches = sum(int(n) for n in re.findall(r"ctxt_switches:\s+(\d+)", status))
    return comm, int(fields[11]) + int(fields[12]), switches


def snapshot(pid):
    """The process's ticks and every thread's (comm, ticks, switches) by id."""
    threads = {}
    try:
        tids = sorted(int(t) for t in os.listdir("/proc/%d/task" % pid))
    except OSError:
        tids = []
    for tid in tids:
        task = read_task(pid, tid)
        if task:
            threads[tid] = task
    return {"ticks": harness.cpu_ticks(pid), "threads": threads}


def ticks_of(pids):
    total = 0
    for pid in pids:
        try:
            total += harness.cpu_ticks(pid)
        except OSError:
            pass
    return total


class Watch:
    """One measured instance: its process, log and sound server over a window."""

    def __init__(self, instance, state):
        self.instance = instance
        self.state = state

    def server_pids(self):
        return [p.pid for p in self.instance.sound.processes
                if os.path.basename(p.args[0]) in SERVER_PROGRAMS and p.poll() is None]

    def begin(self):
        self.instance.logfile.flush()
        self.log_at = os.path.getsize(self.instance.logpath)
        self.before = snapshot(self.instance.proc.pid)
        self.server_before = ticks_of(self.server_pids())

    def end(self, seconds):
        pid = self.instance.proc.pid
        after = snapshot(pid)
        server_after = ticks_of(self.server_pids())
        self.instance.logfile.flush()
        with open(self.instance.logpath, "rb") as f:
            f.seek(self.log_at)
            written = f.read()
        share = lambda ticks: round(100.0 * ticks / TICKS / seconds, 2)
        threads = []
        seen = {}
        for tid, (comm, ticks, switches) in sorted(after["threads"].items()):
            _, ticks0, switches0 = self.before["threads"].get(tid, (comm, 0, 0))
            seen[comm] = seen.get(comm, 0) + 1
            name = comm if seen[comm] == 1 else "%s %d" % (comm, seen[comm])
            threads.append({"thread": name, "tid": tid, "cpu_pct": share(ticks - ticks0),
                            "switches_per_s": round((switches - switches0) / seconds, 1)})
        return {"state": self.state, "instance": self.instance.name,
                "cpu_pct": share(after["ticks"] - self.before["ticks"]),
                "target_pct": TARGETS[self.state],
                "threads": threads,
                "log_lines_per_s": round(written.count(b"\n") / seconds, 1),
                "log_bytes_per_s": round(len(written) / seconds),
                "sound_server_pct": share(server_after - self.server_before),
                "seconds": round(seconds, 1)}


def measure(watches, seconds):
    """Runs the window over every watch at once; returns their results."""
    for w in watches:
        w.begin()
    t0 = time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - t0
    return [w.end(elapsed) for w in watches]


def profile(watches, directory, label):
    """Where the time goes, after the window: system calls per thread, then
    a sampled call graph."""
    for w in watches:
        pid = str(w.instance.proc.pid)
        tag = "%s-%s-%s" % (label, w.state, w.instance.name)
        subprocess.run(["timeout", "-s", "INT", str(PROFILE_S), "strace", "-c", "-f", "-p", pid,
                        "-o", os.path.join(directory, "strace-%s.txt" % tag)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["perf", "record", "-q", "-F", "999", "-g", "-p", pid,
                        "-o", os.path.join(directory, "perf-%s.data" % tag), "--",
                        "sleep", str(PROFILE_S)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# ---- the states ---------------------------------------------------------------

def start(instances, log):
    for i in instances:
        i.env["QT_LOGGING_RULES"] = RULES[log]
        i.start()
    for i in instances:
        i.show()


def stop(instance):
    if instance.proc and instance.proc.poll() is None:
        instance.proc.kill()
        instance.proc.wait()
    instance.logfile.close()


def wait_rows(instances, rows, log):
    """Each instance lists `rows` peers (itself among them). Only the debug
    log tells; with it off, the peers' announcements get time to arrive."""
    if log == "log":
        for i in instances:
            e2e.check(e2e.poll(lambda: i.count(r"Client Added, size:\s+%d\b" % rows), 15),
                      "%s never listed %d peers" % (i.name, rows))
    time.sleep(SETTLE_S)


def make_generator(world):
    """The emulated peers' namespace; the files of its first EMULATED and of
    its CROWD addresses (these on a second /24 reached through eth0)."""
    harness.add_host(world.bridge, "gen", "%s.%d" % (e2e.SUBNET, GEN_HOST), 24)
    addresses = ["%s.%d" % (e2e.SUBNET, GEN_HOST + k) for k in range(EMULATED)]
    prefix = e2e.SUBNET.rsplit(".", 1)[0]
    crowd = ["%s.1.%d" % (prefix, k + 1) for k in range(CROWD)]
    batch = "".join("addr add %s/24 dev eth0\n" % a for a in addresses[1:])
    batch += "".join("addr add %s/32 dev eth0\n" % a for a in crowd)
    subprocess.run(["ip", "-n", "gen", "-batch", "-"], input=batch, text=True, check=True)
    paths = []
    for name, listed in (("addresses.txt", addresses), ("crowd.txt", crowd)):
        path = os.path.join(world.tmp, name)
        with open(path, "w") as f:
            f.write("".join(a + "\n" for a in listed))
        paths.append(path)
    return paths


def run_log(world, a, b, log, seconds, cases, profile_dir, addresses):
    results = []
    label = "%s-%s" % (world.server, log)
    e2e.log(label, "starting A and B")
    start([a, b], log)
    wait_rows([a, b], 2, log)
    if "idle2" in cases:
        results += measure([Watch(a, "idle2"), Watch(b, "idle2")], seconds)
        if profile_dir:
            profile([Watch(a, "idle2")], profile_dir, label)
    if "talk" in cases:
        b.click("listen")
        a.click("broadcast")
        e2e.check(e2e.wait_tone(b.speaker, a.frequency, 10) is not None,
                  "B's speaker never carried A's tone")
        time.sleep(SETTLE_S)
        watches = [Watch(a, "broadcasting"), Watch(b, "listening")]
        results += measure(watches, seconds)
        e2e.check(e2e.carries(b.speaker.last(0.5), a.frequency),
                  "B's speaker no longer carried A's tone at the end of the window")
        if profile_dir:
            profile(watches, profile_dir, label)
    stop(b)
    stop(a)
    for case, count, path, extra in (
            ("idle50", EMULATED, addresses and addresses[0], []),
            ("idle200", CROWD, addresses and addresses[1], []),
            ("fanout50", EMULATED, addresses and addresses[0],
             ["--status", "update:broadcasting_no:listening_yes", "--sink"])):
        if case not in cases:
            continue
        e2e.log(label, "starting A afresh with %d emulated peers (%s)" % (count, case))
        start([a], log)
        generator = subprocess.Popen(
            ["ip", "netns", "exec", "gen", sys.executable, os.path.join(HERE, "peers.py"),
             "--targets", a.address, "--addresses", path,
             "--seconds", str(int(seconds + 30 + (2 * PROFILE_S if profile_dir else 0)))] + extra,
            stdout=subprocess.PIPE, text=True)
        try:
            wait_rows([a], count + 1, log)
            if case == "fanout50":
                a.click("broadcast")
                time.sleep(SETTLE_S)
            results += measure([Watch(a, case)], seconds)
            if profile_dir:
                profile([Watch(a, case)], profile_dir, label)
        finally:
            generator.kill()
            generator.wait()
        stop(a)
    for r in results:
        r["log"] = log
        # Writing the debug log costs its own under 200 peers: 2,000 lines a second.
        if log == "log":
            r["target_pct"] = LOG_TARGETS.get(r["state"], r["target_pct"])
    return results


# ---- output -------------------------------------------------------------------

def where(result, top=4):
    busy = sorted(result["threads"], key=lambda t: -t["cpu_pct"])[:top]
    return ", ".join("%s %.2f%% (%.0f sw/s)" % (t["thread"], t["cpu_pct"], t["switches_per_s"])
                     for t in busy)


def table(results):
    lines = ["| Server | Log | State | Instance | Whole process | Target | Threads (CPU, "
             "context switches a second) | Log lines/s | Log bytes/s | Sound server |",
             "|---|---|---|---|---:|---:|---|---:|---:|---:|"]
    for r in results:
        verdict = "" if r["cpu_pct"] <= r["target_pct"] else " (over)"
        lines.append("| %s | %s | %s | %s | %.2f%%%s | %.1f%% | %s | %.1f | %d | %.2f%% |"
                     % (r["server"], r["log"], r["state"], r["instance"], r["cpu_pct"],
                        verdict, r["target_pct"], where(r), r["log_lines_per_s"],
                        r["log_bytes_per_s"], r["sound_server_pct"]))
    return "\n".join(lines)


def machine():
    model = harness.cpu_model()
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    return "%d CPUs, %s, load average %s" % (os.cpu_count(), model, load)


def main():
    args = sys.argv[1:]
    if not args:
        sys.exit(__doc__)
    e2e.BIN = os.path.abspath(args[0])
    server = args[1] if len(args) > 1 else "pulse"
    seconds = float(os.environ.get("CPU_SECONDS", "20"))
    logs = os.environ.get("CPU_LOGS", "log quiet").split()
    cases = os.environ.get("CPU_CASES", "idle2 talk idle50 idle200 fanout50").split()
    profile_dir = os.environ.get("CPU_PROFILE")
    if os.environ.get("INTERCOM_IN_SANDBOX") != "1":
        sys.exit("cpu.py: sends datagrams; run it through tests/sandbox.sh")
    e2e.check(server in harness.SERVERS, "the sound server is one of %s, not %r"
              % ("|".join(harness.SERVERS), server))
    e2e.check(all(log in RULES for log in logs), "CPU_LOGS holds log and quiet only")
    e2e.check(all(c in ("idle2", "talk", "idle50", "idle200", "fanout50") for c in cases),
              "CPU_CASES holds idle2, talk, idle50, idle200 and fanout50 only")
    if profile_dir:
        os.makedirs(profile_dir, exist_ok=True)
    e2e.ARTIFACTS = os.path.join(os.path.dirname(e2e.BIN), "bench-artifacts", "cpu-" + server)
    shutil.rmtree(e2e.ARTIFACTS, ignore_errors=True)
    os.makedirs(e2e.ARTIFACTS)
    print("machine: %s" % machine())
    print("date: %s" % time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), flush=True)
    world = e2e.World(server)
    results = []
    try:
        a = world.add("a", 11, frequency=440)
        b = world.add("b", 12, frequency=660)
        addresses = (make_generator(world)
                     if {"idle50", "idle200", "fanout50"} & set(cases) else None)
        for log in logs:
            results += run_log(world, a, b, log, seconds, cases, profile_dir, addresses)
    finally:
        world.shutdown()
    for r in results:
        r["server"] = server
    order = {"idle2": 0, "idle50": 1, "idle200": 2, "broadcasting": 3, "listening": 4, "fanout50": 5}
    results.sort(key=lambda r: (logs.index(r["log"]), order[r["state"]], r["instance"]))
    print(table(results))
    for r in results:
        print(json.dumps(dict(r, bench="cpu", binary=e2e.BIN)), flush=True)


if __name__ == "__main__":
    harness.run_checks(main)
