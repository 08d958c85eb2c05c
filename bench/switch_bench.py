"""The route switch as a mail program sees it: the whole vantelo program on
Qt's offscreen platform in a fresh working folder, NetworkManager's mock on a
private system bus, and two VPN entries, each routed to an aiosmtpd server of
its own. The active connection flips between them N times; meanwhile
- a probe connects every 10 ms and reads the greeting,
- one slow mail per flip is in the middle of DATA when the flip comes,
- a client sends small mails back to back, retrying a failed one up to 3
  times.
Printed, per build and side by side: the switch time (from the call that
makes NetworkManager change to the first probe greeted by the new server):
median, p90 and max; probes refused, and probes that got no greeting
(reset, closed, timed out); slow mails cut (ended without their 250); mails
doubled (delivered more than once, or delivered though the client was told
that every attempt failed). "Old server left" is the time to the first probe
not served by the old server (refused, or greeted by the new one): when the
relay reacted, whatever its restart costs. Figures, not a pass/fail test.
Loopback only.

Usage: /usr/bin/python3 bench/switch_bench.py [--flips N] [--interval S]
           BUILD [REFERENCE_BUILD]
"""
import argparse
import os
import random
import smtplib
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "testkit"))
from vantelo_testkit.loopback import end_process, free_port  # noqa: E402
from vantelo_testkit.private_bus import NetworkManagerOnPrivateBus  # noqa: E402
from vantelo_testkit.smtp_peers import greeted_by, start_smtp, wait_until  # noqa: E402

PROBE_EVERY = 0.010
SLOW_MAIL_BYTES = 1 << 20
RETRIES = 3


class Program:
    """vantelo from `build` in a fresh working folder: default route to
    server-d, "VPN A" to server-a, "VPN B" to server-b."""

    def __init__(self, build, nm, listen, ports, initdb):
        self.folder = tempfile.mkdtemp(prefix="vantelo-switch-")
        subprocess.run([initdb, self.folder], check=True, stdout=subprocess.DEVNULL)
        db = sqlite3.connect(os.path.join(self.folder, "config", "log.mdb"))
        for entry, name in (("VPN A", "server-a"), ("VPN B", "server-b")):
            db.execute("INSERT INTO smtp VALUES (?, '127.0.0.1', ?)", (entry, str(ports[name])))
        db.commit()
        db.close()
        with open(os.path.join(self.folder, "config", "config.ini"), "w") as f:
            f.write("[dial]\nsmtpport=%d\n[default]\nsmtpserver=127.0.0.1\nsmtpport=%d\n"
                    "[general]\nstartminimized=1\ntipoftheday=0\n" % (listen, ports["server-d"]))
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=self.folder,
                   HOME=self.folder, XDG_CONFIG_HOME=os.path.join(self.folder, "xdg"),
                   **nm.env())
        env.pop("QT_LOGGING_RULES", None)
        self.log = open(os.path.join(self.folder, "stderr.log"), "w")
        self.process = subprocess.Popen([os.path.join(build, "vantelo")], cwd=self.folder,
                                        env=env, stdout=subprocess.DEVNULL, stderr=self.log)

    def stop(self):
        end_process(self.process, timeout=20)
        self.log.close()
        subprocess.run(["rm", "-rf", self.folder])


def probe_once(port):
    """'refused', 'none' (no greeting: reset, closed, timed out) or the
    greeting server's name."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
            greeting = s.recv(256).decode(errors="replace")
            if not greeting.startswith("220 "):
                return "none"
            try:
                s.sendall(b"QUIT\r\n")
            except OSError:
                pass
            return greeting.split()[1]
    except ConnectionRefusedError:
        return "refused"
    except OSError:
        return "none"


class Probe(threading.Thread):
    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.results, self.stopping = port, [], threading.Event()

    def run(self):
        next_at = time.monotonic()
        while not self.stopping.is_set():
            started = time.monotonic()
            self.results.append((started, probe_once(self.port)))
            next_at += PROBE_EVERY
            time.sleep(max(0.0, next_at - time.monotonic()))


def expect(f, code):
    line = f.readline()
    while line[3:4] == b"-":
        line = f.readline()
    if not line.startswith(code):
        raise OSError("unexpected reply %r" % line)


def slow_mail(port, subject, seconds, outcome):
    """One mail whose DATA takes `seconds`: appends (subject, True when its
    250 came) to `outcome`."""
    ok = False
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            f = s.makefile("rb")
            expect(f, b"220")
            for command, code in ((b"EHLO bench\r\n", b"250"),
                                  (b"MAIL FROM:<me@example.test>\r\n", b"250"),
                                  (b"RCPT TO:<you@example.test>\r\n", b"250"),
                                  (b"DATA\r\n", b"354")):
                s.sendall(command)
                expect(f, code)
            s.sendall(b"Subject: " + subject.encode() + b"\r\n\r\n")
            # SMTP allows 1000 bytes a line, its end included.
            line = b"x" * 998 + b"\r\n"
            chunks = 64
            per_chunk = SLOW_MAIL_BYTES // len(line) // chunks
            for _ in range(chunks):
                s.sendall(line * per_chunk)
                time.sleep(seconds / chunks)
            s.sendall(b".\r\n")
            expect(f, b"250")
            ok = True
            s.sendall(b"QUIT\r\n")
    except OSError:
        pass
    outcome.append((subject, ok))


class RetryingClient(threading.Thread):
    """Small mails back to back; a failed one is sent again, up to RETRIES
    times. `told` maps each subject to whether the client was told it went."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.told, self.stopping = port, {}, threading.Event()

    def run(self):
        n = 0
        while not self.stopping.is_set():
            n += 1
            subject = "retried-%d" % n
            message = "Subject: %s\r\n\r\nhello\r\n" % subject
            self.told[subject] = False
            for _ in range(RETRIES):
                try:
                    with smtplib.SMTP("127.0.0.1", self.port, timeout=10) as client:
                        client.sendmail("me@example.test", ["you@example.test"], message)
                    self.told[subject] = True
                    break
                except (OSError, smtplib.SMTPException):
                    time.sleep(0.01)
            time.sleep(0.02)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def measure(build, flips, interval, initdb):
    nm = NetworkManagerOnPrivateBus()
    servers = {name: start_smtp(name) for name in ("server-d", "server-a", "server-b")}
    listen = free_port()
    program = None
    try:
        device = nm.add_device("eth0", "eth0")
        profiles = {"server-a": nm.add_profile("VPN A", "vpn"),
                    "server-b": nm.add_profile("VPN B", "vpn")}
        names = iter(range(1, 10000))
        active = nm.activate(device, profiles["server-a"], str(next(names)))
        program = Program(build, nm, listen, {n: s[2] for n, s in servers.items()}, initdb)
        if not wait_until(lambda: greeted_by(listen) == "server-a", 20):
            raise RuntimeError("%s never routed to VPN A" % build)
        probe, client = Probe(listen), RetryingClient(listen)
        probe.start()
        client.start()
        slow, slow_threads, flip_times = [], [], []
        current = "server-a"
        start = time.monotonic() + interval
        # Flips exactly N s apart would meet the program's 1 s tick at the
        # same phase every time: each is put off by up to a second (half the
        # interval when that is shorter), the same way for every build.
        jitter = random.Random(27)
        for i in range(flips):
            flip_at = start + i * interval + jitter.uniform(0, min(1.0, interval / 2))
            # The slow mail starts a third of an interval before the flip and
            # ends a third after it.
            subject = "slow-%d" % i
            t = threading.Timer(max(0.0, flip_at - interval / 3 - time.monotonic()), slow_mail,
                                (listen, subject, 2 * interval / 3, slow))
            t.start()
            slow_threads.append(t)
            time.sleep(max(0.0, flip_at - time.monotonic()))
            new = "server-b" if current == "server-a" else "server-a"
            changed_at = time.monotonic()
            replacement = nm.activate(device, profiles[new], str(next(names)))
            nm.deactivate(device, active)
            active, current = replacement, new
            flip_times.append((changed_at, new))
        time.sleep(interval)
        probe.stopping.set()
        client.stopping.set()
        probe.join()
        client.join()
        for t in slow_threads:
            t.join()
        time.sleep(0.5)  # the last mails' deliveries
        switch, reaction, missed = [], [], 0
        old = {"server-a": "server-b", "server-b": "server-a"}
        # A flip counts until the next one: one that was never followed
        # before it is missed.
        ends = [at for at, _ in flip_times[1:]] + [float("inf")]
        for (changed_at, new), end in zip(flip_times, ends):
            greeted = [at for at, who in probe.results if changed_at <= at < end and who == new]
            if greeted:
                switch.append(greeted[0] - changed_at)
            else:
                missed += 1
            left = [at for at, who in probe.results
                    if changed_at <= at < end and who != old[new]]
            if left:
                reaction.append(left[0] - changed_at)
        refused_per_flip = []
        bounds = [at for at, _ in flip_times] + [float("inf")]
        for a, b in zip(bounds, bounds[1:]):
            refused_per_flip.append(sum(1 for at, who in probe.results
                                        if a <= at < b and who == "refused"))
        delivered = {}
        for _, collector, _ in servers.values():
            for subject in collector.subjects:
                delivered[subject] = delivered.get(subject, 0) + 1
        doubled = sum(1 for subject, ok in client.told.items()
                      if delivered.get(subject, 0) > 1 or (not ok and subject in delivered))
        return {
            "switch": switch, "reaction": reaction, "missed": missed,
            "refused": sum(1 for _, who in probe.results if who == "refused"),
            "refused_per_flip": refused_per_flip,
            "none": sum(1 for _, who in probe.results if who == "none"),
            "probes": len(probe.results),
            "cut": sum(1 for _, ok in slow if not ok), "slow": len(slow),
            "doubled": doubled, "mails": len(client.told),
            "failed": sum(1 for ok in client.told.values() if not ok),
        }
    finally:
        if program:
            program.stop()
        for controller, _, _ in servers.values():
            controller.stop()
        nm.stop()


def rows(r):
    ms = [s * 1000 for s in r["switch"]] or [float("nan")]
    return [
        ("switch median (ms)", "%.0f" % statistics.median(ms)),
        ("switch p90 (ms)", "%.0f" % percentile(ms, 0.9)),
        ("switch max (ms)", "%.0f" % max(ms)),
        ("flips never seen", "%d" % r["missed"]),
        ("old server left, median (ms)", "%.0f" % statistics.median(
            [s * 1000 for s in r["reaction"]] or [float("nan")])),
        ("old server left, p90 (ms)", "%.0f" % percentile(
            [s * 1000 for s in r["reaction"]] or [float("nan")], 0.9)),
        ("probes", "%d" % r["probes"]),
        ("refused", "%d" % r["refused"]),
        ("refused per flip, median", "%.0f" % statistics.median(r["refused_per_flip"])),
        ("no greeting (reset/closed)", "%d" % r["none"]),
        ("cut (slow mails)", "%d of %d" % (r["cut"], r["slow"])),
        ("doubled", "%d of %d" % (r["doubled"], r["mails"])),
        ("mails failed after 3 tries", "%d" % r["failed"]),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--flips", type=int, default=20)
    parser.add_argument("--interval", type=float, default=3.0)
    parser.add_argument("build")
    parser.add_argument("reference", nargs="?")
    args = parser.parse_intermixed_args()
    if not 1 <= args.flips <= 500 or not 0.5 <= args.interval <= 30:
        parser.error("--flips 1..500, --interval 0.5..30 s")
    builds = [os.path.abspath(args.build)]
    if args.reference:
        builds.append(os.path.abspath(args.reference))
    initdb = os.path.join(builds[0], "vantelo-initdb")
    results = []
    for build in builds:
        print("measuring %s: %d flips, %.1f s apart" % (build, args.flips, args.interval),
              file=sys.stderr)
        results.append(measure(build, args.flips, args.interval, initdb))
    table = [rows(r) for r in results]
    header = ["", "this build"] + (["reference"] if len(results) > 1 else [])
    width = max(len(label) for label, _ in table[0])
    print("%-*s  %s" % (width, header[0], "  ".join("%12s" % h for h in header[1:])))
    for i, (label, _) in enumerate(table[0]):
        print("%-*s  %s" % (width, label, "  ".join("%12s" % t[i][1] for t in table)))


if __name__ == "__main__":
    main()
