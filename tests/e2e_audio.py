#!/usr/bin/python3
"""The intercom end to end, the way a person uses it.

Three instances A, B and C of the real program, each in its own network
namespace joined by a bridge, each with its own sound server (a null sink "spk"
as its speaker, the monitor of a null sink "micsink" that plays a tone of its
own in real time as its microphone) and its own Xvfb display. The test clicks
the real buttons and drags the real slider with xdotool, records the speakers
and reads the logs. Two more instances start without any audio: one with no audio server,
one whose server has no device at all.

    tests/sandbox.sh -- tests/e2e_audio.py [pulse|pipewire]

runs it inside a private network namespace, as root, with PulseAudio (the
default) or PipeWire with WirePlumber and pipewire-pulse as every instance's
sound server, as most desktops have now. INTERCOM_BIN is the program;
screenshots, logs and B's recorded speaker go to
INTERCOM_BUILD_DIR/tests/artifacts/e2e_audio_SERVER.
"""

import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
from harness import BUTTONS, TOP, FifoFeeder, Failure, check, log, run  # noqa: E402
import harness  # noqa: E402
from x11_close import close_window  # noqa: E402

RATE = 44100
SUBNET = "10.79.0"
COMBO = (170, TOP + 220, 141, 26)
OUTPUT_SLIDER_Y = TOP + 260
SILENT_RMS = 100
QT_WARNINGS = ("QThread: Destroyed", "Timers cannot be stopped", "Socket notifiers",
               "QObject::", "QWidget::")

BIN = os.environ.get("INTERCOM_BIN", "")
BUILD = os.environ.get("INTERCOM_BUILD_DIR", os.getcwd())
ARTIFACTS = os.path.join(BUILD, "tests", "artifacts", "e2e_audio")
# A sanitized build starts, announces and closes several times slower; the
# deadlines on sound itself stay as they are.
SLOW = 4 if BIN and harness.sanitizer(BIN) else 1


def poll(predicate, timeout, interval=0.02):
    """Returns the predicate's first true value, or None at the deadline."""
    return harness.poll(predicate, timeout, interval)


# ---- sound --------------------------------------------------------------

def rms(samples):
    return float(np.sqrt(np.mean(samples.astype(np.float64) ** 2))) if len(samples) else 0.0


def dominant_frequency(samples):
    if len(samples) < 1024:
        return 0.0
    x = samples.astype(np.float64) * np.hanning(len(samples))
    magnitudes = np.abs(np.fft.rfft(x))
    magnitudes[:5] = 0
    peak = int(np.argmax(magnitudes))
    # Parabolic interpolation between the bins around the peak.
    if 0 < peak < len(magnitudes) - 1:
        a, b, c = magnitudes[peak - 1], magnitudes[peak], magnitudes[peak + 1]
        peak += 0.5 * (a - c) / (a - 2 * b + c)
    return peak * RATE / len(samples)


def carries(samples, frequency):
    return rms(samples) > 1000 and abs(dominant_frequency(samples) - frequency) <= 0.02 * frequency


def tone_levels(samples, frequency, window=RATE // 200):
    """The amplitude of `frequency` in each whole `window` of the samples:
    one bin of a Hann-weighted transform, which other tones 600 Hz or more
    away hardly reach even in 5 ms."""
    count = len(samples) // window
    frames = samples[:count * window].astype(np.float64).reshape(count, window)
    weights = np.hanning(window)
    basis = weights * np.exp(-2j * np.pi * frequency / RATE * np.arange(window))
    return 2 * np.abs(frames @ basis) / weights.sum()


def tone_presence(samples, frequencies, least):
    """For each frequency, the share of 5 ms windows that carry it: at least
    `least` and at least half its level in its loudest 1% of windows, so that
    a mix that turns every talker down still counts and one that plays them
    in turn does not."""
    shares = []
    for frequency in frequencies:
        levels = tone_levels(samples, frequency)
        bar = max(least, 0.5 * np.percentile(levels, 99)) if len(levels) else 0
        shares.append(float(np.mean(levels >= bar)) if len(levels) else 0.0)
    return shares


class MicFeeder(FifoFeeder):
    """Writes a sine into the microphone's FIFO at real-time pace."""

    def __init__(self, fifo, frequency, amplitude=12000):
        super().__init__(fifo)
        self.step = 2 * math.pi * frequency / RATE
        self.amplitude = amplitude
        self.phase = 0.0

    def block(self):
        block = RATE // 100
        samples = self.amplitude * np.sin(self.phase + self.step * np.arange(block))
        self.phase = (self.phase + self.step * block) % (2 * math.pi)
        return samples.astype("<i2").tobytes()


class Speaker(threading.Thread):
    """Records a null sink's monitor; every sample gets its arrival time."""

    def __init__(self, env, device="spk.monitor"):
        super().__init__(daemon=True)
        self.proc = subprocess.Popen(
            ["parec", "-d", device, "--format=s16le", "--rate=44100", "--channels=1",
             "--latency-msec=20"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        self.lock = threading.Lock()
        self.chunks = []  # (arrival time of the chunk's last sample, samples)
        self.start()

    def run(self):
        pending = b""
        while True:
            data = self.proc.stdout.read1(4096)
            if not data:
                return
            now = time.monotonic()
            pending += data
            whole = len(pending) & ~1
            samples = np.frombuffer(pending[:whole], dtype="<i2")
            pending = pending[whole:]
            with self.lock:
                self.chunks.append((now, samples))

    def between(self, t0, t1):
        parts = []
        with self.lock:
            chunks = list(self.chunks)
        for end, samples in chunks:
            begin = end - len(samples) / RATE
            if end <= t0 or begin >= t1:
                continue
            first = max(0, int(round((t0 - begin) * RATE)))
            last = min(len(samples), int(round((t1 - begin) * RATE)))
            parts.append(samples[first:last])
        return np.concatenate(parts) if parts else np.zeros(0, dtype="<i2")

    def last(self, seconds):
        now = time.monotonic()
        return self.between(now - seconds, now)

    def received(self):
        with self.lock:
            return sum(len(s) for _, s in self.chunks)

    def everything(self):
        with self.lock:
            return np.concatenate([s for _, s in self.chunks]) if self.chunks else np.zeros(0)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)


def save_wav(path, samples):
    import wave
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(samples.astype("<i2").tobytes())


# ---- the sandboxed world --------------------------------------------------

class Instance:
    """One machine: a namespace, a display, perhaps an audio server, the program."""

    def __init__(self, world, name, host, frequency=None, audio=True, feeder=None, bridge=None):
        """`audio` False: no sound at all. `feeder(fifo)` makes the microphone's
        feeder; by default a tone at `frequency`, if any. `bridge` puts the
        namespace on another bridge than the world's, out of its peers' hearing."""
        self.world = world
        self.name = name
        self.address = "%s.%d" % (SUBNET, host)
        self.frequency = frequency
        self.dir = os.path.join(world.tmp, name)
        os.makedirs(self.dir)
        self.logpath = os.path.join(ARTIFACTS, "%s.log" % name)
        self.proc = None
        self.window = None
        self.mic = None
        self.mic_check = None
        self.speaker = None
        self.sound = None
        self.env = dict(os.environ)
        for var in ("PULSE_SERVER", "DISPLAY", "QT_QPA_PLATFORM", "QT_PLUGIN_PATH"):
            self.env.pop(var, None)
        self.env.update(XDG_RUNTIME_DIR=os.path.join(self.dir, "runtime"), HOME=self.dir,
                        QT_LOGGING_RULES="default.debug=true")
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)

        harness.add_host(bridge or world.bridge, name, self.address, 24)

        if audio:
            self.start_sound(feeder)
        else:
            harness.without_audio(self.env, self.dir)
        self.start_display()

    def ns(self, *cmd):
        return run("ip", "netns", "exec", self.name, *cmd)

    def start_sound(self, feeder):
        server = self.world.server
        self.sound = harness.SoundServer(server, os.path.join(self.dir, "sound"), self.env, 30,
                                         "%s: %s did not come up" % (self.name, server))
        self.env["PULSE_SERVER"] = self.sound.server
        self.fifo = self.sound.fifo
        if feeder is None and self.frequency:
            feeder = lambda fifo: MicFeeder(fifo, self.frequency)
        if feeder:
            self.mic = feeder(self.fifo)
            self.mic.start()
            # See sound_ready(); recording the microphone shows that what the
            # feeder writes comes out of it.
            self.mic_check = Speaker(self.env, "micsink.monitor")
        # The speaker's recorder also keeps the idle null sink rendering in
        # small steps, so that a stream starts playing at once.
        self.speaker = Speaker(self.env)

    def sound_ready(self):
        """Waits until the speaker's recorder and the microphone deliver sound:
        an idle null sink renders in two-second blocks, so for up to about two
        seconds nothing comes out of either, and a check that starts its clock
        meanwhile measures the sink, not the program."""
        if self.mic_check:
            tone = lambda samples: carries(samples, self.frequency) if self.frequency else True
            self.wait_flowing(self.mic_check, tone, "microphone")
            self.mic_check.stop()
            self.mic_check = None
        if self.speaker:
            self.wait_flowing(self.speaker, lambda samples: True, "speaker")

    def wait_flowing(self, recorder, condition, what):
        flowing = poll(lambda: recorder.received() >= RATE // 5
                       and condition(recorder.last(0.2)), 20)
        check(flowing, "%s: its %s delivered no sound in 20 s (%d samples)"
              % (self.name, what, recorder.received()))

    def start_display(self):
        self.xvfb, self.display = harness.start_xvfb(self.name,
                                                     "%s: Xvfb did not start" % self.name)
        self.env["DISPLAY"] = self.display

    def x(self, *cmd):
        return run("ip", "netns", "exec", self.name, "env", "DISPLAY=" + self.display, *cmd,
                   timeout=20)

    def start(self, program=None):
        self.sound_ready()
        self.logfile = open(self.logpath, "w")
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", self.name, program or BIN], stdout=self.logfile,
            stderr=subprocess.STDOUT, env=self.env)

    def find_window(self, name="^MainWindow$", timeout=15 * SLOW):
        def search():
            r = subprocess.run(["ip", "netns", "exec", self.name, "env", "DISPLAY=" + self.display,
                                "xdotool", "search", "--name", name], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
            ids = r.stdout.split()
            return int(ids[0]) if ids else None
        window = poll(search, timeout, 0.1)
        if not window:
            state = "running" if self.proc.poll() is None else "exited with %s" % self.proc.poll()
            raise Failure("%s: no window named %s on %s; the program is %s; its log ends:\n%s"
                          % (self.name, name, self.display, state,
                             "\n".join(self.log_text().splitlines()[-15:])))
        return window

    def show(self):
        self.window = self.find_window()
        self.x("xdotool", "windowmove", "--sync", str(self.window), "0", "0")

    def click(self, button):
        """Returns the time just before the click."""
        before = time.monotonic()
        bx, by = BUTTONS[button]
        self.x("xdotool", "mousemove", "--window", str(self.window), str(bx), str(by),
               "click", "1")
        log(self.name, "clicks", repr(button))
        return before

    def screenshot(self, label):
        path = os.path.join(ARTIFACTS, "%s-%s.png" % (self.name, label))
        self.x("import", "-window", "root", path)
        return path

    def pixels(self, path, box):
        x, y, w, h = box
        raw = subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "-depth",
                              "8", "rgb:-"], check=True, stdout=subprocess.PIPE).stdout
        return np.frombuffer(raw, dtype=np.uint8)

    def log_text(self):
        self.logfile.flush()
        with open(self.logpath, errors="replace") as f:
            return f.read()

    def count(self, pattern):
        return len(re.findall(pattern, self.log_text()))

    def writes(self):
        """(accepted, offered) of every "wrote: N down from: M" line so far."""
        return [(int(a), int(b)) for a, b in
                re.findall(r"wrote:\s+(-?\d+)\s+down from:\s+(\d+)", self.log_text())]

    def close(self):
        # From inside the namespace, where the display's abstract socket is.
        self.ns(sys.executable, os.path.abspath(__file__), "--close-window", self.display,
                str(self.window))
        try:
            rc = self.proc.wait(15 * SLOW)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise Failure("%s did not exit after its window was closed" % self.name)
        log(self.name, "exited with", rc)
        return rc

    def shutdown(self):
        # The feeder first: it would find its FIFO's reader gone with the server.
        if self.mic:
            self.mic.stop()
        for proc in (self.proc, self.xvfb, getattr(self, "bare", None)):
            if proc and proc.poll() is None:
                proc.kill()
                proc.wait()
        if self.sound:
            self.sound.stop()
        for recorder in (self.speaker, self.mic_check):
            if recorder:
                recorder.stop()


class World:
    def __init__(self, server="pulse"):
        self.server = server
        self.tmp = tempfile.mkdtemp(prefix="intercom-e2e.")
        self.bridge = "br-e2e"
        harness.make_bridge(self.bridge)
        self.instances = []

    def add(self, *args, **kw):
        instance = Instance(self, *args, **kw)
        self.instances.append(instance)
        return instance

    def start_and_show(self, instances):
        """Starts the program in each instance, then waits for each window."""
        for i in instances:
            i.start()
        for i in instances:
            i.show()

    def shutdown(self):
        for instance in self.instances:
            instance.shutdown()
        shutil.rmtree(self.tmp, ignore_errors=True)


# ---- the checks -----------------------------------------------------------

def wait_tone(speaker, frequency, timeout, window=0.2, since=None):
    """Time from `since` until the speaker's last `window` seconds carry the tone."""
    t0 = since or time.monotonic()
    hit = poll(lambda: carries(speaker.last(window), frequency), t0 + timeout - time.monotonic())
    return time.monotonic() - t0 if hit else None


def wait_silence(speaker, timeout, window=0.1, since=None):
    t0 = since or time.monotonic()
    hit = poll(lambda: len(speaker.last(window)) > 0.8 * window * RATE
               and rms(speaker.last(window)) < SILENT_RMS, t0 + timeout - time.monotonic())
    return time.monotonic() - t0 if hit else None


def stays_silent(speaker, seconds):
    t0 = time.monotonic()
    time.sleep(seconds)
    return rms(speaker.between(t0, time.monotonic())) < SILENT_RMS


def rx_bytes(instance):
    return int(instance.ns("cat", "/sys/class/net/eth0/statistics/rx_bytes"))


def stream_corked(instance, kind, name):
    """Whether the sound server lists the instance's stream of that kind
    ("sink-inputs" or "source-outputs") and name corked (None while it lists
    none)."""
    listing = run("pactl", "list", kind, env=instance.env)
    title = "Sink Input #" if kind == "sink-inputs" else "Source Output #"
    for entry in listing.split(title)[1:]:
        if '"%s"' % name in entry:
            return "Corked: yes" in entry
    return None


def playback_corked(instance):
    return stream_corked(instance, "sink-inputs", "intercom playback")


def capture_running(instance):
    """Whether the instance has a capture stream that is not corked: the
    microphone in use, and the desktop's indicator lit."""
    return stream_corked(instance, "source-outputs", "intercom capture") is False


def status_seen(observer, status):
    return observer.count(r'control string:\s+"update:%s"' % status)


def drag_output_slider(instance, target):
    """Drags the output slider's handle until the last volume logged is target / 10."""
    w = str(instance.window)
    handle = lambda value: int(round(176 + 129 * value / 99))
    expected = "%g" % (target / 10)
    volumes = lambda: re.findall(r"output volume set to:\s+(\S+)", instance.log_text())
    last_volume = lambda: (volumes() or [None])[-1]

    def settled_volume():
        """The last volume once the program has applied every move made so
        far: each move is applied in order, so a value read while the
        receiver's thread still works through earlier moves is not the
        slider's."""
        seen = [len(volumes()), time.monotonic()]

        def quiet():
            count = len(volumes())
            if count != seen[0]:
                seen[:] = [count, time.monotonic()]
            return count and time.monotonic() - seen[1] >= 0.3
        poll(quiet, 2.0)
        return last_volume()
    instance.x("xdotool", "mousemove", "--window", w, str(handle(instance.slider)),
               str(OUTPUT_SLIDER_Y), "mousedown", "1")
    x = handle(instance.slider)
    goal = handle(target)
    step = 1 if goal > x else -1
    while x != goal:
        x += step * min(6, abs(goal - x))
        instance.x("xdotool", "mousemove", "--window", w, str(x), str(OUTPUT_SLIDER_Y))
    # Pixels and positions do not map one to one: nudge until the slider says so.
    for _ in range(12):
        volume = settled_volume()
        if volume == expected:
            break
        nudge = 1 if volume is None or float(volume) < target / 10 else -1
        x += nudge
        instance.x("xdotool", "mousemove", "--window", w, str(x), str(OUTPUT_SLIDER_Y))
        time.sleep(0.1)
    instance.x("xdotool", "mouseup", "1")
    instance.slider = target
    check(settled_volume() == expected, "%s: output volume %s after dragging to %d"
          % (instance.name, last_volume(), target))
    log(instance.name, "output slider at", target)


def main(server):
    global ARTIFACTS
    check(BIN and os.access(BIN, os.X_OK), "INTERCOM_BIN is not the program: %r" % BIN)
    check(server in harness.SERVERS, "the sound server is one of %s, not %r"
          % ("|".join(harness.SERVERS), server))
    ARTIFACTS += "_" + server
    os.makedirs(ARTIFACTS, exist_ok=True)
    for old in os.listdir(ARTIFACTS):
        os.remove(os.path.join(ARTIFACTS, old))
    log("sound server:", server)
    world = World(server)
    try:
        scenario(world)
    finally:
        b = next((i for i in world.instances if i.name == "b"), None)
        if b and b.speaker:
            save_wav(os.path.join(ARTIFACTS, "b-speaker.wav"), b.speaker.everything())
        world.shutdown()


def scenario(world):
    a = world.add("a", 11, frequency=440)
    b = world.add("b", 12, frequency=660)
    c = world.add("c", 13, frequency=880)
    for i in (a, b, c):
        i.start()
        i.slider = 80
    for i in (a, b, c):
        i.show()
    for i in (a, b, c):
        check(poll(lambda: i.count(r"Client Added, size:\s+3"), 10 * SLOW),
              "%s never listed all three instances" % i.name)
    log("three instances up and listing each other")
    check(not capture_running(a), "A's microphone is in use although A does not broadcast")
    initial = a.screenshot("1-start")
    combo_enabled = a.pixels(initial, COMBO)

    # A broadcasts, B listens: B's speaker carries A's tone.
    b.click("listen")
    clicked = a.click("broadcast")
    took = wait_tone(b.speaker, a.frequency, 1.0, since=clicked)
    check(took is not None, "B's speaker did not carry A's %d Hz within a second" % a.frequency)
    log("B plays A's tone after %.0f ms" % (took * 1000))
    check(poll(lambda: status_seen(b, "broadcasting_yes:listening_no"), 1 * SLOW),
          "B never heard A announce broadcasting_yes")
    check(poll(lambda: status_seen(a, "broadcasting_no:listening_yes"), 1 * SLOW),
          "A never heard B announce listening_yes")
    b.screenshot("2-broadcast-listen")
    shot = a.screenshot("2-broadcast-listen")
    check(not np.array_equal(a.pixels(shot, COMBO), combo_enabled),
          "A's device list looks the same while broadcasting")
    # C gets A's audio too (it is A's peer) but does not listen, and its
    # playback stream rests meanwhile.
    check(rms(c.speaker.last(0.5)) < SILENT_RMS, "C plays audio without listening")
    check(poll(lambda: playback_corked(c) is True, 2 * SLOW),
          "C's playback stream runs although C does not listen")
    check(playback_corked(b) is False, "B's playback stream is corked while B listens")
    check(capture_running(a), "A's capture stream is corked while A broadcasts")

    # A ends its broadcast: B falls silent and stays so; the device list is back.
    clicked = a.click("end broadcast")
    took = wait_silence(b.speaker, 0.5 + 0.3, since=clicked)
    check(took is not None, "B still plays 0.8 s after A ended its broadcast")
    log("B silent %.0f ms after end broadcast" % (took * 1000))
    check(stays_silent(b.speaker, 0.5), "B played something after A ended its broadcast")
    check(poll(lambda: status_seen(b, "broadcasting_no:listening_no") >= 1, 1 * SLOW),
          "A never announced broadcasting_no")
    shot = a.screenshot("3-ended")
    check(np.array_equal(a.pixels(shot, COMBO), combo_enabled),
          "A's device list does not look enabled again after end broadcast")
    check(poll(lambda: not capture_running(a), 2 * SLOW),
          "A's microphone stays in use after end broadcast")

    # B stops listening while A's audio still arrives: B plays none of it.
    a.click("broadcast")
    check(wait_tone(b.speaker, a.frequency, 1.0) is not None, "B did not play A's second broadcast")
    b.click("stop listen")
    check(wait_silence(b.speaker, 0.8) is not None, "B still plays after stop listen")
    time.sleep(0.2)
    writes_before = len(b.writes())
    rx_before = rx_bytes(b)
    check(stays_silent(b.speaker, 1.0), "B played audio after stop listen")
    rx_rate = rx_bytes(b) - rx_before
    check(rx_rate > 20000, "A's audio did not keep arriving at B (%d bytes in 1 s)" % rx_rate)
    check(len(b.writes()) == writes_before, "B wrote audio to its speaker while not listening")
    check(poll(lambda: status_seen(a, "broadcasting_no:listening_no"), 1 * SLOW),
          "B never announced listening_no")
    log("B not listening: %d bytes arrived in 1 s, none played" % rx_rate)
    b.screenshot("4-stopped-listening")

    # Both sides broadcast and listen at once, and switch independently.
    b.click("listen")
    b.click("broadcast")
    a.click("listen")
    check(wait_tone(b.speaker, a.frequency, 1.0) is not None, "B does not play A while both talk")
    check(wait_tone(a.speaker, b.frequency, 1.0) is not None, "A does not play B while both talk")
    a.screenshot("5-both")
    b.click("end broadcast")
    check(wait_silence(a.speaker, 0.8) is not None, "A still plays after B ended its broadcast")
    check(wait_tone(b.speaker, a.frequency, 0.5) is not None,
          "B stopped playing A when B ended its own broadcast")
    a.click("stop listen")
    check(carries(b.speaker.last(0.2), a.frequency) or
          wait_tone(b.speaker, a.frequency, 0.5) is not None,
          "B stopped playing A when A stopped listening")
    log("broadcast and listen switch independently")

    # B's output volume: position 5 halves the level, 10 or more restores it,
    # and playback goes on throughout.
    time.sleep(0.3)
    full = rms(b.speaker.last(0.5))
    check(full > 3000, "B's level before the volume change is only %.0f" % full)
    dragged = time.monotonic()
    drag_output_slider(b, 5)
    halved = poll(lambda: (lambda r: r if abs(r - 0.5) <= 0.06 else None)(
        rms(b.speaker.last(0.2)) / full), 1.0)
    check(halved, "B's level at position 5 is %.2f of full, not half"
          % (rms(b.speaker.last(0.2)) / full))
    time.sleep(1.0)
    ratio = rms(b.speaker.last(0.8)) / full
    check(abs(ratio - 0.5) <= 0.06 and carries(b.speaker.last(0.8), a.frequency),
          "B's playback at position 5 did not go on at half level (%.2f)" % ratio)
    b.screenshot("6-volume-5")
    drag_output_slider(b, 30)
    restored = poll(lambda: abs(rms(b.speaker.last(0.2)) / full - 1) <= 0.06, 1.0)
    check(restored, "B's level at position 30 is %.2f of full" % (rms(b.speaker.last(0.2)) / full))
    time.sleep(1.0)
    # No stretch of silence since the first drag: playback did not stop. A
    # single short gap when a chunk comes late is an underrun, not a stop.
    since = b.speaker.between(dragged, time.monotonic())
    windows = [since[i:i + RATE // 20] for i in range(0, len(since) - RATE // 20, RATE // 20)]
    longest = run_length = 0
    for w in windows:
        run_length = run_length + 1 if rms(w) < SILENT_RMS else 0
        longest = max(longest, run_length)
    check(longest * 50 < 200, "B's playback fell silent for %d ms around the volume change"
          % (longest * 50))
    accepted = [w for w in b.writes()[-20:] if w[0] > 0]
    check(len(accepted) >= 15, "B's last writes were refused: %s" % b.writes()[-20:])
    # On a clean link the listener plays what arrives: a chunk that finds
    # the playback stream full is held back, not cut short.
    writes = b.writes()
    played = sum(n for n, _ in writes) / max(1, sum(m for _, m in writes))
    check(played >= 0.98, "B played %.1f%% of the audio that reached it; cut short: %s"
          % (100 * played, [w for w in writes if w[0] < w[1]][:10]))
    log("volume halves at 5 and comes back at 30; playback never stopped")

    # Two talkers at once: B hears A and C together, not each in turn (a
    # single queue for every sender plays each about half of the time).
    c.click("broadcast")
    check(poll(lambda: min(tone_presence(b.speaker.last(0.3), (a.frequency, c.frequency),
                                         3000)) > 0.2, 2.0),
          "B never played C's %d Hz beside A's %d Hz" % (c.frequency, a.frequency))
    began = time.monotonic()
    time.sleep(3.0)
    shares = tone_presence(b.speaker.between(began, time.monotonic()),
                           (a.frequency, c.frequency), 3000)
    # One queue for both would give each about half; a sanitized program,
    # several times slower, drops the odd window more (84% seen on PipeWire
    # under ThreadSanitizer).
    least = 0.7 if SLOW > 1 else 0.9
    check(min(shares) >= least, "B's speaker carried A's %d Hz in %.0f%% and C's %d Hz in %.0f%% "
          "of 5 ms windows while both broadcast" % (a.frequency, 100 * shares[0], c.frequency,
                                                     100 * shares[1]))
    c.click("end broadcast")
    check(poll(lambda: tone_presence(b.speaker.last(0.2), (c.frequency,), 3000)[0] == 0, 1.0),
          "B still plays C after C ended its broadcast")
    log("two talkers heard at once: A in %.1f%% and C in %.1f%% of 5 ms windows"
        % (100 * shares[0], 100 * shares[1]))

    # An instance with no audio server at all, and one whose server has no
    # device: only that one warns.
    d = world.add("d", 14, audio=False)
    d.start()
    d.slider = 80
    d.show()
    check(subprocess.run(["ip", "netns", "exec", "d", "env", "DISPLAY=" + d.display, "xdotool",
                          "search", "--name", "^Error$"], stdout=subprocess.PIPE).stdout.strip()
          == b"", "D showed an Error box although a sound server may still come")
    e = world.add("e", 15, audio=False)
    e.bare, e.env["PULSE_SERVER"] = harness.bare_pulse(os.path.join(e.dir, "bare"), e.env, 30,
                                                       "E's bare PulseAudio did not come up")
    e.start()
    box = e.find_window("^Error$")
    e.screenshot("7-error-box")
    e.x("xdotool", "windowfocus", "--sync", str(box))
    e.x("xdotool", "key", "Return")
    e.show()
    log("E's Error box closed")
    for i in (d, e):
        check(poll(lambda: i.count(r"Client Added, size:\s+5"), 10 * SLOW),
              "%s never listed all five instances" % i.name)
    for i in (a, b, c):
        check(poll(lambda: i.count(r"Client Added, size:\s+5"), 10 * SLOW),
              "%s never listed D and E" % i.name)
    for i in (d, e):
        text = i.log_text()
        check(text.count("audio capture could not start") == 1,
              "%s: 'audio capture could not start' logged %d times"
              % (i.name, text.count("audio capture could not start")))
        check(text.count("audio playback could not start") == 1,
              "%s: 'audio playback could not start' logged %d times"
              % (i.name, text.count("audio playback could not start")))
        check(re.search(r"update sent:\s+\d+", text), "%s never announced itself" % i.name)
    # Pressing every button without audio breaks nothing.
    for i in (d, e):
        for button in ("broadcast", "listen"):
            i.click(button)
    check(poll(lambda: status_seen(a, "broadcasting_yes:listening_yes") >= 2, 2 * SLOW),
          "D and E did not announce broadcasting_yes:listening_yes")
    for i in (d, e):
        i.screenshot("8-no-audio")
        check(i.proc.poll() is None, "%s died" % i.name)
    b.screenshot("8-five")

    # Everyone closes cleanly.
    for i in (e, d, c, b, a):
        rc = i.close()
        check(rc == 0, "%s exited with %s" % (i.name, rc))
        text = i.log_text()
        for warning in QT_WARNINGS:
            check(warning not in text, "%s logged %r" % (i.name, warning))
    log("all five closed with exit code 0 and no warnings")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--close-window"]:
        close_window(int(sys.argv[3]), sys.argv[2])
        sys.exit(0)
    harness.run_checks(main, sys.argv[1] if len(sys.argv) > 1 else "pulse")
    log("PASS")
