// IrLMP over the IrLAP connection, and the IAS query that finds a service's TinyTP LSAP. The LM-PDU and IAS
// formats are pure functions (the fuzz targets use them too); IrlmpClient multiplexes the LSAP connections of
// the one IrLAP link and waits for a peer's answers by polling, each wait bounded. Like every station it also
// answers the peer: an IAS server on LSAP 0 that knows no class, and a refusal for a connect to any LSAP
// nobody here serves.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string_view>

#include "irda/irlap.h"

namespace qx::irda {

inline constexpr std::uint8_t LMP_CONTROL = 0x80;
inline constexpr std::uint8_t LMP_LSAP_MASK = 0x7F;
inline constexpr std::uint8_t LMP_CONNECT = 0x01;
inline constexpr std::uint8_t LMP_CONNECT_CONFIRM = 0x81;
inline constexpr std::uint8_t LMP_DISCONNECT = 0x02;
inline constexpr std::uint8_t LMP_REASON_USER_REQUEST = 0x01;
inline constexpr std::uint8_t LMP_REASON_NO_CLIENT = 0x08;  // no LM-MUX client at that LSAP
// LSAPs: the peer's IAS server, and this station's IAS client and TinyTP user.
inline constexpr std::uint8_t IAS_LSAP = 0x00;
inline constexpr std::uint8_t IAS_CLIENT_LSAP = 0x10;
inline constexpr std::uint8_t TINYTP_LOCAL_LSAP = 0x11;
inline constexpr std::uint8_t LSAP_LAST_VALID = 0x6F;  // 0x70-0x7F are reserved
// How long a peer may take to answer an IrLMP connect (IrLMP's connect timer), and an IAS query.
inline constexpr std::uint32_t LMP_CONNECT_WAIT_MS = 5000;
inline constexpr std::uint32_t LMP_ANSWER_WAIT_MS = 3000;

// One LM-PDU: data, or a control frame with its opcode and parameter.
struct LmPdu {
    bool control = false;
    std::uint8_t destination = 0;
    std::uint8_t source = 0;
    std::uint8_t opcode = 0;
    std::uint8_t parameter = 0;
    Bytes data;  // user data after the header (and after opcode and parameter for control frames)
};
std::optional<LmPdu> ParseLmPdu(std::span<const std::uint8_t> frame);
Bytes LmData(std::uint8_t destination, std::uint8_t source, std::span<const std::uint8_t> data);
Bytes LmControl(std::uint8_t destination, std::uint8_t source, std::uint8_t opcode, std::uint8_t parameter,
                std::span<const std::uint8_t> data = {});

// IAS: GetValueByClass and its answer.
inline constexpr std::uint8_t IAS_LAST_FRAME = 0x80;
inline constexpr std::uint8_t IAS_ACK = 0x40;  // an IAS frame that only acknowledges: it carries no answer
inline constexpr std::uint8_t IAS_OPCODE_MASK = 0x3F;
inline constexpr std::uint8_t IAS_GET_VALUE_BY_CLASS = 0x04;
inline constexpr std::uint8_t IAS_NO_SUCH_CLASS = 0x01;
inline constexpr std::uint8_t IAS_UNSUPPORTED = 0xFF;
inline constexpr std::size_t IAS_NAME_MAX = 60;
inline constexpr std::string_view TINYTP_LSAP_ATTRIBUTE = "IrDA:TinyTP:LsapSel";
Bytes IasGetValueByClass(std::string_view className, std::string_view attribute);
enum class IasResult { Ok, NoSuchClass, NoSuchAttribute, Malformed };
// The LSAP in a GetValueByClass answer whose first value is an integer naming a valid LSAP.
IasResult ParseIasLsap(std::span<const std::uint8_t> answer, std::uint8_t& lsap);

class IrlmpClient {
  public:
    IrlmpClient(IrlapPrimary& lap, StackClock& clock) : lap_(lap), clock_(clock) {}

    IrlapPrimary& Lap() { return lap_; }
    StackClock& Clock() { return clock_; }
    // Connects our `local` LSAP to the peer's `remote`, carrying `userData`; the confirm's user data goes to
    // `confirm`. Refused when the peer answers with a disconnect.
    LapStatus Connect(std::uint8_t local, std::uint8_t remote, std::span<const std::uint8_t> userData,
                      Bytes& confirm);
    LapStatus SendData(std::uint8_t local, std::uint8_t remote, std::span<const std::uint8_t> data);
    // Tells the peer the user ended the LSAP connection (no answer is expected) and forgets its frames.
    LapStatus Disconnect(std::uint8_t local, std::uint8_t remote);
    // The next frame for `local`, polling the peer until `deadline`: Ok with `pdu`, Timeout, or the link's
    // failure.
    LapStatus WaitFor(std::uint8_t local, Deadline deadline, LmPdu& pdu);
    // Sorts what IrLAP received; the next frame for `local` when there is one.
    std::optional<LmPdu> Take(std::uint8_t local);
    // One round with the peer: an answer this station owes it, or else a poll.
    LapStatus Poll();

  private:
    void Sort();
    // Answers a frame meant for this station's own servers (`local` has no client here).
    void Serve(const LmPdu& pdu);

    IrlapPrimary& lap_;
    StackClock& clock_;
    std::map<std::uint8_t, std::deque<LmPdu>> inbox_;
    std::deque<Bytes> answers_;                  // owed to the peer, oldest first
    std::optional<std::uint8_t> iasPeerClient_;  // the peer's LSAP connected to our IAS server
};

// Asks the peer's IAS server for `className`'s TinyTP LSAP: Ok with `lsap`, Refused when the class or its
// attribute does not exist, or the link's failure.
LapStatus QueryTinyTpLsap(IrlmpClient& lmp, std::string_view className, std::uint8_t& lsap);

}  // namespace qx::irda
