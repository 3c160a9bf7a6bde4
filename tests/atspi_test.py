#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""What a screen reader is told while a user types and others talk.

Runs the chat windows of lanchat-a11yhost (a hub "S" and a client "A" whose entry line
has the focus) in a private X server, session bus and accessibility bus, listens to
their AT-SPI events through pyatspi as a screen reader does, and drives a participant
"B": a join, one line, three lines in one read, three lines 20 ms apart, a minimize and
a restore notice, a leave, and the hub going away. Checks that A announces each line it
logs exactly once, in order, as a notification; that no focus event leaves the entry
line (the log used to claim the focus for every new line); that the hub's window, in
the background, announces its lines without taking the focus; and that the windows are
exposed as frames.

    atspi_test.py HOST_BINARY
    atspi_test.py --run PROGRAM [ARGUMENTS...]

The second form only runs PROGRAM in such a session, with Qt's accessibility switched
on, and exits with its status: for Qt tests that watch the accessibility events a
window raises, which Qt raises only while a bridge to a screen reader is on.

Exits 77 (skipped) when pyatspi (for the first form), Xvfb, dbus-daemon or the AT-SPI
bus launcher is missing. Bounded to BOUND_S seconds; every process it starts is ended,
also on failure.
"""
import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import time

SKIP = 77
BOUND_S = 100
REFILL_S = 1.5  # Announcer::RefillMs: the time one announcement's credit takes to come back
LAUNCHER = "/usr/libexec/at-spi-bus-launcher"


def skip(why):
    print("SKIP: " + why, flush=True)
    sys.exit(SKIP)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Session:
    """A private X server, session bus and accessibility bus; ended by close()."""

    def __init__(self):
        self.procs = []

    def start(self, args, **kw):
        p = subprocess.Popen(args, start_new_session=True, **kw)
        self.procs.append(p)
        return p

    def open(self):
        # A display number that no other server holds, as xvfb-run picks one.
        number = 200 + os.getpid() % 500
        for _ in range(20):
            number += 1
            if os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            os.environ["DISPLAY"] = ":%d" % number
            xvfb = self.start(["Xvfb", os.environ["DISPLAY"], "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(100):
                if xvfb.poll() is not None:
                    break
                if subprocess.run(["xdpyinfo"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                    break
                time.sleep(0.05)
            if xvfb.poll() is None:
                break
        else:
            raise Failure("no X display could be started")
        bus = self.start(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
        os.environ.pop("AT_SPI_BUS_ADDRESS", None)
        self.start([LAUNCHER, "--launch-immediately"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus",
                               "/org/a11y/bus", "org.a11y.Bus.GetAddress"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                return
            time.sleep(0.05)
        raise Failure("the accessibility bus did not start")

    def close(self):
        for p in reversed(self.procs):
            try:
                os.killpg(p.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        for p in reversed(self.procs):
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()


def qt_environment():
    return dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", LANG="ja_JP.UTF-8")


def run(host_binary, session):
    import pyatspi  # after the session bus is set: it connects on import
    from gi.repository import GLib

    events = []  # (kind, window name, window role, role, name)
    logged = {"A": [], "S": []}
    host_says = []

    def describe(acc):
        window = acc
        try:
            while window.parent is not None and window.parent.getRole() != pyatspi.ROLE_APPLICATION:
                window = window.parent
            return window.name, window.getRoleName(), acc.getRoleName(), acc.name
        except Exception:
            return None, None, None, None

    def on_event(event):
        if event.type.startswith("object:state-changed:") and not event.detail1:
            return
        kind = {"object:state-changed:showing": "show", "object:state-changed:focused": "focus",
                "focus:": "focus", "window:activate": "activate"}.get(event.type)
        if kind:
            events.append((kind,) + describe(event.source))

    pyatspi.Registry.registerEventListener(on_event, "object:state-changed:showing",
                                           "object:state-changed:focused", "focus:", "window:activate")

    host = session.start([host_binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=qt_environment())
    os.set_blocking(host.stdout.fileno(), False)
    buffered = b""

    def read_host(*_):
        nonlocal buffered
        try:
            chunk = os.read(host.stdout.fileno(), 65536)
        except BlockingIOError:
            return True
        if not chunk:
            return False
        buffered += chunk
        *lines, buffered = buffered.split(b"\n")
        for line in lines:
            text = line.decode()
            who, _, rest = text.partition("\t")
            if who in logged:
                logged[who].append(rest)
            else:
                host_says.append(text)
        return True

    GLib.io_add_watch(host.stdout.fileno(), GLib.IO_IN | GLib.IO_HUP, read_host)

    def wait_for(condition, seconds):
        """Runs the event loop until condition() holds or the time is up."""
        context = GLib.MainContext.default()
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            while context.pending():
                context.iteration(False)
            if condition():
                return True
            time.sleep(0.01)
        return condition()

    def command(line):
        host.stdin.write((line + "\n").encode())
        host.stdin.flush()

    def announced(window):
        return [e[4] for e in events if e[0] == "show" and e[1] == window and e[3] == "notification"]

    check(wait_for(lambda: "ready" in host_says, 30), "the host did not get ready: " + repr(host_says))
    ready_at = len(events)

    cases = [
        ("join", ["*****　Bさんが入室しました　*****"]),
        ("line 一つ目", ["B >> 一つ目"]),
        ("burst 二つ目|三つ目|四つ目", ["B >> 二つ目", "B >> 三つ目", "B >> 四つ目"]),
        ("apart 五つ目|六つ目|七つ目", ["B >> 五つ目", "B >> 六つ目", "B >> 七つ目"]),
        ("notice *****  Bさんが最小化しました　*****|*****  Bさんが元に戻しました　*****", None),
        ("leave", ["*****  Bさんが落ちました。。。  *****"]),
        ("hubdown", ["*****  サーバが落ちました！  *****"]),
    ]
    # The start lines spent some of A's credits: let them come back first.
    wait_for(lambda: False, 3 * REFILL_S)
    for line, expected in cases:
        if line.startswith("notice"):
            texts = line.split(" ", 1)[1].split("|")
            expected = texts
            for text in texts:
                command("notice " + text)
        else:
            command(line)
        before = len(logged["A"])
        want = before + len(expected)
        wait_for(lambda: len(logged["A"]) >= want and len(announced("A")) >= want, 10)
        check(logged["A"][before:] == expected, "%s: A logged %r" % (line, logged["A"][before:]))
        check(announced("A")[:want] == logged["A"][:want],
              "%s: A announced %r for the lines %r" % (line, announced("A")[before:], expected))
        # Each announcement spends a credit; wait until they are back for the next case.
        wait_for(lambda: False, len(expected) * REFILL_S + 0.2)

    command("quit")
    status = host.wait(timeout=10)
    read_host()
    check(status == 0, "the host exited with %d" % status)  # a sanitizer's report, say
    print("A logged and announced, in order:")
    for text in announced("A"):
        print("  " + text)

    check(announced("A") == logged["A"], "A's announcements %r differ from its log %r" % (announced("A"), logged["A"]))
    after = events[ready_at:]
    moved = [e for e in after if e[0] == "focus"]
    check(not moved, "the focus moved away from A's entry line: %r" % moved)
    listed = [e for e in events if e[0] == "focus" and e[3] in ("list", "list item", "table cell")]
    check(not listed, "a list claimed the focus: %r" % listed)
    check(any(e[0] == "focus" and e[1] == "A" and e[4] == "発言" for e in events[:ready_at]),
          "A's entry line never had the focus: %r" % events[:ready_at])
    check(not [e for e in after if e[0] == "activate"], "a window was activated: %r" % after)
    hub_lines = announced("S")
    check(hub_lines and logged["S"] and hub_lines[-1].endswith(logged["S"][-1]),
          "the hub in the background did not announce its last line %r: %r" % (logged["S"][-1:], hub_lines))
    roles = {(e[1], e[2]) for e in events if e[1]}
    check(roles == {("A", "frame"), ("S", "frame")}, "the windows are exposed as %r" % roles)


def main():
    program = sys.argv[2:] if len(sys.argv) > 2 and sys.argv[1] == "--run" else None
    if not program and len(sys.argv) != 2:
        sys.exit("usage: atspi_test.py HOST_BINARY | --run PROGRAM [ARGUMENTS...]")
    if not program and importlib.util.find_spec("pyatspi") is None:
        skip("python3-pyatspi is not installed, so no screen reader's view can be checked")
    for tool in ("Xvfb", "xdpyinfo", "dbus-daemon", "dbus-send"):
        if not shutil.which(tool):
            skip(tool + " is not installed")
    if not os.access(LAUNCHER, os.X_OK):
        skip("no AT-SPI bus launcher (" + LAUNCHER + ", package at-spi2-core)")

    def out_of_time(*_):
        raise Failure("took longer than %d s" % BOUND_S)

    signal.signal(signal.SIGALRM, out_of_time)
    signal.alarm(BOUND_S)
    session = Session()
    try:
        session.open()
        if program:
            status = session.start(program, env=qt_environment()).wait()
            print("%s exited with %d" % (os.path.basename(program[0]), status), flush=True)
            return status
        try:
            import pyatspi  # noqa: F401
        except Exception as e:  # the typelib may be missing, or no bus reachable
            skip("pyatspi cannot be used here: %s" % e)
        run(sys.argv[1], session)
    except Failure as f:
        print("FAIL: " + str(f), flush=True)
        return 1
    finally:
        signal.alarm(0)
        session.close()
    print("PASS", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
