#include "options.h"

#include <charconv>
#include <cstdint>
#include <limits>

namespace sim {

namespace {

// Decimal, or hexadecimal after 0x; an optional minus sign for decimal numbers only.
std::optional<std::int64_t> ParseNumber(std::string_view text) {
    int base = 10;
    bool negative = false;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.starts_with('-')) {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 12 || text.starts_with('-')) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::optional<std::int64_t> ParseInRange(std::string_view text, std::int64_t low, std::int64_t high) {
    const auto value = ParseNumber(text);
    if (!value || *value < low || *value > high) {
        return std::nullopt;
    }
    return value;
}

// Splits "MAIN:COUNT" at the last colon; COUNT absent means every time.
bool SplitCount(std::string_view text, std::string_view& main, int& count) {
    const auto colon = text.rfind(':');
    main = text.substr(0, colon);
    count = EVERY_TIME;
    if (colon == std::string_view::npos) {
        return true;
    }
    const auto parsed = ParseInRange(text.substr(colon + 1), 1, 1000000);
    if (!parsed) {
        return false;
    }
    count = static_cast<int>(*parsed);
    return true;
}

std::optional<ErrorFault> ParseErrorFault(std::string_view text) {
    std::string_view code;
    ErrorFault fault;
    if (!SplitCount(text, code, fault.remaining)) {
        return std::nullopt;
    }
    const auto value = ParseInRange(code, std::numeric_limits<std::int32_t>::min(),
                                    std::numeric_limits<std::int32_t>::max());
    if (!value || *value == 0) {
        return std::nullopt;
    }
    fault.code = static_cast<std::int32_t>(*value);
    return fault;
}

std::optional<FrameFault> ParseFrameFault(std::string_view text, std::size_t replySize) {
    struct Named {
        std::string_view name;
        FaultKind kind;
    };
    static constexpr Named PLAIN_KINDS[] = {
        {"length", FaultKind::Length}, {"short", FaultKind::Short}, {"silent", FaultKind::Silent},
        {"drop", FaultKind::Drop},     {"reset", FaultKind::Reset}, {"delay", FaultKind::Delay},
        {"late", FaultKind::Late},
    };
    std::string_view kind;
    FrameFault fault;
    if (!SplitCount(text, kind, fault.remaining)) {
        return std::nullopt;
    }
    for (const auto& named : PLAIN_KINDS) {
        if (kind == named.name) {
            fault.kind = named.kind;
            return fault;
        }
    }
    if (kind.starts_with("status-") && kind.size() == 9) {
        const auto value = ParseInRange("0x" + std::string(kind.substr(7)), 0, 0xFF);
        if (value) {
            fault.kind = FaultKind::Status;
            fault.value = static_cast<std::uint8_t>(*value);
            return fault;
        }
    }
    if (kind.starts_with("byte-")) {
        const auto value = ParseInRange(kind.substr(5), 0, static_cast<std::int64_t>(replySize) - 1);
        if (value && !kind.substr(5).starts_with("0x")) {
            fault.kind = FaultKind::Byte;
            fault.value = static_cast<std::uint8_t>(*value);
            return fault;
        }
    }
    return std::nullopt;
}

// KIND[:COUNT] of a link fault; the counted kinds play once unless COUNT says otherwise.
bool ParseLinkFault(std::string_view text, LinkFaults& faults) {
    std::string_view kind;
    int count = EVERY_TIME;
    if (!SplitCount(text, kind, count)) {
        return false;
    }
    const int times = count == EVERY_TIME ? 1 : count;
    struct Counted {
        std::string_view name;
        int LinkFaults::*count;
    };
    static constexpr Counted COUNTED[] = {
        {"bad-fcs", &LinkFaults::badFcs},
        {"drop-reply", &LinkFaults::dropReply},
        {"dm-snrm", &LinkFaults::dmSnrm},
        {"rnr", &LinkFaults::rnr},
        {"rd-after-connect", &LinkFaults::rdAfterConnect},
        {"frmr-data", &LinkFaults::frmrOnData},
        {"ias-ack", &LinkFaults::iasAck},
        {"miss-discovery", &LinkFaults::missDiscovery},
        {"lost-copies", &LinkFaults::lostCopies},
    };
    struct Switch {
        std::string_view name;
        bool LinkFaults::*on;
    };
    static constexpr Switch SWITCHES[] = {
        {"no-ias-class", &LinkFaults::noIasClass},
        {"slow-turnaround", &LinkFaults::slowTurnaround},
        {"echo", &LinkFaults::echo},
        {"noise", &LinkFaults::noise},
        {"silent-after-connect", &LinkFaults::silentAfterConnect},
        {"stale-link", &LinkFaults::staleLink},
        {"lite-firmware", &LinkFaults::liteFirmware},
        {"rnr-while-writing", &LinkFaults::rnrWhileWriting},
    };
    struct Loss {
        std::string_view name;
        AfterWrite loss;
    };
    static constexpr Loss LOSSES[] = {
        {"silent-after-write", AfterWrite::Silent}, {"dm-after-write", AfterWrite::Dm},
        {"frmr-after-write", AfterWrite::Frmr},     {"bad-nr-after-write", AfterWrite::BadNr},
        {"gone-after-write", AfterWrite::Gone},
    };
    for (const auto& named : LOSSES) {
        if (kind == named.name && count == EVERY_TIME) {
            faults.afterWrite = named.loss;
            return true;
        }
    }
    for (const auto& counted : COUNTED) {
        if (kind == counted.name) {
            faults.*counted.count = times;
            return true;
        }
    }
    for (const auto& named : SWITCHES) {
        if (kind == named.name && count == EVERY_TIME) {
            faults.*named.on = true;
            return true;
        }
    }
    return false;
}

std::optional<Device> ParseDevice(std::string_view text, std::uint32_t defaultId) {
    Device device{defaultId, std::string(text)};
    const auto colon = text.rfind(':');
    if (colon != std::string_view::npos) {
        const auto id = ParseInRange(text.substr(colon + 1), 0, 0xFFFFFFFF);
        if (!id) {
            return std::nullopt;
        }
        device = {static_cast<std::uint32_t>(*id), std::string(text.substr(0, colon))};
    }
    if (device.name.empty() || device.name.size() > DEVICE_NAME_LIMIT) {
        return std::nullopt;
    }
    return device;
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string_view>& args, std::string& error) {
    constexpr std::size_t GREETING_REPLY_SIZE = 12;
    constexpr std::size_t READ_REPLY_SIZE = 8;
    constexpr std::size_t WRITE_REPLY_SIZE = 3;
    Options options;
    bool devicesGiven = false;
    std::string serialOnly;  // an option of the serial mode, given without it
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::string_view value;
        bool hasValue = false;
        if (const auto equals = name.find('='); equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name == "--serial") {
            options.serial = true;
            continue;
        }
        if (name == "--no-devices") {
            options.devices.clear();
            devicesGiven = true;
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                error = std::string(name) + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        const auto bad = [&] {
            error = "bad value for " + std::string(name) + ": '" + std::string(value) + "'";
            return std::nullopt;
        };
        if (name == "--port") {
            const auto port = ParseInRange(value, 0, 65535);
            if (!port) {
                return bad();
            }
            options.port = static_cast<std::uint16_t>(*port);
        } else if (name == "--serial-device") {
            if (value.empty()) {
                return bad();
            }
            options.serialDevice = value;
        } else if (name == "--capture") {
            options.captureFile = value;
            serialOnly = name;
        } else if (name == "--wire-log") {
            options.wireLogFile = value;
            serialOnly = name;
        } else if (name == "--link-fault") {
            if (!ParseLinkFault(value, options.linkFaults)) {
                return bad();
            }
            serialOnly = name;
        } else if (name == "--turnaround-ms") {
            const auto ms = ParseInRange(value, 0, 10000);
            if (!ms) {
                return bad();
            }
            options.turnaroundMs = static_cast<std::uint32_t>(*ms);
            serialOnly = name;
        } else if (name == "--port-file") {
            options.portFile = value;
        } else if (name == "--record") {
            options.recordFile = value;
        } else if (name == "--device") {
            if (!devicesGiven) {
                options.devices.clear();
                devicesGiven = true;
            }
            const auto device = ParseDevice(
                value, FIRST_DEFAULT_DEVICE_ID + static_cast<std::uint32_t>(options.devices.size()));
            if (!device || options.devices.size() >= DEVICE_LIMIT) {
                return bad();
            }
            options.devices.push_back(*device);
        } else if (name == "--word") {
            const auto word = ParseInRange(value, 0, 0xFFFF);
            if (!word) {
                return bad();
            }
            options.word = static_cast<std::uint16_t>(*word);
        } else if (name == "--timeout-s") {
            const auto seconds = ParseInRange(value, 1, 86400);
            if (!seconds) {
                return bad();
            }
            options.timeoutS = static_cast<int>(*seconds);
        } else if (name == "--delay-ms") {
            const auto ms = ParseInRange(value, 0, 600000);
            if (!ms) {
                return bad();
            }
            options.delayMs = static_cast<std::uint32_t>(*ms);
        } else if (name == "--discovery-delay-ms") {
            const auto ms = ParseInRange(value, 0, 10000);
            if (!ms) {
                return bad();
            }
            options.discoveryDelayMs = static_cast<std::uint32_t>(*ms);
        } else if (name == "--discovery-error" || name == "--connect-error") {
            const auto fault = ParseErrorFault(value);
            if (!fault) {
                return bad();
            }
            (name == "--discovery-error" ? options.discoveryError : options.connectError) = fault;
        } else if (name == "--greeting-fault" || name == "--read-fault" || name == "--write-fault") {
            const std::size_t replySize = name == "--greeting-fault" ? GREETING_REPLY_SIZE
                                          : name == "--read-fault"   ? READ_REPLY_SIZE
                                                                     : WRITE_REPLY_SIZE;
            const auto fault = ParseFrameFault(value, replySize);
            if (!fault) {
                return bad();
            }
            (name == "--greeting-fault" ? options.greetingFault
             : name == "--read-fault"   ? options.readFault
                                        : options.writeFault) = fault;
        } else {
            error = "unknown option " + std::string(name);
            return std::nullopt;
        }
    }
    if (options.serial && !options.serialDevice.empty()) {
        error = "--serial and --serial-device exclude each other";
        return std::nullopt;
    }
    if (!serialOnly.empty() && !options.SerialMode()) {
        error = serialOnly + " needs --serial or --serial-device";
        return std::nullopt;
    }
    return options;
}

bool Options::SerialMode() const {
    return serial || !serialDevice.empty();
}

std::string HelpText() {
    return R"(instrument_sim: plays the instrument over the IrDA loopback emulation (TCP on 127.0.0.1), or in IrDA
over a serial line (--serial, --serial-device).

Usage: instrument_sim [options]      (--name VALUE or --name=VALUE)

  --port N                 TCP port to listen on; 0 (default) picks a free one. The port is printed on stdout
                           as the only line the simulator prints there.
  --port-file FILE         also write the port to FILE
  --record FILE            write the session as JSON to FILE after each connection and when it stops
  --timeout-s N            stop by itself after N seconds (default 60); SIGTERM and SIGINT stop it too
  --device NAME[:ID]       list a device in discovery (repeat for several; name 1-22 characters; ID decimal or
                           0x hex, default 0x4B3A2910 + its position). Default: one device, QX7710Z.
  --no-devices             discovery finds no device
  --word W                 the configuration word at start (default 0x0004)
  --delay-ms N             the wait of the delay fault (default 500)
  --discovery-delay-ms N   each discovery try answers after N ms, as a real IrDA search takes time (default 0)

Faults (COUNT: how many times it plays before the simulator behaves again; default every time):
  --discovery-error CODE[:COUNT]   discovery tries fail with the Winsock code CODE
  --connect-error CODE[:COUNT]     connect fails with the Winsock code CODE
  --greeting-fault KIND[:COUNT]    the reply to the greeting
  --read-fault KIND[:COUNT]        the reply to the read request
  --write-fault KIND[:COUNT]       the reply to the write request. The instrument stores the word when the
                                   write request arrives, whatever becomes of its acknowledgement, unless
                                   its answer's status (byte 0) is other than A0: then it refused the write

Fault kinds:
  status-XX   byte 0 (the status) is XX in hex: status-90, status-c0, status-55 ...
  length      the length field is one too large
  byte-N      byte N of the reply is inverted (greeting 0-11, read 0-7, write 0-2)
  short       only the first half of the reply is sent, nothing more
  silent      no reply at all
  drop        the first half of the reply, then the connection is closed
  reset       the first half of the reply, then the connection is reset
  delay       the right reply, after --delay-ms
  late        the right reply, held back until the next request arrives and then sent just ahead of that
              request's own reply, as a reply that missed the program's wait; with COUNT 2 or more the
              next reply is late too

Serial IrDA (instead of TCP):
  --serial                 make a pty and play the instrument on it in IrDA at 9600 baud: SIR framing, IrLAP
                           secondary (XID with each device's nickname, UA with its own parameters), IrLMP, IAS
                           (class = the device's name, attribute IrDA:TinyTP:LsapSel) and TinyTP with credits,
                           the instrument's frames within. The pty's path (/dev/pts/N) is printed on stdout, as
                           the only line, and written to --port-file.
  --serial-device PATH     the same on a serial device (opened at 9600 baud, 8N1, raw)
  --turnaround-ms N        the wait of the slow-turnaround fault (default 400)
  --capture FILE           every IrLAP frame in and out, time-stamped, as a pcap file of link type 144
                           (LINKTYPE_LINUX_IRDA) for Wireshark and tshark; "sent" is the instrument's
  --wire-log FILE          every byte on the line as it went, one line a chunk: "< C0 FF ..." received,
                           "> ..." sent (echoes and noise included)
  The word, the record and the faults above play as over TCP; a device's id is its IrLAP address, and a
  connect is the IrLMP connect to its TinyTP LSAP with the class of the IAS query as its service name. The link
  drops when the primary stays silent past the link disconnect threshold (3 s unless the primary negotiates
  8 s). The record gains "irda": the discoveries, each link (parameters, IAS queries, IrLMP, retransmissions,
  how it ended) and the line's byte and frame counts.
  --link-fault KIND[:COUNT]  a fault of the link (repeat for several); COUNT for the counted kinds, default 1:
    bad-fcs[:COUNT]        the first COUNT frames with the instrument's data go out with a wrong FCS
    drop-reply[:COUNT]     the first COUNT frames with the instrument's data are lost on the way out
    dm-snrm[:COUNT]        the first COUNT connection requests (SNRM) are answered with DM
    rnr[:COUNT]            the first COUNT frames with the program's data are answered with RNR and not taken
    no-ias-class           IAS answers every query with "no such class"
    slow-turnaround        every response goes out --turnaround-ms after the frame it answers
    echo                   the adapter echoes every byte it is sent, ahead of any answer
    noise                  stray bytes and a runt frame with a bad FCS ahead of every frame sent
    silent-after-connect   nothing more is sent once the TinyTP connection is confirmed
    lost-copies:COUNT      the first COUNT copies of each I-frame the program sends are lost on the way in;
                           the instrument answers each such poll with RR that does not acknowledge it
    silent-after-write     the instrument stores the word of the write request and then sends nothing more
    dm-after-write         ... and answers the write's frame with DM: the link is gone
    frmr-after-write       ... and answers the write's frame with FRMR: the link is gone
    bad-nr-after-write     ... and answers the write's frame with RR whose N(r) acknowledges a frame never sent
    gone-after-write       ... and the adapter goes away: the line hangs up and the simulator stops
    rd-after-connect[:COUNT]  the first poll after COUNT connections is answered with RD (request disconnect)
    frmr-data[:COUNT]      the first COUNT frames with the program's data are answered with FRMR
    ias-ack[:COUNT]        the first COUNT IAS answers follow an IAS frame with the Ack bit (no answer in it)
    miss-discovery[:COUNT] the first COUNT discoveries go unanswered, as minimal firmware may miss one
    stale-link             at start the instrument still holds a link of a primary that vanished without DISC:
                           it answers discovery with RR from that link and ignores SNRM until its watchdog
                           (the threshold, restarted by every frame heard, XID included) runs out or DISC ends it
    lite-firmware          any IrLMP disconnect ends the whole link at once, without a word (IrDA Lite firmware)
    rnr-while-writing      a write request is taken and answered RNR for a second while it is stored

Frames the instrument does not know (a wrong greeting, any request before the greeting) get C0 00 03.
A connect whose address names no listed device (id and service name) is refused with 10061.
)";
}

}  // namespace sim
