"""What the end-to-end tables share: starting and stopping the instrument simulator (over TCP for the loopback
emulation, or in serial IrDA on a pty mapped to a COM port of the Wine prefix), reading its record, and the checks
every run must pass against it, whichever program (the window or the console companion) drove the run.
"""

import contextlib
import errno
import os
import select
import signal
import socket
import subprocess
import sys
import threading
import tty

READ = "83 00 05 B1 D3"


def write_of(word):
    return "82 00 0A B1 D3 72 00 05 %02X %02X" % (word & 0xFF, word >> 8)


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def start_simulator(sim, options, record):
    """The simulator on a free port with `options`, writing its record to `record`; returns it and its port."""
    process = subprocess.Popen([sim, "--port", "0", "--record", record, "--timeout-s", "120"] + options,
                               stdout=subprocess.PIPE, text=True)
    port = process.stdout.readline().strip()
    if not port.isdigit():
        process.kill()
        fail("the simulator did not print its port")
    return process, int(port)


# In a table's simulator options: this run's line passes bytes at 9600 baud, as a real line does. Without it the
# line is unpaced, which keeps the tables quick.
PACED_LINE = "--paced-line"


def start_serial_simulator(sim, options, record):
    """The simulator in serial IrDA mode on a pty of its own with `options`; returns it and the pty's path."""
    pacing = [] if PACED_LINE in options else ["--unpaced"]
    options = [option for option in options if option != PACED_LINE]
    process = subprocess.Popen([sim, "--serial", "--record", record, "--timeout-s", "120"] + pacing + options,
                               stdout=subprocess.PIPE, text=True)
    path = process.stdout.readline().strip()
    if not path.startswith("/dev/"):
        process.kill()
        fail("the simulator did not print its pty")
    return process, path


class ComPort:
    """A COM port of the Wine prefix that `emulator` (cmake/wine-run-ARCH) runs programs in, leading to `pty`: a
    dosdevices link, removed again by close(). Its number comes from the pty's, so runs side by side in one prefix
    each have their own."""

    def __init__(self, pty, emulator):
        arch = os.path.basename(emulator).rpartition("-")[2]
        prefix = os.environ.get("QX_WINEPREFIX_" + arch) or os.environ.get("WINEPREFIX")
        if not prefix or not os.path.isdir(os.path.join(prefix, "dosdevices")):
            fail("no prepared %s Wine prefix (QX_WINEPREFIX_%s) to map a COM port in" % (arch, arch))
        number = 100 + int(pty.rsplit("/", 1)[1]) % 150
        self.name = "COM%d" % number
        self.link = os.path.join(prefix, "dosdevices", "com%d" % number)
        if os.path.lexists(self.link):
            os.remove(self.link)
        os.symlink(pty, self.link)

    def close(self):
        if os.path.lexists(self.link):
            os.remove(self.link)


@contextlib.contextmanager
def wedged_port(emulator):
    """A COM port of the Wine prefix leading to a pty that nobody reads and that is kept full, as a wedged
    adapter or driver that takes no byte: yields the COM port's name (the pty's own path when `emulator` is empty)."""
    master, slave = os.openpty()
    path = os.ttyname(slave)
    tty.setraw(slave)
    stop = threading.Event()

    def fill():
        fd = os.open(path, os.O_WRONLY | os.O_NOCTTY | os.O_NONBLOCK)
        while not stop.is_set():
            try:
                os.write(fd, b"U" * 4096)
            except BlockingIOError:
                stop.wait(0.02)
        os.close(fd)

    filler = threading.Thread(target=fill)
    filler.start()
    com_port = ComPort(path, emulator) if emulator else None
    try:
        yield com_port.name if com_port else path
    finally:
        if com_port:
            com_port.close()
        stop.set()
        filler.join()
        os.close(slave)
        os.close(master)


def stop_simulator(process):
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        fail("the simulator did not stop")


def hold_simulator(process, port, take_nothing):
    """Stops the simulator where it stands (SIGSTOP): the system still takes connections into its queue, and
    nobody answers them. With `take_nothing` the queue is filled first (connections until one is left waiting),
    so no connection is taken at all. Returns what release_simulator needs."""
    process.send_signal(signal.SIGSTOP)
    fillers = []
    if not take_nothing:
        return fillers
    for _ in range(64):
        filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        filler.setblocking(False)
        fillers.append(filler)
        if filler.connect_ex(("127.0.0.1", port)) not in (0, errno.EINPROGRESS):
            fail("a connection to fill the simulator's queue failed")
        if not select.select([], [filler], [], 0.2)[1]:
            return fillers
    fail("the simulator's queue never filled")


def release_simulator(process, fillers):
    for filler in fillers:
        filler.close()
    process.send_signal(signal.SIGCONT)


def frames(record, key="received", prefix=""):
    """The frames the instrument received (or sent), in hexadecimal, over all connections, in order."""
    return [frame for connection in record["connections"] for frame in connection[key] if frame.startswith(prefix)]


def check_record(record, expect):
    """The rule that matters most: the instrument's word is unchanged or the word read with only bit 8 changed,
    and every write carried that; then what `expect` names: final_word, writes, reads, connections,
    discoveries."""
    initial, final = record["initial_word"], record["final_word"]
    if final != initial and final != (initial ^ 0x0100):
        fail("the instrument's word went from 0x%04X to 0x%04X: more than bit 8 changed" % (initial, final))
    writes = frames(record, prefix="82")
    for write in writes:
        word = int(write[-2:], 16) << 8 | int(write[-5:-3], 16)
        if (word ^ initial) & ~0x0100:
            fail("a write carried 0x%04X, read 0x%04X" % (word, initial))
    if "final_word" in expect and final != expect["final_word"]:
        fail("final word 0x%04X, expected 0x%04X" % (final, expect["final_word"]))
    if "writes" in expect and writes != expect["writes"]:
        fail("write requests %s, expected %s" % (writes, expect["writes"]))
    reads = frames(record, prefix=READ)
    if "reads" in expect and len(reads) != expect["reads"]:
        fail("%d read requests, expected %d" % (len(reads), expect["reads"]))
    if "connections" in expect and len(record["connections"]) != expect["connections"]:
        fail("%d connections, expected %d" % (len(record["connections"]), expect["connections"]))
    if "discoveries" in expect and len(record["discoveries"]) != expect["discoveries"]:
        fail("%d discovery tries, expected %d" % (len(record["discoveries"]), expect["discoveries"]))


@contextlib.contextmanager
def simulated_instrument(sim, emulator, options, record, hold=None):
    """The simulator for one run, stopped again at the end: over TCP for the loopback emulation, or, when
    `options` open with "--serial", in serial IrDA mode on a pty that a COM port of the Wine prefix leads to.
    Yields the loopback emulation's TCP port, or the COM port's name (the pty's own path when `emulator` is empty:
    a native program opens the pty itself). `hold` (TCP only; see hold_simulator): None to leave it answering,
    False to stop it once it listens, True to also fill its queue so it takes nothing."""
    serial = options[:1] == ["--serial"]
    com_port = None
    held = None
    if serial:
        process, pty = start_serial_simulator(sim, options[1:], record)
    else:
        process, port = start_simulator(sim, options, record)
    # For a run that stops the simulator itself midway (its pty going away under the program).
    simulated_instrument.last_process = process
    try:
        if serial and not emulator:
            port = pty
        elif serial:
            com_port = ComPort(pty, emulator)
            port = com_port.name
        elif hold is not None:
            held = hold_simulator(process, port, hold)
        yield port
    finally:
        # The link goes before the pty: once the pty is released, a run beside this one may get its number, and
        # with it this COM name, and must not lose its link to this run's clean-up.
        if com_port:
            com_port.close()
        if held is not None:
            release_simulator(process, held)
        stop_simulator(process)
