#!/usr/bin/python3
"""Mouth-to-ear latency and played share of the intercom, between two instances.

A broadcasts and B listens, each in its own network namespace with its own
PulseAudio server and Xvfb display, driven through the real window as in
tests/e2e_audio.py. Tone bursts go into A's microphone FIFO; the time each
burst's first sample is written there is compared with the time its onset
reaches B's speaker (the null sink's monitor, recorded with parec). Then a
continuous tone runs for a minute and B's log gives the share of the audio it
received that its playback stream accepted.

Run it inside the sandbox, after building:
    tests/sandbox.sh -- bench/latency.py build/intercom [bursts] [seconds]
"""

import math
import os
import sys
import time

import numpy as np

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import e2e_audio as e2e  # noqa: E402
from harness import FifoFeeder  # noqa: E402

RATE = e2e.RATE


class BurstFeeder(FifoFeeder):
    """Feeds silence with 100 ms bursts of 1 kHz, one a second, at real-time pace,
    and notes when each burst's first sample is written into the FIFO."""

    def __init__(self, fifo, bursts):
        super().__init__(fifo)
        self.bursts = bursts
        self.onsets = []
        self.continuous = False
        self.n = 0

    def block(self):
        block = RATE // 100
        step = 2 * math.pi * 1000 / RATE
        n = self.n
        self.n += 1
        # Blocks 0..9 of every second carry the burst (while bursts remain).
        second, part = divmod(n, 100)
        sounding = self.continuous or (1 <= second <= self.bursts and part < 10)
        if sounding:
            t = np.arange(n * block, (n + 1) * block)
            samples = (12000 * np.sin(step * t)).astype("<i2")
        else:
            samples = np.zeros(block, dtype="<i2")
        if sounding and part == 0 and not self.continuous:
            self.onsets.append(time.monotonic())
        return samples.tobytes()

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
            if not found or t - found[-1] > 0.5:
                found.append(t)
    return found


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return "%d CPUs, %s" % (os.cpu_count(), model)


def main():
    e2e.BIN = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/intercom")
    bursts = int(sys.argv[2]) if len(sys.argv) > 2 else 25
    seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 60
    e2e.ARTIFACTS = os.path.join(os.path.dirname(e2e.BIN), "bench-artifacts")
    os.makedirs(e2e.ARTIFACTS, exist_ok=True)
    world = e2e.World()
    try:
        a = world.add("a", 11, frequency=None)
        b = world.add("b", 12, frequency=None)
        feeder = BurstFeeder(a.fifo, bursts)
        world.start_and_show((a, b))
        for i in (a, b):
            e2e.check(e2e.poll(lambda: i.count(r"Client Added, size:\s+2"), 10), "no peers")
        b.click("listen")
        a.click("broadcast")
        time.sleep(0.5)
        feeder.start()
        time.sleep(bursts + 2)

        sent = list(feeder.onsets)
        heard = onsets_in(b.speaker, sent[0] - 0.2, time.monotonic())
        latencies = []
        for t in sent:
            after = [h for h in heard if t - 0.05 < h < t + 0.9]
            if after:
                latencies.append((after[0] - t) * 1000)
        lost = len(sent) - len(latencies)
        lat = np.array(latencies)

        # The played share: a continuous tone for a minute.
        feeder.continuous = True
        time.sleep(1)
        first = len(b.writes())
        time.sleep(seconds)
        writes = b.writes()[first:]
        feeder.stop()
        accepted = sum(w for w, _ in writes)
        offered = sum(m for _, m in writes)
        sizes = np.array([m for _, m in writes])

        print("machine: %s" % machine())
        print("date: %s" % time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))
        print("bursts: %d sent, %d heard" % (len(sent), len(latencies)))
        if len(lat):
            print("latency ms: median %.1f, p95 %.1f, max %.1f, min %.1f"
                  % (np.median(lat), np.percentile(lat, 95), lat.max(), lat.min()))
            print("latencies ms: %s" % " ".join("%.0f" % x for x in latencies))
        print("played over %d s: %d of %d bytes = %.2f%% (%d chunks, %d cut short, %d refused)"
              % (seconds, accepted, offered, 100.0 * accepted / max(1, offered), len(writes),
                 sum(1 for w, m in writes if 0 < w < m), sum(1 for w, m in writes if w == 0)))
        if len(sizes):
            print("chunk bytes: median %d, min %d, max %d; %.1f chunks a second"
                  % (np.median(sizes), sizes.min(), sizes.max(), len(sizes) / seconds))
        if lost:
            print("lost bursts: %d" % lost)
    finally:
        world.shutdown()


if __name__ == "__main__":
    main()
