#!/usr/bin/env python3
"""A whole IrDA session, decoded by a decoder nobody here wrote.

Starts the instrument simulator in serial IrDA mode (with its own capture and a log of every byte on the line),
runs one switch-on session of the program's own IrDA stack against it through the session driver (which writes
the stack's capture), and then lets tshark read both captures: every frame must decode without a malformed
warning, and the fields that matter must be there: the XID nickname, the SNRM's 9600 baud, the IAS class and
attribute and the LSAP it answers, the IrLMP connect to that LSAP, DISC and its UA.

tshark reads the frames without their FCS (the capture format has none), and its raw-SIR dissector checks an
FCS only on frames that hold an escape. So the FCS of every frame on the line is checked here instead, from the
line log, with a CRC that first proves itself on the IrDA check values; the frames it finds must be the very
frames of the simulator's capture.

With --rd, the simulator answers the first frame after the connection with RD (request disconnect): the run
fails, the captures must still decode, and the frame that follows the RD must be the program's DISC, answered
with UA; then a second run, started at once, must succeed.

Usage: tshark_session.py --sim SIM --driver DRIVER [--tshark TSHARK] [--keep DIR] [--rd]
       tshark_session.py --check-pcap FILE [--tshark TSHARK]   (the tshark checks alone, on any capture)
"""

import argparse
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

NICKNAME = "QX7710Z"
ATTRIBUTE = "IrDA:TinyTP:LsapSel"
PACKET_RECEIVED, PACKET_SENT = 0, 4
BOF, EOF, CE = 0xC0, 0xC1, 0x7D


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def crc(data, register=0xFFFF):
    """The CRC register over data, reflected polynomial 0x8408, not complemented."""
    for byte in data:
        register ^= byte
        for _ in range(8):
            register = (register >> 1) ^ 0x8408 if register & 1 else register >> 1
    return register


def fcs(data):
    return crc(data) ^ 0xFFFF


def prove_crc():
    if fcs(b"123456789") != 0x906E:
        fail("the CRC misses the check value 0x906E over '123456789'")
    good = b"123456789" + struct.pack("<H", 0x906E)
    if crc(good) != 0xF0B8:
        fail("the CRC misses the residue 0xF0B8 over a frame and its FCS")


def deframe(stream):
    """(good frames without FCS, frames with a bad FCS) in a byte stream of one direction."""
    good, bad = [], []
    frame, inside, escaped = None, False, False
    for byte in stream:
        if byte == BOF:
            frame, inside, escaped = bytearray(), True, False
        elif not inside:
            continue
        elif byte == EOF:
            inside = False
            if escaped:
                continue  # an abort
            if len(frame) >= 4 and crc(frame) == 0xF0B8:
                good.append(bytes(frame[:-2]))
            else:
                bad.append(bytes(frame))
        elif byte == CE:
            escaped = True
        else:
            frame.append(byte ^ 0x20 if escaped else byte)
            escaped = False
    return good, bad


def read_wire_log(path):
    streams = {"<": bytearray(), ">": bytearray()}
    with open(path) as log:
        for line in log:
            direction, _, hex_bytes = line.strip().partition(" ")
            streams[direction] += bytes.fromhex(hex_bytes)
    return streams


def read_pcap(path):
    """[(packet type, IrLAP frame)] of a pcap of link type 144."""
    with open(path, "rb") as f:
        data = f.read()
    magic, _, _, _, _, _, linktype = struct.unpack_from("<IHHiIII", data, 0)
    if magic != 0xA1B2C3D4 or linktype != 144:
        fail("%s is not a little-endian pcap of link type 144" % path)
    records, at = [], 24
    while at < len(data):
        _, _, captured, _ = struct.unpack_from("<IIII", data, at)
        body = data[at + 16:at + 16 + captured]
        packet_type, arphrd, _, _, protocol = struct.unpack_from(">HHH8sH", body, 0)
        if arphrd != 783 or protocol != 0x0017:
            fail("%s: a record's pseudo header is not IrDA's" % path)
        records.append((packet_type, body[16:]))
        at += 16 + captured
    return records


FIELDS = ["frame.number", "_ws.col.Info", "irlmp.xid.name", "irlap.pi", "irlap.pv", "iap.classname",
          "iap.attrname", "iap.return", "iap.int", "irlmp.opcode", "irlmp.dst.lsap"]


def check_with_tshark(tshark, pcap):
    """Every frame decodes, and the session's landmarks are there; returns the number of frames."""
    verbose = subprocess.run([tshark, "-r", pcap, "-V"], capture_output=True, text=True)
    if verbose.returncode != 0:
        fail("tshark could not read %s: %s" % (pcap, verbose.stderr.strip()))
    for line in verbose.stdout.splitlines():
        if "Malformed" in line or "Exception occurred" in line:
            fail("%s: tshark says: %s" % (pcap, line.strip()))
    command = [tshark, "-r", pcap, "-T", "fields", "-E", "separator=\t", "-E", "occurrence=a",
               "-E", "aggregator=,"]
    for field in FIELDS:
        command += ["-e", field]
    lines = subprocess.run(command, capture_output=True, text=True, check=True).stdout.splitlines()
    rows = [dict(zip(FIELDS, line.split("\t"))) for line in lines]
    if not rows:
        fail("%s holds no frame" % pcap)

    def first(predicate, what, after=0):
        for index, row in enumerate(rows[after:], after):
            if predicate(row):
                return index
        fail("%s: no %s" % (pcap, what))

    first(lambda r: "func=XID" in r["_ws.col.Info"] and r["irlmp.xid.name"] == NICKNAME,
          "XID response with the nickname " + NICKNAME)
    snrm = first(lambda r: "func=SNRM" in r["_ws.col.Info"], "SNRM")
    parameters = dict(zip(rows[snrm]["irlap.pi"].split(","), rows[snrm]["irlap.pv"].split(",")))
    if parameters.get("0x01") != "02":
        fail("%s: the SNRM offers baud rates %s, not 9600 alone" % (pcap, parameters.get("0x01")))
    ua = first(lambda r: "func=UA" in r["_ws.col.Info"], "UA to the SNRM", snrm + 1)
    ua_parameters = dict(zip(rows[ua]["irlap.pi"].split(","), rows[ua]["irlap.pv"].split(",")))
    if ua_parameters.get("0x01") != "02":
        fail("%s: the UA does not settle on 9600 baud" % pcap)
    query = first(lambda r: r["iap.classname"] == NICKNAME and r["iap.attrname"] == ATTRIBUTE,
                  "IAS GetValueByClass(%s, %s)" % (NICKNAME, ATTRIBUTE), ua)
    answer = first(lambda r: r["iap.return"] == "0x00" and r["iap.int"], "IAS answer with an LSAP", query)
    lsap = rows[answer]["iap.int"]
    connect = first(lambda r: r["irlmp.opcode"] == "0x01" and r["irlmp.dst.lsap"] == lsap,
                    "IrLMP connect to LSAP " + lsap, answer)
    first(lambda r: r["irlmp.opcode"] == "0x81", "IrLMP connect confirm", connect)
    disc = first(lambda r: "func=DISC" in r["_ws.col.Info"], "DISC", connect)
    first(lambda r: "func=UA" in r["_ws.col.Info"], "UA to the DISC", disc)
    return len(rows)


def decode(tshark, pcap):
    """The Info column of every frame, after checking that none is malformed."""
    verbose = subprocess.run([tshark, "-r", pcap, "-V"], capture_output=True, text=True)
    if verbose.returncode != 0:
        fail("tshark could not read %s: %s" % (pcap, verbose.stderr.strip()))
    for line in verbose.stdout.splitlines():
        if "Malformed" in line or "Exception occurred" in line:
            fail("%s: tshark says: %s" % (pcap, line.strip()))
    return subprocess.run([tshark, "-r", pcap, "-T", "fields", "-e", "_ws.col.Info"], capture_output=True,
                          text=True, check=True).stdout.splitlines()


def check_disc_after_rd(tshark, pcap):
    """The frame after the instrument's RD is DISC, and the one after that its UA; returns the frame count."""
    infos = decode(tshark, pcap)
    rd = next((i for i, info in enumerate(infos) if "func=RD" in info), None)
    if rd is None:
        fail("%s: no RD" % pcap)
    if rd + 2 >= len(infos) or "func=DISC" not in infos[rd + 1] or "func=UA" not in infos[rd + 2]:
        fail("%s: after the RD came %s, not DISC and its UA" % (pcap, infos[rd + 1:rd + 3]))
    return len(infos)


def check_line(wire_log, sim_capture):
    """Every frame on the line has a good FCS, and they are the frames of the simulator's capture."""
    prove_crc()
    streams = read_wire_log(wire_log)
    captured = read_pcap(sim_capture)
    for direction, packet_type, who in (("<", PACKET_RECEIVED, "the program"), (">", PACKET_SENT, "the instrument")):
        good, bad = deframe(streams[direction])
        if bad:
            fail("%d frame(s) from %s with a bad FCS, first: %s" % (len(bad), who, bad[0].hex(" ")))
        expected = [frame for kind, frame in captured if kind == packet_type]
        if good != expected:
            fail("the frames from %s on the line (%d) are not those of the capture (%d)"
                 % (who, len(good), len(expected)))
    return sum(len(deframe(s)[0]) for s in streams.values())


def run_session(args, folder):
    sim_capture = os.path.join(folder, "instrument.pcap")
    stack_capture = os.path.join(folder, "program.pcap")
    wire_log = os.path.join(folder, "line.log")
    faults = ["--link-fault", "rd-after-connect"] if args.rd else []
    sim = subprocess.Popen([args.sim, "--serial", "--timeout-s", "60", "--capture", sim_capture,
                            "--wire-log", wire_log] + faults, stdout=subprocess.PIPE, text=True)
    try:
        pty = sim.stdout.readline().strip()
        if not pty.startswith("/dev/"):
            fail("the simulator announced no pty")
        driver = subprocess.run([args.driver, pty, "--capture", stack_capture], capture_output=True, text=True,
                                timeout=60)
        print(driver.stdout, end="")
        if args.rd:
            if driver.returncode != 1:
                fail("the run the RD ended did not fail cleanly (exit %d)" % driver.returncode)
            again = subprocess.run([args.driver, pty], capture_output=True, text=True, timeout=60)
            if again.returncode != 0:
                fail("the run started at once after the RD did not succeed (exit %d): %s"
                     % (again.returncode, again.stdout.strip()))
        elif driver.returncode != 0:
            fail("the session did not succeed (exit %d): %s" % (driver.returncode, driver.stderr.strip()))
    finally:
        sim.send_signal(signal.SIGTERM)
        sim.wait(timeout=10)
    frames = check_line(wire_log, sim_capture)
    print("line: %d frames, every FCS good, the same as the instrument's capture" % frames)
    if args.rd:
        print("program.pcap: %d frames decoded by tshark, DISC and UA after the RD"
              % check_disc_after_rd(args.tshark, stack_capture))
        print("instrument.pcap: %d frames decoded by tshark" % len(decode(args.tshark, sim_capture)))
        return
    for capture in (stack_capture, sim_capture):
        print("%s: %d frames decoded by tshark, landmarks found" % (os.path.basename(capture),
                                                                   check_with_tshark(args.tshark, capture)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim")
    parser.add_argument("--driver")
    parser.add_argument("--tshark", default=shutil.which("tshark"))
    parser.add_argument("--check-pcap")
    parser.add_argument("--keep", help="write the captures and the line log here and keep them")
    parser.add_argument("--rd", action="store_true", help="the instrument answers RD after the connect")
    args = parser.parse_args()
    if not args.tshark:
        fail("tshark is not installed (scripts/setup installs it)")
    if args.check_pcap:
        print("%d frames decoded by tshark, landmarks found" % check_with_tshark(args.tshark, args.check_pcap))
        return
    if not args.sim or not args.driver:
        parser.error("--sim and --driver are needed")
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        run_session(args, args.keep)
    else:
        with tempfile.TemporaryDirectory(prefix="qx-tshark-") as folder:
            run_session(args, folder)
    print("PASS")


if __name__ == "__main__":
    main()
