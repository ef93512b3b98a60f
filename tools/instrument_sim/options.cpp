#include "options.h"

#include <algorithm>
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

// What a command line has said so far, beyond the options themselves.
struct ParseState {
    bool devicesGiven = false;
    std::string serialOnly;  // an option of the serial mode, given without it
};

// One more listed device of `kind`; the first one given replaces the default device.
bool AddDevice(Options& o, std::string_view v, ParseState& state, DeviceKind kind) {
    if (!state.devicesGiven) {
        o.devices.clear();
        state.devicesGiven = true;
    }
    auto device = ParseDevice(v, FIRST_DEFAULT_DEVICE_ID + static_cast<std::uint32_t>(o.devices.size()));
    if (!device || o.devices.size() >= DEVICE_LIMIT) {
        return false;
    }
    device->kind = kind;
    o.devices.push_back(*device);
    return true;
}

constexpr std::size_t GREETING_REPLY_SIZE = 12;
constexpr std::size_t READ_REPLY_SIZE = 8;
constexpr std::size_t WRITE_REPLY_SIZE = 3;

enum class Group { General, Faults, Serial };

// One option: its name, its value's name in the help (empty for a flag), its help, and how it applies its
// value (false: a bad value). The table feeds both the parser and the help text.
struct OptionRow {
    std::string_view name;
    std::string_view value;
    Group group;
    std::string_view help;  // lines after the first are indented to the help column
    bool (*apply)(Options& options, std::string_view value, ParseState& state);
};

template <typename T>
bool Store(T& field, std::optional<std::int64_t> value) {
    if (!value) {
        return false;
    }
    field = static_cast<T>(*value);
    return true;
}

bool FrameFaultOption(std::optional<FrameFault>& field, std::string_view value, std::size_t replySize) {
    field = ParseFrameFault(value, replySize);
    return field.has_value();
}

bool ErrorFaultOption(std::optional<ErrorFault>& field, std::string_view value) {
    field = ParseErrorFault(value);
    return field.has_value();
}

constexpr OptionRow OPTIONS[] = {
    {"--help", "", Group::General, "this text",
     [](Options& o, std::string_view, ParseState&) { return o.help = true; }},
    {"--port", "N", Group::General,
     "TCP port to listen on; 0 (default) picks a free one. The port is printed on stdout\n"
     "as the only line the simulator prints there.",
     [](Options& o, std::string_view v, ParseState&) { return Store(o.port, ParseInRange(v, 0, 65535)); }},
    {"--port-file", "FILE", Group::General, "also write the port to FILE",
     [](Options& o, std::string_view v, ParseState&) {
         o.portFile = v;
         return true;
     }},
    {"--record", "FILE", Group::General,
     "write the session as JSON to FILE after each connection and when it stops",
     [](Options& o, std::string_view v, ParseState&) {
         o.recordFile = v;
         return true;
     }},
    {"--timeout-s", "N", Group::General,
     "stop by itself after N seconds (default 60); SIGTERM and SIGINT stop it too",
     [](Options& o, std::string_view v, ParseState&) {
         return Store(o.timeoutS, ParseInRange(v, 1, 86400));
     }},
    {"--device", "NAME[:ID]", Group::General,
     "list a device in discovery (repeat for several; name 1-22 characters; ID decimal or\n"
     "0x hex, default 0x4B3A2910 + its position). Default: one device, QX7710Z.",
     [](Options& o, std::string_view v, ParseState& state) {
         return AddDevice(o, v, state, DeviceKind::Instrument);
     }},
    {"--other-device", "NAME[:ID]", Group::General,
     "list a device that offers no such service (a phone, a printer): IAS knows no such class\n"
     "and a connect to it is refused with 10061; as --device otherwise",
     [](Options& o, std::string_view v, ParseState& state) {
         return AddDevice(o, v, state, DeviceKind::NoService);
     }},
    {"--mute-device", "NAME[:ID]", Group::General,
     "list a device that answers discovery only: its connection request goes unanswered\n"
     "(over TCP the connect fails with 10060); as --device otherwise",
     [](Options& o, std::string_view v, ParseState& state) {
         return AddDevice(o, v, state, DeviceKind::DiscoveryOnly);
     }},
    {"--no-devices", "", Group::General, "discovery finds no device",
     [](Options& o, std::string_view, ParseState& state) {
         o.devices.clear();
         state.devicesGiven = true;
         return true;
     }},
    {"--word", "W", Group::General, "the configuration word at start (default 0x0004)",
     [](Options& o, std::string_view v, ParseState&) { return Store(o.word, ParseInRange(v, 0, 0xFFFF)); }},
    {"--delay-ms", "N", Group::General, "the wait of the delay fault (default 500)",
     [](Options& o, std::string_view v, ParseState&) {
         return Store(o.delayMs, ParseInRange(v, 0, 600000));
     }},
    {"--discovery-delay-ms", "N", Group::General,
     "each discovery try answers after N ms, as a real IrDA search takes time (default 0)",
     [](Options& o, std::string_view v, ParseState&) {
         return Store(o.discoveryDelayMs, ParseInRange(v, 0, 10000));
     }},
    {"--discovery-error", "CODE[:COUNT]", Group::Faults, "discovery tries fail with the Winsock code CODE",
     [](Options& o, std::string_view v, ParseState&) { return ErrorFaultOption(o.discoveryError, v); }},
    {"--connect-error", "CODE[:COUNT]", Group::Faults, "connect fails with the Winsock code CODE",
     [](Options& o, std::string_view v, ParseState&) { return ErrorFaultOption(o.connectError, v); }},
    {"--greeting-fault", "KIND[:COUNT]", Group::Faults, "the reply to the greeting",
     [](Options& o, std::string_view v, ParseState&) {
         return FrameFaultOption(o.greetingFault, v, GREETING_REPLY_SIZE);
     }},
    {"--read-fault", "KIND[:COUNT]", Group::Faults, "the reply to the read request",
     [](Options& o, std::string_view v, ParseState&) {
         return FrameFaultOption(o.readFault, v, READ_REPLY_SIZE);
     }},
    {"--write-fault", "KIND[:COUNT]", Group::Faults,
     "the reply to the write request. The instrument stores the word when the\n"
     "write request arrives, whatever becomes of its acknowledgement, unless\n"
     "its answer's status (byte 0) is other than A0: then it refused the write",
     [](Options& o, std::string_view v, ParseState&) {
         return FrameFaultOption(o.writeFault, v, WRITE_REPLY_SIZE);
     }},
    {"--serial", "", Group::Serial,
     "make a pty and play the instrument on it in IrDA at 9600 baud: SIR framing, IrLAP\n"
     "secondary (XID with each device's nickname, UA with its own parameters), IrLMP, IAS\n"
     "(class = the device's name, attribute IrDA:TinyTP:LsapSel) and TinyTP with credits,\n"
     "the instrument's frames within. The pty's path (/dev/pts/N) is printed on stdout, as\n"
     "the only line, and written to --port-file.",
     [](Options& o, std::string_view, ParseState&) { return o.serial = true; }},
    {"--serial-device", "PATH", Group::Serial, "the same on a serial device (opened at 9600 baud, 8N1, raw)",
     [](Options& o, std::string_view v, ParseState&) {
         o.serialDevice = v;
         return !v.empty();
     }},
    {"--unpaced", "", Group::Serial,
     "pass bytes as fast as the line takes them, not at 9600 baud (about 1.04 ms a byte,\n"
     "each way, as on a real line): for tests that do not need the line's timing",
     [](Options& o, std::string_view, ParseState& state) {
         state.serialOnly = "--unpaced";
         o.paced = false;
         return true;
     }},
    {"--turnaround-ms", "N", Group::Serial, "the wait of the slow-turnaround fault (default 400)",
     [](Options& o, std::string_view v, ParseState& state) {
         state.serialOnly = "--turnaround-ms";
         return Store(o.turnaroundMs, ParseInRange(v, 0, 10000));
     }},
    {"--capture", "FILE", Group::Serial,
     "every IrLAP frame in and out, time-stamped, as a pcap file of link type 144\n"
     "(LINKTYPE_LINUX_IRDA) for Wireshark and tshark; \"sent\" is the instrument's",
     [](Options& o, std::string_view v, ParseState& state) {
         state.serialOnly = "--capture";
         o.captureFile = v;
         return true;
     }},
    {"--wire-log", "FILE", Group::Serial,
     "every byte on the line as it went, one line a chunk: \"< C0 FF ...\" received,\n"
     "\"> ...\" sent (echoes and noise included)",
     [](Options& o, std::string_view v, ParseState& state) {
         state.serialOnly = "--wire-log";
         o.wireLogFile = v;
         return true;
     }},
    {"--link-fault", "KIND[:COUNT]", Group::Serial,
     "a fault of the link (repeat for several; kinds below); COUNT for the counted kinds,\n"
     "default 1",
     [](Options& o, std::string_view v, ParseState& state) {
         state.serialOnly = "--link-fault";
         return ParseLinkFault(v, o.linkFaults);
     }},
};

const OptionRow* RowNamed(std::string_view name) {
    for (const OptionRow& row : OPTIONS) {
        if (row.name == name || (row.name == "--help" && name == "-h")) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string_view>& args, std::string& error) {
    Options options;
    ParseState state;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::string_view value;
        bool hasValue = false;
        if (const auto equals = name.find('='); equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        const OptionRow* row = RowNamed(name);
        if (row == nullptr) {
            error = "unknown option " + std::string(name);
            return std::nullopt;
        }
        if (!row->value.empty() && !hasValue) {
            if (i + 1 >= args.size()) {
                error = std::string(name) + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        if (!row->apply(options, value, state)) {
            error = "bad value for " + std::string(name) + ": '" + std::string(value) + "'";
            return std::nullopt;
        }
    }
    if (options.serial && !options.serialDevice.empty()) {
        error = "--serial and --serial-device exclude each other";
        return std::nullopt;
    }
    if (!state.serialOnly.empty() && !options.SerialMode()) {
        error = state.serialOnly + " needs --serial or --serial-device";
        return std::nullopt;
    }
    return options;
}

bool Options::SerialMode() const {
    return serial || !serialDevice.empty();
}

namespace {

// The rows of one group, two columns: "  --name VALUE" padded to the help column, then the help.
std::string HelpRows(Group group) {
    const auto leftOf = [](const OptionRow& row) {
        return "  " + std::string(row.name) + (row.value.empty() ? "" : " " + std::string(row.value));
    };
    std::size_t column = 27;
    for (const OptionRow& row : OPTIONS) {
        if (row.group == group) {
            column = std::max(column, leftOf(row).size() + 3);
        }
    }
    std::string out;
    for (const OptionRow& row : OPTIONS) {
        if (row.group != group) {
            continue;
        }
        std::string left = leftOf(row);
        left += std::string(column - left.size(), ' ');
        out += left;
        for (const char c : row.help) {
            out += c;
            if (c == '\n') {
                out += std::string(column, ' ');
            }
        }
        out += "\n";
    }
    return out;
}

}  // namespace

std::string HelpText() {
    return "instrument_sim: plays the instrument over the IrDA loopback emulation (TCP on 127.0.0.1), or in "
           "IrDA\n"
           "over a serial line (--serial, --serial-device).\n\n"
           "Usage: instrument_sim [options]      (--name VALUE or --name=VALUE)\n\n" +
           HelpRows(Group::General) +
           "\nFaults (COUNT: how many times it plays before the simulator behaves again; default every "
           "time):\n" +
           HelpRows(Group::Faults) + R"(
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
)" + HelpRows(Group::Serial) +
           R"(  The word, the record and the faults above play as over TCP; a device's id is its IrLAP address, and a
  connect is the IrLMP connect to its TinyTP LSAP with the class of the IAS query as its service name. The link
  drops when the primary stays silent past the link disconnect threshold (3 s unless the primary negotiates
  8 s). The record gains "irda": the discoveries, each link (parameters, IAS queries, IrLMP, retransmissions,
  how it ended) and the line's byte and frame counts.
  Link fault kinds:
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
