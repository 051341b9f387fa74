#!/usr/bin/python3
"""Mouth-to-ear latency, capture lag and played share of the intercom, between
two instances.

A broadcasts and B listens, each in its own network namespace with its own
sound server (PulseAudio, or PipeWire with WirePlumber and pipewire-pulse) and
Xvfb display, driven through the real window as in tests/e2e_audio.py. A's
microphone is the monitor of a null sink that plays a FIFO, so the program
gets whole periods as from hardware; a block goes into the FIFO only once the
one before has left it, so that no queue stands in front of the microphone.
Tone bursts go into that FIFO; the time each burst's first sample is written
there is compared with the time its onset reaches B's speaker (the null
sink's monitor, recorded with parec).

Per run it reports:
- latency: median, p90 and max of the mouth-to-ear time over BURSTS bursts of
  100 ms, one a second;
- its two legs, split where the sound reaches the listener's machine:
  microphone to datagram, from the burst's first sample going into the FIFO
  to the arrival in B's namespace of the first audio datagram that carries
  sound, and datagram to speaker, from that arrival to the onset at B's
  speaker; the two add up to the latency. The arrival is the kernel's receive
  time of the datagram's last IP fragment on B's interface, seen through a
  packet socket in B's namespace, so the program is not touched. It is not
  moved back by the samples after the onset in that datagram: the first leg
  includes the wait for the rest of the chunk, the second the play-out of the
  samples ahead of the onset; the median of those samples after the onset is
  reported beside them;
- capture lag: the mouth-to-ear time of a single burst about 5 s after A began
  to broadcast and of one BROADCAST seconds after (default 300), each with its
  two legs: a capture that keeps up with real time has the second no larger
  than the first;
- played share: during a continuous tone of TONE seconds, what B's playback
  stream accepted over what B received (the "wrote: N down from: M" lines of
  B's log, sum of N over sum of M);
- capture chunk size: the median M, the bytes of one captured chunk;
- the gaps between the arrivals of audio datagrams at B during the tone.

Run it inside the sandbox, after building (SERVER is pulse or pipewire):
    tests/sandbox.sh -- bench/latency.py build/intercom [SERVER] [BURSTS] [TONE] [BROADCAST]
for instance, a short run of 15 bursts, 15 s of tone and the second probe
after 20 s:
    tests/sandbox.sh -- bench/latency.py build/intercom pulse 15 15 20
    tests/sandbox.sh -- bench/latency.py build/intercom pipewire 15 15 20
With SENDER=PROGRAM or LISTENER=PROGRAM in the environment, A or B runs that
program instead, to see how builds of two designs play together.

With JITTER=LOW:HIGH (milliseconds) in the environment, A's audio reaches B
only through a relay that holds each datagram back a random LOW to HIGH ms
from its arrival, uniformly, and never sends one before the one ahead of it,
as a network with jitter would:
    JITTER=2:8 tests/sandbox.sh -- bench/latency.py build/intercom pulse 15 15 20
    JITTER=2:8 tests/sandbox.sh -- bench/latency.py build/intercom pipewire 15 15 20
A and B are then on two bridges and do not hear each other. The relay's
namespace is on both: it announces itself to A as a listening peer ten times a
second, so that A sends it its audio, and passes on everything A sends it (its
audio and its announcements) to B, which plays audio from any sender. It sends
only to A and B, stops with the run or after 500 datagrams a second of it at
most, and runs at real-time priority where it may, so that the machine's load
does not add to the jitter; it reports how long it held the datagrams. The
datagrams' arrival at B is taken after the relay, so the hold falls in the
first leg. JITTER=0:0 sends through the relay without holding anything back.
"""

import ipaddress
import json
import math
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib

import numpy as np

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import e2e_audio as e2e  # noqa: E402
from harness import FifoFeeder, qbytes, qstring  # noqa: E402
import harness  # noqa: E402

RATE = e2e.RATE
BLOCK = RATE // 100
# A sample louder than this is sound: a sixth of the bursts' amplitude.
LOUD = 2000
PORT = 8002


class BurstFeeder(FifoFeeder):
    """Feeds silence at real-time pace; burst() sends 100 ms of 1 kHz and returns
    when its first sample was written into the FIFO, tone = True sends 1 kHz
    until set back."""

    # A block goes in only once pacat has taken the one before. Whatever the
    # FIFO is let hold stands in front of every later sample for the rest of
    # the run, by as much as the run's start happened to leave there: 0 to
    # 15 ms, which moved a run's median by as much, and a real microphone has
    # no such queue ahead of it. A skipped tick only shortens that queue.
    BACKLOG = 0

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


def onsets_in(speaker, t0, t1, threshold=LOUD):
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


# ---- the wire: audio datagrams as they arrive in B's namespace -------------

SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
ETH_P_IP = 0x0800


def audio_samples(payload):
    """The samples of an audio datagram's UDP payload (a 4-byte big-endian
    body length, then the zlib stream of the body: a QDataStream QString
    header "audio" and a QByteArray of 16-bit mono PCM), or None for anything
    else."""
    try:
        body = zlib.decompress(payload[4:])
    except zlib.error:
        return None
    values = []
    offset = 0
    for _ in range(2):
        if len(body) - offset < 4:
            return None
        count = struct.unpack_from(">I", body, offset)[0]
        offset += 4
        if count == 0xFFFFFFFF:
            count = 0
        if count > len(body) - offset:
            return None
        values.append(body[offset:offset + count])
        offset += count
    if values[0] != "audio".encode("utf-16-be"):
        return None
    pcm = values[1]
    return np.frombuffer(pcm[:len(pcm) & ~1], dtype="<i2")


def kernel_time(ancillary):
    """The kernel's receive time of a datagram (SO_TIMESTAMPNS, on the wall
    clock) on the monotonic clock, or the monotonic time now if it has none.
    The two clocks are read together at each datagram, so that the wall
    clock's steps and slewing between datagrams do not count."""
    wall = time.clock_gettime(time.CLOCK_REALTIME)
    now = time.monotonic()
    for level, kind, data in ancillary:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(data) >= 16:
            seconds, nanoseconds = struct.unpack_from("qq", data)
            return now - (wall - (seconds + nanoseconds * 1e-9))
    return now


def stamped_socket(sock):
    sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    return sock


def capture_main(interface, source, seconds):
    """Runs inside the listener's namespace: every audio datagram from
    `source` to port 8002 that arrives on `interface` makes a line on
    standard output, "ARRIVAL SAMPLES FIRST_LOUD": its arrival (the kernel's
    time for its last IP fragment, on the monotonic clock), the samples it
    carries and the index of its first sample louder than LOUD, or -1. Seeing
    the packets through a packet socket leaves the program's own socket
    alone. Ends after `seconds`, or when standard output is closed."""
    sock = stamped_socket(socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM,
                                        socket.htons(ETH_P_IP)))
    sock.bind((interface, ETH_P_IP))
    source = socket.inet_aton(source)
    fragments = {}  # (IP id) -> ([(offset, bytes)], total or None, last arrival)
    print("ready", flush=True)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not select.select([sock], [], [], 1)[0]:
            continue
        packet, ancillary, _, address = sock.recvmsg(65535, socket.CMSG_SPACE(16))
        arrival = kernel_time(ancillary)
        if address[2] == socket.PACKET_OUTGOING or len(packet) < 20:
            continue
        header = (packet[0] & 15) * 4
        if packet[9] != socket.IPPROTO_UDP or packet[12:16] != source:
            continue
        ident, flags = struct.unpack_from(">HH", packet, 4)
        more, offset = flags & 0x2000, (flags & 0x1FFF) * 8
        data = packet[header:struct.unpack_from(">H", packet, 2)[0]]
        if more or offset:
            # A datagram larger than the link's MTU comes in fragments: it has
            # arrived when its last one has.
            parts, total, _ = fragments.get(ident, ([], None, 0))
            parts.append((offset, data))
            if not more:
                total = offset + len(data)
            fragments[ident] = (parts, total, arrival)
            if total is None or sum(len(d) for _, d in parts) < total:
                for stale in [k for k, v in fragments.items() if arrival - v[2] > 1]:
                    del fragments[stale]
                continue
            del fragments[ident]
            data = b"".join(d for _, d in sorted(parts))
        if len(data) < 8 or struct.unpack_from(">H", data, 2)[0] != PORT:
            continue
        samples = audio_samples(data[8:])
        if samples is None:
            continue
        loud = np.nonzero(np.abs(samples.astype(np.int32)) > LOUD)[0]
        try:
            print("%.6f %d %d" % (arrival, len(samples), loud[0] if len(loud) else -1),
                  flush=True)
        except BrokenPipeError:
            return


class Wire(threading.Thread):
    """The audio datagrams arriving in namespace `namespace` from `source`,
    seen by capture_main in that namespace: records holds (arrival, samples,
    first loud sample or -1) for each."""

    def __init__(self, namespace, source, seconds):
        super().__init__(daemon=True)
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", namespace, sys.executable, os.path.abspath(__file__),
             "--capture", "eth0", source, str(seconds)],
            stdout=subprocess.PIPE, text=True)
        e2e.check(self.proc.stdout.readline().strip() == "ready",
                  "the datagram capture in %s did not start" % namespace)
        self.lock = threading.Lock()
        self.records = []
        self.start()

    def run(self):
        for line in self.proc.stdout:
            arrival, samples, first = line.split()
            with self.lock:
                self.records.append((float(arrival), int(samples), int(first)))

    def onset_after(self, t, within):
        """The first datagram after t, and before t + within, that carries
        sound: (arrival, samples, index of the onset), or None."""
        with self.lock:
            records = list(self.records)
        for record in records:
            if t < record[0] < t + within and record[2] >= 0:
                return record
        return None

    def between(self, t0, t1):
        with self.lock:
            return [r for r in self.records if t0 <= r[0] <= t1]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait(5)


# ---- the jittered path: a relay between A and B ----------------------------

RELAY_A = 13  # the relay's address on A's bridge
RELAY_B = 14  # its address on B's bridge


def bench_address(address):
    """Whether `address` is a host in the namespaces this benchmark made."""
    network = ipaddress.ip_network(e2e.SUBNET + ".0/24")
    host = ipaddress.ip_address(address)
    return host in network and host not in (network.network_address, network.broadcast_address)


def relay_main(sender, listener, low, high, seconds, limit):
    """Runs inside the relay's namespace. Announces itself to `sender` as a
    listening peer ten times a second, so that the sender sends it its audio,
    and passes on every datagram from `sender` to `listener`, port 8002, each
    held back a random `low` to `high` ms from its arrival and never before
    the one ahead of it. Stops after `seconds` or `limit` datagrams passed on,
    or at SIGTERM, and then prints a JSON line of what it did."""
    for address in (sender, listener):
        if not bench_address(address):
            raise SystemExit("relay: %s is not a host of the benchmark" % address)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
    # A network does not slow down when the machine's cores are busy with the
    # two sound servers: the relay runs ahead of them where it may. It sleeps
    # but for the few microseconds of each datagram.
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
        realtime = True
    except OSError:
        realtime = False
    sock = stamped_socket(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
    sock.bind(("", PORT))
    sock.setblocking(False)

    def send(datagram, address):
        try:
            sock.sendto(datagram, (address, PORT))
        except OSError:
            pass  # no program there yet, or gone already

    rng = np.random.default_rng()
    # The module's own name: the loop below has a `datagram` of its own.
    announcement = harness.datagram(qstring("update:broadcasting_no:listening_yes") + qbytes(b""))
    queue = []  # (due, arrival, datagram), in order
    holds, audio, late = [], 0, 0
    passed = 0
    last_due = 0.0
    next_announcement = time.monotonic()
    deadline = next_announcement + seconds
    while not stop and passed < limit:
        now = time.monotonic()
        if now >= deadline:
            break
        if now >= next_announcement:
            send(announcement, sender)
            next_announcement += 0.1
        while queue and queue[0][0] <= now:
            due, arrival, datagram = queue.pop(0)
            send(datagram, listener)
            sent = time.monotonic()
            passed += 1
            if audio_samples(datagram) is not None:
                audio += 1
                holds.append((sent - arrival) * 1000)
                late += sent - due > 0.001
            now = sent
        wake = min(queue[0][0] if queue else deadline, next_announcement, deadline)
        try:
            readable = select.select([sock], [], [], max(0, wake - time.monotonic()))[0]
        except InterruptedError:
            continue
        while readable:
            try:
                datagram, ancillary, _, (address, _) = sock.recvmsg(65535,
                                                                      socket.CMSG_SPACE(16))
            except OSError:
                break  # nothing more to read, or an error report: back to select
            if address != sender:
                continue
            arrival = kernel_time(ancillary)
            last_due = max(last_due, arrival + rng.uniform(low, high) / 1000)
            queue.append((last_due, arrival, datagram))
    print(json.dumps({"passed": passed, "audio": audio, "late_over_1ms": int(late),
                      "realtime": realtime,
                      "held_ms": summary(holds)}), flush=True)


class Relay:
    """The relay's namespace, on A's bridge and on B's, and relay_main in it."""

    def __init__(self, near, far, sender, listener, jitter, seconds):
        self.sender_side = "%s.%d" % (e2e.SUBNET, RELAY_A)
        self.listener_side = "%s.%d" % (e2e.SUBNET, RELAY_B)
        e2e.harness.add_host(near, "relay", self.sender_side, 24)
        e2e.run("ip", "link", "add", "ve-relay-b", "type", "veth", "peer", "name", "eth1",
                "netns", "relay")
        e2e.run("ip", "link", "set", "ve-relay-b", "master", far, "up")
        # B's side has the one host route to B, so the rest of the subnet
        # stays on A's side.
        for command in (("addr", "add", self.listener_side + "/32", "dev", "eth1"),
                        ("link", "set", "eth1", "up"),
                        ("route", "add", listener + "/32", "dev", "eth1",
                         "src", self.listener_side)):
            e2e.run("ip", "-n", "relay", *command)
        low, high = jitter
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", "relay", sys.executable, os.path.abspath(__file__),
             "--relay", sender, listener, str(low), str(high), str(seconds),
             str(int(seconds * 500))], stdout=subprocess.PIPE, text=True)
        self.report = None

    def stop(self):
        """What the relay did, as it reported it, or None."""
        if self.proc.returncode is not None:
            return self.report
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            out, _ = self.proc.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, _ = self.proc.communicate()
        try:
            self.report = json.loads(out.strip().splitlines()[-1])
        except (ValueError, IndexError):
            pass
        return self.report


def summary(values):
    """Median, p90, max and min of `values`, rounded to 0.1, or None."""
    if not len(values):
        return None
    values = np.asarray(values, dtype=float)
    return {"median": round(float(np.median(values)), 1),
            "p90": round(float(np.percentile(values, 90)), 1),
            "max": round(float(values.max()), 1), "min": round(float(values.min()), 1)}


def parse_jitter(text):
    """(low, high) in ms from "LOW:HIGH", or None for no jitter."""
    if not text:
        return None
    try:
        low, high = (float(x) for x in text.split(":"))
    except ValueError:
        raise e2e.Failure("JITTER must be LOW:HIGH in milliseconds, not %r" % text)
    e2e.check(0 <= low <= high <= 1000, "JITTER must be 0 <= LOW <= HIGH <= 1000")
    return low, high


def heard_after(speaker, onset, within):
    """Milliseconds from onset until the speaker sounds, or None after `within` s."""
    heard = e2e.poll(lambda: onsets_in(speaker, onset - 0.05, time.monotonic()), within)
    return (heard[0] - onset) * 1000 if heard else None


def legs(wire, sent, heard, within):
    """The two legs of a burst written into the microphone at `sent` and heard
    at `heard` (or None): microphone to datagram, from `sent` to the arrival
    of the first datagram carrying sound in B's namespace, and datagram to
    speaker, from that arrival to `heard`; with the samples that datagram
    carries after the onset. The arrival is the datagram's own, not moved
    back by the samples after the onset: the first leg includes the wait for
    the rest of the chunk, the second the play-out of what precedes the onset
    in it. (None, None, None) when no such datagram came within `within` s."""
    record = wire.onset_after(sent, within)
    if not record:
        return None, None, None
    arrival, samples, first = record
    return ((arrival - sent) * 1000, (heard - arrival) * 1000 if heard is not None else None,
            samples - first)


def timed_burst(feeder, speaker, wire, within):
    """One burst: when it went into the microphone, its mouth-to-ear time and
    its two legs, each None if not heard or seen within `within` s."""
    sent = feeder.burst()
    total = heard_after(speaker, sent, within)
    heard = sent + total / 1000 if total is not None else None
    return (sent, total) + legs(wire, sent, heard, within)[:2]


def single_burst(feeder, speaker, wire):
    """Mouth-to-ear of one burst sent into a silent speaker, and its legs. A
    capture that falls behind delays everything by seconds after a long
    broadcast, the end of the tone before the burst as well: hence the long
    deadlines."""
    e2e.check(e2e.wait_silence(speaker, 30, window=0.5) is not None,
              "B's speaker did not fall silent before a burst")
    return timed_burst(feeder, speaker, wire, 30)[1:]


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
    model = e2e.harness.cpu_model()
    return "%d CPUs, %s" % (os.cpu_count(), model)


def main():
    args = sys.argv[1:]
    e2e.BIN = os.path.abspath(args[0] if args else "build/intercom")
    server = args[1] if len(args) > 1 else "pulse"
    bursts = int(args[2]) if len(args) > 2 else 25
    seconds = int(args[3]) if len(args) > 3 else 60
    broadcast = int(args[4]) if len(args) > 4 else 300
    jitter = parse_jitter(os.environ.get("JITTER"))
    e2e.ARTIFACTS = os.path.join(os.path.dirname(e2e.BIN), "bench-artifacts", server)
    os.makedirs(e2e.ARTIFACTS, exist_ok=True)
    # Long enough for the whole run, setting up and both probes' deadlines.
    bound = 180 + bursts + 2 * seconds + broadcast
    world = e2e.World(server)
    relay = wire = None
    relayed = None
    try:
        a = world.add("a", 11, feeder=BurstFeeder)
        if jitter:
            # A and B on bridges of their own: A hears the relay, which A
            # sends its audio to, and B hears only what the relay passes on.
            far = world.bridge + "-b"
            e2e.harness.make_bridge(far)
            b = world.add("b", 12, bridge=far)
            relay = Relay(world.bridge, far, a.address, b.address, jitter, bound)
            source = relay.listener_side
        else:
            b = world.add("b", 12)
            source = a.address
        wire = Wire("b", source, bound)
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
        early = single_burst(feeder, b.speaker, wire)

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
        latencies, capture_legs, playback_legs, after_onset = [], [], [], []
        for t in sent:
            after = [h for h in heard if t - 0.05 < h < t + 0.95]
            if after:
                latencies.append((after[0] - t) * 1000)
                first, second, rest = legs(wire, t, after[0], 0.95)
                if first is not None:
                    capture_legs.append(first)
                    playback_legs.append(second)
                    after_onset.append(rest)
        lost = len(sent) - len(latencies)
        lat = np.array(latencies)

        # A suspend and resume: both sound servers stopped for STALL seconds,
        # then bursts every half second; each one's mouth-to-ear time by how
        # long after the resume it was sent.
        stall = float(os.environ.get("STALL", "0"))
        after_stall = []
        if stall:
            stopped = [p for i in (a, b) for p in i.sound.processes if p is not i.sound.bus]
            for p in stopped:
                p.send_signal(signal.SIGSTOP)
            time.sleep(stall)
            for p in stopped:
                p.send_signal(signal.SIGCONT)
            resumed = time.monotonic()
            while time.monotonic() < resumed + 6:
                e2e.wait_silence(b.speaker, 2, window=0.2)
                t, took, first, second = timed_burst(feeder, b.speaker, wire, 2)
                after_stall.append((t - resumed, took, first, second))
                time.sleep(max(0, t + 0.5 - time.monotonic()))
            e2e.check(all(i.proc.poll() is None for i in (a, b)),
                      "an instance ended during the stall")

        # The played share: a continuous tone.
        feeder.tone = True
        e2e.check(e2e.wait_tone(b.speaker, 1000, 10) is not None, "B never played the tone")
        first = len(b.writes())
        tone_began = time.monotonic()
        time.sleep(seconds)
        writes = b.writes()[first:]
        heard_share, silences = heard_at_speaker(b.speaker, tone_began, time.monotonic())
        arrivals = [r[0] for r in wire.between(tone_began, time.monotonic())]
        feeder.tone = False
        accepted = sum(w for w, _ in writes)
        offered = sum(m for _, m in writes)
        sizes = np.array([m for _, m in writes])
        gaps = np.diff(arrivals) * 1000

        # Capture lag, second probe: BROADCAST seconds into the broadcast.
        time.sleep(max(0, began + broadcast - time.monotonic()))
        late_age = time.monotonic() - began
        late = single_burst(feeder, b.speaker, wire)
        if relay:
            relayed = relay.stop()

        ms = lambda value: "%.0f ms" % value if value is not None else "not heard"
        split = lambda probe: (" (%s + %s)" % (ms(probe[1]), ms(probe[2]))
                               if probe[1] is not None else "")
        line = lambda what, values: print(
            "%s ms: median %.1f, p90 %.1f, max %.1f, min %.1f" % ((what,) + tuple(
                summary(values)[k] for k in ("median", "p90", "max", "min"))))
        print("machine: %s" % machine())
        print("date: %s" % time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))
        print("server: %s" % server)
        if jitter:
            print("jitter: A's datagrams reach B through a relay holding each back "
                  "%g to %g ms, order kept" % jitter)
        print("bursts: %d sent, %d heard" % (len(sent), len(latencies)))
        if len(lat):
            line("latency", lat)
            print("latencies ms: %s" % " ".join("%.0f" % x for x in latencies))
        if capture_legs:
            line("  microphone to datagram", capture_legs)
            line("  datagram to speaker", playback_legs)
            print("  onset in its datagram: median %d samples after it (%.1f ms), max %d"
                  % (np.median(after_onset), np.median(after_onset) * 1000 / RATE,
                     max(after_onset)))
        if len(capture_legs) < len(latencies):
            print("  bursts heard whose datagram was not seen: %d"
                  % (len(latencies) - len(capture_legs)))
        print("capture lag: burst after %.0f s of broadcasting %s%s, after %.0f s %s%s"
              " (microphone to datagram + datagram to speaker)"
              % (early_age, ms(early[0]), split(early), late_age, ms(late[0]), split(late)))
        print("played over %d s: %d of %d bytes = %.2f%% (%d chunks, %d cut short, %d refused)"
              % (seconds, accepted, offered, 100.0 * accepted / max(1, offered), len(writes),
                 sum(1 for w, m in writes if 0 < w < m), sum(1 for w, m in writes if w == 0)))
        if stall:
            print("after both servers stood still %.0f s: %s" % (stall, ", ".join(
                "%.1f s: %s (%s + %s)" % (since, ms(took), ms(first), ms(second))
                for since, took, first, second in after_stall)))
        print("heard at the speaker over %d s: %.2f%% of 5 ms windows carry the tone (%d gaps)"
              % (seconds, 100.0 * heard_share, silences))
        if len(sizes):
            print("capture chunk bytes: median %d, min %d, max %d; %.1f chunks a second"
                  % (np.median(sizes), sizes.min(), sizes.max(), len(sizes) / seconds))
        if len(gaps):
            line("datagram arrival gaps at B during the tone (%d datagrams)" % len(arrivals),
                 gaps)
        if relayed:
            print("relay: %d datagrams passed on, %d of them audio, held %s ms median, "
                  "%s max, %s min; %d left over 1 ms after their time%s"
                  % (relayed["passed"], relayed["audio"],
                     *(relayed["held_ms"][k] if relayed["held_ms"] else "-"
                       for k in ("median", "max", "min")), relayed["late_over_1ms"],
                     "" if relayed["realtime"] else " (no real-time priority)"))
        if lost:
            print("lost bursts: %d" % lost)
        print("microphone feeder: %d blocks of 10 ms skipped during the broadcast while its FIFO "
              "held a backlog" % (feeder.skipped - skipped))
        short = lambda values: ({k: v for k, v in summary(values).items() if k != "min"}
                                if len(values) else None)
        print(json.dumps({
            "bench": "latency", "server": server, "bursts": len(sent), "heard": len(latencies),
            "jitter_ms": list(jitter) if jitter else None,
            "latency_ms": short(lat),
            "split": len(capture_legs),
            "mic_to_datagram_ms": short(capture_legs),
            "datagram_to_speaker_ms": short(playback_legs),
            "lag_probe_ms": {"%.0f s" % early_age: early[0] and round(early[0], 1),
                             "%.0f s" % late_age: late[0] and round(late[0], 1)},
            "lag_probe_legs_ms": {
                "%.0f s" % age: [probe[1] and round(probe[1], 1),
                                 probe[2] and round(probe[2], 1)]
                for age, probe in ((early_age, early), (late_age, late))},
            "played_share": round(accepted / max(1, offered), 4),
            "heard_share": round(heard_share, 4),
            "chunk_bytes_median": int(np.median(sizes)) if len(sizes) else None,
            "arrival_gap_ms": short(gaps),
            "relay": relayed,
            "tone_seconds": seconds}), flush=True)
    finally:
        if relay:
            relay.stop()
        if wire:
            wire.stop()
        world.shutdown()


if __name__ == "__main__":
    if sys.argv[1:2] == ["--capture"]:
        capture_main(sys.argv[2], sys.argv[3], float(sys.argv[4]))
    elif sys.argv[1:2] == ["--relay"]:
        relay_main(sys.argv[2], sys.argv[3], float(sys.argv[4]), float(sys.argv[5]),
                   float(sys.argv[6]), int(sys.argv[7]))
    else:
        e2e.harness.run_checks(main)
