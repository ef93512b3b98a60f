#!/usr/bin/env python3
"""End-to-end runs of the real QX2205R.exe under Wine against the instrument simulator.

Each scenario starts the simulator with its faults, lets the window driver press a mode button in the real
program (reached through the IrDA loopback emulation, or, for scenarios whose simulator options start with
--serial, through the program's own IrDA stack on a COM port of the Wine prefix that leads to the simulator's pty,
named by the settings' Port key), and then checks three things: what the user saw (the
status texts during the run and the result box), what the instrument received (from the simulator's record), and
the one rule that matters most: the instrument's word is either unchanged or equals the word read with only bit 8
changed.

Usage: sim_scenarios.py --sim SIM --driver DRIVER.exe --program QX2205R.exe --emulator WINE-RUN SCENARIO
       sim_scenarios.py --list
"""

import argparse
import json
import os
import subprocess
import tempfile
import time

from instrument_record import check_record, fail, simulated_instrument, write_of

SEARCHING = "Searching devices"
FOUND = "Devices are found"
SUCCESS = ("Success", "Data are writen")
FAILURE = ("Error", "Error Data are't writen")
NAME_22 = "ABCDEFGHIJKLMNOPQRSTUV"


WRITTEN = "Last run: word 0x%04X written, search mode %s"
UNREAD = "Last run: word not read, nothing written"
NO_ANSWER = "Last run: no answer to the greeting (%d)"

# name: (simulator options, enable, statuses seen in order, result box, checks on the record; panel0: what the
#        left panel says after the box; language and dpi: the window's, when not English at 96 dpi)
SCENARIOS = {
    "enable_0004": (["--word", "0x0004"], True, [SEARCHING, FOUND], SUCCESS,
                    dict(panel0=WRITTEN % (0x0104, "on"), final_word=0x0104, writes=[write_of(0x0104)])),
    "disable_0105": (["--word", "0x0105"], False, [SEARCHING, FOUND], SUCCESS,
                     dict(panel0=WRITTEN % (0x0005, "off"), final_word=0x0005, writes=[write_of(0x0005)])),
    "enable_already_set": (["--word", "0x0104"], True, [SEARCHING, FOUND], SUCCESS,
                           dict(panel0=WRITTEN % (0x0104, "on"), final_word=0x0104, writes=[write_of(0x0104)])),
    "read_rejected_sends_no_write": (["--word", "0x0004", "--read-fault", "status-90"], True, [SEARCHING, FOUND],
                                     FAILURE, dict(panel0=UNREAD, final_word=0x0004, writes=[], reads=1)),
    "read_short_sends_no_write": (["--word", "0x0004", "--read-fault", "short"], True, [SEARCHING, FOUND],
                                  FAILURE, dict(panel0=UNREAD, final_word=0x0004, writes=[])),
    "write_refused_once": (["--word", "0x0004", "--write-fault", "status-c0"], True, [SEARCHING, FOUND], FAILURE,
                           dict(panel0="Last run: write refused, word unchanged", final_word=0x0004, writes=[write_of(0x0104)])),
    "write_unknown_status_thrice": (["--word", "0x0004", "--write-fault", "status-55"], True, [SEARCHING, FOUND],
                                    FAILURE, dict(panel0="Last run: write sent, not confirmed: check with status", final_word=0x0004, writes=[write_of(0x0104)] * 3)),
    # Each read reply misses the program's wait and arrives with the next request: the second read reply comes
    # while the write waits, ahead of its acknowledgement, and must not be taken for it.
    "late_read_replies": (["--word", "0x0004", "--read-fault", "late:2"], True, [SEARCHING, FOUND], SUCCESS,
                          dict(panel0=WRITTEN % (0x0104, "on"), final_word=0x0104, writes=[write_of(0x0104)], reads=2)),
    "no_device": (["--no-devices"], True, [SEARCHING, "Devices not found"], FAILURE,
                  dict(panel0="Last run: no device found", final_word=0x0004, connections=0)),
    "discovery_error": (["--discovery-error", "10060"], True, [SEARCHING, "Searching devices error10060"],
                        FAILURE, dict(panel0="Last run: search error 10060", final_word=0x0004, connections=0, discoveries=49)),
    "silent_instrument": (["--read-fault", "silent"], True, [SEARCHING, FOUND], FAILURE,
                          dict(panel0=UNREAD, final_word=0x0004, writes=[], reads=3)),
    "connection_dropped": (["--read-fault", "drop"], True, [SEARCHING, FOUND], FAILURE,
                           dict(panel0=UNREAD, final_word=0x0004, writes=[])),
    # A failed greeting closes the link without the closing pause: "Devices are found" may be gone before a
    # look at the panel catches it.
    "greeting_wrong": (["--greeting-fault", "byte-11"], True, [SEARCHING, "?" + FOUND], FAILURE,
                       dict(panel0=NO_ANSWER % -3, final_word=0x0004, reads=0)),
    "two_devices_first_used": (["--device", NAME_22 + ":0x01020304", "--device", "SECOND:0x05060708"], True,
                               [SEARCHING, FOUND], SUCCESS,
                               # The name is too long for the bar with the rest: the count stays.
                               dict(panel0="Last run: word 0x0104 written (1 of 2 instruments in range)",
                                    final_word=0x0104, service_name=NAME_22, device_id=0x01020304)),
    # Several devices in range: the left panel names the instrument switched, how many answered and the devices
    # passed over; one connection is the run's, each other device is asked once after it (nothing sent to it).
    "two_instruments_panel_says_so": (["--word", "0x0004", "--device", "QX7710Z", "--device", "QX7710Z-B"], True,
                                      [SEARCHING, FOUND], SUCCESS,
                                      dict(panel0="Last run: word 0x0104 written on QX7710Z (1 of 2 instruments in "
                                                  "range)", final_word=0x0104, writes=[write_of(0x0104)], reads=1,
                                           connections=2)),
    "phone_first_panel_says_passed_over": (["--word", "0x0004", "--other-device", "Phone:0x11111111", "--device",
                                            "QX7710Z"], True, [SEARCHING, FOUND], SUCCESS,
                                           dict(panel0="Last run: word 0x0104 written on QX7710Z, Phone passed over",
                                                final_word=0x0104, writes=[write_of(0x0104)], connections=2)),
    "two_instruments_panel_in_russian": (["--word", "0x0004", "--device", "QX7710Z", "--device", "QX7710Z-B"], True,
                                         ["Поиск устройств", "Устройство найдено"], None,
                                         dict(panel0="Итог: слово 0x0104 записано на QX7710Z (1 из 2 приборов рядом)",
                                              language="1", dpi=144, final_word=0x0104, writes=[write_of(0x0104)])),
    # The write went out and was never acknowledged: the box keeps its failure text, panel 0 says what is known.
    "write_unanswered": (["--word", "0x0004", "--write-fault", "silent"], True, [SEARCHING, FOUND], FAILURE,
                         dict(panel0="Last run: write sent, not confirmed: check with status", final_word=0x0104,
                              writes=[write_of(0x0104)] * 3)),
    # Russian, at 96 and 144 dpi: every text whole in its panel.
    "no_device_russian": (["--no-devices"], True, ["Поиск устройств", "Не найдено устройство"],
                          ("Ощибка", "Ошибка. Данные не записаны"),
                          dict(panel0="Итог: устройство не найдено", language="1", final_word=0x0004,
                               connections=0)),
    "discovery_error_russian_144": (["--discovery-error", "10060"], False,
                                    ["Поиск устройств", "Ошибка  при поиске устройств10060"],
                                    ("Ощибка", "Ошибка. Данные не записаны"),
                                    dict(panel0="Итог: ошибка поиска 10060", language="1", dpi=144,
                                         final_word=0x0004, connections=0)),
    "write_unanswered_144": (["--word", "0x0004", "--write-fault", "silent"], True, [SEARCHING, FOUND], FAILURE,
                             dict(panel0="Last run: write sent, not confirmed: check with status", dpi=144,
                                  final_word=0x0104, writes=[write_of(0x0104)] * 3)),
    # The simulator is stopped once it listens (see HELD): the search must end by its own bound, not after 49
    # waits. The run's length is printed; the test only asks that it ends.
    "simulator_silent": ([], True, [SEARCHING, "Searching devices error10060"], FAILURE,
                         dict(panel0="Last run: search error 10060", final_word=0x0004, writes=[],
                                      connections=0)),
    "simulator_not_accepting": ([], True, [SEARCHING, "Searching devices error10060"], FAILURE,
                                dict(panel0="Last run: search error 10060", final_word=0x0004, writes=[],
                                      connections=0)),
    # The program's own IrDA stack on a COM port: the same runs, and the link's faults. The word changes only with
    # the instrument's acknowledgement, and the box says what the instrument holds.
    "serial_enable": (["--serial", "--word", "0x0004"], True, [SEARCHING, FOUND], SUCCESS,
                      dict(panel0=WRITTEN % (0x0104, "on"), final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_disable": (["--serial", "--word", "0x0105"], False, [SEARCHING, FOUND], SUCCESS,
                       dict(panel0=WRITTEN % (0x0005, "off"), final_word=0x0005, writes=[write_of(0x0005)])),
    "serial_faults_recovered": (["--serial", "--word", "0x0004", "--link-fault", "bad-fcs", "--link-fault", "rnr",
                                 "--link-fault", "echo"], True, [SEARCHING, FOUND], SUCCESS,
                                dict(panel0=WRITTEN % (0x0104, "on"), final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_silent_after_connect": (["--serial", "--word", "0x0004", "--link-fault", "silent-after-connect"], True,
                                    [SEARCHING, "?" + FOUND], FAILURE,
                                    dict(panel0=NO_ANSWER % 10060, final_word=0x0004, writes=[])),
    # The instrument stores the write and the link is lost before the acknowledgement: never "nothing written".
    "serial_frmr_after_write": (["--serial", "--word", "0x0004", "--link-fault", "frmr-after-write"], True,
                                [SEARCHING, FOUND], FAILURE,
                                dict(panel0="Last run: write sent, not confirmed: check with status",
                                     final_word=0x0104, writes=[write_of(0x0104)])),
    # What real secondaries do: IrDA Lite firmware, a second of RNR while the word is stored and an IAS Ack frame
    # in one run; a stale link left by a primary that vanished; a whole discovery missed.
    "serial_real_secondary": (["--serial", "--word", "0x0004", "--link-fault", "lite-firmware", "--link-fault",
                               "rnr-while-writing", "--link-fault", "ias-ack"], True, [SEARCHING, FOUND], SUCCESS,
                              dict(panel0=WRITTEN % (0x0104, "on"), final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_stale_link": (["--serial", "--word", "0x0004", "--link-fault", "stale-link"], True, [SEARCHING, FOUND],
                          SUCCESS, dict(panel0=WRITTEN % (0x0104, "on"), final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_discovery_missed": (["--serial", "--word", "0x0004", "--link-fault", "miss-discovery"], True,
                                [SEARCHING, FOUND], SUCCESS,
                                dict(panel0=WRITTEN % (0x0104, "on"), final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_write_refused": (["--serial", "--word", "0x0004", "--write-fault", "status-c0"], True,
                             [SEARCHING, FOUND], FAILURE,
                             dict(panel0="Last run: write refused, word unchanged", final_word=0x0004,
                                  writes=[write_of(0x0104)])),
    # The system menu's "Read the instrument's mode": the read alone, no box, nothing written; the left panel says
    # the mode in words.
    "read_mode_menu": (["--word", "0x0104"], "read", [SEARCHING, FOUND], None,
                       dict(panel0="Search mode is on (word 0x0104)", final_word=0x0104, writes=[], reads=1)),
    "read_mode_menu_serial_ru_144": (["--serial", "--word", "0x0004"], "read", ["Поиск устройств", "Устройство найдено"],
                                     None, dict(panel0="Режим поиска выключен (слово 0x0004)", language="1", dpi=144,
                                                final_word=0x0004, writes=[], reads=1)),
    # Each cause of a failed serial run has its own left-panel text, in both languages, fitting at 96 and 144 dpi
    # ("{com}": the COM port the run used; driver_port: a port to give the window instead of the simulator's).
    "cause_port_missing": (["--serial"], True, [SEARCHING, "?Searching devices error2"], FAILURE,
                           dict(panel0="Last run: COM200 not found (error 2): plug in the adapter", driver_port="COM200",
                                final_word=0x0004, writes=[], connections=0, discoveries=0)),
    "cause_port_missing_ru_144": (["--serial"], True, ["Поиск устройств", "?Ошибка  при поиске устройств2"],
                                  ("Ощибка", "Ошибка. Данные не записаны"),
                                  dict(panel0="Итог: нет порта COM200 (ошибка 2): подключите адаптер", language="1",
                                       dpi=144, driver_port="COM200", final_word=0x0004, writes=[], connections=0,
                                       discoveries=0)),
    "cause_no_instrument": (["--serial", "--no-devices"], True, [SEARCHING, "Devices not found"], FAILURE,
                            dict(panel0="Last run: no instrument answered on {com}", final_word=0x0004, writes=[],
                                 connections=0)),
    "cause_no_instrument_ru_144": (["--serial", "--no-devices"], True, ["Поиск устройств", "Не найдено устройство"],
                                   ("Ощибка", "Ошибка. Данные не записаны"),
                                   dict(panel0="Итог: прибор не ответил на {com}", language="1", dpi=144,
                                        final_word=0x0004, writes=[], connections=0)),
    # A refused connection ends the run within a frame's time after discovery, without the closing pause:
    # "Devices are found" may be gone before a look at the panel catches it.
    "cause_refused": (["--serial", "--link-fault", "dm-snrm"], True, [SEARCHING, "?" + FOUND], FAILURE,
                      dict(panel0="Last run: the instrument refused the connection", final_word=0x0004, writes=[],
                           connections=0)),
    "cause_refused_ru_144": (["--serial", "--link-fault", "dm-snrm"], True, ["Поиск устройств", "?Устройство найдено"],
                             ("Ощибка", "Ошибка. Данные не записаны"),
                             dict(panel0="Итог: прибор отказал в подключении", language="1", dpi=144,
                                  final_word=0x0004, writes=[], connections=0)),
    "cause_no_such_service": (["--serial", "--link-fault", "no-ias-class"], True, [SEARCHING, FOUND], FAILURE,
                              dict(panel0="Last run: QX7710Z is not the instrument", dpi=144, final_word=0x0004,
                                   writes=[], connections=0)),
    "cause_no_such_service_ru": (["--serial", "--link-fault", "no-ias-class"], True,
                                 ["Поиск устройств", "Устройство найдено"], ("Ощибка", "Ошибка. Данные не записаны"),
                                 dict(panel0="Итог: QX7710Z - не прибор", language="1", final_word=0x0004, writes=[],
                                      connections=0)),
}

# Scenarios whose simulator is held (see hold_simulator); True: its queue is filled too, so it takes nothing.
HELD = {"simulator_silent": False, "simulator_not_accepting": True}


def run_driver(args, enable, port, outcome, language, dpi, shots=""):
    action = enable if isinstance(enable, str) else "enable" if enable else "disable"
    command = [args.emulator, args.driver, "sim_run", args.program, str(port), action,
               outcome, shots, language, str(dpi)]
    # Wine's helper processes may keep an inherited pipe open: the driver's output goes to a file instead.
    with open(outcome + ".log", "w") as log:
        code = subprocess.call(command, stdout=log, stderr=subprocess.STDOUT, timeout=180)
    with open(outcome + ".log") as log:
        print(log.read(), end="")
    if code != 0:
        fail("the window driver failed (exit code %d)" % code)
    result = {"status": []}
    with open(outcome, encoding="utf-8") as lines:
        for line in lines:
            key, _, value = line.rstrip("\n").partition(" ")
            if key == "status":
                result["status"].append(value)
            else:
                result[key] = value
    return result


def check(name, args):
    options, enable, statuses, box, expect = SCENARIOS[name]
    with tempfile.TemporaryDirectory(prefix="qx-e2e-") as folder:
        record_path = os.path.join(folder, "record.json")
        if options[:1] == ["--serial"] or "--discovery-error" in options:
            # A real discovery over the line takes its slots' time: "Searching devices" can be seen.
            delay = []
        else:
            # Each discovery try takes a moment, as a real IrDA search does, so "Searching devices" can be seen.
            delay = ["--discovery-delay-ms", "300"]
        with simulated_instrument(args.sim, args.emulator, options + delay, record_path, HELD.get(name)) as port:
            started = time.monotonic()
            seen = run_driver(args, enable, expect.get("driver_port", port), os.path.join(folder, "outcome.txt"),
                              expect.get("language", "0"), expect.get("dpi", 0), args.shots or "")
            wall = time.monotonic() - started
        with open(record_path) as f:
            record = json.load(f)

    print("%s: status texts %s, box %r / %r, run %s ms (driver and program %.1f s), word 0x%04X -> 0x%04X" % (
        name, seen["status"], seen.get("caption"), seen.get("text"), seen.get("elapsed_ms"), wall,
        record["initial_word"], record["final_word"]))
    if seen["status"] not in (
            [s.lstrip("?") for s in statuses], [s for s in statuses if not s.startswith("?")]):
        fail("status texts %s, expected %s" % (seen["status"], statuses))
    if box is not None and (seen.get("caption"), seen.get("text")) != box:
        fail("result box %r / %r, expected %r / %r" % (seen.get("caption"), seen.get("text"), *box))
    if seen.get("panel_after") != "":
        fail("panel 1 reads %r after the run" % seen.get("panel_after"))
    panel0 = expect["panel0"].replace("{com}", str(expect.get("driver_port", port)))
    if seen.get("panel0") != panel0:
        fail("panel 0 reads %r after the run, expected %r" % (seen.get("panel0"), panel0))

    check_record(record, expect)
    if "service_name" in expect:
        connection = record["connections"][0]
        address = connection["address"].split()
        if connection["service_name"] != expect["service_name"] or connection["device_id"] != expect["device_id"]:
            fail("connected to %r (id 0x%08X)" % (connection["service_name"], connection["device_id"]))
        if address[6:28] != ["%02X" % ord(c) for c in NAME_22] or address[28:] != ["00"] * 4:
            fail("the address record's service name is not the 22 name bytes followed by zeros: %s"
                 % connection["address"])
    print("PASS: " + name)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim")
    parser.add_argument("--driver")
    parser.add_argument("--program")
    parser.add_argument("--emulator")
    parser.add_argument("--shots", help="a path prefix: the driver saves a picture of each step (scripts/screenshots)")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("scenario", nargs="?")
    args = parser.parse_args()
    if args.list:
        print("\n".join(SCENARIOS))
        return
    if args.scenario not in SCENARIOS:
        fail("unknown scenario %r" % args.scenario)
    check(args.scenario, args)


if __name__ == "__main__":
    main()
