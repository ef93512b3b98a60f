#!/usr/bin/env python3
"""End-to-end runs of the real QX2205R-cli.exe under Wine, or of the native QX2205R-cli on Linux, against the
instrument simulator.

Each case starts the simulator with its faults, runs the console program with its arguments (and standard input)
through the IrDA loopback emulation, or (cases whose simulator options start with --serial) through the program's
own IrDA stack on a COM port of the Wine prefix that leads to the simulator's pty, and checks the exit code, what the program printed on standard output and
standard error, and what the instrument received (from the simulator's record): `status` never writes, a
declined confirmation sends nothing, and the instrument's word is either unchanged or the read word with only
bit 8 changed.

The native program runs the same table (without --emulator: the serial cases open the simulator's pty by its
path), and the cases of NATIVE_CASES besides: what only Linux has (device paths, COMn refused, a port the user may
not open, one that is gone, `ports` over the serial devices present, `use-port` into the XDG settings folder) and
the serial runs a Windows run does not show (the capture read by tshark, the confirmation declined and Ctrl+C on
a serial link), and the runs over a simulated USB dongle through a stand-in libusb. Each native run gets a settings folder of its own (XDG_CONFIG_HOME), never the user's.

Usage: cli_scenarios.py --sim SIM --program QX2205R-cli.exe --emulator WINE-RUN --version-text TEXT CASE
       cli_scenarios.py --sim SIM --program QX2205R-cli --native --version-text TEXT [--tshark-check SCRIPT]
                        [--sim-libusb FOLDER] CASE
       cli_scenarios.py [--native] --list
TEXT is the version line the build expects the program to print (its version, width and commit).
"""

import argparse
import grp
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

from instrument_record import PACED_LINE, check_record, fail, frames, simulated_instrument, wedged_port, write_of

SEARCH = ["Searching devices", "Devices are found"]
SUCCESS = "Success: Data are writen"
FAILURE = "Error: Error Data are't writen"
NOT_READ = "Error: The configuration word was not read"
UNCONFIRMED = "Write sent, not confirmed: run QX2205R-cli status to see what the instrument holds"
RESULTS = (SUCCESS, FAILURE, NOT_READ, UNCONFIRMED)
# Progress lines, which go to standard error and never to standard output.
PROGRESS = SEARCH + ["Devices not found", "Поиск устройств", "Устройство найдено"]


# name: (simulator options, program arguments, standard input, exit code, lines expected on standard output in
#        this order (other lines may come between; one ending in "*" stands for a line's beginning), texts
#        expected on standard error in this order, checks on the record)
# "{ru}" in the arguments stands for a settings file with Language=1, "{missing}" for a file that is not there;
# "{com}" for the COM port of the serial simulator's pty; "version" as the output stands for the version line
# alone.
CASES = {
    "status_on": (["--word", "0x0104"], ["status"], None, 0,
                  ["Device: QX7710Z", "Configuration word: 0x0104", "Search mode: on"], SEARCH,
                  dict(final_word=0x0104, writes=[], reads=1)),
    "status_off": (["--word", "0x0004"], ["status"], None, 0,
                   ["Device: QX7710Z", "Configuration word: 0x0004", "Search mode: off"], SEARCH,
                   dict(final_word=0x0004, writes=[], reads=1)),
    "enable_yes": (["--word", "0x0004"], ["enable", "--yes"], None, 0,
                   ["Configuration word: 0x0004", "Word sent: 0x0104", "Search mode: on", SUCCESS], SEARCH,
                   dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "disable_yes": (["--word", "0x0105"], ["--yes", "disable"], None, 0,
                    ["Configuration word: 0x0105", "Word sent: 0x0005", "Search mode: off", SUCCESS],
                    SEARCH, dict(final_word=0x0005, writes=[write_of(0x0005)])),
    "confirmed_on_stdin": (["--word", "0x0004"], ["enable"], "OK\n", 0, [SUCCESS],
                           ["Set the instrument in PC communication mode, its infrared window facing the IrDA "
                            "adapter.", "Type OK and press Enter"] + SEARCH,
                           dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "declined_on_stdin": (["--word", "0x0004"], ["enable"], "no\n", 3,
                          ["Cancelled at the confirmation: nothing was sent to the instrument"],
                          ["Type OK and press Enter"],
                          dict(final_word=0x0004, connections=0, discoveries=0)),
    # An answer past the console's limit declines however it begins, and nothing after the limit is read: 16 MB
    # without a line end end the program as soon as a short line would.
    "oversized_answer": (["--word", "0x0004"], ["enable"], "OK" + " " * (16 << 20), 3,
                         ["Cancelled at the confirmation: nothing was sent to the instrument"],
                         ["Type OK and press Enter"],
                         dict(final_word=0x0004, connections=0, discoveries=0)),
    # Ctrl+C (see INTERRUPTED) while the search waits on a simulator that takes no connection: the try under way
    # ends at once (its trace line says 10004, not a time-out), the link is closed and the program says it was
    # interrupted.
    "interrupted_search": ([], ["enable", "--yes", "--trace"], None, 4,
                           ["Interrupted before anything was sent to the instrument"],
                           ["Searching devices", "Interrupted: nothing was sent to the instrument yet, so the run "
                            "ends now"],
                           dict(final_word=0x0004, writes=[], connections=0)),
    "no_devices": (["--no-devices"], ["enable", "--yes"], None, 1,
                   ["Reason: no IrDA device answered the search: set the instrument in PC communication mode, its "
                    "infrared window facing the adapter within a metre, and try again", FAILURE],
                   ["Searching devices", "Devices not found"], dict(final_word=0x0004, connections=0)),
    "silent_instrument": (["--read-fault", "silent"], ["status"], None, 1,
                          ["Device: QX7710Z",
                           "Reason: the configuration word could not be read; nothing was written: keep the "
                           "instrument still, facing the adapter within a metre, and try again", NOT_READ], SEARCH, dict(final_word=0x0004, writes=[], reads=3)),
    "write_refused": (["--word", "0x0004", "--write-fault", "status-c0"], ["enable", "--yes"], None, 1,
                      ["Word sent: 0x0104", "Search mode: off",
                       "Reason: the instrument refused the new word and keeps the word read: check that it is in "
                       "PC communication mode and try again", FAILURE], SEARCH, dict(final_word=0x0004, writes=[write_of(0x0104)])),
    "json_enable": (["--word", "0x0004"], ["enable", "--yes", "--json"], None, 0, "json",
                    None, dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "json_status_no_devices": (["--no-devices"], ["status", "--json"], None, 1, "json", None,
                               dict(connections=0)),
    "trace_status": (["--word", "0x0004"], ["status", "--trace"], None, 0, [], "trace",
                     dict(writes=[], reads=1)),
    "usage_unknown_command": ([], ["frobnicate"], None, 2, [], ["unknown command: frobnicate"],
                              dict(connections=0, discoveries=0)),
    "usage_settings_without_value": ([], ["status", "--settings"], None, 2, [], ["--settings needs a value"],
                                     dict(connections=0, discoveries=0)),
    # Read replies cut short or mis-sized: the word shown is the word the link read, or none.
    "read_short_every_time": (["--word", "0x0104", "--read-fault", "short"], ["disable", "--yes", "--json"], None,
                              1, "json", None, dict(final_word=0x0104, writes=[], reads=3)),
    "read_short_once": (["--word", "0x0004", "--read-fault", "short:1"], ["enable", "--yes"], None, 0,
                        ["Configuration word: 0x0004", "Word sent: 0x0104", "Search mode: on", SUCCESS],
                        SEARCH, dict(final_word=0x0104, writes=[write_of(0x0104)], reads=2)),
    "read_length_once": (["--word", "0x0004", "--read-fault", "length:1"], ["enable", "--yes", "--json"], None, 0,
                         "json", None, dict(final_word=0x0104, writes=[write_of(0x0104)], reads=2)),
    # How a write ended, told apart: acknowledged (json_enable), refused, sent and unanswered.
    "json_write_refused": (["--word", "0x0004", "--write-fault", "status-c0"], ["enable", "--yes", "--json"], None,
                           1, "json", None, dict(final_word=0x0004, writes=[write_of(0x0104)])),
    "json_write_unanswered": (["--word", "0x0004", "--write-fault", "silent"], ["enable", "--yes", "--json"], None,
                              1, "json", None, dict(final_word=0x0104, writes=[write_of(0x0104)] * 3)),
    "version": ([], ["--version"], None, 0, "version", None, dict(connections=0, discoveries=0)),
    "version_short": ([], ["-V"], None, 0, "version", None, dict(connections=0, discoveries=0)),
    "russian_through_pipe": (["--word", "0x0104"], ["status", "--settings", "{ru}"], None, 0,
                             ["Устройство: QX7710Z", "Слово конфигурации: 0x0104", "Режим поиска: включён"],
                             ["Включена эмуляция IrDA", "Поиск устройств", "Устройство найдено"], dict(writes=[])),
    # What a console user expects: short options, commands in any case, -q, the nearest command, a settings file
    # that is not there, the same JSON keys when declined, a write left unanswered said as such.
    "short_options_any_case": (["--word", "0x0004"], ["-y", "-j", "Enable"], None, 0, "json", None,
                               dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "quiet_keeps_the_result": (["--word", "0x0104"], ["STATUS", "-q"], None, 0,
                               ["Device: QX7710Z", "Configuration word: 0x0104", "Search mode: on"], [],
                               dict(writes=[])),
    "usage_nearest_command": ([], ["staus"], None, 2, [], ["unknown command: staus; did you mean status?"],
                              dict(connections=0, discoveries=0)),
    "usage_missing_settings_file": ([], ["status", "--settings", "{missing}"], None, 2, [],
                                    ["no settings file "], dict(connections=0, discoveries=0)),
    "declined_json": (["--word", "0x0004"], ["enable", "--json"], "no\n", 3, "json", ["Type OK and press Enter"],
                      dict(final_word=0x0004, connections=0, discoveries=0)),
    "write_unanswered_said_so": (["--word", "0x0004", "--write-fault", "silent"], ["enable", "-y"], None, 1,
                                 ["Word sent: 0x0104", "Search mode: unknown",
                                  "Reason: the new word was sent but not acknowledged: the instrument may hold "
                                  "either word; run QX2205R-cli status to see which", UNCONFIRMED], SEARCH,
                                 dict(final_word=0x0104, writes=[write_of(0x0104)] * 3)),
    "trace_all_folds_nothing": (["--word", "0x0004", "--discovery-error", "10060:3"], ["status", "--trace=all"],
                                None, 0, [], "trace_all", dict(writes=[], reads=1)),
    "trace_folds_discovery": (["--word", "0x0004", "--discovery-error", "10060:3"], ["status", "-t"], None, 0,
                              [], "trace_folded", dict(writes=[], reads=1)),
    # Several devices in range: a device that offers no such service is passed over, the first instrument is
    # used, and the report names every device and what became of it; --device picks one. Over serial IrDA the
    # devices answer discovery in slots of their own choice, so the list's order is not known beforehand.
    "several_phone_first": (["--word", "0x0004", "--other-device", "Phone:0x11111111", "--device", "QX7710Z"],
                            ["enable", "--yes"], None, 0,
                            ["Device: QX7710Z", "Devices in range: Phone 0x11111111 (passed over: not the "
                             "instrument); QX7710Z 0x4B3A2911 (used)", SUCCESS], SEARCH,
                            dict(final_word=0x0104, writes=[write_of(0x0104)], connections=2)),
    "several_two_instruments": (["--word", "0x0004", "--device", "QX7710Z", "--device", "QX7710Z-B"],
                                ["enable", "--yes"], None, 0,
                                ["Device: QX7710Z", "Devices in range: QX7710Z 0x4B3A2910 (used); QX7710Z-B "
                                 "0x4B3A2911 (another instrument, not used)", SUCCESS], SEARCH,
                                dict(final_word=0x0104, writes=[write_of(0x0104)], connections=2)),
    "several_device_by_name": (["--word", "0x0004", "--device", "QX7710Z", "--device", "QX7710Z-B"],
                               ["status", "--device", "QX7710Z-B"], None, 0,
                               ["Device: QX7710Z-B", "Devices in range: QX7710Z 0x4B3A2910 (another instrument, "
                                "not used); QX7710Z-B 0x4B3A2911 (used)"], SEARCH,
                               dict(writes=[], reads=1, connections=2)),
    "several_device_not_in_range": (["--word", "0x0004", "--device", "QX7710Z"],
                                    ["enable", "--yes", "--device", "0x12345678"], None, 1,
                                    ["Reason: 0x12345678 did not answer the search (the devices that did: "
                                     "QX7710Z 0x4B3A2910)*"], SEARCH,
                                    dict(final_word=0x0004, writes=[], connections=0)),
    "several_mute_first_ends_there": (["--word", "0x0004", "--mute-device", "Mute", "--device", "QX7710Z"],
                                      ["enable", "--yes"], None, 1,
                                      ["Device: Mute", "Devices in range: Mute 0x4B3A2910 (connection failed); "
                                       "QX7710Z 0x4B3A2911 (not tried)", FAILURE], SEARCH,
                                      dict(final_word=0x0004, writes=[], connections=1)),
    "serial_several_by_address": (["--serial", "--word", "0x0004", "--other-device", "Phone:0x11111111",
                                   "--device", "QX7710Z", "--device", "QX7710Z-B"],
                                  ["enable", "--yes", "--port", "{com}", "--device", "0x4B3A2912"], None, 0,
                                  ["Device: QX7710Z-B", "Devices in range: *", SUCCESS], None,
                                  dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_several_phone_first": (["--serial", "--word", "0x0004", "--other-device", "Phone:0x11111111",
                                    "--device", "QX7710Z"], ["enable", "--yes", "--port", "{com}"], None, 0,
                                   ["Device: QX7710Z", "Devices in range: *", SUCCESS], None,
                                   dict(final_word=0x0104, writes=[write_of(0x0104)])),
    # status --all reads every instrument in range, one link after another, and writes nothing: a line for each
    # device, and a list in JSON.
    "status_all_two_instruments_and_a_phone": (["--word", "0x0104", "--device", "QX7710Z", "--other-device",
                                                "Phone:0x11111111", "--device", "QX7710Z-B"], ["status", "--all"],
                                               None, 0,
                                               ["QX7710Z 0x4B3A2910: configuration word 0x0104, search mode on",
                                                "Phone 0x11111111: not read (passed over: not the instrument)",
                                                "QX7710Z-B 0x4B3A2912: configuration word 0x0104, search mode on"],
                                               SEARCH, dict(final_word=0x0104, writes=[], reads=2, connections=3)),
    "status_all_json": (["--word", "0x0004", "--mute-device", "Mute", "--device", "QX7710Z"],
                        ["status", "--all", "--json"], None, 1, "json", None,
                        dict(final_word=0x0004, writes=[], reads=1, connections=2)),
    "status_all_with_enable": ([], ["enable", "--all"], None, 2, [],
                               ["--all goes with status alone and reads every instrument (not with enable)"],
                               dict(connections=0, discoveries=0)),
    "serial_status_all": (["--serial", "--word", "0x0004", "--other-device", "Phone:0x11111111", "--device",
                           "QX7710Z", "--device", "QX7710Z-B"], ["status", "--all", "--port", "{com}"], None, 0,
                          ["*: configuration word 0x0004, search mode off"], SEARCH,
                          dict(final_word=0x0004, writes=[], reads=2)),
    # The program's own IrDA stack over a COM port: the same runs, and the link's faults. Whatever happens on the
    # link, the word changes only with the instrument's acknowledgement and the console says what it holds.
    "serial_status": (["--serial", "--word", "0x0104"], ["status", "--port", "{com}"], None, 0,
                      ["Device: QX7710Z", "Configuration word: 0x0104", "Search mode: on"], SEARCH,
                      dict(final_word=0x0104, writes=[], reads=1)),
    "serial_enable": (["--serial", "--word", "0x0004", PACED_LINE], ["enable", "--yes", "--port", "{com}"], None, 0,
                      ["Configuration word: 0x0004", "Word sent: 0x0104", "Search mode: on", SUCCESS],
                      SEARCH, dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_disable": (["--serial", "--word", "0x0105"], ["disable", "--yes", "--port", "{com}"], None, 0,
                       ["Configuration word: 0x0105", "Word sent: 0x0005", "Search mode: off", SUCCESS],
                       SEARCH, dict(final_word=0x0005, writes=[write_of(0x0005)])),
    "serial_faults_recovered": (["--serial", "--word", "0x0004", "--link-fault", "bad-fcs", "--link-fault", "rnr",
                                 "--link-fault", "drop-reply:2", "--link-fault", "noise"],
                                ["enable", "--yes", "--port", "{com}"], None, 0, [SUCCESS], SEARCH,
                                dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_echoing_adapter": (["--serial", "--word", "0x0004", "--link-fault", "echo"],
                               ["enable", "--yes", "--port", "{com}"], None, 0, [SUCCESS], SEARCH,
                               dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_silent_after_connect": (["--serial", "--word", "0x0004", "--link-fault", "silent-after-connect"],
                                    ["enable", "--yes", "--port", "{com}"], None, 1, [FAILURE], SEARCH,
                                    dict(final_word=0x0004, writes=[])),
    "serial_no_ias_class": (["--serial", "--word", "0x0004", "--link-fault", "no-ias-class"],
                            ["enable", "--yes", "--port", "{com}"], None, 1, [FAILURE], SEARCH,
                            dict(final_word=0x0004, writes=[], connections=0)),
    "serial_dm_to_connect": (["--serial", "--word", "0x0004", "--link-fault", "dm-snrm"],
                             ["enable", "--yes", "--port", "{com}"], None, 1, [FAILURE], SEARCH,
                             dict(final_word=0x0004, writes=[], connections=0)),
    # The instrument stores the write and the link is lost before the acknowledgement: never "nothing written".
    "serial_dm_after_write": (["--serial", "--word", "0x0004", "--link-fault", "dm-after-write"],
                              ["enable", "--yes", "--port", "{com}"], None, 1,
                              ["Word sent: 0x0104", "Search mode: unknown", UNCONFIRMED], SEARCH,
                              dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_gone_after_write": (["--serial", "--word", "0x0004", "--link-fault", "gone-after-write"],
                                ["enable", "--yes", "--port", "{com}", "--json"], None, 1, "json", [],
                                dict(final_word=0x0104, writes=[write_of(0x0104)])),
    # A COM port that never takes a byte (see WEDGED): the run ends at the first write, the reason names the port.
    "serial_port_never_drains": (["--serial"], ["status", "--port", "{com}"], None, 1,
                                 ["Reason: the IrDA adapter on {com} stopped answering during the run (error *"],
                                 ["Searching devices", "Searching devices error10050"], {}),
    # The rules a real secondary relies on: RD and FRMR end the link with DISC and the run fails cleanly; a
    # stale link, IrDA Lite firmware, a second of RNR while the word is stored, an IAS Ack frame and a missed
    # discovery all end in the word written.
    "serial_rd_after_connect": (["--serial", "--word", "0x0004", "--link-fault", "rd-after-connect"],
                                ["enable", "--yes", "--port", "{com}"], None, 1, [FAILURE], SEARCH,
                                dict(final_word=0x0004, writes=[], connections=0)),
    "serial_frmr_first_data": (["--serial", "--word", "0x0004", "--link-fault", "frmr-data"],
                               ["enable", "--yes", "--port", "{com}"], None, 1, [FAILURE], SEARCH,
                               dict(final_word=0x0004, writes=[])),
    "serial_stale_link": (["--serial", "--word", "0x0004", "--link-fault", "stale-link"],
                          ["enable", "--yes", "--port", "{com}"], None, 0, [SUCCESS], SEARCH,
                          dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_lite_firmware": (["--serial", "--word", "0x0004", "--link-fault", "lite-firmware"],
                             ["enable", "--yes", "--port", "{com}"], None, 0, [SUCCESS], SEARCH,
                             dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_rnr_while_writing": (["--serial", "--word", "0x0004", "--link-fault", "rnr-while-writing"],
                                 ["enable", "--yes", "--port", "{com}"], None, 0, [SUCCESS], SEARCH,
                                 dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_ias_ack_first": (["--serial", "--word", "0x0004", "--link-fault", "ias-ack"],
                             ["enable", "--yes", "--port", "{com}"], None, 0, [SUCCESS], SEARCH,
                             dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_discovery_missed": (["--serial", "--word", "0x0004", "--link-fault", "miss-discovery"],
                                ["enable", "--yes", "--port", "{com}"], None, 0, [SUCCESS], SEARCH,
                                dict(final_word=0x0104, writes=[write_of(0x0104)])),
    # The adapter's line profile: a known one is used (a pty has no modem lines to set), an unknown one fails the
    # run before anything is sent and names the key and its values.
    "serial_adapter_esi": (["--serial", "--word", "0x0004"],
                           ["enable", "--yes", "--port", "{com}", "--adapter", "esi"], None, 0, [SUCCESS], SEARCH,
                           dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_adapter_unknown": (["--serial", "--word", "0x0004"],
                               ["enable", "--yes", "--port", "{com}", "--adapter", "tekram"], None, 2, [],
                               ["Adapter=tekram is no adapter profile: the Adapter key and --adapter take power, "
                                "esi, mcp2120 or none"], dict(final_word=0x0004, writes=[], connections=0)),
    # use-port writes only a file of ours: a letter stays byte for byte, "none" takes the key away, a section a
    # slip away from [Parameters] is reported and left alone (FILES_AFTER).
    "use_port_letter": ([], ["use-port", "--port", "COM5", "--settings", "{letter}"], None, 1, [],
                        ["is not a settings file of this program (it is not empty and has no [Parameters] section): "
                         "it was left as it was"], dict(connections=0, discoveries=0)),
    "use_port_none": ([], ["use-port", "--port", "none", "--settings", "{withport}"], None, 0,
                      ["*withport.ini: Windows' IrDA is used"], [], dict(connections=0, discoveries=0)),
    "use_port_near_miss": ([], ["use-port", "--port", "COM5", "--settings", "{nearmiss}"], None, 1, [],
                           ["settings not used: no [Parameters] section in Z:", "near.ini"],
                           dict(connections=0, discoveries=0)),
    "use_port_typed_as_command": ([], ["use-port", "COM5"], None, 2, [],
                                  ["unknown command: COM5; did you mean use-port --port COM5?"],
                                  dict(connections=0, discoveries=0)),
    # --capture: made before anything is sent, a usage error naming the path and the system's reason when it
    # cannot be, refused without the serial stack, put in place only with frames, never over a file that is not a
    # capture (FILES_BEFORE/FILES_AFTER, CAPTURED).
    "capture_missing_folder": (["--serial"], ["status", "--port", "{com}", "--capture", "{dir}\\no\\run.pcap"], None,
                               2, [], ["the capture Z:", "run.pcap cannot be written: "],
                               dict(writes=[], connections=0, discoveries=0)),
    "capture_folder": (["--serial"], ["status", "--port", "{com}", "--capture", "{dir}"], None, 2, [],
                       ["cannot be written: it is a folder"], dict(writes=[], connections=0, discoveries=0)),
    "capture_read_only": (["--serial"], ["status", "--port", "{com}", "--capture", "{dir}\\ro.pcap"], None, 2, [],
                          ["ro.pcap cannot be written: ", "(error 5)"], dict(writes=[], connections=0, discoveries=0)),
    "capture_not_a_capture": (["--serial"], ["status", "--port", "{com}", "--capture", "{letter}"], None, 2, [],
                              ["letter.txt exists and is not a capture: it is not replaced"],
                              dict(writes=[], connections=0, discoveries=0)),
    "capture_without_port": (["--serial"], ["status", "--capture", "{dir}\\new.pcap"], None, 2, [],
                             ["--capture records the program's own IrDA stack: give --port COMn"],
                             dict(writes=[], connections=0, discoveries=0)),
    "capture_declined_keeps_the_old": (["--serial"], ["enable", "--port", "{com}", "--capture", "{dir}\\old.pcap"],
                                       "no\n", 3, [], ["Capture: no frame was captured; Z:", "old.pcap is left as it was"],
                                       dict(writes=[], connections=0, discoveries=0)),
    "capture_written": (["--serial", "--word", "0x0104"], ["status", "--port", "{com}", "--capture",
                                                          "{dir}\\old.pcap"], None, 0, ["Search mode: on"],
                        ["Capture: Z:", "old.pcap, "], dict(writes=[], reads=1)),
    # Each cause of a failed run over the serial route (and Windows without IrDA), with its own reason, next step
    # and JSON (JSON_EXPECTED, REASON_PARTS); none sends anything to the instrument.
    "cause_port_missing": (["--serial"], ["status", "--json", "--port", "COM200"], None, 1, "json", None,
                           dict(writes=[], connections=0, discoveries=0)),
    "cause_port_missing_ru": (["--serial"], ["status", "--json", "--port", "COM200", "--settings", "{ru}"], None, 1,
                              "json", None, dict(writes=[], connections=0, discoveries=0)),
    "cause_port_value_invalid": (["--serial"], ["enable", "--yes", "--json", "--settings", "{badport}"], None, 1,
                                 "json", None, dict(writes=[], connections=0, discoveries=0)),
    "cause_no_instrument": (["--serial", "--no-devices"], ["status", "--json", "--port", "{com}"], None, 1, "json",
                            None, dict(writes=[], connections=0)),
    "cause_refused": (["--serial", "--link-fault", "dm-snrm"], ["status", "--json", "--port", "{com}"], None, 1,
                      "json", None, dict(writes=[], connections=0)),
    "cause_no_such_service": (["--serial", "--link-fault", "no-ias-class"], ["status", "--json", "--port", "{com}"],
                              None, 1, "json", None, dict(writes=[], connections=0)),
    "cause_no_windows_irda": (["--serial"], ["status", "--json"], None, 1, "json", None,
                              dict(writes=[], connections=0, discoveries=0)),
    "cause_text_reached_through": (["--serial", "--no-devices"], ["status", "--port", "{com}"], None, 1,
                                   ["Reached through: serial IrDA adapter on {com}",
                                    "Reason: the IrDA adapter on {com} works, but no instrument answered its search: "
                                    "set the instrument in PC communication mode, its infrared window facing the "
                                    "adapter within a metre, and try again"], SEARCH[:1], dict(writes=[])),
    # --capture over the serial stack: the capture is put in place of the file with its frames; a declined run
    # leaves the file that is there as it was (CAPTURE_BEFORE).
    "serial_capture": (["--serial", "--word", "0x0004"],
                       ["enable", "--yes", "--port", "{com}", "--capture", "{capture}"], None, 0, [SUCCESS], SEARCH,
                       dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "serial_capture_declined": (["--serial", "--word", "0x0004"],
                                ["enable", "--port", "{com}", "--capture", "{capture}"], "no\n", 3,
                                ["Cancelled at the confirmation: nothing was sent to the instrument"], None,
                                dict(final_word=0x0004, connections=0, discoveries=0)),
    "serial_write_refused": (["--serial", "--word", "0x0004", "--write-fault", "status-c0"],
                             ["enable", "--yes", "--port", "{com}"], None, 1,
                             ["Word sent: 0x0104", "Search mode: off",
                              "Reason: the instrument refused the new word and keeps the word read: check that it is "
                              "in PC communication mode and try again", FAILURE], SEARCH,
                             dict(final_word=0x0004, writes=[write_of(0x0104)])),
}

# Cases whose paths and texts are Windows' own (Z: paths, COM ports, Windows' IrDA, the Windows next steps): the
# native console program runs every other case, and its own in NATIVE_CASES.
WINDOWS_ONLY = {"use_port_letter", "use_port_none", "use_port_near_miss", "use_port_typed_as_command",
                "capture_missing_folder", "capture_folder", "capture_read_only", "capture_not_a_capture",
                "capture_without_port", "capture_declined_keeps_the_old", "capture_written", "cause_port_missing",
                "cause_port_missing_ru", "cause_port_value_invalid", "cause_no_instrument", "cause_refused",
                "cause_no_such_service", "cause_no_windows_irda", "cause_text_reached_through"}


# The native program's own cases, in the same form; "{gone}" stands for a by-id path that leads nowhere,
# "{capture}" for a capture file, "{settings}" for the settings file in the run's XDG folder.
NATIVE_CASES = {
    "native_serial_declined": (["--serial", "--word", "0x0004"], ["enable", "--port", "{com}"], "no\n", 3,
                               ["Cancelled at the confirmation: nothing was sent to the instrument"],
                               ["Type OK and press Enter"], dict(final_word=0x0004, connections=0, discoveries=0)),
    # Ctrl+C while the search goes on over the line: nothing was sent, the search ends at once, the port is closed.
    "native_serial_interrupted": (["--serial", "--no-devices"], ["status", "--port", "{com}"], None, 4,
                                  ["Interrupted before anything was sent to the instrument"],
                                  ["Searching devices", "Interrupted: nothing was sent to the instrument yet"],
                                  dict(final_word=0x0004, connections=0)),
    # Ctrl+C during the search, before anything was written: the discovery under way ends with the
    # interruption (no try completes after it) and the program exits.
    "native_serial_interrupted_at_once": (["--serial", "--no-devices"], ["status", "-t", "--port", "{com}"], None, 4,
                                          ["Interrupted before anything was sent to the instrument"],
                                          ["Searching devices", "Interrupted:"], dict(final_word=0x0004, connections=0)),
    "native_serial_trace": (["--serial", "--word", "0x0104"], ["status", "-t", "--port", "{com}"], None, 0,
                            ["Search mode: on"], ["socket(26, 1, 0) -> ", "closesocket("], dict(writes=[])),
    # A COM name can never be a port on Linux: a usage error before anything is asked or sent.
    "native_com_refused": (["--serial"], ["enable", "--port", "COM5"], None, 2, [],
                           ["not a device path: COM5 (on Linux the adapter is named by its device, e.g. /dev/ttyUSB0 "
                            "or a /dev/serial/by-id/ link, not COMn)"], dict(connections=0, discoveries=0)),
    "native_use_port_com_refused": (["--serial"], ["use-port", "--port", "COM5"], None, 2, [],
                                    ["not a device path: COM5"], dict(connections=0, discoveries=0)),
    "native_no_port_chosen": (["--serial"], ["status"], None, 1,
                              ["Reason: no IrDA adapter is chosen, and Linux has no IrDA of its own: "
                               "name the adapter's device with --port /dev/ttyUSB0, or store it with use-port "
                               "(QX2205R-cli ports lists the serial devices and USB dongles)"], [],
                              dict(connections=0, discoveries=0)),
    "native_port_gone": (["--serial"], ["enable", "-y", "--port", "{gone}"], None, 1,
                         ["Reason: {gone} is not on this PC (ENOENT): no such device: check the path (QX2205R-cli "
                          "ports lists the serial devices); an adapter unplugged or not recognised shows in dmesg"],
                         [], dict(connections=0, discoveries=0)),
    # The simulator (the adapter) goes away in the middle of the search: the run ends and says what is gone.
    "native_port_vanishes": (["--serial", "--word", "0x0004", "--link-fault", "silent-after-connect"],
                             ["enable", "-y", "--port", "{com}"], None, 1,
                             ["Reason: the IrDA adapter on {com} stopped answering during the run (E*", FAILURE],
                             [],
                             dict(final_word=0x0004, writes=[])),
    # A serial device that never takes a byte: the Linux words for the wedged port of the Windows table.
    "serial_port_never_drains": (["--serial"], ["status", "--port", "{com}"], None, 1,
                                 ["Reason: the IrDA adapter on {com} stopped answering during the run (EIO, input/output "
                                  "error): it took no data within a second, was unplugged, or its driver failed: see whether "
                                  "dmesg shows it unplugged, plug it in again, check with QX2205R-cli ports that it "
                                  "is still {com}, and try again"],
                                 ["Searching devices"], {}),
    # The pty may be opened by root only; the program runs as nobody (PTY_ACCESS): its group may not use it
    # either, so joining the group would not help.
    "native_permission_denied": (["--serial"], ["status", "--port", "{com}"], None, 1,
                                 ["Reason: {com} could not be opened (EACCES): permission denied: {com} belongs to "
                                  "the group {ptygroup}, which may not use it either: run as its owner, or have the "
                                  "administrator give the device to the dialout group (a udev rule)"], [],
                                 dict(connections=0, discoveries=0)),
    # The pty is the dialout group's, and nobody is not in it.
    "native_permission_not_in_group": (["--serial"], ["status", "--port", "{com}"], None, 1,
                                       ["Reason: {com} could not be opened (EACCES): permission denied: {com} belongs "
                                        "to the group dialout, and your user is not in it: add it (sudo usermod -aG "
                                        "dialout $USER), log out and in again, and retry"], [],
                                       dict(connections=0, discoveries=0)),
    # A regular file named as the port: no serial device, whatever the user's groups.
    "native_port_regular_file": (["--serial"], ["status", "--port", "/etc/passwd"], None, 1,
                                 ["Reason: /etc/passwd could not be opened (ENOTTY): not a serial device (a regular "
                                  "file)*"], [], dict(connections=0, discoveries=0)),
    # use-port stores only what is there and is a device, unless --force; it makes a settings file that is not
    # there; a failed run says which settings file it read.
    "native_use_port_absent": (["--serial"], ["use-port", "--port", "/dev/ttyUSB9"], None, 1, [],
                               ["/dev/ttyUSB9 is not there (ENOENT): nothing was stored. Plug the adapter in and "
                                "check the path with QX2205R-cli ports, or give --force to store it all the same"],
                               dict(connections=0, discoveries=0)),
    "native_use_port_folder": (["--serial"], ["use-port", "--port", "{dir}"], None, 1, [],
                               ["{dir} is not a serial device (a folder): nothing was stored"],
                               dict(connections=0, discoveries=0)),
    "native_use_port_forced_new_file": (["--serial"], ["use-port", "--force", "--port", "/dev/ttyUSB9", "--settings",
                                                       "{new}"], None, 0, ["Port=/dev/ttyUSB9 stored in {new}"], [],
                                        dict(connections=0, discoveries=0)),
    "native_failed_run_names_settings": (["--serial"], ["status", "--port", "/dev/ttyUSB9"], None, 1,
                                         ["Reason: /dev/ttyUSB9 is not on this PC (ENOENT)*",
                                          "Settings: {settings} (not there: none were read)"], [],
                                         dict(connections=0, discoveries=0)),
    "native_use_port": (["--serial", "--word", "0x0104"], ["use-port", "--port", "{com}"], None, 0,
                        ["Port={com} stored in {settings}"], [], dict(connections=0, discoveries=0)),
    # A capture file that is there already: a declined run captures nothing and leaves it as it was; a file that
    # is not a capture is never replaced (CAPTURE_BEFORE holds what each finds there).
    "native_capture_declined": (["--serial", "--word", "0x0004"], ["enable", "--port", "{com}", "--capture",
                                                                   "{capture}"], "no\n", 3,
                                ["Cancelled at the confirmation: nothing was sent to the instrument"],
                                ["Type OK and press Enter"], dict(final_word=0x0004, connections=0, discoveries=0)),
    "native_capture_not_a_capture": (["--serial", "--word", "0x0004"], ["enable", "-y", "--port", "{com}",
                                                                        "--capture", "{capture}"], None, 2, [],
                                     ["QX2205R-cli: {capture} exists and is not a capture: it is not replaced; name "
                                      "another file"], dict(final_word=0x0004, connections=0, discoveries=0)),
    "native_capture": (["--serial", "--word", "0x0004"], ["enable", "-y", "--port", "{com}", "--capture",
                                                          "{capture}"], None, 0, [SUCCESS], SEARCH,
                       dict(final_word=0x0104, writes=[write_of(0x0104)])),
    # `ports` over the serial devices of a private mount namespace: the pty stands as /dev/ttyUSB0 with its
    # /dev/serial/by-id/ link, and one discovery runs on it.
    "native_ports": (["--serial"], ["ports"], None, 0,
                     ["/dev/serial/by-id/usb-QX_IrDA_Adapter-if00-port0: QX7710Z (address 0x*"], [],
                     dict(connections=0, discoveries=1)),
    # Over a simulated USB dongle (USB_DONGLES): the program's libusb binding drives the chip, whose light is the
    # simulator's pty.
    "native_usb_status": (["--serial", "--word", "0x0104"], ["status", "--port", "USB"], None, 0,
                          ["Device: QX7710Z", "Configuration word: 0x0104", "Search mode: on"], SEARCH,
                          dict(final_word=0x0104, writes=[], reads=1)),
    "native_usb_enable_mcs7780": (["--serial", "--word", "0x0004"], ["enable", "-y", "--port", "usb:9710:7780"],
                                  None, 0, ["Word sent: 0x0104", "Search mode: on", SUCCESS], SEARCH,
                                  dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "native_usb_disable_bridge": (["--serial", "--word", "0x0105"], ["disable", "-y", "--port", "USB"], None, 0,
                                  ["Word sent: 0x0005", "Search mode: off", SUCCESS], SEARCH,
                                  dict(final_word=0x0005, writes=[write_of(0x0005)])),
    "native_usb_enable_ks959": (["--serial", "--word", "0x0004"], ["enable", "-y", "--port", "USB:07D0:4959"], None,
                                0, ["Word sent: 0x0104", "Search mode: on", SUCCESS], SEARCH,
                                dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "native_usb_enable_ksdazzle": (["--serial", "--word", "0x0004"], ["enable", "-y", "--port", "USB:07D0:4100"],
                                   None, 0, ["Word sent: 0x0104", "Search mode: on", SUCCESS], SEARCH,
                                   dict(final_word=0x0104, writes=[write_of(0x0104)])),
    "native_usb_disable_kingsun": (["--serial", "--word", "0x0105"], ["disable", "-y", "--port", "USB:07C0:4200"],
                                   None, 0, ["Word sent: 0x0005", "Search mode: off", SUCCESS], SEARCH,
                                   dict(final_word=0x0005, writes=[write_of(0x0005)])),
    "native_usb_other_id": (["--serial"], ["status", "--port", "USB:066F:4201"], None, 1,
                            ["Reason: no USB IrDA dongle that this program drives was found (USB:066F:4201, error 2): "
                             "plug the dongle in (lsusb lists it); QX2205R-cli ports lists the dongles this program "
                             "drives"],
                            [], dict(connections=0, discoveries=0)),
    "native_usb_no_dongle": (["--serial"], ["enable", "-y", "--port", "USB"], None, 1,
                             ["Reason: no USB IrDA dongle that this program drives was found (USB, error 2)*",
                              FAILURE], [], dict(connections=0, discoveries=0)),
    "native_usb_permission_denied": (["--serial"], ["status", "--port", "USB"], None, 1,
                                     ["Reason: the USB IrDA dongle (USB) cannot be used (error 5): add the udev rule "
                                      "for it that the user guide gives, then plug it in again"], [],
                                     dict(connections=0, discoveries=0)),
    # `ports` where the only serial devices are none (an empty /sys/class/tty) and the bus holds the dongle (each
    # family's name and USB id in the list).
    "native_usb_ports": (["--serial"], ["ports"], None, 0,
                         ["USB:066F:4200 (STIr4200): QX7710Z (address 0x*"], [],
                         dict(connections=0, discoveries=1)),
    "native_usb_ports_ksdazzle": (["--serial"], ["ports"], None, 0,
                                  ["USB:07D0:4100 (KingSun Dazzle): QX7710Z (address 0x*"], [],
                                  dict(connections=0, discoveries=1)),
    "native_usb_ports_kingsun": (["--serial"], ["ports"], None, 0,
                                 ["USB:07C0:4200 (KingSun/DonShine): QX7710Z (address 0x*"], [],
                                 dict(connections=0, discoveries=1)),
}

# The simulated dongle on the bus of each USB case's libusb (see tools/usb_dongle_sim/sim_libusb.cpp): its
# family, or "" for none, and whether this user may open it.
USB_DONGLES = {"native_usb_status": ("stir4200", True), "native_usb_enable_mcs7780": ("mcs7780", True),
               "native_usb_disable_bridge": ("bridge", True), "native_usb_enable_ks959": ("ks959", True),
               "native_usb_other_id": ("stir4200", True),
               "native_usb_no_dongle": ("", True), "native_usb_permission_denied": ("stir4200", False),
               "native_usb_ports": ("stir4200", True), "native_usb_enable_ksdazzle": ("ksdazzle", True),
               "native_usb_disable_kingsun": ("kingsun", True), "native_usb_ports_ksdazzle": ("ksdazzle", True),
               "native_usb_ports_kingsun": ("kingsun", True)}

# What a Linux user of serial tools expects: a device path is a path and never an option, "--" ends the options,
# and `ports --port X` probes X alone (run where no other serial device is listed, so that a probe of every port
# would find nothing).
NATIVE_CASES.update({
    "native_ports_path": (["--serial"], ["ports", "{com}"], None, 0, ["{com}: QX7710Z (address 0x*"], [],
                          dict(connections=0, discoveries=1)),
    "native_ports_end_of_options": (["--serial"], ["ports", "--", "{com}"], None, 0,
                                    ["{com}: QX7710Z (address 0x*"], [], dict(connections=0, discoveries=1)),
    "native_ports_port_option": (["--serial"], ["ports", "--port", "{com}"], None, 0,
                                 ["{com}: QX7710Z (address 0x*"], [], dict(connections=0, discoveries=1)),
    # The dongle is named by its family and USB id, not by the port value that picked it.
    # A serial port gives no sign that an adapter is behind it: nothing answered, for either reason.
    "native_nothing_answered": (["--serial", "--no-devices"], ["status", "--port", "{com}"], None, 1,
                                ["Reason: nothing answered on {com}: no IrDA adapter on this port, or the instrument "
                                 "is not ready: check the port with QX2205R-cli ports*"], ["Searching devices"],
                                dict(connections=0, writes=[])),
    # Linux's words: no Windows IrDA behind a run with no port, and no Windows number in its reason.
    "native_no_port_chosen_json": (["--serial"], ["status", "--json"], None, 1, "json", [],
                                   dict(connections=0, discoveries=0)),
    "native_usb_reached_through": (["--serial", "--word", "0x0104"], ["status", "--port", "USB"], None, 0,
                                   ["Reached through: USB IrDA dongle STIr4200 (066F:4200)", "Search mode: on"],
                                   SEARCH, dict(writes=[], reads=1)),
})
# Reasons that say what happened on USB and on a path that is no device: a medium another infrared device
# keeps busy (nothing was sent), a dongle another program holds, a USB library that would not start, a folder
# named as the port (USB_ENVIRONMENT says what the stand-in libusb does).
NATIVE_CASES.update({
    "native_usb_medium_held": (["--serial"], ["status", "--port", "USB"], None, 1,
                               ["Reason: another infrared device holds the medium: the adapter (USB) heard its "
                                "traffic through the whole search, so nothing was sent: move other infrared devices "
                                "(phones, laptops, printers) away from the adapter or switch them off, and try "
                                "again"], ["Searching devices"], dict(connections=0, discoveries=0)),
    "native_usb_medium_held_json": (["--serial"], ["enable", "-y", "--json", "--port", "USB"], None, 1, "json", [],
                                    dict(connections=0, discoveries=0)),
    "native_usb_in_use": (["--serial"], ["status", "--port", "USB"], None, 1,
                          ["Reason: USB is in use by another program (EBUSY): the USB dongle is held by another "
                           "program (another QX2205R-cli, or a tool that opened it): close it and try again"], [],
                          dict(connections=0, discoveries=0)),
    "native_usb_in_use_at_open": (["--serial"], ["enable", "-y", "--port", "USB"], None, 1,
                                  ["Reason: USB is in use by another program (EBUSY): the USB dongle is held by "
                                   "another program*", FAILURE], [], dict(connections=0, discoveries=0)),
    "native_usb_library_failed": (["--serial"], ["status", "--port", "USB"], None, 1,
                                  ["Reason: the USB library could not start (LIBUSB_ERROR_IO, Input/Output Error), "
                                   "so no dongle could be looked for; nothing was sent: check that /dev/bus/usb is "
                                   "there and readable (a container or a sandbox may hide it) and try again, or use "
                                   "a serial IrDA adapter"], [], dict(connections=0, discoveries=0)),
    "native_port_folder": (["--serial"], ["status", "--port", "{dir}"], None, 1,
                           ["Reason: {dir} could not be opened (EISDIR): not a serial device*"], [],
                           dict(connections=0, discoveries=0)),
})
USB_DONGLES.update({"native_usb_medium_held": ("bridge", True), "native_usb_medium_held_json": ("bridge", True),
                    "native_usb_in_use": ("stir4200", True), "native_usb_in_use_at_open": ("mcs7780", True),
                    "native_usb_library_failed": ("stir4200", True)})
USB_ENVIRONMENT = {"native_usb_medium_held": {"QX_SIM_USB_MEDIUM": "busy"},
                   "native_usb_medium_held_json": {"QX_SIM_USB_MEDIUM": "busy"},
                   "native_usb_in_use": {"QX_SIM_USB_ACCESS": "busy"},
                   "native_usb_in_use_at_open": {"QX_SIM_USB_ACCESS": "busy-open"},
                   "native_usb_library_failed": {"QX_SIM_USB_INIT": "io"}}

# The dongle's side of a run: --trace=all writes a line for the open and for each USB transfer (what a first
# user with a real dongle sends us); `ports` names the package's udev rules and the rule to write beside a dongle
# this user may not open; enumeration opens the dongle only, never the keyboard beside it on the bus.
# What the KS-959's open shows under --trace=all: the dongle found with its endpoint, opened, the speed record
# (9600 baud, 8 bits) to the device, the first poll of its receive buffer; at the end it is closed.
KS959_OPEN_TRACE = ["usb found usb:001-002 07D0:4959 KS-959, interface 0, interrupt 81 packet 8",
                    "usb enumerate: 1 devices, 1 dongles", "usb open usb:001-002 interface 0: ok",
                    "usb control out type 20 request 09 value 0200 index 0001, asked 8, moved 8 "
                    "[80 25 00 00 03 00 00 00]: ok",
                    "usb control in type A1 request 01 value 0200 index 0000, asked 2048, moved 0: ok",
                    "usb control out type 21 request 09 value 001C index 0000, asked 48, moved 48 [", "usb close"]
UDEV_RULE = 'SUBSYSTEM=="usb", ATTRS{idVendor}=="066f", ATTRS{idProduct}=="4200", MODE="0660", TAG+="uaccess"'
NATIVE_CASES.update({
    "native_usb_trace_ks959": (["--serial", "--word", "0x0104"], ["status", "--trace=all", "--port", "USB:07D0:4959"],
                               None, 0, ["Search mode: on"], KS959_OPEN_TRACE, dict(writes=[], reads=1)),
    "native_usb_denied_ports_udev": (["--serial"], ["ports"], None, 1,
                                     ["USB:07D0:4959 (KS-959): cannot be opened (error 5): this user may not open the "
                                      "dongle: the package's udev rule /usr/lib/udev/rules.d/"
                                      "70-qx2205r-irda-dongles.rules opens it to the user at the desk*",
                                      "    " + UDEV_RULE.replace("066f", "07d0").replace("4200", "4959")], [],
                                     dict(connections=0, discoveries=0)),
    "native_usb_ports_beside_a_keyboard": (["--serial"], ["ports"], None, 0,
                                           ["USB:066F:4200 (STIr4200): QX7710Z (address 0x*"], [],
                                           dict(connections=0, discoveries=1)),
})
USB_DONGLES.update({"native_usb_trace_ks959": ("ks959", True), "native_usb_denied_ports_udev": ("ks959", False),
                    "native_usb_ports_beside_a_keyboard": ("stir4200", True)})
USB_ENVIRONMENT["native_usb_ports_beside_a_keyboard"] = {"QX_SIM_USB_OTHER": "keyboard"}
# The cases whose libusb writes down every device the program opens, and the devices they may open.
USB_OPENS = {"native_usb_ports_beside_a_keyboard": {"066F:4200"}}

# Cases run where /sys/class/tty is empty (see without_serial_devices).
NO_SERIAL_DEVICES_LISTED = {"native_ports_port_option", "native_usb_denied_ports_udev"}

USB_DONGLES.update({"native_usb_reached_through": ("stir4200", True)})

# The language: --language over the settings' Language, the settings' Language over the locale, and the locale
# where neither says one (LC_ALL, LC_MESSAGES, LANG: the first one set decides; LOCALE gives each case's). "{en}"
# stands for a settings file with Language=0.
NATIVE_CASES.update({
    "native_language_from_lang": (["--serial"], ["frobnicate"], None, 2, [], ["неизвестная команда: frobnicate"],
                                  dict(connections=0, discoveries=0)),
    "native_language_lc_all_first": (["--serial"], ["frobnicate"], None, 2, [], ["unknown command: frobnicate"],
                                     dict(connections=0, discoveries=0)),
    "native_language_lc_messages": (["--serial"], ["frobnicate"], None, 2, [], ["неизвестная команда: frobnicate"],
                                    dict(connections=0, discoveries=0)),
    "native_language_key_over_locale": (["--serial"], ["frobnicate", "--settings", "{en}"], None, 2, [],
                                        ["unknown command: frobnicate"], dict(connections=0, discoveries=0)),
    "native_language_option": (["--serial"], ["frobnicate", "--language", "ru", "--settings", "{en}"], None, 2, [],
                               ["неизвестная команда: frobnicate"], dict(connections=0, discoveries=0)),
    "native_language_option_en": (["--serial"], ["--language=en", "frobnicate", "--settings", "{ru}"], None, 2, [],
                                  ["unknown command: frobnicate"], dict(connections=0, discoveries=0)),
    "native_language_invalid": (["--serial"], ["status", "--language", "de"], None, 2, [],
                                ["--language takes en or ru, not de"], dict(connections=0, discoveries=0)),
    # A whole run in the locale's language: the instrument's texts and the console's.
    "native_language_run": (["--serial", "--word", "0x0104"], ["status", "--port", "{com}"], None, 0,
                            ["Устройство: QX7710Z", "Режим поиска: включён"], ["Поиск устройств"],
                            dict(writes=[], reads=1)),
    # The Russian help's columns are counted in letters, not in UTF-8 bytes.
    "native_language_help_aligned": (["--serial"], ["--help", "--language", "ru"], None, 0,
                                     ["  --settings ПУТЬ       файл настроек, из которого берутся язык и порт (по "
                                      "умолчанию",
                                      "                        $XDG_CONFIG_HOME/qx2205r/QX2205R.ini, иначе "
                                      "~/.config/qx2205r/QX2205R.ini);",
                                      "  --port УСТРОЙСТВО     связываться с прибором через последовательный адаптер "
                                      "IrDA на этом"], [], dict(connections=0, discoveries=0)),
    # A device that would not open had nothing sent to it, and the program says only that it could not be opened.
    "native_ports_not_opened": (["--serial"], ["ports", "/dev/null"], None, 1,
                                ["/dev/null: cannot be opened (ENOTTY): not a serial device"], ["Probing /dev/null"],
                                dict(connections=0, discoveries=0)),
})
LOCALE = {"native_language_from_lang": {"LANG": "ru_RU.UTF-8"},
          "native_language_lc_all_first": {"LC_ALL": "C", "LANG": "ru_RU.UTF-8"},
          "native_language_lc_messages": {"LC_ALL": "", "LC_MESSAGES": "ru_RU.UTF-8", "LANG": "en_GB.UTF-8"},
          "native_language_key_over_locale": {"LANG": "ru_RU.UTF-8"},
          "native_language_option": {"LANG": "C.UTF-8"},
          "native_language_option_en": {"LANG": "ru_RU.UTF-8"},
          "native_language_run": {"LANG": "ru_RU.UTF-8"}}
# Texts that must not be on standard error.
NOT_ON_STDERR = {"native_ports_not_opened": "XID frames sent"}

# What the capture file holds before the run, for the cases that find one there; after the run it must hold the
# same bytes, and nothing may be left beside it.
CAPTURE_BEFORE = {
    "serial_capture_declined": bytes.fromhex("d4c3b2a1020004000000000000000000ffff0000c3000000") + b"earlier frames",
    "native_capture_declined": bytes.fromhex("d4c3b2a1020004000000000000000000ffff0000c3000000") + b"earlier frames",
    "native_capture_not_a_capture": b"Dear John,\nthe capture is below.\n",
}

# How the pty is set for the cases run as nobody: its mode and its group (None: as it is).
PTY_ACCESS = {"native_permission_denied": (0o600, None), "native_permission_not_in_group": (0o660, "dialout")}

# Cases whose simulator is held taking nothing (hold_simulator; TCP only), and the seconds after which the
# program gets Ctrl+C (SIGINT, which Wine hands to the console's control handler).
INTERRUPTED = {"interrupted_search": 3, "native_serial_interrupted": 2, "native_serial_interrupted_at_once": 0.8}
# Cases whose simulator is stopped (its pty goes away) this many seconds into the run.
VANISHED = {"native_port_vanishes": 2.5}
# Cases with no simulator: the COM port leads to a pty that nobody reads and that is kept full.
WEDGED = {"serial_port_never_drains"}

JSON_EXPECTED = {
    "serial_gone_after_write": {"command": "enable", "word": None, "search_mode": None, "word_read": "0x0004",
                                "word_sent": "0x0104", "written": False, "result": "write_unconfirmed",
                                "exit_code": 1},
    "short_options_any_case": {"command": "enable", "word": "0x0104", "written": True, "result": "done"},
    "declined_json": {"command": "enable", "device": None, "word": None, "search_mode": None, "word_read": None,
                      "word_sent": None, "written": False, "result": "cancelled", "code": 0, "interrupted": False,
                      "exit_code": 3, "reason": "Cancelled at the confirmation: nothing was sent to the instrument",
                      "statuses": [], "result_text": None},
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
                               "reason": "no IrDA device answered the search: set the instrument in PC communication "
                                         "mode, its infrared window facing the adapter within a metre, and try again",
                               "statuses": ["Searching devices", "Devices not found"], "result_text": NOT_READ},
}

JSON_EXPECTED.update({"status_all_json": {
    "command": "status", "device": "Mute", "word": None, "written": False, "result": "connect_failed",
    "exit_code": 1, "device_used": None, "instruments_in_range": 1,
    "devices": [{"name": "Mute", "address": 0x4B3A2910, "role": "failed", "word": None, "search_mode": None},
                {"name": "QX7710Z", "address": 0x4B3A2911, "role": "instrument", "word": "0x0004",
                 "search_mode": False}]}})

JSON_EXPECTED.update({"native_no_port_chosen_json": {
    "link": "none", "cause": "no_irda_support", "statuses": ["Searching devices"],
    "reason": "no IrDA adapter is chosen, and Linux has no IrDA of its own: name the adapter's device with --port "
              "/dev/ttyUSB0, or store it with use-port (QX2205R-cli ports lists the serial devices and USB dongles)"}})

JSON_EXPECTED.update({"native_usb_medium_held_json": {
    "result": "no_device", "cause": "medium_held", "word_read": None, "word_sent": None, "written": False,
    "failure": {"layer": "irlap", "status": "medium_busy", "system_error": 0}}})

# Files each case finds, and what some cases leave in them (by case name); every other file stays as it was.
FILES_BEFORE = {
    "letter.txt": b"Dear Sir,\r\nplease find enclosed\r\n",
    "old.pcap": b"\xd4\xc3\xb2\xa1old capture",
    "ro.pcap": b"\xd4\xc3\xb2\xa1read-only capture",
    "withport.ini": b"[Parameters]\r\nLanguage=0\r\nPort=COM5\r\n",
    "near.ini": b"[Parameter]\r\nLanguage=1\r\nPort=COM5\r\n",
}
FILES_AFTER = {"withport.ini": {"use_port_none": b"[Parameters]\r\nLanguage=0\r\n"},
               "old.pcap": {"capture_written": None}}  # None: checked by check_capture

# The cause cases' JSON beyond JSON_EXPECTED: texts the reason holds, in this order.
CAUSES = {
    "cause_port_missing": ("socket_failed", "port_missing", "serial:COM200", ("port", "open_failed", 2),
                           ["COM200 is not on this PC (error 2): plug in the serial IrDA adapter, or run QX2205R-cli "
                            "ports"]),
    "cause_port_missing_ru": ("socket_failed", "port_missing", "serial:COM200", ("port", "open_failed", 2),
                              ["порта COM200 нет на этом компьютере (ошибка 2): ", "QX2205R-cli ports"]),
    "cause_port_value_invalid": ("socket_failed", "port_value_invalid", "invalid_port:CMO5",
                                 ("port", "open_failed", 123),
                                 ["the Port value \"CMO5\" in Z:", "bad.ini is not a COM port (error 123): write it as "
                                  "Port=COM1 ... COM256 in the [Parameters] section, e.g. with QX2205R-cli use-port "
                                  "--port COM5"]),
    "cause_no_instrument": ("no_device", "no_instrument", "serial:{com}", None,
                            ["the IrDA adapter on {com} works, but no instrument answered its search: set the "
                             "instrument in PC communication mode"]),
    "cause_refused": ("connect_failed", "refused", "serial:{com}", ("irlap", "refused", 0),
                      ["the instrument refused the connection (code 10061): check that the instrument is in PC "
                       "communication mode"]),
    "cause_no_such_service": ("connect_failed", "no_such_service", "serial:{com}", ("ias", "no_such_class", 0),
                              ["the device found (QX7710Z) offers no such service: it is not this instrument"]),
    "cause_no_windows_irda": ("socket_failed", "no_irda_support", "windows_irda", None,
                              ["Windows has no IrDA here (error 10047) and no Port is set: with a serial IrDA adapter, "
                               "run QX2205R-cli ports, then QX2205R-cli use-port --port COMn"]),
}


def check_cause(name, got, com):
    result, cause, link, failure, parts = CAUSES[name]
    expected = {"result": result, "cause": cause, "link": link.replace("{com}", com), "exit_code": 1,
                "failure": None if failure is None else dict(zip(("layer", "status", "system_error"), failure))}
    for key, value in expected.items():
        if got.get(key) != value:
            fail("JSON %s is %r, expected %r" % (key, got.get(key), value))
    at = 0
    for part in parts:
        at = (got["reason"] or "").find(part.replace("{com}", com), at)
        if at < 0:
            fail("the reason %r lacks %r" % (got["reason"], part))
    # A serial failure never gives the advice written for Windows' own infrared stack.
    if link != "windows_irda" and "Infrared devices" in got["reason"]:
        fail("a serial failure's reason sends the user to Infrared devices")


def stderr_of(run):
    return run.stderr.decode("utf-8")


def check_capture_frames(data, stderr):
    # A classic pcap of IrDA frames, as many as the console said, and nothing left beside it.
    import struct
    if data[:4] != b"\xd4\xc3\xb2\xa1" or struct.unpack_from("<I", data, 20)[0] != 144:
        fail("the capture is not a pcap of IrDA frames: %r" % data[:24])
    frames, at = 0, 24
    while at + 16 <= len(data):
        at += 16 + struct.unpack_from("<I", data, at + 8)[0]
        frames += 1
    said = re.search(r"old\.pcap, (\d+) frames", stderr)
    if not said or int(said.group(1)) != frames or frames == 0:
        fail("the capture holds %d frames, the console said %s" % (frames, said and said.group(1)))


def wine_path(path):
    return "Z:" + path.replace("/", "\\")


def as_nobody():
    """For a child process: drop root for the nobody user, so that a device only root may open is refused."""
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)


PORTS_NAMESPACE = """set -e
mount --make-rprivate /
mkdir -p "$1/tty/ttyUSB0/device" "$1/bus/usb-serial" "$1/dev/serial/by-id"
ln -s "$1/bus/usb-serial" "$1/tty/ttyUSB0/device/subsystem"
touch "$1/dev/ttyUSB0"
mount --bind "$2" "$1/dev/ttyUSB0"
ln -s ../../ttyUSB0 "$1/dev/serial/by-id/usb-QX_IrDA_Adapter-if00-port0"
mount --bind "$1/tty" /sys/class/tty
mount --rbind "$1/dev" /dev
shift 2
exec "$@"
"""


NO_SERIAL_DEVICES = """set -e
mount --make-rprivate /
mount -t tmpfs none /sys/class/tty
exec "$@"
"""


def without_serial_devices(command):
    """`command` in a mount namespace of its own where /sys/class/tty is empty; None where this machine gives no
    such namespace."""
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        return None
    return ["unshare", "-m", "sh", "-c", NO_SERIAL_DEVICES, "sh"] + command


def in_ports_namespace(command, folder, pty):
    """`command` in a mount namespace of its own where the only serial device is the pty, as /dev/ttyUSB0 with a
    by-id link; None where this machine gives no such namespace (not root, or no unshare)."""
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
    if probe.returncode != 0:
        return None
    tree = os.path.join(folder, "tree")
    os.mkdir(tree)
    return ["unshare", "-m", "sh", "-c", PORTS_NAMESPACE, "sh", tree, pty] + command


def vanishing_run(command, environment, seconds, simulator_stop):
    """Runs the program and stops the simulator after `seconds`, so that its pty goes away under the run."""
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=environment)
    time.sleep(seconds)
    simulator_stop()
    try:
        stdout, stderr = process.communicate(timeout=150)
    except subprocess.TimeoutExpired:
        process.kill()
        fail("the program did not end within 150 s of its port going away")
    return subprocess.CompletedProcess(command, process.returncode, stdout, stderr)


def interrupted_run(command, environment, seconds):
    """Runs the program and sends it SIGINT after `seconds`; prints how long it took to end after that."""
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=environment)
    time.sleep(seconds)
    process.send_signal(signal.SIGINT)
    sent = time.monotonic()
    try:
        stdout, stderr = process.communicate(timeout=150)
    except subprocess.TimeoutExpired:
        process.kill()
        fail("the program did not end within 150 s of Ctrl+C")
    print("ended %.1f s after Ctrl+C" % (time.monotonic() - sent))
    return subprocess.CompletedProcess(command, process.returncode, stdout, stderr)


JSON_KEYS = ["command", "device", "word", "search_mode", "word_read", "word_sent", "written", "result", "code",
             "interrupted", "exit_code", "reason", "statuses", "result_text", "link", "cause", "failure",
             "devices", "device_used", "instruments_in_range"]
LABELS = ["[greeting]", "[greeting reply]", "[read]", "[read reply word=0x0004]"]


def check_trace(stderr, record, kind):
    # Every frame the instrument received was traced as sent, and every frame it sent as received, in order, each
    # with what it is.
    sent = re.findall(r"^\s*\d+ ms  frame sent: ([0-9A-F ]+?)  \[[^]]+\]$", stderr, re.M)
    received = re.findall(r"^\s*\d+ ms  frame received: ([0-9A-F ]+?)  \[[^]]+\]$", stderr, re.M)
    for label in LABELS:
        if label not in stderr:
            fail("no frame labelled %s" % label)
    ticks = "GetTickCount()" in stderr
    if ticks != (kind == "trace_all"):
        fail("clock readings %s in the trace" % ("shown" if ticks else "missing"))
    tries = len(re.findall(r"getsockopt\(", stderr))
    if kind == "trace_folded" and (tries != 2 or "[3 tries alike]" not in stderr):
        fail("the three failed discovery tries are not folded into one line (%d getsockopt lines)" % tries)
    if kind == "trace_all" and tries != 4:
        fail("%d getsockopt lines with --trace=all, expected 4" % tries)
    if not sent or sent != frames(record, "received"):
        fail("traced frames sent %s, the instrument received %s" % (sent, frames(record, "received")))
    if received != frames(record, "sent"):
        fail("traced frames received %s, the instrument sent %s" % (received, frames(record, "sent")))
    for call in ("WSAStartup(0x0101) -> 0", "socket(26, 1, 0) -> ", "getsockopt(", "connect(", "Sleep(1500)",
                 "closesocket(", "WSACleanup() -> 0"):
        if not re.search(r"^\s*\d+ ms  " + re.escape(call), stderr, re.M):
            fail("no trace line for %r" % call)


def check_version(stdout, expected):
    # The one line the build expects; the commit it names, when built in a checkout, is one of this checkout.
    if stdout.splitlines() != [expected]:
        fail("the version output is %r, expected the one line %r" % (stdout, expected))
    commit = re.search(r"commit ([0-9a-f]{12})$", expected)
    git = ["git", "-C", os.path.dirname(os.path.abspath(__file__))]
    if commit and subprocess.run(git + ["rev-parse"], capture_output=True).returncode == 0:
        if subprocess.run(git + ["cat-file", "-e", commit.group(1) + "^{commit}"], capture_output=True).returncode:
            fail("the version names commit %s, which this checkout does not have" % commit.group(1))


def check(name, args):
    case_name = name
    native = not args.emulator
    options, arguments, stdin, code, out_lines, err_lines, expect = (NATIVE_CASES if native else {}).get(
        name) or CASES[name]
    with tempfile.TemporaryDirectory(prefix="qx-cli-") as folder:
        os.chmod(folder, 0o755)
        russian = os.path.join(folder, "ru.ini")
        with open(russian, "wb") as f:
            f.write(b"[Parameters]\r\nLanguage=1\r\n")
        english = os.path.join(folder, "en.ini")
        with open(english, "wb") as f:
            f.write(b"[Parameters]\r\nLanguage=0\r\n")
        files = {name: os.path.join(folder, name) for name in FILES_BEFORE}
        for file_name, content in FILES_BEFORE.items():
            with open(files[file_name], "wb") as f:
                f.write(content)
        os.chmod(files["ro.pcap"], 0o444)
        if name == "capture_read_only" and os.geteuid() == 0:
            # Root writes a file whatever its mode, and so does Wine run as root: nothing to play here.
            print("SKIP: run as root, a read-only file cannot be made")
            sys.exit(77)
        bad_port = os.path.join(folder, "bad.ini")
        with open(bad_port, "wb") as f:
            f.write(b"[Parameters]\r\nLanguage=0\r\nPort=CMO5\r\n")
        record_path = os.path.join(folder, "record.json")
        serial = options[:1] == ["--serial"]
        environment = dict(os.environ)
        environment.pop("QX2205R_IRDA_LOOPBACK", None)
        config = os.path.join(folder, "config")
        settings = os.path.join(config, "qx2205r", "QX2205R.ini")
        capture = os.path.join(folder, "capture.pcap")
        if name in CAPTURE_BEFORE:
            with open(capture, "wb") as f:
                f.write(CAPTURE_BEFORE[name])
        if native:
            environment["XDG_CONFIG_HOME"] = config
            # The locale picks the language where nothing else does: each run gets its case's, or none.
            for variable in ("LC_ALL", "LC_MESSAGES", "LANG"):
                environment.pop(variable, None)
            environment.update(LOCALE.get(name, {}))
        place = (lambda path: path) if native else wine_path
        hold = True if name in INTERRUPTED and not serial else None
        instrument = (wedged_port(args.emulator) if name in WEDGED
                      else simulated_instrument(args.sim, args.emulator, options, record_path, hold))
        with instrument as port:
            if not serial:
                environment["QX2205R_IRDA_LOOPBACK"] = str(port)
            missing = os.path.join(folder, "missing.ini")
            values = {"{ru}": place(russian), "{en}": place(english), "{missing}": place(missing), "{com}": port if serial else "",
                      "{gone}": "/dev/serial/by-id/usb-QX_gone-if00-port0", "{capture}": place(capture),
                      "{settings}": settings, "{badport}": place(bad_port), "{letter}": place(files["letter.txt"]),
                      "{withport}": place(files["withport.ini"]), "{nearmiss}": place(files["near.ini"]),
                      "{dir}": place(folder), "{new}": os.path.join(folder, "new.ini")}
            def fill(text):
                for key, value in values.items():
                    text = text.replace(key, value)
                return text

            command = ([] if native else [args.emulator]) + [args.program] + [fill(a) for a in arguments]
            out_lines = [fill(line) for line in out_lines] if isinstance(out_lines, list) else out_lines
            err_lines = [fill(line) for line in err_lines] if isinstance(err_lines, list) else err_lines
            pty_mode = None
            if name in PTY_ACCESS:
                mode, group = PTY_ACCESS[name]
                if group is not None:
                    os.chown(port, -1, grp.getgrnam(group).gr_gid)
                os.chmod(port, mode)
                pty_mode = os.stat(port).st_mode
                values["{ptygroup}"] = grp.getgrgid(os.stat(port).st_gid).gr_name
                out_lines = [fill(line) for line in out_lines]
            if name in USB_DONGLES:
                if not args.sim_libusb:
                    fail("no simulated libusb given for a USB case")
                family, reachable = USB_DONGLES[name]
                environment["LD_LIBRARY_PATH"] = args.sim_libusb
                environment["QX_SIM_USB_FAMILY"] = family
                environment["QX_SIM_USB_LIGHT"] = port
                if not reachable:
                    environment["QX_SIM_USB_ACCESS"] = "denied"
                environment.update(USB_ENVIRONMENT.get(name, {}))
                if name in USB_OPENS:
                    opens_path = os.path.join(folder, "usb-opens.txt")
                    environment["QX_SIM_USB_OPENS"] = opens_path
            if name.startswith("native_usb_ports") or name in NO_SERIAL_DEVICES_LISTED:
                command = without_serial_devices(command)
                if command is None:
                    print("SKIP: this machine gives no private mount namespace (unshare -m)")
                    sys.exit(77)
            if name == "native_ports":
                command = in_ports_namespace(command, folder, port)
                if command is None:
                    print("SKIP: this machine gives no private mount namespace (unshare -m)")
                    sys.exit(77)
            if name in INTERRUPTED:
                run = interrupted_run(command, environment, INTERRUPTED[name])
            elif name in VANISHED:
                simulator = simulated_instrument.last_process
                run = vanishing_run(command, environment, VANISHED[name],
                                    lambda: simulator.send_signal(signal.SIGTERM))
            else:
                run = subprocess.run(command, input=(stdin or "").encode(), capture_output=True, env=environment,
                                     timeout=150, preexec_fn=as_nobody if pty_mode is not None else None)
            if pty_mode is not None and os.stat(port).st_mode != pty_mode:
                fail("the pty's mode changed")
            if name == "native_use_port":
                with open(settings, "rb") as f:
                    stored = f.read()
                if stored != b"[Parameters]\r\nLanguage=0\r\nPort=" + port.encode() + b"\r\n":
                    fail("the settings file holds %r" % stored)
                if os.stat(os.path.dirname(settings)).st_mode & 0o777 != 0o700:
                    fail("the settings folder was not made for its owner alone")
                # The stored port is the one a later run takes.
                again = subprocess.run([args.program, "status"], capture_output=True, env=environment, timeout=150)
                print("status after use-port: exit %d\n%s%s" % (again.returncode, again.stdout.decode(),
                                                                 again.stderr.decode()))
                if again.returncode != 0 or b"Configuration word: 0x0104" not in again.stdout:
                    fail("the run after use-port did not take the stored port")
                expect = dict(expect, connections=1, discoveries=1)
        if name in USB_OPENS:
            opened = open(opens_path).read().split() if os.path.exists(opens_path) else []
            if not opened or set(opened) - USB_OPENS[name]:
                fail("libusb opened %s; only %s may be opened" % (opened, sorted(USB_OPENS[name])))
        record = None
        if name not in WEDGED:
            with open(record_path) as f:
                record = json.load(f)
        with open(russian, "rb") as f:
            if f.read() != b"[Parameters]\r\nLanguage=1\r\n":
                fail("the settings file was changed")
        if native and name != "native_use_port" and os.path.exists(config):
            fail("a settings file was made in %s" % config)
        if any(entry.endswith(".partial") for entry in os.listdir(folder)):
            fail("a capture's .partial file was left behind: %s" % os.listdir(folder))
        for file_name, content in FILES_BEFORE.items():
            with open(files[file_name], "rb") as f:
                after = f.read()
            expected = FILES_AFTER.get(file_name, {}).get(case_name, content)
            if expected is None:
                check_capture_frames(after, stderr_of(run))
            elif after != expected:
                fail("%s holds %r after the run, expected %r" % (file_name, after, expected))
        if name == "native_capture":
            check_capture(args, capture)
        if name == "serial_capture":
            # The IrLAP frames, put in place whole (the tshark reading is the native run's).
            with open(capture, "rb") as f:
                data = f.read()
            if len(data) <= 24 or data[:4] != bytes.fromhex("d4c3b2a1"):
                fail("the capture holds %d bytes" % len(data))
        if name in CAPTURE_BEFORE:
            with open(capture, "rb") as f:
                if f.read() != CAPTURE_BEFORE[name]:
                    fail("the capture file was changed")

    stdout = run.stdout.decode("utf-8")
    stderr = run.stderr.decode("utf-8")
    print("%s: exit %d\n--- stdout\n%s--- stderr\n%s---" % (name, run.returncode, stdout, stderr))
    if run.returncode != code:
        fail("exit code %d, expected %d" % (run.returncode, code))
    if "{ru}" in arguments and "?" in stdout + stderr:
        fail("question marks in the Russian output")
    if out_lines == "version":
        check_version(stdout, args.version_text)
    elif out_lines == "json":
        got = json.loads(stdout)
        if list(got) != JSON_KEYS:
            fail("JSON keys %s, expected %s" % (list(got), JSON_KEYS))
        for key, value in JSON_EXPECTED.get(name, {}).items():
            if got.get(key) != value:
                fail("JSON %s is %r, expected %r" % (key, got.get(key), value))
        if name in CAUSES:
            check_cause(name, got, port if serial else "")
    else:
        lines = stdout.splitlines()
        at = 0
        for line in out_lines:
            # "*text": a line that ends with text (before it, a path that differs from run to run); "text*": a
            # line that starts with text.
            while at < len(lines) and lines[at] != line and not (
                    line[:1] == "*" and lines[at].endswith(line[1:])) and not (
                    line.endswith("*") and lines[at].startswith(line[:-1])):
                at += 1
            if at == len(lines):
                fail("standard output lacks %r (in order)" % line)
        if "--all" in arguments and "reads" in expect:
            # One line with a word for each instrument the record shows read.
            said = [line for line in lines if ": configuration word " in line]
            if len(said) != expect["reads"]:
                fail("%d instruments with a word in the report, the instrument was read %d times"
                     % (len(said), expect["reads"]))
        if out_lines and out_lines[-1] in RESULTS and lines[-1] != out_lines[-1]:
            fail("the result text is not last")
        for line in lines:
            if line in PROGRESS or line in (FAILURE,) and UNCONFIRMED in lines:
                fail("standard output holds %r" % line)
    if name in INTERRUPTED and "-t" in arguments:
        # Every discovery try the trace shows after the interruption was cut short by it.
        after = stderr[stderr.find("Interrupted:"):]
        tries = re.findall(r"getsockopt\(.*-> ([^\[]*?)\s*(?:\[|$)", after, re.M)
        if not tries or any(t != "-1, error 10004" for t in tries):
            fail("discovery tries after the interruption: %s; the one under way did not end with it" % tries)
    if name in INTERRUPTED and "--trace" in arguments:
        tries = re.findall(r"^\s*\d+ ms  getsockopt\(.*-> (-1, error \d+)", stderr, re.M)
        if not tries or any(t != "-1, error 10004" for t in tries):
            fail("discovery tries %s: the one under way did not end with the interruption" % tries)
    if isinstance(err_lines, str):
        check_trace(stderr, record, err_lines)
    elif err_lines is not None:
        at = 0
        for text in err_lines:
            at = stderr.find(text, at)
            if at < 0:
                fail("standard error lacks %r (in order)" % text)
            at += len(text)
    if name in NOT_ON_STDERR and NOT_ON_STDERR[name] in stderr:
        fail("standard error holds %r" % NOT_ON_STDERR[name])
    if "-q" in arguments and any(line in PROGRESS for line in stderr.splitlines()):
        fail("progress lines on standard error despite -q")
    if native and re.search(r"^Searching devices error\d", stderr, re.M):
        fail("the window's status line with a Windows number glued to it")
    if "click" in stderr:
        fail("the console prompt speaks of clicking")
    if serial and "QX2205R_IRDA_LOOPBACK" in stderr:
        fail("the loopback emulation is on in a run over the serial stack")
    if not serial and code != 2 and out_lines != "version" and "127.0.0.1:%d" % port not in stderr:
        fail("standard error does not say the loopback emulation is on")

    if record is not None:
        check_record(record, expect)
    if (name == "native_ports" or name.startswith("native_usb_ports")) and len(record["discoveries"]) != 1:
        fail("%d discoveries on the one serial device" % len(record["discoveries"]))
    if os.path.exists(os.path.join(os.path.dirname(args.program), "QX2205R.ini")):
        fail("a settings file was created beside the program")
    print("PASS: " + name)


def check_capture(args, capture):
    """The run's capture, read by tshark: every frame decodes and the session's fields are there."""
    if not args.tshark_check:
        fail("no tshark check script given for the capture")
    checked = subprocess.run([sys.executable, args.tshark_check, "--check-pcap", capture], capture_output=True,
                             text=True, timeout=120)
    print(checked.stdout + checked.stderr)
    if checked.returncode != 0:
        fail("tshark did not read the capture as a whole session")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim")
    parser.add_argument("--program")
    parser.add_argument("--emulator")
    parser.add_argument("--native", action="store_true")
    parser.add_argument("--version-text")
    parser.add_argument("--tshark-check")
    parser.add_argument("--sim-libusb", help="the folder of the simulated libusb-1.0.so.0, for the USB cases")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("case", nargs="?")
    args = parser.parse_args()
    cases = ({name: case for name, case in dict(CASES, **NATIVE_CASES).items() if name not in WINDOWS_ONLY}
             if args.native else CASES)
    if args.list:
        print("\n".join(cases))
        return
    if args.case not in cases:
        fail("unknown case %r" % args.case)
    if args.native == bool(args.emulator):
        fail("give either --emulator (Windows) or --native")
    check(args.case, args)


if __name__ == "__main__":
    main()
