#!/usr/bin/env python3
"""End-to-end runs of the real QX2205R-cli.exe under Wine against the instrument simulator.

Each case starts the simulator with its faults, runs the console program with its arguments (and standard input)
through the IrDA loopback emulation, or (cases whose simulator options start with --serial) through the program's
own IrDA stack on a COM port of the Wine prefix that leads to the simulator's pty, and checks the exit code, what the program printed on standard output and
standard error, and what the instrument received (from the simulator's record): `status` never writes, a
declined confirmation sends nothing, and the instrument's word is either unchanged or the read word with only
bit 8 changed.

Usage: cli_scenarios.py --sim SIM --program QX2205R-cli.exe --emulator WINE-RUN CASE
       cli_scenarios.py --list
"""

import argparse
import json
import os
import re
import subprocess
import tempfile

from instrument_record import (ComPort, check_record, fail, frames, start_serial_simulator, start_simulator,
                               stop_simulator, write_of)

SEARCH = ["Searching devices", "Devices are found"]
SUCCESS = "Success: Data are writen"
FAILURE = "Error: Error Data are't writen"
NOT_READ = "Error: The configuration word was not read"


# name: (simulator options, program arguments, standard input, exit code, lines expected on standard output in
#        this order (other lines may come between), text expected on standard error, checks on the record)
# "{ru}" in the arguments stands for a settings file with Language=1, "{com}" for the COM port of the serial
# simulator's pty.
CASES = {
    "status_on": (["--word", "0x0104"], ["status"], None, 0,
                  SEARCH + ["Device: QX7710Z", "Configuration word: 0x0104", "Search mode: on"], None,
                  dict(final_word=0x0104, writes=[], reads=1)),
    "status_off": (["--word", "0x0004"], ["status"], None, 0,
                   SEARCH + ["Device: QX7710Z", "Configuration word: 0x0004", "Search mode: off"], None,
                   dict(final_word=0x0004, writes=[], reads=1)),
    "enable_yes": (["--word", "0x0004"], ["enable", "--yes"], None, 0,
                   SEARCH + ["Configuration word: 0x0004", "Word sent: 0x0104", "Search mode: on", SUCCESS], None,
                   dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "disable_yes": (["--word", "0x0105"], ["--yes", "disable"], None, 0,
                    SEARCH + ["Configuration word: 0x0105", "Word sent: 0x0005", "Search mode: off", SUCCESS],
                    None, dict(final_word=0x0005, writes=[write_of(0x0005)])),
    "confirmed_on_stdin": (["--word", "0x0004"], ["enable"], "OK\n", 0, SEARCH + [SUCCESS],
                           "Set the instrument in PC communication mode and click \u201dOK\u201d.",
                           dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "declined_on_stdin": (["--word", "0x0004"], ["enable"], "no\n", 3,
                          ["Cancelled at the confirmation: nothing was sent to the instrument"], "Cancel",
                          dict(final_word=0x0004, connections=0, discoveries=0)),
    "no_devices": (["--no-devices"], ["enable", "--yes"], None, 1,
                   ["Searching devices", "Devices not found", "Reason: no IrDA device answered the search",
                    FAILURE], None, dict(final_word=0x0004, connections=0)),
    "silent_instrument": (["--read-fault", "silent"], ["status"], None, 1,
                          SEARCH + ["Device: QX7710Z",
                                    "Reason: the configuration word could not be read; nothing was written",
                                    NOT_READ], None, dict(final_word=0x0004, writes=[], reads=3)),
    "write_refused": (["--word", "0x0004", "--write-fault", "status-c0"], ["enable", "--yes"], None, 1,
                      SEARCH + ["Word sent: 0x0104", "Search mode: off",
                                "Reason: the instrument refused the new word and keeps the word read", FAILURE],
                      None, dict(final_word=0x0004, writes=[write_of(0x0104)])),
    "json_enable": (["--word", "0x0004"], ["enable", "--yes", "--json"], None, 0, "json",
                    None, dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "json_status_no_devices": (["--no-devices"], ["status", "--json"], None, 1, "json", None,
                               dict(connections=0)),
    "trace_status": (["--word", "0x0004"], ["status", "--trace"], None, 0, SEARCH, "trace",
                     dict(writes=[], reads=1)),
    "usage_unknown_command": ([], ["frobnicate"], None, 2, [], "unknown command: frobnicate",
                              dict(connections=0, discoveries=0)),
    "usage_settings_without_value": ([], ["status", "--settings"], None, 2, [], "--settings needs a value",
                                     dict(connections=0, discoveries=0)),
    # Read replies cut short or mis-sized: the word shown is the word the link read, or none.
    "read_short_every_time": (["--word", "0x0104", "--read-fault", "short"], ["disable", "--yes", "--json"], None,
                              1, "json", None, dict(final_word=0x0104, writes=[], reads=3)),
    "read_short_once": (["--word", "0x0004", "--read-fault", "short:1"], ["enable", "--yes"], None, 0,
                        SEARCH + ["Configuration word: 0x0004", "Word sent: 0x0104", "Search mode: on", SUCCESS],
                        None, dict(final_word=0x0104, writes=[write_of(0x0104)], reads=2)),
    "read_length_once": (["--word", "0x0004", "--read-fault", "length:1"], ["enable", "--yes", "--json"], None, 0,
                         "json", None, dict(final_word=0x0104, writes=[write_of(0x0104)], reads=2)),
    # How a write ended, told apart: acknowledged (json_enable), refused, sent and unanswered.
    "json_write_refused": (["--word", "0x0004", "--write-fault", "status-c0"], ["enable", "--yes", "--json"], None,
                           1, "json", None, dict(final_word=0x0004, writes=[write_of(0x0104)])),
    "json_write_unanswered": (["--word", "0x0004", "--write-fault", "silent"], ["enable", "--yes", "--json"], None,
                              1, "json", None, dict(final_word=0x0104, writes=[write_of(0x0104)] * 3)),
    "russian_through_pipe": (["--word", "0x0104"], ["status", "--settings", "{ru}"], None, 0,
                             ["Поиск устройств", "Устройство найдено", "Устройство: QX7710Z",
                              "Слово конфигурации: 0x0104", "Режим поиска: включён"],
                             "Включена эмуляция IrDA", dict(writes=[])),
    # The program's own IrDA stack over a COM port: the same runs, and the link's faults. Whatever happens on the
    # link, the word changes only with the instrument's acknowledgement and the console says what it holds.
    "serial_status": (["--serial", "--word", "0x0104"], ["status", "--port", "{com}"], None, 0,
                      SEARCH + ["Device: QX7710Z", "Configuration word: 0x0104", "Search mode: on"], None,
                      dict(final_word=0x0104, writes=[], reads=1)),
    "serial_enable": (["--serial", "--word", "0x0004"], ["enable", "--yes", "--port", "{com}"], None, 0,
                      SEARCH + ["Configuration word: 0x0004", "Word sent: 0x0104", "Search mode: on", SUCCESS],
                      None, dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_disable": (["--serial", "--word", "0x0105"], ["disable", "--yes", "--port", "{com}"], None, 0,
                       SEARCH + ["Configuration word: 0x0105", "Word sent: 0x0005", "Search mode: off", SUCCESS],
                       None, dict(final_word=0x0005, writes=[write_of(0x0005)])),
    "serial_faults_recovered": (["--serial", "--word", "0x0004", "--link-fault", "bad-fcs", "--link-fault", "rnr",
                                 "--link-fault", "drop-reply:2", "--link-fault", "noise"],
                                ["enable", "--yes", "--port", "{com}"], None, 0, SEARCH + [SUCCESS], None,
                                dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_echoing_adapter": (["--serial", "--word", "0x0004", "--link-fault", "echo"],
                               ["enable", "--yes", "--port", "{com}"], None, 0, SEARCH + [SUCCESS], None,
                               dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_silent_after_connect": (["--serial", "--word", "0x0004", "--link-fault", "silent-after-connect"],
                                    ["enable", "--yes", "--port", "{com}"], None, 1, SEARCH + [FAILURE], None,
                                    dict(final_word=0x0004, writes=[])),
    "serial_no_ias_class": (["--serial", "--word", "0x0004", "--link-fault", "no-ias-class"],
                            ["enable", "--yes", "--port", "{com}"], None, 1, SEARCH + [FAILURE], None,
                            dict(final_word=0x0004, writes=[], connections=0)),
    "serial_dm_to_connect": (["--serial", "--word", "0x0004", "--link-fault", "dm-snrm"],
                             ["enable", "--yes", "--port", "{com}"], None, 1, SEARCH + [FAILURE], None,
                             dict(final_word=0x0004, writes=[], connections=0)),
    "serial_write_refused": (["--serial", "--word", "0x0004", "--write-fault", "status-c0"],
                             ["enable", "--yes", "--port", "{com}"], None, 1,
                             SEARCH + ["Word sent: 0x0104", "Search mode: off",
                                       "Reason: the instrument refused the new word and keeps the word read",
                                       FAILURE], None, dict(final_word=0x0004, writes=[write_of(0x0104)])),
}

JSON_EXPECTED = {
    "read_short_every_time": {"command": "disable", "device": "QX7710Z", "word": None, "search_mode": None,
                              "word_read": None, "word_sent": None, "written": False, "result": "read_failed",
                              "exit_code": 1},
    "read_length_once": {"word": "0x0104", "search_mode": True, "word_read": "0x0004", "word_sent": "0x0104",
                         "written": True, "result": "done", "exit_code": 0},
    "json_write_refused": {"word": "0x0004", "search_mode": False, "word_read": "0x0004", "word_sent": "0x0104",
                           "written": False, "result": "write_refused", "exit_code": 1},
    "json_write_unanswered": {"word": None, "search_mode": None, "word_read": "0x0004", "word_sent": "0x0104",
                              "written": False, "result": "write_unconfirmed", "code": 10060, "exit_code": 1},
    "json_enable": {"command": "enable", "device": "QX7710Z", "word": "0x0104", "search_mode": True,
                    "word_read": "0x0004", "word_sent": "0x0104", "written": True, "result": "done", "exit_code": 0,
                    "reason": None, "statuses": SEARCH, "result_text": SUCCESS},
    "json_status_no_devices": {"command": "status", "device": None, "word": None, "search_mode": None,
                               "written": False, "result": "no_device", "exit_code": 1,
                               "reason": "no IrDA device answered the search",
                               "statuses": ["Searching devices", "Devices not found"], "result_text": NOT_READ},
}


def wine_path(path):
    return "Z:" + path.replace("/", "\\")


def check_trace(stderr, record):
    # Every frame the instrument received was traced as sent, and every frame it sent as received, in order.
    sent = re.findall(r"^\s*\d+ ms  frame sent: ([0-9A-F ]+)$", stderr, re.M)
    received = re.findall(r"^\s*\d+ ms  frame received: ([0-9A-F ]+)$", stderr, re.M)
    if not sent or sent != frames(record, "received"):
        fail("traced frames sent %s, the instrument received %s" % (sent, frames(record, "received")))
    if received != frames(record, "sent"):
        fail("traced frames received %s, the instrument sent %s" % (received, frames(record, "sent")))
    for call in ("WSAStartup(0x0101) -> 0", "socket(26, 1, 0) -> ", "getsockopt(", "connect(", "Sleep(1500)",
                 "closesocket(", "WSACleanup() -> 0"):
        if not re.search(r"^\s*\d+ ms  " + re.escape(call), stderr, re.M):
            fail("no trace line for %r" % call)


def check(name, args):
    options, arguments, stdin, code, out_lines, err_text, expect = CASES[name]
    with tempfile.TemporaryDirectory(prefix="qx-cli-") as folder:
        russian = os.path.join(folder, "ru.ini")
        with open(russian, "wb") as f:
            f.write(b"[Parameters]\r\nLanguage=1\r\n")
        record_path = os.path.join(folder, "record.json")
        serial = options[:1] == ["--serial"]
        environment = dict(os.environ)
        com_port = None
        if serial:
            simulator, pty = start_serial_simulator(args.sim, options[1:], record_path)
            environment.pop("QX2205R_IRDA_LOOPBACK", None)
        else:
            simulator, port = start_simulator(args.sim, options, record_path)
            environment["QX2205R_IRDA_LOOPBACK"] = str(port)
        try:
            if serial:
                com_port = ComPort(pty, args.emulator)
            command = [args.emulator, args.program] + [
                a.replace("{ru}", wine_path(russian)).replace("{com}", com_port.name if com_port else "")
                for a in arguments]
            run = subprocess.run(command, input=(stdin or "").encode(), capture_output=True, env=environment,
                                 timeout=150)
        finally:
            stop_simulator(simulator)
            if com_port:
                com_port.close()
        with open(record_path) as f:
            record = json.load(f)
        with open(russian, "rb") as f:
            if f.read() != b"[Parameters]\r\nLanguage=1\r\n":
                fail("the settings file was changed")

    stdout = run.stdout.decode("utf-8")
    stderr = run.stderr.decode("utf-8")
    print("%s: exit %d\n--- stdout\n%s--- stderr\n%s---" % (name, run.returncode, stdout, stderr))
    if run.returncode != code:
        fail("exit code %d, expected %d" % (run.returncode, code))
    if "{ru}" in arguments and "?" in stdout + stderr:
        fail("question marks in the Russian output")
    if out_lines == "json":
        got = json.loads(stdout)
        for key, value in JSON_EXPECTED[name].items():
            if got.get(key) != value:
                fail("JSON %s is %r, expected %r" % (key, got.get(key), value))
    else:
        lines = stdout.splitlines()
        at = 0
        for line in out_lines:
            while at < len(lines) and lines[at] != line:
                at += 1
            if at == len(lines):
                fail("standard output lacks %r (in order)" % line)
        if out_lines and out_lines[-1] in (SUCCESS, FAILURE, NOT_READ) and lines[-1] != out_lines[-1]:
            fail("the result text is not last")
    if err_text == "trace":
        check_trace(stderr, record)
    elif err_text is not None and err_text not in stderr:
        fail("standard error lacks %r" % err_text)
    if serial and "QX2205R_IRDA_LOOPBACK" in stderr:
        fail("the loopback emulation is on in a run over the serial stack")
    if not serial and code != 2 and "127.0.0.1:%d" % port not in stderr:
        fail("standard error does not say the loopback emulation is on")

    check_record(record, expect)
    if os.path.exists(os.path.join(os.path.dirname(args.program), "QX2205R.ini")):
        fail("a settings file was created beside the program")
    print("PASS: " + name)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim")
    parser.add_argument("--program")
    parser.add_argument("--emulator")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("case", nargs="?")
    args = parser.parse_args()
    if args.list:
        print("\n".join(CASES))
        return
    if args.case not in CASES:
        fail("unknown case %r" % args.case)
    check(args.case, args)


if __name__ == "__main__":
    main()
