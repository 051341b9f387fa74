#!/usr/bin/python3
"""Several talkers at one listener: whether each is heard while others talk,
what a lossy, jittery or stalling link does to the sound, and what listening
to ten costs.

B is the real program, driven through its real window under Xvfb as in
tests/e2e_audio.py (it clicks "listen"), with its own sound server
(PulseAudio, or PipeWire with WirePlumber and pipewire-pulse) and its speaker,
a null sink's monitor, recorded with parec. B starts afresh for each case.
The talkers are lab peers (harness.LabPeer): small Python processes, each in
its own network namespace on B's bridge, with its own address, that announce
"update:broadcasting_yes:listening_no" to B ten times a second and send it
audio datagrams of 1,024 samples at real-time pace, paced on the monotonic
clock. Each plays a steady tone of its own (500, 1100, 1900, ... Hz, 800 Hz
apart past the first two, which a 5 ms window tells apart), or digital
silence. A talker can impair its own path as a Wi-Fi link would: lose a
share of its chunks at random, hold each back a random LOW to HIGH ms
(order kept), and every N s hold everything 100 ms and then release it at
once.

A tone "carries" in a 5 ms window when its amplitude there (one bin of a
Hann-weighted transform) is at least a tenth of what the talker sends and at
least half its level in its loudest 1% of windows (e2e_audio.tone_presence).
"Mouth-to-ear" is the time from a sample's send time, the due time of the
chunk holding it (when a real capture would have handed the chunk out), to
its arrival at B's speaker, timed as e2e_audio.Speaker times what parec
hands over (its blocks can put a sample a few ms early): one talker plays
1 kHz at amplitude 4000, and the first 10 ms of every 43rd chunk (about once
a second) at 12000; the onsets of those markers at the speaker (samples
louder than 8000, as bench/latency.py finds them) are timed against their
chunks' due times. "Heard" is the share of 1 ms windows at B's speaker that
are not silent (RMS 100 or more) while the talker talks; a gap is a run of
silent ones.

The cases (each a word on the command line; all of them by default):
  two     two talkers at once, 10 s: each tone's share of 5 ms windows
          (target >= 99%)
  silent  one talker and a silent broadcaster, 10 s: the talker's share
          (target >= 99%)
  ten     ten talkers at once: B's whole-process CPU share over 15 s
          (utime + stime of /proc/PID/stat, as bench/cpu.py reads it; target
          <= 3% of a core), and each tone's share
  loss    one talker, 10 s over a clean path (the lossless mouth-to-ear
          figure), then 20 s with 2% of chunks lost and 2 to 8 ms of jitter:
          heard share (target >= 99.5%), silent gaps (target <= 2) and
          mouth-to-ear median (target within 10 ms of the lossless one)
  stall   the same clean start, then 20 s of that loss and jitter with a
          100 ms stall every 5 s, then 20 s without stalls: heard share while
          stalling (target >= 99%), the largest mouth-to-ear of the first
          chunk each stall held (the longest held of its burst; target
          <= 150 ms), and the time from the end of the last stall until the
          median of every five markers in a row stays within 10 ms of the
          lossless figure (target <= 15 s)
  stop    five rounds of a talker that talks 2 s and stops: from the due time
          of its last chunk to B's last sample of 100 or more within 0.5 s
          (target <= 100 ms); also from the due time of its first chunk to
          the first such sample

Run it inside the sandbox, after building (SERVER is pulse or pipewire):
    tests/sandbox.sh -- bench/conversation.py build/intercom pulse
    tests/sandbox.sh -- bench/conversation.py build/intercom pipewire
    tests/sandbox.sh -- bench/conversation.py build/intercom pulse two stop
It takes about two and a half minutes per server for every case. With
DRIFT=PPM in the environment every talker's clock runs PPM parts per million
fast (negative: slow); LISTENER=PROGRAM runs another program as B. Prints a line or two per
case, then one JSON line of every figure. B's logs and its recorded speaker
go to bench-artifacts/conversation-SERVER beside the program.

Nothing leaves the sandbox: the talkers send only to B's address on the
private bridge, and each stops by itself after its case's length plus 30 s.
"""

import json
import os
import sys
import time

import numpy as np

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import e2e_audio as e2e  # noqa: E402
import harness  # noqa: E402
import latency  # noqa: E402

RATE = e2e.RATE
NETWORK = e2e.SUBNET + ".0/24"
LISTENER_HOST = 12
TALKER_HOST = 21  # talker n (from 0) at SUBNET.21+n
FREQUENCIES = (500, 1100, 1900, 2700, 3500, 4300, 5100, 5900, 6700, 7500)
# Ten of them at once stay below full scale.
AMPLITUDE = 3000
# The timed talker: 1 kHz makes a 1 ms window one whole cycle, so that no
# window of sound reads as silent.
MARKED = {"frequency": 1000, "amplitude": 4000, "marker_every": 43, "marker_samples": 441,
          "marker_amplitude": 12000}
LOUD = 8000  # between the timed talker's peaks and its markers'
LOSS = 0.02
JITTER = (2, 8)
STALL_S = 5
CASES = ("two", "silent", "ten", "loss", "stall", "stop")
TARGETS = {"presence": 0.99, "cpu_pct": 3.0, "heard_loss": 0.995, "gaps": 2,
           "latency_tolerance_ms": 10, "heard_stall": 0.99, "stall_max_ms": 150,
           "recovery_s": 15, "silent_after_ms": 100}


class Bench:
    """The world of one run: B, the talkers' namespaces, B's process per case."""

    def __init__(self, world):
        self.world = world
        self.b = world.add("b", LISTENER_HOST)
        self.hosts = []
        self.peers = []

    def host(self, n):
        while len(self.hosts) <= n:
            name = "t%d" % len(self.hosts)
            harness.add_host(self.world.bridge, name,
                             "%s.%d" % (e2e.SUBNET, TALKER_HOST + len(self.hosts)), 24)
            self.hosts.append(name)
        return self.hosts[n]

    def listen(self, case):
        """B started afresh, listening, with its log and recording kept apart."""
        b = self.b
        b.logpath = os.path.join(e2e.ARTIFACTS, "b-%s.log" % case)
        b.start(os.environ.get("LISTENER"))
        b.show()
        b.click("listen")
        e2e.check(e2e.poll(lambda: e2e.status_seen(b, "broadcasting_no:listening_yes"), 10),
                  "B never announced listening_yes")

    def talkers(self, settings, seconds):
        """A lab peer for each of `settings`, listed by B before any talks."""
        drift = float(os.environ.get("DRIFT", "0"))
        peers = []
        try:
            for n, each in enumerate(settings):
                peers.append(harness.LabPeer(self.host(n), self.b.address, NETWORK, seconds + 30,
                                             seed=n, ppm=drift, **each))
            e2e.check(e2e.poll(lambda: self.b.count(r"Client Added, size:\s+%d\b"
                                                    % (len(peers) + 1)), 10),
                      "B never listed the %d talkers" % len(peers))
        finally:
            self.peers += peers
        return peers

    def end(self, peers):
        """The talkers' reports; B stopped."""
        reports = [p.finish() for p in peers]
        self.peers = [p for p in self.peers if p not in peers]
        b = self.b
        if b.proc.poll() is None:
            b.proc.kill()
        b.proc.wait()
        b.logfile.close()
        return reports

    def shutdown(self):
        for p in self.peers:
            p.kill()


# ---- what B's speaker carried ---------------------------------------------------

def presence(speaker, frequencies, began, ended):
    return e2e.tone_presence(speaker.between(began, ended), frequencies, AMPLITUDE / 10)


def playing(speaker, frequencies):
    """Waits until B's speaker carries any of the tones (a single queue for
    every sender may never play some of them), and a second more, past the
    start of the last talker."""
    e2e.check(e2e.poll(lambda: max(presence(speaker, frequencies, time.monotonic() - 0.5,
                                            time.monotonic())) > 0.2, 10),
              "B's speaker never carried a talker's tone")
    time.sleep(1)
    return time.monotonic()


def presence_over(speaker, frequencies, seconds):
    """Each tone's share of 5 ms windows over `seconds` once B plays them."""
    began = playing(speaker, frequencies)
    time.sleep(seconds)
    return presence(speaker, frequencies, began, time.monotonic())


def heard(speaker, t0, t1):
    """The share of 1 ms windows that are not silent, the silent runs, and
    the longest of them in ms."""
    window = RATE // 1000
    samples = speaker.between(t0, t1).astype(np.float64)
    count = len(samples) // window
    if count == 0:
        return 0.0, 0, 0
    levels = np.sqrt(np.mean(samples[:count * window].reshape(count, window) ** 2, axis=1))
    sound = np.concatenate(([True], levels >= e2e.SILENT_RMS, [True]))
    starts = np.nonzero(sound[:-1] & ~sound[1:])[0]
    ends = np.nonzero(~sound[:-1] & sound[1:])[0]
    longest = int((ends - starts).max()) if len(starts) else 0
    return float(np.mean(sound[1:-1])), len(starts), longest


def sound_edges(speaker, t0, t1, level):
    """Times of the first and the last sample as loud as `level` between t0
    and t1, each None if there is none."""
    with speaker.lock:
        chunks = list(speaker.chunks)
    first = last = None
    for end, samples in chunks:
        begin = end - len(samples) / RATE
        if end < t0 or begin > t1:
            continue
        times = begin + np.nonzero(np.abs(samples.astype(np.int32)) >= level)[0] / RATE
        times = times[(times >= t0) & (times <= t1)]
        if len(times):
            first = times[0] if first is None else first
            last = times[-1]
    return first, last


def marker_delays(speaker, markers, t0, t1):
    """(marker, mouth-to-ear ms or None) of every marker sent between t0 and t1."""
    onsets = latency.onsets_in(speaker, t0, t1 + 1, LOUD)
    timed = []
    for m in markers:
        if m["lost"] or not t0 <= m["due"] < t1:
            continue
        after = [h for h in onsets if m["due"] < h < m["due"] + 0.9]
        timed.append((m, (after[0] - m["due"]) * 1000 if after else None))
    return timed


def median_of(timed):
    values = [d for _, d in timed if d is not None]
    return round(float(np.median(values)), 1) if values else None


def timed_run(bench, case, phases, clean=10):
    """B and the timed talker: `clean` s over a clean path, then each of
    `phases`, (faults for LabPeer.impair, seconds), in turn. Returns the
    talker's report, when each phase began and the last ended, and the
    lossless mouth-to-ear median."""
    bench.listen(case)
    peer, = bench.talkers([MARKED], clean + sum(seconds for _, seconds in phases))
    peer.talk()
    e2e.check(e2e.wait_tone(bench.b.speaker, MARKED["frequency"], 10) is not None,
              "B's speaker never carried the talker's tone")
    began = time.monotonic()
    time.sleep(clean)
    times = []
    for faults, seconds in phases:
        times.append(time.monotonic())
        peer.impair(**faults)
        time.sleep(seconds)
    times.append(time.monotonic())
    report, = bench.end([peer])
    return report, times, median_of(marker_delays(bench.b.speaker, report["markers"], began,
                                                  times[0]))


def heard_during(speaker, t0, t1, lossless):
    """heard() over the stretch the speaker played what was sent between t0
    and t1 in: a mouth-to-ear later."""
    shift = (lossless or 0) / 1000
    return heard(speaker, t0 + shift + 0.1, t1 + shift)


# ---- the cases -------------------------------------------------------------------

def case_two(bench):
    bench.listen("two")
    peers = bench.talkers([{"frequency": f, "amplitude": AMPLITUDE} for f in FREQUENCIES[:2]], 20)
    for p in peers:
        p.talk()
    shares = presence_over(bench.b.speaker, FREQUENCIES[:2], 10)
    bench.end(peers)
    return {"presence": {str(f): round(s, 4) for f, s in zip(FREQUENCIES, shares)}}


def case_silent(bench):
    bench.listen("silent")
    peers = bench.talkers([{"frequency": FREQUENCIES[0], "amplitude": AMPLITUDE},
                           {"frequency": 0}], 20)
    for p in peers:
        p.talk()
    share, = presence_over(bench.b.speaker, FREQUENCIES[:1], 10)
    bench.end(peers)
    return {"presence": round(share, 4)}


def case_ten(bench):
    bench.listen("ten")
    peers = bench.talkers([{"frequency": f, "amplitude": AMPLITUDE} for f in FREQUENCIES], 30)
    for p in peers:
        p.talk()
    pid = bench.b.proc.pid
    playing(bench.b.speaker, FREQUENCIES)
    ticks, began = harness.cpu_ticks(pid), time.monotonic()
    time.sleep(15)
    ticks, seconds = harness.cpu_ticks(pid) - ticks, time.monotonic() - began
    shares = presence(bench.b.speaker, FREQUENCIES, began, began + seconds)
    bench.end(peers)
    return {"cpu_pct": round(100.0 * ticks / os.sysconf("SC_CLK_TCK") / seconds, 2),
            "seconds": round(seconds, 1),
            "presence": {str(f): round(s, 4) for f, s in zip(FREQUENCIES, shares)}}


def case_loss(bench):
    report, (impaired, ended), lossless = timed_run(
        bench, "loss", [({"loss": LOSS, "jitter": JITTER}, 20)])
    speaker = bench.b.speaker
    lossy = marker_delays(speaker, report["markers"], impaired, ended)
    share, gaps, longest = heard_during(speaker, impaired, ended, lossless)
    return {"lossless_ms": lossless, "lossy_ms": median_of(lossy),
            "lossy_timed": sum(1 for _, d in lossy if d is not None), "heard": round(share, 5),
            "gaps": gaps, "longest_gap_ms": longest, "chunks_lost": report["lost"]}


def recovery(timed, since, lossless, run=5):
    """Seconds from `since` until the median of every `run` markers in a row
    (by due time) stays within the tolerance of `lossless`, or None."""
    values = [(m["due"], d) for m, d in timed if d is not None and m["due"] >= since]
    back = None
    for i in range(len(values) - run + 1):
        middle = np.median([d for _, d in values[i:i + run]])
        if abs(middle - lossless) <= TARGETS["latency_tolerance_ms"]:
            if back is None:
                back = values[i + run // 2][0] - since
        else:
            back = None
    return back


def case_stall(bench):
    report, (stalling, calm, ended), lossless = timed_run(
        bench, "stall", [({"loss": LOSS, "jitter": JITTER, "stall": STALL_S}, 20),
                         ({"loss": LOSS, "jitter": JITTER}, 20)])
    speaker = bench.b.speaker
    markers = report["markers"]
    share, gaps, longest = heard_during(speaker, stalling, calm, lossless)
    timed = marker_delays(speaker, markers, stalling, ended)
    held = [d for m, d in timed if m["stalled"]]
    stalls = [m["due"] for m in markers if m["stalled"] and stalling <= m["due"] < calm]
    since = stalls[-1] + 0.1 if stalls else calm
    back = recovery(timed, since, lossless) if lossless is not None else None
    return {"lossless_ms": lossless, "heard": round(share, 5), "gaps": gaps,
            "longest_gap_ms": longest, "stalls": len(stalls),
            "stalled_ms": [None if d is None else round(d, 1) for d in held],
            "stalled_max_ms": max((round(d, 1) for d in held if d is not None), default=None),
            # Held chunks later than the listener's cover are cut, not played:
            # the most that anything heard while stalling came late.
            "stalling_max_ms": max((round(d, 1) for m, d in timed
                                    if d is not None and stalling <= m["due"] < calm), default=None),
            "after_stalls_ms": median_of([t for t in timed if t[0]["due"] >= since]),
            "recovery_s": None if back is None else round(back, 1),
            "recovery_watched_s": round(ended - since, 1), "chunks_lost": report["lost"]}


def case_stop(bench, rounds=5):
    bench.listen("stop")
    peer, = bench.talkers([dict(MARKED, marker_every=0)], rounds * 7)
    for _ in range(rounds):
        peer.talk()
        time.sleep(2)
        peer.hush()
        e2e.check(e2e.wait_silence(bench.b.speaker, 3, window=0.3) is not None,
                  "B's speaker did not fall silent after the talker stopped")
        # Each round's sound is looked for up to 0.5 s past its last chunk.
        time.sleep(1.0)
    report, = bench.end([peer])
    silent_after, first_sound = [], []
    for first, last in report["talks"]:
        start, end = sound_edges(bench.b.speaker, first - 0.1, last + 0.5, e2e.SILENT_RMS)
        if start is not None:
            first_sound.append((start - first) * 1000)
            silent_after.append((end - last) * 1000)
    return {"rounds": len(report["talks"]), "silent_after_ms": latency.summary(silent_after),
            "silent_after_each_ms": [round(v) for v in silent_after],
            "first_sound_ms": latency.summary(first_sound)}


# ---- output ----------------------------------------------------------------------

def verdict(ok):
    return "" if ok else " (short of target)"


def share_text(shares):
    return ", ".join("%s Hz %.1f%%" % (f, 100 * s) for f, s in shares.items())


def ms(value):
    return "none" if value is None else "%.1f ms" % value


def report(case, r):
    t = TARGETS
    if case == "two":
        print("two talkers: %s of 5 ms windows (target >= %g%%)%s"
              % (share_text(r["presence"]), 100 * t["presence"],
                 verdict(min(r["presence"].values()) >= t["presence"])))
    elif case == "silent":
        print("one talker beside a silent broadcaster: %.1f%% of 5 ms windows (target >= %g%%)%s"
              % (100 * r["presence"], 100 * t["presence"], verdict(r["presence"] >= t["presence"])))
    elif case == "ten":
        print("ten talkers: B's CPU %.2f%% of a core over %.0f s (target <= %g%%)%s"
              % (r["cpu_pct"], r["seconds"], t["cpu_pct"], verdict(r["cpu_pct"] <= t["cpu_pct"])))
        print("  each tone's 5 ms windows: %s" % share_text(r["presence"]))
    elif case == "loss":
        near = (r["lossless_ms"] is not None and r["lossy_ms"] is not None
                and abs(r["lossy_ms"] - r["lossless_ms"]) <= t["latency_tolerance_ms"])
        print("%g%% loss and %d-%d ms jitter over 20 s: heard %.2f%% of 1 ms windows (target "
              ">= %g%%)%s, %d silent gaps (target <= %d)%s, longest %d ms; %d chunks lost"
              % (100 * LOSS, JITTER[0], JITTER[1], 100 * r["heard"], 100 * t["heard_loss"],
                 verdict(r["heard"] >= t["heard_loss"]), r["gaps"], t["gaps"],
                 verdict(r["gaps"] <= t["gaps"]), r["longest_gap_ms"], r["chunks_lost"]))
        print("  mouth-to-ear median %s over it (%d markers timed), %s lossless (target within "
              "%d ms)%s" % (ms(r["lossy_ms"]), r["lossy_timed"], ms(r["lossless_ms"]),
                            t["latency_tolerance_ms"], verdict(near)))
    elif case == "stall":
        worst = r["stalling_max_ms"]
        print("the same with a 100 ms stall every %d s, %d stalls: heard %.2f%% of 1 ms windows "
              "(target >= %g%%)%s, %d silent gaps, longest %d ms"
              % (STALL_S, r["stalls"], 100 * r["heard"], 100 * t["heard_stall"],
                 verdict(r["heard"] >= t["heard_stall"]), r["gaps"], r["longest_gap_ms"]))
        print("  first chunk each stall held: %s ms (- for cut); the most anything heard while "
              "stalling came late: %s (target <= %d ms)%s"
              % (" ".join("-" if d is None else "%.0f" % d for d in r["stalled_ms"]), ms(worst),
                 t["stall_max_ms"], verdict(worst is not None and worst <= t["stall_max_ms"])))
        back = r["recovery_s"]
        print("  after the stalls: median %s, back within %d ms of the lossless %s after %s "
              "(target <= %d s)%s"
              % (ms(r["after_stalls_ms"]), t["latency_tolerance_ms"], ms(r["lossless_ms"]),
                 "%.1f s" % back if back is not None
                 else "more than the %.0f s watched" % r["recovery_watched_s"],
                 t["recovery_s"], verdict(back is not None and back <= t["recovery_s"])))
    elif case == "stop":
        after, first = r["silent_after_ms"], r["first_sound_ms"]
        if after:
            print("a talker who stops, %d rounds: silent %.0f ms median, %.0f max after its last "
                  "chunk was due (target <= %d ms)%s; first sound %.0f ms median after its first"
                  % (r["rounds"], after["median"], after["max"], t["silent_after_ms"],
                     verdict(after["max"] <= t["silent_after_ms"]), first["median"]))
        else:
            print("a talker who stops: never heard")


def main(program=None, server="pulse", *cases):
    if not program:
        sys.exit(__doc__)
    e2e.BIN = os.path.abspath(program)
    cases = cases or CASES
    if os.environ.get("INTERCOM_IN_SANDBOX") != "1":
        sys.exit("conversation.py: sends datagrams; run it through tests/sandbox.sh")
    e2e.check(server in harness.SERVERS, "the sound server is one of %s, not %r"
              % ("|".join(harness.SERVERS), server))
    e2e.check(all(c in CASES for c in cases), "the cases are %s" % " ".join(CASES))
    e2e.ARTIFACTS = os.path.join(os.path.dirname(e2e.BIN), "bench-artifacts",
                                 "conversation-" + server)
    os.makedirs(e2e.ARTIFACTS, exist_ok=True)
    print("machine: %s" % latency.machine())
    print("date: %s" % time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))
    print("server: %s" % server, flush=True)
    results = {}
    world = e2e.World(server)
    bench = None
    try:
        bench = Bench(world)
        for case in cases:
            e2e.log("case", case)
            results[case] = globals()["case_" + case](bench)
            report(case, results[case])
            sys.stdout.flush()
    finally:
        if bench:
            bench.shutdown()
        if world.instances and world.instances[0].speaker:
            e2e.save_wav(os.path.join(e2e.ARTIFACTS, "b-speaker.wav"),
                         world.instances[0].speaker.everything())
        world.shutdown()
    print(json.dumps(dict(bench="conversation", server=server, binary=e2e.BIN,
                          drift_ppm=float(os.environ.get("DRIFT", "0")), targets=TARGETS,
                          **results)), flush=True)


if __name__ == "__main__":
    harness.run_checks(main, *sys.argv[1:])
