"""Helpers shared by the end-to-end tests (tests/e2e_*.py) and the benchmarks
(bench/*.py): where the window's buttons are, failures and logging, polling,
the program's datagrams, network namespaces on a bridge, an environment
without sound, private sound servers (PulseAudio or PipeWire, with a
microphone that behaves like hardware), Xvfb inside a namespace, a
real-time writer into a microphone FIFO, /proc readings and lab peers
(talkers that are not the program, see LabPeer).

Scripts import it with
    sys.path.insert(0, <the tests/lib directory, relative to their own file>)
A lab peer runs this file itself, inside its namespace:
    harness.py --lab-peer SETTINGS_JSON
"""

import fcntl
import heapq
import ipaddress
import json
import os
import random
import re
import select
import socket
import struct
import subprocess
import sys
import termios
import threading
import time
import traceback
import zlib


# Central widget offset inside the 321 x 360 window: the menu bar sits above it.
TOP = 17
BUTTONS = {
    "broadcast": (60, TOP + 176),
    "listen": (257, TOP + 176),
    "end broadcast": (60, TOP + 206),
    "stop listen": (257, TOP + 206),
}


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


START = time.monotonic()


def log(*args):
    print("[%7.2f]" % (time.monotonic() - START), *args, flush=True)


def run_checks(main, *args):
    """Returns main(*args); a Failure is logged as FAIL and any other exception
    printed with its traceback, and both exit with 1."""
    try:
        return main(*args)
    except Failure as failure:
        log("FAIL:", failure)
        sys.exit(1)
    except Exception:
        traceback.print_exc()
        sys.exit(1)


def poll(predicate, timeout, interval=0.05):
    """Returns the predicate's first true value, or None at the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(interval)


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, **kw).stdout


# ---- the program's datagrams --------------------------------------------------

def qstring(text):
    data = text.encode("utf-16-be")
    return struct.pack(">I", len(data)) + data


def qbytes(data):
    return struct.pack(">I", len(data)) + data


def datagram(body, declared=None):
    """`declared` forges the length that precedes the compressed body."""
    return struct.pack(">I", len(body) if declared is None else declared) + zlib.compress(body, -1)


# ---- network namespaces -------------------------------------------------------

def make_bridge(bridge, timeout=None):
    run("ip", "link", "add", bridge, "type", "bridge", timeout=timeout)
    run("ip", "link", "set", bridge, "up", timeout=timeout)


def attach_namespace(bridge, name, timeout=None):
    """A new namespace `name` whose eth0 is a veth pair's end; the other end,
    ve-NAME, is on the bridge and up. `timeout` bounds each ip command."""
    run("ip", "netns", "add", name, timeout=timeout)
    run("ip", "link", "add", "ve-" + name, "type", "veth", "peer", "name", "eth0",
        "netns", name, timeout=timeout)
    run("ip", "link", "set", "ve-" + name, "master", bridge, "up", timeout=timeout)


def configure_host(name, address, prefix, timeout=None):
    """Brings up lo and eth0 in namespace `name`, with address/prefix on eth0
    and the default route through it."""
    for command in (("link", "set", "lo", "up"),
                    ("addr", "add", "%s/%d" % (address, prefix), "dev", "eth0"),
                    ("link", "set", "eth0", "up"),
                    ("route", "add", "default", "dev", "eth0")):
        run("ip", "-n", name, *command, timeout=timeout)


def add_host(bridge, name, address, prefix, timeout=None):
    """A namespace on the bridge at address/prefix."""
    attach_namespace(bridge, name, timeout)
    configure_host(name, address, prefix, timeout)


# ---- sound servers and Xvfb ---------------------------------------------------

SERVERS = ("pulse", "pipewire")

# Both servers get the same devices: a null sink "spk" as the speaker and, as the
# microphone, the monitor of a second null sink "micsink" that pacat plays a FIFO
# into. A pipe source would hide what real microphones do: PulseAudio's hands
# over one pipe buffer (about 4 KB) at a time, and PipeWire's stops reading its
# FIFO while nobody records, so a backlog builds there; a sink's monitor hands
# over whole periods on both servers, as hardware does.
NULL_SINK = "module-null-sink sink_name=%s rate=44100 channels=1"


class SoundServer:
    """A private sound server with its files in `directory`, of `kind` "pulse"
    or "pipewire" (each of PipeWire's processes with directory/runtime as its
    XDG_RUNTIME_DIR, under a session bus of its own: without one WirePlumber
    quits and defaults cannot be set). `env` is the servers' environment.
    Raises Failure(failure) unless it answers with its devices in place within
    `timeout` seconds. Attributes: server (the PULSE_SERVER value), fifo (the
    microphone: write s16le mono 44.1 kHz into it at real-time pace, see
    FifoFeeder), answered (the monotonic time it first answered) and
    processes. kill() and launch() end it as a crash does and start it again
    on the same socket, with the same devices; plug() and unplug() add and
    remove a microphone."""

    def __init__(self, kind, directory, env, timeout, failure, spawn=subprocess.Popen):
        check(kind in SERVERS, "unknown sound server %r" % kind)
        self.kind = kind
        self.processes = []
        self.spawn = spawn
        self.directory = directory
        self.bus = None
        runtime = os.path.join(directory, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        os.chmod(runtime, 0o700)
        self.env = dict(env, XDG_RUNTIME_DIR=runtime)
        self.env.pop("PULSE_SERVER", None)
        if kind == "pulse":
            self.socket = os.path.join(directory, "native")
        else:
            self.socket = os.path.join(runtime, "pulse", "native")
            self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + os.path.join(directory, "bus")
        self.server = "unix:" + self.socket
        self.client_env = dict(self.env, PULSE_SERVER=self.server)
        self.fifo = os.path.join(directory, "mic.fifo")
        os.mkfifo(self.fifo)
        self.launch(timeout, failure)

    def launch(self, timeout, failure):
        """Starts the server, its speaker and its microphone."""
        deadline = time.monotonic() + timeout
        if self.kind == "pulse":
            self.start_pulse(self.socket)
        else:
            self.start_pipewire(deadline, failure)
        check(poll(lambda: self.pactl("info"), deadline - time.monotonic()), failure)
        self.answered = time.monotonic()
        if self.kind == "pipewire":
            for sink in ("spk", "micsink"):
                check(self.pactl("load-module", *(NULL_SINK % sink).split()), failure)
            # WirePlumber takes a moment to adopt new sinks as candidates for
            # the defaults: until then setting them is ignored or refused.
            check(poll(lambda: self.session_manager_running()
                       and self.pactl("set-default-sink", "spk")
                       and self.pactl("set-default-source", "micsink.monitor")
                       and self.defaults_set(), deadline - time.monotonic(), 0.1), failure)
        check(poll(self.defaults_set, deadline - time.monotonic()), failure)
        self.play_fifo("micsink", self.fifo)

    def play_fifo(self, sink, fifo):
        """Plays what is written into `fifo` into `sink`, as a microphone's
        sound: the sink's monitor is the microphone."""
        # pacat holds the FIFO open for writing too, so it never reads an end of
        # file while no feeder is there: the microphone is silent meanwhile.
        fd = os.open(fifo, os.O_RDWR)
        try:
            self.start(["pacat", "--playback", "-d", sink, "--raw", "--format=s16le",
                        "--rate=44100", "--channels=1", "--latency-msec=10"],
                       env=self.client_env, stdin=fd, log="pacat.log")
        finally:
            os.close(fd)

    def plug(self, sink):
        """A new microphone, `sink`.monitor, as one plugged in; returns the
        FIFO that feeds it and its module number (see unplug())."""
        # Named after itself, so that its monitor shows as "Monitor of SINK".
        loaded = subprocess.run(["pactl", "load-module", *(NULL_SINK % sink).split(),
                                 "sink_properties=device.description=" + sink],
                                env=self.client_env, stdout=subprocess.PIPE, text=True, timeout=10)
        check(loaded.returncode == 0, "%s was not loaded" % sink)
        fifo = os.path.join(self.directory, sink + ".fifo")
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
        self.play_fifo(sink, fifo)
        return fifo, int(loaded.stdout)

    def unplug(self, module):
        check(self.pactl("unload-module", str(module)), "module %d was not unloaded" % module)

    def kill(self):
        """Ends the server with SIGKILL, and every client the harness runs on
        it; a session bus stays."""
        for proc in reversed(self.processes):
            if proc is not self.bus and proc.poll() is None:
                proc.kill()
                proc.wait()
        self.processes = [self.bus] if self.bus else []

    def start(self, cmd, log, **kw):
        with open(os.path.join(self.directory, log), "a") as out:
            proc = self.spawn(cmd, stdout=out, stderr=subprocess.STDOUT, **kw)
        self.processes.append(proc)
        return proc

    def start_pulse(self, socket):
        # The socket last: a client that gets an answer finds the devices there.
        conf = os.path.join(self.directory, "pa.conf")
        with open(conf, "w") as f:
            f.write("load-module %s\nload-module %s\n"
                    "set-default-sink spk\nset-default-source micsink.monitor\n"
                    "load-module module-native-protocol-unix socket=%s auth-anonymous=1\n"
                    % (NULL_SINK % "spk", NULL_SINK % "micsink", socket))
        self.start(["pulseaudio", "-n", "-F", conf, "--daemonize=no", "--exit-idle-time=-1",
                    "--disallow-exit", "--use-pid-file=no"],
                   env=dict(self.env, PULSE_RUNTIME_PATH=self.env["XDG_RUNTIME_DIR"]),
                   log="pulse.log")

    def start_pipewire(self, deadline, failure):
        if not self.bus:
            bus = os.path.join(self.directory, "bus")
            self.bus = self.start(["dbus-daemon", "--session", "--address=unix:path=" + bus,
                                   "--nofork", "--nopidfile"], env=self.env, log="dbus.log")
            check(poll(lambda: os.path.exists(bus), deadline - time.monotonic(), 0.02), failure)
        # WirePlumber quits at once if PipeWire does not answer yet; the
        # socket of a PipeWire killed before would answer nothing.
        socket = os.path.join(self.env["XDG_RUNTIME_DIR"], "pipewire-0")
        if os.path.exists(socket):
            os.unlink(socket)
        self.start(["pipewire"], env=self.env, log="pipewire.log")
        check(poll(lambda: os.path.exists(socket), deadline - time.monotonic(), 0.02), failure)
        self.wireplumber = self.start(["wireplumber"], env=self.env, log="wireplumber.log")
        self.start(["pipewire-pulse"], env=self.env, log="pipewire-pulse.log")

    def session_manager_running(self):
        """Starts WirePlumber again if it quit: its socket may have existed a
        moment before PipeWire listened on it."""
        if self.wireplumber.poll() is not None:
            self.wireplumber = self.start(["wireplumber"], env=self.env, log="wireplumber.log")
            return False
        return True

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.client_env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True, timeout=10).returncode == 0

    def defaults_set(self):
        answer = lambda what: subprocess.run(
            ["pactl", "get-default-" + what], env=self.client_env, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, text=True, timeout=10).stdout.strip()
        return answer("sink") == "spk" and answer("source") == "micsink.monitor"

    def stop(self):
        for proc in reversed(self.processes):
            if proc.poll() is None:
                proc.kill()
                proc.wait()


def bare_pulse(directory, env, timeout, failure):
    """A PulseAudio server with no device at all, its files in `directory`:
    a machine without capture devices. Returns its process and its
    PULSE_SERVER value."""
    os.makedirs(directory, mode=0o700, exist_ok=True)
    socket_path = os.path.join(directory, "native")
    conf = os.path.join(directory, "pa.conf")
    with open(conf, "w") as f:
        f.write("load-module module-native-protocol-unix socket=%s auth-anonymous=1\n" % socket_path)
    server_env = dict(env, XDG_RUNTIME_DIR=directory, PULSE_RUNTIME_PATH=directory, HOME=directory)
    server_env.pop("PULSE_SERVER", None)
    with open(os.path.join(directory, "pulse.log"), "w") as out:
        proc = subprocess.Popen(["pulseaudio", "-n", "-F", conf, "--daemonize=no",
                                 "--exit-idle-time=-1", "--use-pid-file=no"],
                                stdout=out, stderr=subprocess.STDOUT, env=server_env)
    server = "unix:" + socket_path
    check(poll(lambda: subprocess.run(["pactl", "info"], env=dict(server_env, PULSE_SERVER=server),
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
               .returncode == 0, timeout), failure)
    return proc, server


def without_audio(env, directory):
    """Sets env up for a program with no sound: nothing listens at its
    PULSE_SERVER, and ALSA gets a configuration with no device (an empty
    directory/asound.conf)."""
    env["PULSE_SERVER"] = "unix:" + os.path.join(directory, "no-server")
    alsa = os.path.join(directory, "asound.conf")
    open(alsa, "w").close()
    env["ALSA_CONFIG_PATH"] = alsa


def start_xvfb(namespace, failure, options=(), spawn=subprocess.Popen):
    """An Xvfb display inside the namespace (its abstract socket lives there),
    400 x 420, never on TCP and never on the socket files in /tmp, which all
    namespaces share; `options` are more of Xvfb's. The lock files in /tmp are
    shared too, while each namespace's sockets are its own, so Xvfb's own
    choice of a free number (-displayfd) can pick a number another namespace's
    server holds the lock of and then die: the number is chosen here, past
    every lock file, and the next one is tried if that server does not come
    up. The server never resets: by default Xvfb starts over whenever its
    last client leaves, and a probe that connects and leaves (xdotool looking
    for a window) would then close the connection of a program that connected
    meanwhile. The screen has 96 dpi, where the window is drawn at its
    designed size and BUTTONS and TOP hold; Xvfb's own default, 100 dpi,
    would scale it by 100/96. Raises Failure(failure) if none starts.
    Returns (process, display)."""
    number = 20
    for _ in range(20):
        while os.path.exists("/tmp/.X%d-lock" % number):
            number += 1
        read_fd, write_fd = os.pipe()
        proc = spawn(["ip", "netns", "exec", namespace, "Xvfb", ":%d" % number,
                      "-displayfd", str(write_fd), "-screen", "0", "400x420x24", "-dpi", "96",
                      "-nolisten", "tcp", "-nolisten", "unix", "-noreset", *options],
                     pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        reported = b""
        while not reported.endswith(b"\n"):
            data = os.read(read_fd, 16)
            if not data:
                break
            reported += data
        os.close(read_fd)
        if reported.endswith(b"\n") and proc.poll() is None:
            return proc, ":" + reported.decode().strip()
        proc.wait()
        number += 1
    raise Failure(failure)


class FifoFeeder(threading.Thread):
    """Writes block() into a microphone FIFO every 10 ms, at real-time pace,
    until stop() or a failed write. A failed write calls write_failed(error),
    which by default only ends the thread.

    A FIFO holds 64 KB, most of a second of sound: once a backlog builds there
    (the reader started late or paused) it stays and counts as latency. So a
    tick whose FIFO still holds more than two blocks writes nothing, and
    block() is only asked for what is written: what it notes about a block
    holds for the moment that block went in."""

    BACKLOG = 2 * 882

    def __init__(self, fifo):
        super().__init__(daemon=True)
        self.fd = os.open(fifo, os.O_WRONLY)
        self.running = True
        self.skipped = 0

    def block(self):
        raise NotImplementedError

    def write_failed(self, error):
        pass

    def waiting(self):
        """Bytes in the FIFO; 0 once nobody reads it, so that the next write
        fails as it should."""
        p = select.poll()
        p.register(self.fd, select.POLLOUT)
        if any(events & select.POLLERR for _, events in p.poll(0)):
            return 0
        return struct.unpack("i", fcntl.ioctl(self.fd, termios.FIONREAD, b"\0" * 4))[0]

    def run(self):
        next_time = time.monotonic()
        while self.running:
            if self.waiting() > self.BACKLOG:
                self.skipped += 1
            else:
                data = self.block()
                try:
                    os.write(self.fd, data)
                except OSError as error:
                    self.write_failed(error)
                    return
            next_time += 0.01
            delay = next_time - time.monotonic()
            if delay > 0:
                time.sleep(delay)

    def stop(self):
        self.running = False
        self.join(2)
        os.close(self.fd)


# ---- /proc ------------------------------------------------------------------------

def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def cpu_ticks(pid):
    """utime + stime of the process, in clock ticks."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def udp_counters(namespace):
    """The namespace's UDP counters (InDatagrams, RcvbufErrors, ...) by name."""
    lines = [l.split() for l in run("ip", "netns", "exec", namespace, "cat", "/proc/net/snmp")
             .splitlines() if l.startswith("Udp:")]
    return dict(zip(lines[0][1:], map(int, lines[1][1:])))


def sanitizer(program):
    """"address", "thread" or "" for how the program was built."""
    libs = subprocess.run(["ldd", program], stdout=subprocess.PIPE, text=True).stdout
    if "libasan" in libs:
        return "address"
    if "libtsan" in libs:
        return "thread"
    return ""


def cpu_model():
    """The processor's model name, as benchmarks report the machine."""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown"


# ---- lab peers --------------------------------------------------------------------

SAMPLE_RATE = 44100
PORT = 8002


class LabPeer:
    """A talker that is not the program: lab_peer_main in namespace
    `namespace` (made beforehand, with add_host), announcing
    "update:broadcasting_yes:listening_no" to `target` ten times a second and,
    once talk() is called, sending it audio datagrams of `chunk` samples at
    real-time pace: a steady tone of `frequency` Hz at `amplitude` (0 Hz is
    digital silence). Every `marker_every`-th chunk, if set, begins with
    `marker_samples` at `marker_amplitude` instead, so that its way to a
    speaker can be timed. `ppm` makes the talker's clock run that much fast
    (or slow, below 0). It sends only to `target`, which must be a host of
    `network`, only inside tests/sandbox.sh, and stops by itself after
    `seconds` or a bounded count of datagrams. impair() makes its path
    behave like a Wi-Fi link. finish() ends it and returns its report (see
    lab_peer_main)."""

    def __init__(self, namespace, target, network, seconds, **settings):
        settings.update(target=target, network=network, seconds=seconds)
        self.name = namespace
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", namespace, sys.executable, os.path.abspath(__file__),
             "--lab-peer", json.dumps(settings)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        check(self.proc.stdout.readline().strip() == "ready",
              "the lab peer in %s did not start" % namespace)
        self.report = None

    def command(self, **what):
        self.proc.stdin.write(json.dumps(what) + "\n")
        self.proc.stdin.flush()

    def talk(self):
        self.command(talk=True)

    def hush(self):
        """Stops its audio, the chunk being captured unsent; it goes on announcing."""
        self.command(talk=False)

    def impair(self, loss=0.0, jitter=(0, 0), stall=0.0, stall_ms=100):
        """From now on, loses a `loss` share of its audio chunks at random,
        holds each one back a random `jitter` (LOW, HIGH) ms from its due time,
        order kept, and every `stall` s (0: never) holds everything back
        `stall_ms` ms and then releases it at once."""
        self.command(impair={"loss": loss, "jitter": list(jitter), "stall": stall,
                             "stall_ms": stall_ms})

    def finish(self):
        if self.report is None:
            try:
                # Its input's end is its end.
                out, _ = self.proc.communicate(timeout=10)
                self.report = json.loads(out.strip().splitlines()[-1])
            except (OSError, ValueError, IndexError, subprocess.TimeoutExpired):
                self.kill()
                raise Failure("the lab peer in %s gave no report" % self.name)
        return self.report

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


def lab_peer_chunk(settings, index):
    """The samples of chunk `index` of a lab peer's stream, and whether it
    carries a marker."""
    import numpy as np
    size = settings.get("chunk", 1024)
    every = settings.get("marker_every", 0)
    marked = bool(every) and index % every == every - 1
    n = np.arange(index * size, (index + 1) * size)
    level = np.full(size, float(settings.get("amplitude", 3000)))
    if marked:
        level[:settings.get("marker_samples", 441)] = settings.get("marker_amplitude", 12000)
    tone = np.sin(2 * np.pi * settings.get("frequency", 0) / SAMPLE_RATE * n)
    return (level * tone).astype("<i2").tobytes(), marked


def lab_peer_main(settings):
    """A lab peer in its own namespace (see LabPeer). Standard input takes one
    JSON command a line: {"talk": true} starts the audio, its first chunk due
    a chunk's length later (when a capture would hand it out), {"talk": false}
    stops it, {"impair": {...}} sets the path's faults; end of input ends the
    peer. It then prints a JSON line: chunks sent and lost, the due time (on
    the monotonic clock) of the first and last chunk of each talk, and for
    every marker chunk its due time and whether it was lost or held by a
    stall."""
    network = ipaddress.ip_network(settings["network"])
    target = ipaddress.ip_address(settings["target"])
    if (os.environ.get("INTERCOM_IN_SANDBOX") != "1" or not network.is_private
            or target not in network
            or target in (network.network_address, network.broadcast_address)):
        raise SystemExit("lab peer: sends only to a host of a private network inside "
                         "tests/sandbox.sh, not to %s" % target)
    # Its own clock, as a sound card's, sets the pace: a faster one hands out
    # chunks that much sooner.
    period = settings.get("chunk", 1024) / (SAMPLE_RATE * (1 + settings.get("ppm", 0) * 1e-6))
    seconds = min(float(settings["seconds"]), 900)
    limit = int(seconds * (1 / period + 10) * 1.2) + 100
    # Pacing is the point: the machine's load must not add to the path's jitter.
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
    except OSError:
        pass
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setblocking(False)
    address = (str(target), PORT)
    announcement = datagram(qstring(settings.get("status", "update:broadcasting_yes:listening_no"))
                            + qbytes(b""))
    rng = random.Random(settings.get("seed"))
    fault = {"loss": 0.0, "jitter": [0, 0], "stall": 0.0, "stall_ms": 100}
    queue = []  # (release, sequence, datagram), a heap
    sequence = 0
    last_release = stall_until = 0.0
    talk_began = None
    index = marked = 0
    stalls_every = 0
    talks, markers = [], []
    sent = lost = failed = 0
    stdin = sys.stdin.fileno()
    pending = b""
    print("ready", flush=True)
    now = time.monotonic()
    deadline = now + seconds
    next_announcement = now
    while now < deadline and sent + failed < limit:
        if now >= next_announcement:
            heapq.heappush(queue, (max(now, stall_until), sequence, announcement))
            sequence += 1
            next_announcement += 0.1
        while talk_began is not None and talk_began + (index + 1) * period <= now:
            due = talk_began + (index + 1) * period
            samples, is_marker = lab_peer_chunk(settings, index)
            index += 1
            talks[-1][1] = due
            candidate = is_marker or not settings.get("marker_every")
            if candidate:
                marked += 1
            if fault["stall"] and candidate and stalls_every and marked % stalls_every == 0:
                stall_until = due + fault["stall_ms"] / 1000
                # Everything waiting goes out no sooner than the stall's end.
                queue = [(max(r, stall_until), n, d) for r, n, d in queue]
                heapq.heapify(queue)
            if rng.random() < fault["loss"]:
                lost += 1
                release = None
            else:
                low, high = fault["jitter"]
                release = max(due + rng.uniform(low, high) / 1000, last_release,
                              stall_until if due < stall_until else 0)
                last_release = release
                heapq.heappush(queue, (release, sequence,
                                       datagram(qstring("audio") + qbytes(samples))))
                sequence += 1
            if is_marker:
                markers.append({"due": due, "lost": release is None,
                                "stalled": due < stall_until})
        while queue and queue[0][0] <= now:
            try:
                sock.sendto(heapq.heappop(queue)[2], address)
                sent += 1
            except OSError:
                failed += 1  # B not up yet, or its socket full: a link drops it too
        wake = min([deadline, next_announcement]
                   + ([talk_began + (index + 1) * period] if talk_began is not None else [])
                   + ([queue[0][0]] if queue else []))
        if select.select([stdin], [], [], max(0.0, wake - time.monotonic()))[0]:
            data = os.read(stdin, 4096)
            if not data:
                break
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                command = json.loads(line)
                now = time.monotonic()
                if command.get("talk") is True and talk_began is None:
                    talk_began, index = now, 0
                    talks.append([now + period, None])
                elif command.get("talk") is False:
                    talk_began = None
                if "impair" in command:
                    fault.update(command["impair"])
                    marked = 0
                    # Stalls fall on marker chunks, when there are markers, so
                    # that the first chunk held by each is timed.
                    every_s = period * (settings.get("marker_every") or 1)
                    stalls_every = max(1, round(fault["stall"] / every_s)) if fault["stall"] else 0
        now = time.monotonic()
    try:
        print(json.dumps({"sent": sent, "failed": failed, "lost": lost, "talks": talks,
                          "markers": markers, "period": period}), flush=True)
    except BrokenPipeError:
        pass  # nobody waits for the report


if __name__ == "__main__":
    if sys.argv[1:2] == ["--lab-peer"]:
        lab_peer_main(json.loads(sys.argv[2]))
