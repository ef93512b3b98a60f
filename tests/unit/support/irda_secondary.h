// An IrDA secondary behind a fake serial port, on a fake clock: a serial IrDA adapter with an instrument in
// range, answering discovery, the connection, IAS, IrLMP and TinyTP as a device does, with the link faults a
// test switches on. Time passes only as the wire and the stack's pauses take it (nothing sleeps), and the
// secondary records what it saw so a test can judge the primary. No test framework: the fuzz targets use it
// too.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "irda/serial_port.h"
#include "irda/sir_framing.h"
#include "link/socket_calls.h"

namespace qx::test {

using IrdaBytes = std::vector<std::uint8_t>;

// The platform under the serial stack in tests: a fake millisecond clock that pauses advance; every socket
// call fails (the serial stack must not make them) and the hook library is counted if anything loads it.
class FakeClockPlatform : public SocketCalls {
  public:
    std::uint32_t now = 100000;
    std::vector<std::uint32_t> pauses;
    int hookLoads = 0;
    int socketCalls = 0;

    int WSAStartup(std::uint16_t) override { return ++socketCalls, 10091; }
    int WSACleanup() override { return ++socketCalls, SOCKET_ERROR_RESULT; }
    SocketHandle Socket(int, int, int) override { return ++socketCalls, INVALID_SOCKET_HANDLE; }
    int GetSockOpt(SocketHandle, int, int, std::span<std::uint8_t>, int&) override { return Fails(); }
    int Connect(SocketHandle, std::span<const std::uint8_t>) override { return Fails(); }
    int Send(SocketHandle, std::span<const std::uint8_t>) override { return Fails(); }
    int WaitReadable(SocketHandle, std::uint32_t) override { return Fails(); }
    int Recv(SocketHandle, std::span<std::uint8_t>) override { return Fails(); }
    int Shutdown(SocketHandle, int) override { return Fails(); }
    int CloseSocket(SocketHandle) override { return Fails(); }
    int WSAGetLastError() override { return WSAENOTSOCK_CODE; }
    void Sleep(std::uint32_t ms) override {
        pauses.push_back(ms);
        now += ms;
    }
    std::uint32_t TickCount() override { return now; }
    ModuleHandle LoadHookLibrary() override { return ++hookLoads, 0; }
    ProcHandle GetHookEntry(ModuleHandle) override { return 0; }
    void CallHookEntry(ProcHandle, SocketHandle) override {}

  private:
    int Fails() { return ++socketCalls, SOCKET_ERROR_RESULT; }
};

// How the link is lost once the instrument has taken a given SDU.
enum class LinkLoss {
    Silent,     // nothing more is ever sent
    Dm,         // DM instead of the answer: the link is gone
    Frmr,       // FRMR instead of the answer
    BadNr,      // RR whose N(r) acknowledges a frame never sent
    Gone,       // the adapter goes away: every later read and write of the port fails
    GoneLater,  // the adapter goes away once the answer to the SDU was read: the next write fails
};

// What the secondary does wrong, switched on by a test.
struct LinkFaults {
    std::optional<int> badFcsOnReply;  // the reply with this number (0 = first) has a broken FCS
    std::set<int> droppedReplies;      // replies with these numbers are never sent
    int dmToSnrm = 0;                  // the first N connection requests get DM
    bool noSuchIasClass = false;       // IAS answers "no such class"
    bool rnrOnce = false;              // the first information frame after the connect gets RNR
    std::uint32_t turnaroundMs = 5;    // from the end of a request to the start of the reply
    bool echo = false;                 // the adapter echoes every byte sent
    bool noise = false;                // garbage bytes before every reply
    bool silenceAfterConnect = false;  // nothing at all once TinyTP is connected
    bool garbageAfterConnect = false;  // only noise once TinyTP is connected
    bool hugeAfterConnect = false;     // a frame longer than any allowed once TinyTP is connected
    bool endlessAfterConnect = false;  // a frame that never ends once TinyTP is connected
    bool disconnectOnData = false;     // answers data with an IrLMP disconnect
    bool dmOnData = false;             // answers data with DM (the link is gone)
    std::uint8_t initialCredit = 4;    // TinyTP credit the secondary grants at connect
    std::uint32_t watchdogMs = 0;      // non-zero: the link is dropped after this long without a frame
    // The link is lost this way once the SDU with this number (0 = the first) has arrived and been taken.
    std::optional<std::pair<std::size_t, LinkLoss>> lossAfterSdu;
    int rdAfterConnect = 0;         // links answered with RD at their first frame after UA
    int frmrOnData = 0;             // TinyTP data frames answered with FRMR (not taken)
    std::uint32_t rnrForMs = 0;     // the first TinyTP data frame is taken and answered RNR this long
    std::uint32_t refuseForMs = 0;  // the first TinyTP data frame is not taken: RNR this long
    bool staleLink = false;         // holds a link of a vanished primary: RR to XID, SNRM ignored
    bool liteFirmware = false;      // any IrLMP disconnect ends the link without a word
    bool iasAckFirst = false;       // an IAS frame with the Ack bit ahead of the answer
    int missedDiscoveries = 0;      // whole discoveries left unanswered
    bool badNr = false;             // the first answer after TinyTP is up carries an N(r) never sent
    bool dropAfterIas = false;      // the link ends, without a word, once the IAS answer went out
    int snrmIgnored = 0;            // connection requests that go unanswered
    std::uint32_t tailLateMs = 0;   // the second half of every reply after the UA comes this much later
    std::uint32_t chatterMs = 0;  // another station's frames every 100 ms for this long after the port opens
};

struct SecondaryDevice {
    std::uint32_t address = 0;
    std::string nickname;
    std::uint8_t slot = 0;
};

class IrdaSecondary : public irda::SerialPort {
  public:
    explicit IrdaSecondary(FakeClockPlatform& clock);

    // --- script ---
    std::vector<SecondaryDevice> devices = {{0x2A7710C5, "QX7710Z", 2}};
    std::string iasClass = "QX7710Z";
    std::uint8_t ttpLsap = 0x05;
    std::uint8_t maxTurnaroundBits = 0x01;  // 500 ms
    std::uint8_t minTurnaroundBits = 0x02;  // 5 ms
    std::uint8_t dataSizeBits = 0x02;       // 128 bytes
    LinkFaults faults;
    std::uint32_t openError = 0;  // non-zero: Open fails with it
    bool writeFails = false;      // every write fails (the adapter is gone)
    // Changes each reply frame before it is wrapped (its FCS then matches whatever it holds).
    std::function<void(IrdaBytes&)> mangle;
    // What the instrument answers to each SDU it receives (default: nothing).
    std::function<std::optional<IrdaBytes>(const IrdaBytes&)> respond;

    // --- record ---
    int opens = 0;
    int closes = 0;
    std::vector<IrdaBytes> frames;      // every frame the primary sent, unwrapped
    std::vector<IrdaBytes> sdus;        // TinyTP payloads received
    std::vector<IrdaBytes> lmpControl;  // IrLMP control frames received
    int discs = 0;
    int creditViolations = 0;               // data sent to the secondary beyond the credit it granted
    std::uint8_t grantedByPrimary = 0;      // TinyTP credit the primary's connect granted
    std::vector<std::uint32_t> frameTimes;  // when each frame of the primary arrived
    std::vector<std::size_t> frameXbofs;    // the start flags ahead of each frame of the primary
    std::vector<IrdaBytes> replies;         // every frame the secondary sent, unwrapped
    // Both directions in order: true for the primary's frames.
    std::vector<std::pair<bool, IrdaBytes>> log;
    // Where in the log each fault played (the log's size just after it).
    std::map<std::string, std::size_t> marks;
    std::vector<IrdaBytes> lmReceived;  // every LM-PDU the primary sent, in order
    std::uint32_t lastChatterEnd = 0;   // when the last frame of the other station ended
    int framesWhileBusy = 0;            // I-frames the primary sent while told RNR
    // Queues an LM-PDU of the device's own to the primary.
    void Inject(IrdaBytes lm) { outbox_.push_back(std::move(lm)); }
    // The primary's frames in the log from `at` on.
    std::vector<IrdaBytes> PrimaryFramesFrom(std::size_t at) const;
    std::uint32_t minGapAfterReply =
        UINT32_MAX;  // the shortest time from a reply read to the next frame sent
    bool connected = false;
    bool ttpConnected = false;

    // --- SerialPort ---
    bool Open(const std::string& name) override;
    void Close() override;
    bool IsOpen() const override { return open_; }
    bool Write(std::span<const std::uint8_t> bytes) override;
    // A failed write here takes nothing: the line is gone or refuses it before any byte.
    bool LastWriteHandedOver() const override { return false; }
    int Read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) override;
    std::uint32_t LastError() const override { return lastError_; }

  private:
    struct Chunk {
        std::uint32_t at;  // when the last byte has arrived
        IrdaBytes bytes;
    };
    void Handle(const IrdaBytes& frame);
    void HandleInformation(const IrdaBytes& lm);
    void Reply(const IrdaBytes& frame) { Reply(frame, faults.turnaroundMs); }
    void Reply(const IrdaBytes& frame, std::uint32_t turnaroundMs);
    void ReplyData();
    // Plays `loss` in answer to the I-frame with this control byte; false when the answer still goes out.
    bool LoseLink(LinkLoss loss, std::uint8_t control);
    void FlushTinyTp();
    bool Faulted() const;

    FakeClockPlatform& clock_;
    irda::SirDeframer deframer_;
    std::deque<Chunk> pending_;
    std::uint32_t requestEnd_ = 0;  // when the frame being answered ended on the wire
    std::uint32_t lastFrame_ = 0;
    std::optional<std::uint32_t> lastDelivered_;  // when the primary last read a reply
    bool open_ = false;
    std::uint32_t lastError_ = 0;
    int replies_ = 0;
    std::uint8_t ca_ = 0;
    std::uint32_t primary_ = 0;
    std::uint8_t vs_ = 0;
    std::uint8_t vr_ = 0;
    std::deque<IrdaBytes> outbox_;      // LM frames to send, oldest first
    std::optional<IrdaBytes> unacked_;  // the I-frame information last sent
    std::uint8_t ttpPeer_ = 0;          // the primary's TinyTP LSAP
    std::uint8_t sendCredit_ = 0;       // what the primary granted the secondary
    std::uint8_t grantedLeft_ = 0;      // what the secondary granted and the primary has not used
    std::uint8_t owed_ = 0;             // credit to give back
    bool rnrDone_ = false;
    bool silenced_ = false;  // LinkLoss::Silent played
    bool gone_ = false;      // the adapter went away
    bool goneAtNextWrite_ = false;
    std::optional<std::uint32_t> busyUntil_;  // answering RNR until then
    bool fresh_ = false;                      // nothing heard since the UA
    bool badNrDone_ = false;
    std::uint8_t staleCa_ = 0x35;
    int discoveryRun_ = -1;  // the discovery under way, counted from 0
    bool missing_ = false;   // this discovery goes unanswered
    std::size_t xbofsSeen_ = 0;
    bool dropLink_ = false;
    std::optional<IrdaBytes> dropWhenSent_;
    std::optional<IrdaBytes> markWhenSent_;  // the IAS Ack frame, marked when it goes out  // the link ended
                                             // without a word: frames on it get nothing
    bool endlessStarted_ = false;
    std::deque<IrdaBytes> held_;  // answers waiting for credit
};

}  // namespace qx::test
