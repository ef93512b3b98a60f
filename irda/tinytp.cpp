#include "irda/tinytp.h"

#include <algorithm>
#include <array>

namespace qx::irda {

std::optional<std::uint8_t> ParseTtpConnect(std::span<const std::uint8_t> userData) {
    if (userData.empty()) {
        return std::nullopt;
    }
    const std::uint8_t credit = userData[0] & TTP_CREDIT_MASK;
    if ((userData[0] & TTP_PARAMETERS) == 0) {
        return credit;
    }
    // Parameters: their total length, then PI, PL, PV triples that must fit it exactly.
    if (userData.size() < 2 || userData.size() < 2u + userData[1]) {
        return std::nullopt;
    }
    const auto params = userData.subspan(2, userData[1]);
    std::size_t i = 0;
    while (i < params.size()) {
        if (i + 2 > params.size() || i + 2 + params[i + 1] > params.size()) {
            return std::nullopt;
        }
        i += 2 + params[i + 1];
    }
    return credit;
}

std::optional<TtpData> ParseTtpData(std::span<const std::uint8_t> pdu) {
    if (pdu.empty()) {
        return std::nullopt;
    }
    return TtpData{(pdu[0] & TTP_MORE) != 0, static_cast<std::uint8_t>(pdu[0] & TTP_CREDIT_MASK),
                   pdu.subspan(1)};
}

LapStatus TinyTp::Connect(std::uint8_t remoteLsap) {
    remote_ = remoteLsap;
    received_.clear();
    peerDisconnected_ = false;
    owed_ = 0;
    const std::array<std::uint8_t, 1> request = {TTP_RECEIVE_CREDIT};
    Bytes confirm;
    if (const LapStatus status = lmp_.Connect(TINYTP_LOCAL_LSAP, remote_, request, confirm);
        status != LapStatus::Ok) {
        return status;
    }
    const auto credit = ParseTtpConnect(confirm);
    if (!credit) {
        lmp_.Disconnect(TINYTP_LOCAL_LSAP, remote_);
        return LapStatus::Refused;
    }
    sendCredit_ = *credit;
    peerCredit_ = TTP_RECEIVE_CREDIT;
    connected_ = true;
    return LapStatus::Ok;
}

void TinyTp::Absorb() {
    while (auto pdu = lmp_.Take(TINYTP_LOCAL_LSAP)) {
        if (pdu->source != remote_) {
            continue;
        }
        if (pdu->control) {
            if (pdu->opcode == LMP_DISCONNECT) {
                peerDisconnected_ = true;
            }
            continue;
        }
        const auto data = ParseTtpData(pdu->data);
        if (!data) {
            continue;
        }
        sendCredit_ =
            static_cast<std::uint8_t>(std::min<unsigned>(sendCredit_ + data->credit, TTP_CREDIT_MASK));
        if (data->payload.empty()) {
            continue;  // credit only: costs the peer nothing
        }
        // A PDU beyond the credit granted has no room kept for it and is dropped.
        if (peerCredit_ == 0) {
            continue;
        }
        --peerCredit_;
        received_.emplace_back(data->payload.begin(), data->payload.end());
    }
}

void TinyTp::Consumed() {
    ++owed_;
}

LapStatus TinyTp::SendPdu(std::span<const std::uint8_t> payload) {
    const std::uint8_t credit = owed_;
    const LapStatus status = lmp_.SendData(TINYTP_LOCAL_LSAP, remote_, Frame({credit}, payload));
    if (status == LapStatus::Ok) {
        owed_ = 0;
        peerCredit_ = static_cast<std::uint8_t>(peerCredit_ + credit);
    }
    Absorb();
    return status;
}

LapStatus TinyTp::Send(std::span<const std::uint8_t> sdu) {
    sduSent_ = false;
    const Deadline deadline = Deadline::After(lmp_.Clock(), TTP_CREDIT_WAIT_MS);
    for (;;) {
        Absorb();
        if (!connected_ || peerDisconnected_) {
            return connected_ ? LapStatus::Reset : LapStatus::NotConnected;
        }
        if (sendCredit_ > 0) {
            break;
        }
        if (deadline.Passed(lmp_.Clock())) {
            return LapStatus::Timeout;
        }
        if (const LapStatus status = Exchange(); status != LapStatus::Ok) {
            return status;
        }
    }
    --sendCredit_;
    const LapStatus status = SendPdu(sdu);
    sduSent_ = lmp_.Lap().LastSendTransmitted();
    return status;
}

LapStatus TinyTp::Exchange() {
    if (!connected_) {
        return LapStatus::NotConnected;
    }
    LapStatus status;
    if (peerCredit_ == 0 && owed_ > 0) {
        status = SendPdu({});  // a dataless PDU: the peer may send again
    } else {
        status = lmp_.Poll();
        Absorb();
    }
    return status;
}

void TinyTp::Forget() {
    connected_ = false;
}

void TinyTp::Disconnect() {
    if (connected_ && !peerDisconnected_ && lmp_.Lap().Connected()) {
        lmp_.Disconnect(TINYTP_LOCAL_LSAP, remote_);
    }
    connected_ = false;
}

}  // namespace qx::irda
