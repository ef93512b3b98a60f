// TinyTP over one IrLMP connection: credit-based flow control in both directions, no segmentation (every
// frame the program sends fits one PDU). The PDU formats are pure functions (the fuzz targets use them too).
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>

#include "irda/irlmp.h"

namespace qx::irda {

inline constexpr std::uint8_t TTP_PARAMETERS = 0x80;  // connect: parameters follow
inline constexpr std::uint8_t TTP_MORE = 0x80;        // data: more segments of this SDU follow
inline constexpr std::uint8_t TTP_CREDIT_MASK = 0x7F;
// The PDUs this station takes before the program reads them: the credit it grants.
inline constexpr std::uint8_t TTP_RECEIVE_CREDIT = 4;
// How long a send waits for the peer to grant credit.
inline constexpr std::uint32_t TTP_CREDIT_WAIT_MS = 3000;

// The initial credit in a TinyTP connect or its confirm (user data of the IrLMP frame); nothing when the
// parameters are malformed.
std::optional<std::uint8_t> ParseTtpConnect(std::span<const std::uint8_t> userData);

struct TtpData {
    bool more = false;
    std::uint8_t credit = 0;
    std::span<const std::uint8_t> payload;
};
std::optional<TtpData> ParseTtpData(std::span<const std::uint8_t> pdu);

class TinyTp {
  public:
    explicit TinyTp(IrlmpClient& lmp) : lmp_(lmp) {}

    // Connects to the peer's TinyTP LSAP, granting TTP_RECEIVE_CREDIT.
    LapStatus Connect(std::uint8_t remoteLsap);
    bool Connected() const { return connected_; }
    // The peer ended the TinyTP connection.
    bool PeerDisconnected() const { return peerDisconnected_; }

    // Sends one SDU in one PDU, waiting (bounded) for credit when the peer has granted none; the credit owed
    // to the peer goes with it. NotConnected/Reset when the connection is gone.
    LapStatus Send(std::span<const std::uint8_t> sdu);
    // Whether the PDU of the last Send went out on the wire at least once (IrLAP's word for it).
    bool SduSent() const { return sduSent_; }
    // One round with the peer: returns credit when the peer has none left and the program has freed some,
    // else polls. What arrives goes to Received().
    LapStatus Exchange();
    // SDUs received, oldest first; Consumed() when the program has taken one.
    std::deque<Bytes>& Received() { return received_; }
    const std::deque<Bytes>& Received() const { return received_; }
    void Consumed();
    // Ends the connection (IrLMP disconnect, user request) unless the peer already did.
    void Disconnect();
    // Forgets the connection without a word to the peer: the link's end (DISC) ends it there.
    void Forget();

    std::uint8_t SendCredit() const { return sendCredit_; }
    std::uint8_t PeerCredit() const { return peerCredit_; }

  private:
    // Takes every frame IrLMP holds for this connection.
    void Absorb();
    LapStatus SendPdu(std::span<const std::uint8_t> payload);

    IrlmpClient& lmp_;
    std::uint8_t remote_ = 0;
    bool connected_ = false;
    bool peerDisconnected_ = false;
    bool sduSent_ = false;
    std::uint8_t sendCredit_ = 0;  // PDUs the peer lets us send
    std::uint8_t peerCredit_ = 0;  // PDUs we let the peer send and it has not sent yet
    std::uint8_t owed_ = 0;        // credit freed by the program and not yet given back
    std::deque<Bytes> received_;
};

}  // namespace qx::irda
