#!/usr/bin/python3
"""Start-up time of the real program: from launch to its window shown (mapped
on an Xvfb display), with a private PulseAudio server, RUNS times (10 by
default); prints each run and the median. Each run's window is closed as a
window manager closes it, and the next run starts once the program is gone.

    tests/sandbox.sh -- tests/lib/startup.py PROGRAM [pulse|pipewire]

The window is looked for every few milliseconds (an xdotool search costs
about that much): the figures are good to about 5 ms.
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, HERE)
import harness  # noqa: E402
from harness import check, log, poll  # noqa: E402


def mapped(ns, display):
    r = subprocess.run(["ip", "netns", "exec", ns, "env", "DISPLAY=" + display, "xdotool",
                        "search", "--onlyvisible", "--name", "^MainWindow$"],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    ids = r.stdout.split()
    return int(ids[0]) if ids else None


def main(program, kind):
    check(os.environ.get("INTERCOM_IN_SANDBOX") == "1", "run it through tests/sandbox.sh")
    runs = int(os.environ.get("RUNS", "10"))
    tmp = tempfile.mkdtemp(prefix="intercom-startup.")
    processes = []
    spawn = lambda *a, **kw: processes.append(subprocess.Popen(*a, **kw)) or processes[-1]
    harness.make_bridge("br-startup", timeout=30)
    harness.add_host("br-startup", "s", "10.78.0.2", 24, timeout=30)
    try:
        sound = harness.SoundServer(kind, os.path.join(tmp, "sound"), dict(os.environ), 30,
                                    "%s did not come up" % kind, spawn=spawn)
        _, display = harness.start_xvfb("s", "Xvfb did not start", spawn=spawn)
        env = dict(os.environ, PULSE_SERVER=sound.server, DISPLAY=display, HOME=tmp,
                   XDG_RUNTIME_DIR=os.path.join(tmp, "sound", "runtime"))
        env.pop("QT_QPA_PLATFORM", None)
        times = []
        for n in range(runs):
            with open(os.path.join(tmp, "run%d.log" % n), "w") as out:
                began = time.monotonic()
                proc = subprocess.Popen(["ip", "netns", "exec", "s", program], env=env,
                                        stdout=out, stderr=subprocess.STDOUT)
                window = poll(lambda: mapped("s", display) or proc.poll() is not None, 30, 0.002)
                shown = time.monotonic() - began
            check(window and proc.poll() is None, "run %d: no window" % n)
            times.append(shown)
            log("run %d: window shown %.0f ms after launch" % (n + 1, shown * 1000))
            subprocess.run(["ip", "netns", "exec", "s", "env", "DISPLAY=" + display,
                            "/usr/bin/python3", os.path.join(HERE, "x11_close.py"), str(window)],
                           check=True)
            check(proc.wait(15) == 0, "run %d: exit code %s" % (n, proc.returncode))
            check(poll(lambda: mapped("s", display) is None, 5), "run %d: window still there" % n)
        log("%s on %s: median %.0f ms over %d runs (min %.0f, max %.0f)"
            % (program, kind, statistics.median(times) * 1000, runs, min(times) * 1000,
               max(times) * 1000))
    finally:
        for proc in reversed(processes):
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        subprocess.run(["ip", "netns", "del", "s"], stderr=subprocess.DEVNULL)
        subprocess.run(["ip", "link", "del", "br-startup"], stderr=subprocess.DEVNULL)
    return 0


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    sys.exit(harness.run_checks(main, os.path.abspath(sys.argv[1]),
                                sys.argv[2] if len(sys.argv) == 3 else "pulse"))
