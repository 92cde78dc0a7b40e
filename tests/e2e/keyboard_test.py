"""The station on a pseudo-terminal: only Ctrl+K does anything.

The operator's terminal is the station's controlling terminal, so in a
terminal's usual modes Ctrl+C, Ctrl+\\ and Ctrl+Z would stop, kill or suspend
it, and Ctrl+S would freeze it at its next console write. Every one of them
must be read and thrown away; then a koniec.pc stops it within two passes,
with its closing steps and the terminal given back.
"""

import os
import pathlib
import pty
import select
import shutil
import signal
import sys
import tempfile
import time

STATION = os.path.realpath(sys.argv[1])
SRC = pathlib.Path(os.environ.get("DAVRILON_SOURCE_DIR", pathlib.Path(__file__).parents[2]))
LIMIT = 10.0  # seconds for anything the station should do within a pass or two
STOP_LIMIT = 3.0  # two passes of about a second, and the closing steps

KEYS = [
    b"\x13",  # Ctrl+S: would stop the terminal's output
    b"\x03",  # Ctrl+C: SIGINT
    b"\x1c",  # Ctrl+\: SIGQUIT, a core dump without closing steps
    b"\x1a",  # Ctrl+Z: SIGTSTP, suspended
    b"\x16",  # Ctrl+V: literal next
    b"\x0f",  # Ctrl+O: discard output
    b"\x11",  # Ctrl+Q
    b"abc\r",
]

failures = 0
passes = 0


def check(condition, what):
    global failures, passes
    if condition:
        passes += 1
    else:
        failures += 1
        print("FAIL:", what)


def log_text(store):
    try:
        return (store / "davrilon.log").read_bytes().decode("cp1250")
    except FileNotFoundError:
        return ""


def main():
    store = pathlib.Path(tempfile.mkdtemp(prefix="davrilon-e2e-"))
    try:
        run(store)
    finally:
        shutil.rmtree(store, ignore_errors=True)
    print("%d passed, %d failed" % (passes, failures))
    sys.exit(1 if failures else 0)


def run(store):
    for d in ("INFO", "DETAL", "FONTY"):
        (store / d).mkdir()
    (store / "MODEM.CFG").write_bytes(b"1\r\nx\r\n4\r\n0\r\n")  # network only
    shutil.copy(SRC / "demo/companions/zelpo.exe", store)
    shutil.copy(SRC / "demo/companions/FONTY/RUMAX.EXE", store / "FONTY")

    pid, master = pty.fork()  # the child's controlling terminal is the pty
    if pid == 0:
        os.chdir(store)
        os.environ["DAVRILON_ROOT"] = str(store)
        os.environ["TERM"] = "xterm"
        os.execv(STATION, [STATION])

    screen = bytearray()

    def pump(seconds, reading=True):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if not reading:
                time.sleep(0.05)
                continue
            ready, _, _ = select.select([master], [], [], 0.05)
            if ready:
                try:
                    screen.extend(os.read(master, 65536))
                except OSError:
                    return

    def wait_for(predicate, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if predicate():
                return True
            pump(0.1)
        return predicate()

    status = None

    def ended():
        nonlocal status
        if status is None:
            done, st = os.waitpid(pid, os.WNOHANG)
            if done == pid:
                status = st
        return status is not None

    check(wait_for(lambda: (store / "INFO/OBSLUGA.PC").exists(), LIMIT), "station started")
    check(wait_for(lambda: "Parametry OK" in log_text(store), LIMIT), "start-up logged")
    for key in KEYS:
        os.write(master, key)
        pump(0.2)
    # A terminal that stops reading for a while: the station goes on.
    pump(2.5, reading=False)
    if ended():
        check(False, "the keys stopped or killed the station: status %d" % status)
        return

    (store / "koniec.pc").touch()
    stopped = wait_for(ended, STOP_LIMIT)
    check(stopped, "stopped by koniec.pc within two passes")
    if not stopped:  # suspended by Ctrl+Z, or frozen by Ctrl+S
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        return
    pump(0.3)
    os.close(master)
    check(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, "exit value 0, not a signal")
    log = log_text(store)
    check("Zdalne zakończenie" in log, "log: remote stop")
    check("Port został zamknięty" in log, "log: closing steps")
    check("sygnałem" not in log and "klawiszem" not in log, "no key stopped it: " + log)
    check(b"\x1b[?25h" in screen, "the cursor is shown again at the end")


main()
