#!/usr/bin/python3
"""Mouth-to-ear latency, capture lag and played share of the intercom, between
two instances.

A broadcasts and B listens, each in its own network namespace with its own
sound server (PulseAudio, or PipeWire with WirePlumber and pipewire-pulse) and
Xvfb display, driven through the real window as in tests/e2e_audio.py. A's
microphone is the monitor of a null sink that plays a FIFO, so the program
gets whole periods as from hardware. Tone bursts go into that FIFO; the time
each burst's first sample is written there is compared with the time its onset
reaches B's speaker (the null sink's monitor, recorded with parec).

Per run it reports:
- latency: median, p90 and max of the mouth-to-ear time over BURSTS bursts of
  100 ms, one a second;
- capture lag: the mouth-to-ear time of a single burst about 5 s after A began
  to broadcast and of one BROADCAST seconds after (default 300): a capture that
  keeps up with real time has the second no larger than the first;
- played share: during a continuous tone of TONE seconds, what B's playback
  stream accepted over what B received (the "wrote: N down from: M" lines of
  B's log, sum of N over sum of M);
- capture chunk size: the median M, the bytes of one captured chunk.

Run it inside the sandbox, after building (SERVER is pulse or pipewire):
    tests/sandbox.sh -- bench/latency.py build/intercom [SERVER] [BURSTS] [TONE] [BROADCAST]
With SENDER=PROGRAM or LISTENER=PROGRAM in the environment, A or B runs that
program instead, to see how builds of two designs play together.
"""

import json
import math
import os
import sys
import threading
import time

import numpy as np

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import e2e_audio as e2e  # noqa: E402
from harness import FifoFeeder  # noqa: E402

RATE = e2e.RATE
BLOCK = RATE // 100


class BurstFeeder(FifoFeeder):
    """Feeds silence at real-time pace; burst() sends 100 ms of 1 kHz and returns
    when its first sample was written into the FIFO, tone = True sends 1 kHz
    until set back."""

    def __init__(self, fifo):
        super().__init__(fifo)
        self.tone = False
        self.asked = threading.Event()
        self.written = threading.Event()
        self.onset = None
        self.left = 0  # blocks of the current burst still to send
        self.n = 0

    def burst(self):
        self.written.clear()
        self.asked.set()
        e2e.check(self.written.wait(5), "the microphone feeder stopped")
        return self.onset

    def block(self):
        if self.asked.is_set() and not self.left:
            self.asked.clear()
            self.left = 10
            # The base class writes this block right after block() returns.
            self.onset = time.monotonic()
            self.written.set()
        t = np.arange(self.n * BLOCK, (self.n + 1) * BLOCK)
        self.n += 1
        if self.left or self.tone:
            self.left = max(0, self.left - 1)
            return (12000 * np.sin(2 * math.pi * 1000 / RATE * t)).astype("<i2").tobytes()
        return np.zeros(BLOCK, dtype="<i2").tobytes()

    def write_failed(self, error):
        raise error


def onsets_in(speaker, t0, t1, threshold=2000):
    """Times at which sound starts on the speaker, at least 0.5 s apart."""
    with speaker.lock:
        chunks = list(speaker.chunks)
    found = []
    for end, samples in chunks:
        begin = end - len(samples) / RATE
        if end < t0 or begin > t1:
            continue
        loud = np.nonzero(np.abs(samples.astype(np.int32)) > threshold)[0]
        for i in loud:
            t = begin + i / RATE
            if t >= t0 and (not found or t - found[-1] > 0.5):
                found.append(t)
    return found


def heard_after(speaker, onset, within):
    """Milliseconds from onset until the speaker sounds, or None after `within` s."""
    heard = e2e.poll(lambda: onsets_in(speaker, onset - 0.05, time.monotonic()), within)
    return (heard[0] - onset) * 1000 if heard else None


def single_burst(feeder, speaker):
    """Mouth-to-ear of one burst sent into a silent speaker. A capture that
    falls behind delays everything by seconds after a long broadcast, the end
    of the tone before the burst as well: hence the long deadlines."""
    e2e.check(e2e.wait_silence(speaker, 30, window=0.5) is not None,
              "B's speaker did not fall silent before a burst")
    return heard_after(speaker, feeder.burst(), 30)


def heard_at_speaker(speaker, t0, t1, window=220):
    """The share of 5 ms windows of the speaker's recording between t0 and t1
    that carry the continuous tone, and the number of gaps (runs of windows
    without it): what a listener hears, where the log says only what the
    playback stream accepted."""
    samples = speaker.between(t0, t1).astype(np.float64)
    count = len(samples) // window
    if count == 0:
        return 0.0, 0
    levels = np.sqrt(np.mean(samples[:count * window].reshape(count, window) ** 2, axis=1))
    loud = levels > 0.25 * np.median(levels)
    gaps = int(np.sum(loud[1:] < loud[:-1]) + (0 if loud[0] else 1))
    return float(np.mean(loud)), gaps


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return "%d CPUs, %s" % (os.cpu_count(), model)


def main():
    args = sys.argv[1:]
    e2e.BIN = os.path.abspath(args[0] if args else "build/intercom")
    server = args[1] if len(args) > 1 else "pulse"
    bursts = int(args[2]) if len(args) > 2 else 25
    seconds = int(args[3]) if len(args) > 3 else 60
    broadcast = int(args[4]) if len(args) > 4 else 300
    e2e.ARTIFACTS = os.path.join(os.path.dirname(e2e.BIN), "bench-artifacts", server)
    os.makedirs(e2e.ARTIFACTS, exist_ok=True)
    world = e2e.World(server)
    try:
        a = world.add("a", 11, feeder=BurstFeeder)
        b = world.add("b", 12)
        feeder = a.mic
        # A listener of another build (an older release, say) hears what this
        # build sends: SENDER or LISTENER name its program.
        a.start(os.environ.get("SENDER"))
        b.start(os.environ.get("LISTENER"))
        for i in (a, b):
            i.show()
        for i in (a, b):
            e2e.check(e2e.poll(lambda: i.count(r"Client Added, size:\s+2"), 10), "no peers")
        b.click("listen")
        began = a.click("broadcast")
        skipped = feeder.skipped
        e2e.check(e2e.poll(lambda: b.writes(), 10), "B never played A's broadcast")

        # Capture lag, first probe: 5 s into the broadcast.
        time.sleep(max(0, began + 5 - time.monotonic()))
        early_age = time.monotonic() - began
        early = single_burst(feeder, b.speaker)

        # Bursts, one a second.
        e2e.check(e2e.wait_silence(b.speaker, 10, window=0.5) is not None,
                  "B's speaker did not fall silent after the first burst")
        sent = []
        for _ in range(bursts):
            sent.append(feeder.burst())
            time.sleep(max(0, sent[-1] + 1 - time.monotonic()))
        e2e.poll(lambda: len(onsets_in(b.speaker, sent[0] - 0.05, time.monotonic()))
                 >= len(sent), 3)
        heard = onsets_in(b.speaker, sent[0] - 0.05, time.monotonic())
        latencies = []
        for t in sent:
            after = [h for h in heard if t - 0.05 < h < t + 0.95]
            if after:
                latencies.append((after[0] - t) * 1000)
        lost = len(sent) - len(latencies)
        lat = np.array(latencies)

        # The played share: a continuous tone.
        feeder.tone = True
        e2e.check(e2e.wait_tone(b.speaker, 1000, 10) is not None, "B never played the tone")
        first = len(b.writes())
        tone_from = time.monotonic()
        time.sleep(seconds)
        writes = b.writes()[first:]
        heard_share, gaps = heard_at_speaker(b.speaker, tone_from, time.monotonic())
        feeder.tone = False
        accepted = sum(w for w, _ in writes)
        offered = sum(m for _, m in writes)
        sizes = np.array([m for _, m in writes])

        # Capture lag, second probe: BROADCAST seconds into the broadcast.
        time.sleep(max(0, began + broadcast - time.monotonic()))
        late_age = time.monotonic() - began
        late = single_burst(feeder, b.speaker)

        ms = lambda value: "%.0f ms" % value if value is not None else "not heard"
        print("machine: %s" % machine())
        print("date: %s" % time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))
        print("server: %s" % server)
        print("bursts: %d sent, %d heard" % (len(sent), len(latencies)))
        if len(lat):
            print("latency ms: median %.1f, p90 %.1f, max %.1f, min %.1f"
                  % (np.median(lat), np.percentile(lat, 90), lat.max(), lat.min()))
            print("latencies ms: %s" % " ".join("%.0f" % x for x in latencies))
        print("capture lag: burst after %.0f s of broadcasting %s, after %.0f s %s"
              % (early_age, ms(early), late_age, ms(late)))
        print("played over %d s: %d of %d bytes = %.2f%% (%d chunks, %d cut short, %d refused)"
              % (seconds, accepted, offered, 100.0 * accepted / max(1, offered), len(writes),
                 sum(1 for w, m in writes if 0 < w < m), sum(1 for w, m in writes if w == 0)))
        print("heard at the speaker over %d s: %.2f%% of 5 ms windows carry the tone (%d gaps)"
              % (seconds, 100.0 * heard_share, gaps))
        if len(sizes):
            print("capture chunk bytes: median %d, min %d, max %d; %.1f chunks a second"
                  % (np.median(sizes), sizes.min(), sizes.max(), len(sizes) / seconds))
        if lost:
            print("lost bursts: %d" % lost)
        print("microphone feeder: %d blocks of 10 ms skipped during the broadcast while its FIFO "
              "held a backlog" % (feeder.skipped - skipped))
        print(json.dumps({
            "bench": "latency", "server": server, "bursts": len(sent), "heard": len(latencies),
            "latency_ms": {"median": round(float(np.median(lat)), 1),
                           "p90": round(float(np.percentile(lat, 90)), 1),
                           "max": round(float(lat.max()), 1)} if len(lat) else None,
            "lag_probe_ms": {"%.0f s" % early_age: early and round(early, 1),
                             "%.0f s" % late_age: late and round(late, 1)},
            "played_share": round(accepted / max(1, offered), 4),
            "heard_share": round(heard_share, 4),
            "chunk_bytes_median": int(np.median(sizes)) if len(sizes) else None,
            "tone_seconds": seconds}), flush=True)
    finally:
        world.shutdown()


if __name__ == "__main__":
    e2e.harness.run_checks(main)
