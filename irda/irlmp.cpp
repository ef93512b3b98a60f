#include "irda/irlmp.h"

#include <algorithm>
#include <array>

namespace qx::irda {
namespace {

// Frames waiting for an LSAP that is slow to take them.
constexpr std::size_t INBOX_LIMIT = 16;
constexpr std::size_t IAS_ANSWER_HEADER = 1 + 1 + 2 + 2 + 1;  // control, return code, count, object id, type
constexpr std::uint8_t IAS_TYPE_INTEGER = 1;

}  // namespace

std::optional<LmPdu> ParseLmPdu(std::span<const std::uint8_t> frame) {
    if (frame.size() < 2) {
        return std::nullopt;
    }
    LmPdu pdu;
    pdu.control = (frame[0] & LMP_CONTROL) != 0;
    pdu.destination = frame[0] & LMP_LSAP_MASK;
    pdu.source = frame[1] & LMP_LSAP_MASK;
    std::size_t header = 2;
    if (pdu.control) {
        if (frame.size() < 3) {
            return std::nullopt;
        }
        pdu.opcode = frame[2];
        pdu.parameter = frame.size() > 3 ? frame[3] : 0;
        header = std::min<std::size_t>(4, frame.size());
    }
    pdu.data.assign(frame.begin() + static_cast<std::ptrdiff_t>(header), frame.end());
    return pdu;
}

Bytes LmData(std::uint8_t destination, std::uint8_t source, std::span<const std::uint8_t> data) {
    return Frame({destination, source}, data);
}

Bytes LmControl(std::uint8_t destination, std::uint8_t source, std::uint8_t opcode, std::uint8_t parameter,
                std::span<const std::uint8_t> data) {
    return Frame({static_cast<std::uint8_t>(LMP_CONTROL | destination), source, opcode, parameter}, data);
}

Bytes IasGetValueByClass(std::string_view className, std::string_view attribute) {
    className = className.substr(0, IAS_NAME_MAX);
    attribute = attribute.substr(0, IAS_NAME_MAX);
    Bytes request;
    request.reserve(3 + className.size() + attribute.size());
    request.push_back(IAS_LAST_FRAME | IAS_GET_VALUE_BY_CLASS);
    request.push_back(static_cast<std::uint8_t>(className.size()));
    request.insert(request.end(), className.begin(), className.end());
    request.push_back(static_cast<std::uint8_t>(attribute.size()));
    request.insert(request.end(), attribute.begin(), attribute.end());
    return request;
}

IasResult ParseIasLsap(std::span<const std::uint8_t> answer, std::uint8_t& lsap) {
    // One frame only: a last-frame answer to GetValueByClass.
    if (answer.size() < 2 || answer[0] != (IAS_LAST_FRAME | IAS_GET_VALUE_BY_CLASS)) {
        return IasResult::Malformed;
    }
    switch (answer[1]) {
        case 0:
            break;
        case 1:
            return IasResult::NoSuchClass;
        case 2:
            return IasResult::NoSuchAttribute;
        default:
            return IasResult::Malformed;
    }
    if (answer.size() < 4) {
        return IasResult::Malformed;
    }
    const unsigned count = static_cast<unsigned>(answer[2]) << 8 | answer[3];
    if (count == 0) {
        return IasResult::NoSuchClass;
    }
    if (answer.size() < IAS_ANSWER_HEADER + 4 || answer[6] != IAS_TYPE_INTEGER) {
        return IasResult::Malformed;
    }
    const std::uint32_t value = static_cast<std::uint32_t>(answer[7]) << 24 |
                                static_cast<std::uint32_t>(answer[8]) << 16 |
                                static_cast<std::uint32_t>(answer[9]) << 8 | answer[10];
    if (value == IAS_LSAP || value > LSAP_LAST_VALID) {
        return IasResult::Malformed;
    }
    lsap = static_cast<std::uint8_t>(value);
    return IasResult::Ok;
}

void IrlmpClient::Serve(const LmPdu& pdu) {
    if (answers_.size() >= INBOX_LIMIT) {
        return;  // a peer that floods us with requests gets no more answers than that
    }
    if (pdu.control) {
        if (pdu.opcode == LMP_CONNECT && pdu.destination == IAS_LSAP) {
            iasPeerClient_ = pdu.source;
            answers_.push_back(LmControl(pdu.source, IAS_LSAP, LMP_CONNECT_CONFIRM, 0x00));
        } else if (pdu.opcode == LMP_CONNECT) {
            answers_.push_back(LmControl(pdu.source, pdu.destination, LMP_DISCONNECT, LMP_REASON_NO_CLIENT));
        } else if (pdu.opcode == LMP_DISCONNECT && pdu.destination == IAS_LSAP &&
                   iasPeerClient_ == pdu.source) {
            iasPeerClient_.reset();
        }
        return;
    }
    if (pdu.destination != IAS_LSAP || iasPeerClient_ != pdu.source || pdu.data.empty() ||
        (pdu.data[0] & IAS_ACK) != 0) {
        return;
    }
    // Our IAS server knows no class; any other operation it does not support.
    const std::uint8_t opcode = pdu.data[0] & IAS_OPCODE_MASK;
    const std::uint8_t result = opcode == IAS_GET_VALUE_BY_CLASS ? IAS_NO_SUCH_CLASS : IAS_UNSUPPORTED;
    answers_.push_back(
        LmData(pdu.source, IAS_LSAP,
               std::array<std::uint8_t, 2>{static_cast<std::uint8_t>(IAS_LAST_FRAME | opcode), result}));
}

void IrlmpClient::Sort() {
    auto& received = lap_.Received();
    while (!received.empty()) {
        auto pdu = ParseLmPdu(received.front());
        received.pop_front();
        if (!pdu) {
            continue;
        }
        if (pdu->destination != IAS_CLIENT_LSAP && pdu->destination != TINYTP_LOCAL_LSAP) {
            Serve(*pdu);
            continue;
        }
        auto& box = inbox_[pdu->destination];
        if (box.size() == INBOX_LIMIT) {
            box.pop_front();
        }
        box.push_back(std::move(*pdu));
    }
}

std::optional<LmPdu> IrlmpClient::Take(std::uint8_t local) {
    Sort();
    const auto box = inbox_.find(local);
    if (box == inbox_.end() || box->second.empty()) {
        return std::nullopt;
    }
    LmPdu pdu = std::move(box->second.front());
    box->second.pop_front();
    return pdu;
}

LapStatus IrlmpClient::WaitFor(std::uint8_t local, Deadline deadline, LmPdu& pdu) {
    for (;;) {
        if (auto next = Take(local)) {
            pdu = std::move(*next);
            return LapStatus::Ok;
        }
        if (deadline.Passed(clock_)) {
            return LapStatus::Timeout;
        }
        if (lap_.StopRequested()) {
            return LapStatus::Stopped;  // a connection being made is left at once; the caller ends the link
        }
        if (const LapStatus polled = Poll(); polled != LapStatus::Ok) {
            return polled;
        }
    }
}

LapStatus IrlmpClient::Poll() {
    Sort();
    if (answers_.empty()) {
        return lap_.Poll();
    }
    const Bytes answer = std::move(answers_.front());
    answers_.pop_front();
    return lap_.Send(answer);
}

LapStatus IrlmpClient::Connect(std::uint8_t local, std::uint8_t remote,
                               std::span<const std::uint8_t> userData, Bytes& confirm) {
    inbox_.erase(local);
    if (const LapStatus sent = lap_.Send(LmControl(remote, local, LMP_CONNECT, 0x00, userData));
        sent != LapStatus::Ok) {
        return sent;
    }
    const Deadline deadline = Deadline::After(clock_, LMP_CONNECT_WAIT_MS);
    for (;;) {
        LmPdu pdu;
        if (const LapStatus waited = WaitFor(local, deadline, pdu); waited != LapStatus::Ok) {
            return waited;
        }
        if (!pdu.control || pdu.source != remote) {
            continue;
        }
        if (pdu.opcode == LMP_CONNECT_CONFIRM) {
            confirm = std::move(pdu.data);
            return LapStatus::Ok;
        }
        if (pdu.opcode == LMP_DISCONNECT) {
            return LapStatus::Refused;
        }
    }
}

LapStatus IrlmpClient::SendData(std::uint8_t local, std::uint8_t remote, std::span<const std::uint8_t> data) {
    return lap_.Send(LmData(remote, local, data));
}

LapStatus IrlmpClient::Disconnect(std::uint8_t local, std::uint8_t remote) {
    inbox_.erase(local);
    return lap_.Send(LmControl(remote, local, LMP_DISCONNECT, LMP_REASON_USER_REQUEST));
}

LapStatus QueryTinyTpLsap(IrlmpClient& lmp, std::string_view className, std::uint8_t& lsap,
                          IasResult* answer) {
    Bytes confirm;
    if (const LapStatus connected = lmp.Connect(IAS_CLIENT_LSAP, IAS_LSAP, {}, confirm);
        connected != LapStatus::Ok) {
        return connected;
    }
    if (const LapStatus sent =
            lmp.SendData(IAS_CLIENT_LSAP, IAS_LSAP, IasGetValueByClass(className, TINYTP_LSAP_ATTRIBUTE));
        sent != LapStatus::Ok) {
        return sent;
    }
    const Deadline deadline = Deadline::After(lmp.Clock(), LMP_ANSWER_WAIT_MS);
    for (;;) {
        LmPdu pdu;
        if (const LapStatus waited = lmp.WaitFor(IAS_CLIENT_LSAP, deadline, pdu); waited != LapStatus::Ok) {
            return waited;
        }
        if (pdu.control) {
            if (pdu.opcode == LMP_DISCONNECT) {
                return LapStatus::Refused;  // the IAS server hung up instead of answering
            }
            continue;
        }
        if (!pdu.data.empty() && (pdu.data[0] & IAS_ACK) != 0) {
            continue;  // an acknowledgement only: the answer is still to come
        }
        const IasResult parsed = ParseIasLsap(pdu.data, lsap);
        if (answer != nullptr) {
            *answer = parsed;
        }
        return parsed == IasResult::Ok ? LapStatus::Ok : LapStatus::Refused;
    }
    // The IAS connection is left open: it ends with the link. Minimal firmware (IrDA Lite) ends the whole
    // link on any IrLMP disconnect, the IAS one included, so disconnecting it here would leave the TinyTP
    // connect talking to nobody; a full stack does not mind an idle IAS connection, and the link's DISC ends
    // it in both. Should the link still be lost (firmware whose IAS server hangs up by itself), the caller
    // connects again straight to the LSAP learned here.
}

}  // namespace qx::irda
