// The simulator's command line: TCP or serial IrDA, which devices it lists, the word it starts with, where it
// records the session, and which faults it plays at discovery, connect, each kind of frame and on the IrDA
// link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr std::size_t DEVICE_NAME_LIMIT = 22;
inline constexpr std::size_t DEVICE_LIMIT = 64;
// Device ids when none is given: distinct bytes, so a link that copies them wrongly shows it.
inline constexpr std::uint32_t FIRST_DEFAULT_DEVICE_ID = 0x4B3A2910;
inline constexpr const char* DEFAULT_DEVICE_NAME = "QX7710Z";
// A repeat count for faults that play every time.
inline constexpr int EVERY_TIME = -1;

// What a listed device does past discovery.
enum class DeviceKind {
    Instrument,     // the instrument: takes the connection under its own name
    NoService,      // another kind of device (a phone, a printer): IAS knows no such class, the connect is
                    // refused
    DiscoveryOnly,  // answers discovery and nothing else: a connection request goes unanswered
};

struct Device {
    std::uint32_t id = 0;
    std::string name;
    DeviceKind kind = DeviceKind::Instrument;
};

// A failure code answered to a discovery or connect request, `remaining` more times (EVERY_TIME: always).
struct ErrorFault {
    std::int32_t code = 0;
    int remaining = EVERY_TIME;
};

enum class FaultKind {
    Status,  // the reply with byte 0 replaced by `value`
    Length,  // the reply's length field one too large
    Byte,    // the reply with byte `value` inverted
    Short,   // only the first half of the reply, nothing more
    Silent,  // no reply at all
    Drop,    // the first half of the reply, then the connection closed
    Reset,   // the first half of the reply, then the connection reset
    Delay,   // the right reply, after the delay
    Late,    // the right reply, held back until the next request comes, then sent ahead of that one's reply
};

struct FrameFault {
    FaultKind kind = FaultKind::Silent;
    std::uint8_t value = 0;
    int remaining = EVERY_TIME;
};

// How the link is lost once the instrument has taken a write request (and stored its word).
enum class AfterWrite {
    Nothing,  // the link goes on as it should
    Silent,   // nothing more is sent
    Dm,       // DM instead of the answer: the link is gone
    Frmr,     // FRMR instead of the answer
    BadNr,    // RR whose N(r) acknowledges a frame the program never sent
    Gone,     // the adapter goes away: the line hangs up
};

// Faults of the serial IrDA link, each off (0 / false) unless the command line asks for it. The counts say
// how many times a fault plays (EVERY_TIME: always).
struct LinkFaults {
    int badFcs = 0;           // data frames sent with a wrong FCS
    int dropReply = 0;        // data frames that never leave, as if lost on the way
    int dmSnrm = 0;           // connection requests answered with DM
    bool noIasClass = false;  // IAS knows no class at all
    int rnr = 0;              // data frames answered with RNR and not taken
    bool slowTurnaround = false;
    bool echo = false;   // the adapter sends back every byte it is sent
    bool noise = false;  // garbage bytes ahead of every frame sent
    bool silentAfterConnect = false;
    AfterWrite afterWrite = AfterWrite::Nothing;
    int lostCopies = 0;      // the first copies of each of the program's I-frames that are lost on the way in
    int rdAfterConnect = 0;  // links answered with RD (request disconnect) at the first poll after UA
    int frmrOnData = 0;      // frames with the program's data answered with FRMR
    bool staleLink = false;  // starts holding a link of a primary that vanished, kept until its watchdog
    bool liteFirmware = false;     // any IrLMP disconnect ends the whole link, silently (IrDA Lite firmware)
    bool rnrWhileWriting = false;  // a second of RNR (frame taken) while a write request is stored
    int iasAck = 0;                // IAS answers preceded by a frame with the Ack bit
    int missDiscovery = 0;         // whole discoveries left unanswered
};

struct Options {
    std::uint16_t port = 0;
    // Serial IrDA instead of TCP: on a pty of its own (serial), or on a named serial device.
    bool serial = false;
    std::string serialDevice;
    std::string captureFile;
    std::string wireLogFile;
    LinkFaults linkFaults;
    // Bytes pass at the line rate each way (9600 baud), as on a real line; off, as fast as the pty takes
    // them.
    bool paced = true;
    std::uint32_t turnaroundMs = 400;  // the slow turnaround's wait before each response
    std::string portFile;
    std::string recordFile;
    std::vector<Device> devices{{FIRST_DEFAULT_DEVICE_ID, DEFAULT_DEVICE_NAME}};
    std::uint16_t word = 0x0004;
    int timeoutS = 60;
    std::uint32_t delayMs = 500;
    std::uint32_t discoveryDelayMs = 0;  // how long each discovery try takes to answer
    std::optional<ErrorFault> discoveryError;
    std::optional<ErrorFault> connectError;
    std::optional<FrameFault> greetingFault;
    std::optional<FrameFault> readFault;
    std::optional<FrameFault> writeFault;
    bool help = false;

    bool SerialMode() const;
};

// Parses argv[1..]; on a bad command line returns nullopt and says why in `error`.
std::optional<Options> ParseOptions(const std::vector<std::string_view>& args, std::string& error);

std::string HelpText();

}  // namespace sim
