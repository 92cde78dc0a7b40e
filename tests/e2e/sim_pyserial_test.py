"""The line simulator against pyserial's RFC 2217 client.

Starts build/davrilon-sim, opens rfc2217://127.0.0.1:PORT, sets 115200 8N1,
talks to the modem, waits for the ring and the carrier, and runs a whole
exchange with the centre: download, request, progress codes, upload, hang-up.
"""

import os
import pathlib
import subprocess
import sys
import tempfile
import time

try:
    import serial
except ImportError:
    print("SKIP: python3-serial is not installed")
    sys.exit(0)

ENQ, ACK = b"\x05", b"\x06"
WAIT_LIMIT = 10.0  # seconds for anything the simulator should do at once or on a timer


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def wait_for(predicate, what, limit=WAIT_LIMIT):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if predicate():
            return time.monotonic()
        time.sleep(0.02)
    fail("timed out waiting for " + what)


def read_exactly(port, count):
    data = b""
    deadline = time.monotonic() + WAIT_LIMIT
    while len(data) < count and time.monotonic() < deadline:
        data += port.read(count - len(data))
    check(len(data) == count, "wanted %d bytes, got %d" % (count, len(data)))
    return data


def read_until(port, text):
    data = b""
    deadline = time.monotonic() + WAIT_LIMIT
    while text not in data and time.monotonic() < deadline:
        data += port.read(1)
    check(text in data, "no %r in %r" % (text, data))
    return data


def check_block(block, header, number):
    data = block[3:-1]
    check(block[0] == header, "header byte %d" % block[0])
    check(block[1] == number and block[2] == 255 - number, "block number %r" % block[:3])
    check(block[-1] == sum(data) % 256, "block sum")
    return data


def long_block(number, data):
    data = data.ljust(1024, b"\0")
    return bytes([2, number, 255 - number]) + data + bytes([sum(data) % 256])


def main():
    build_dir = pathlib.Path(os.environ.get("DAVRILON_BUILD_DIR", "build"))
    sim = build_dir / "davrilon-sim"
    check(sim.exists(), "no simulator at %s" % sim)
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="davrilon-sim-"))
    download = bytes((i * 7 + 1) % 256 for i in range(700))  # every byte value, 0xFF included
    (scratch / "CENNIK.ZIP").write_bytes(download)
    upload = bytes((i * 13) % 256 for i in range(900))
    store = scratch / "store"
    store.mkdir()
    port_file, report = scratch / "port", scratch / "report"
    sim_log = open(scratch / "sim.log", "w")
    process = subprocess.Popen(
        [str(sim), "--port-file", str(port_file), "--report", str(report), "--store-dir", str(store),
         "--calls", "1", "--ring-after", "0.5", "--carrier-delay", "1",
         "--send", str(scratch / "CENNIK.ZIP"), "--blocks-per-packet", "2",
         "--request", "SPRZ0101.ZIP", "--params", "7", "--exit-after-calls"],
        stderr=sim_log)
    try:
        wait_for(port_file.exists, "the port file")
        url = "rfc2217://127.0.0.1:%s" % port_file.read_text().strip()
        port = serial.serial_for_url(url, baudrate=115200, bytesize=8, parity="N", stopbits=1,
                                     timeout=0.5)
        check((port.baudrate, port.bytesize, port.parity, port.stopbits) == (115200, 8, "N", 1),
              "line settings")
        check(port.cts and port.dsr and not port.ri and not port.cd, "lines of an idle modem")

        # The station's modem set-up: echo until ATE0, then only the result codes.
        port.write(b"ATZ0\r")
        check(read_until(port, b"OK\r\n").startswith(b"ATZ0\r"), "echo before ATE0")
        port.write(b"ATE0\r")
        read_until(port, b"OK\r\n")
        port.write(b"ATM0\r")
        check(read_until(port, b"OK\r\n") == b"\r\nOK\r\n", "no echo after ATE0")
        port.write(b"ATS0=0\r")
        read_until(port, b"OK\r\n")

        rang = wait_for(lambda: port.ri, "the ring indicator")
        read_until(port, b"RING")
        wait_for(lambda: not port.ri, "the ring indicator to go off", limit=3)
        check(time.monotonic() - rang > 1.5, "the ring lasts about 2 s")
        port.write(b"ATHA\r")
        answered = time.monotonic()
        wait_for(lambda: port.cd, "the carrier")
        check(time.monotonic() - answered > 0.8, "the carrier comes after its delay")
        read_until(port, b"CONNECT")
        time.sleep(0.2)
        port.reset_input_buffer()  # PURGE-DATA, as the station purges before its ENQ

        # Download: the header block, then packets of two short blocks.
        port.write(ENQ)
        header = check_block(read_exactly(port, 132), 1, 1)
        check(header[6:16].strip() == b"700" and header[16:26].strip() == b"700", "sizes")
        check(header[30:41] == b"CENNIK.ZIP#", "name in %r" % header[30:41])
        received, number = b"", 2
        while len(received) < len(download):
            port.write(ACK)
            packet = read_exactly(port, 264)
            for b in range(2):
                received += check_block(packet[b * 132:(b + 1) * 132], 1, number)
            number += 1
        check(received[:700] == download, "downloaded data")
        port.write(ACK + ENQ)
        request = check_block(read_exactly(port, 132), 1, 1)
        check(request[6:26] == b"SPRZ0101.ZIP        ", "request name %r" % request[6:26])
        check(request[56:58] == b"7#", "request parameters")

        # Progress codes, the upload header block and one upload packet.
        port.write(ACK + bytes([11, 12, 14]))
        text = b"START1" + b"900".ljust(10) + b"900".ljust(10) + b"SPRZ0101.ZIP#"
        port.write(long_block(2, text))
        check(read_exactly(port, 1) == ACK, "upload header acknowledged")
        port.write(long_block(3, upload))
        check(read_exactly(port, 1) == ACK, "upload packet acknowledged")

        # The hang-up: "+++" between guard times, then ATH0.
        time.sleep(1.2)
        port.write(b"+++")
        time.sleep(1.2)
        read_until(port, b"OK\r\n")
        port.write(b"ATH0\r")
        wait_for(lambda: not port.cd, "the carrier to go")
        port.write(b"ATS0=0\r")
        check(process.wait(timeout=WAIT_LIMIT) == 0, "the simulator ends with 0")
        port.close()

        check((store / "SPRZ0101.ZIP").read_bytes() == upload, "stored upload")
        lines = report.read_text().splitlines()
        for expected in ["call 1: download acked=4 naked=0", "call 1: request acked=1 naked=0",
                         "call 1: codes 11 12 14", "call 1: upload stored SPRZ0101.ZIP 900 bytes",
                         "call 1: end: the station hung up"]:
            check(expected in lines, "report line %r in %r" % (expected, lines))
    finally:
        if process.poll() is None:
            process.terminate()
            process.wait(timeout=5)
        sim_log.close()
    print("PASS")


if __name__ == "__main__":
    main()
