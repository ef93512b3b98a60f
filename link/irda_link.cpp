#include "link/irda_link.h"

#include <algorithm>

namespace qx {

std::size_t FrameLengthField(std::span<const std::uint8_t> header) {
    return static_cast<std::size_t>(header[1]) << 8 | header[2];
}

std::size_t FrameLength(std::span<const std::uint8_t> header) {
    return std::max(FrameLengthField(header), FRAME_HEADER_SIZE);
}

int CheckDeviceListRequest(int level, int option, std::size_t valueSize, int length, std::size_t& room) {
    if (level != SOL_IRLMP_LEVEL || option != IRLMP_ENUMDEVICES_OPTION) {
        return WSAENOPROTOOPT_CODE;
    }
    room = std::min(valueSize, static_cast<std::size_t>(std::max(length, 0)));
    return room < DEVICE_LIST_HEADER_SIZE ? WSAEFAULT_CODE : 0;
}

std::uint32_t DeviceList::Count() const {
    return ReadLittle32(bytes);
}

std::size_t DeviceList::Listed() const {
    return std::min<std::size_t>(Count(), (DEVICE_LIST_SIZE - DEVICE_LIST_HEADER_SIZE) / DEVICE_RECORD_SIZE);
}

void DeviceList::SetCount(std::uint32_t count) {
    for (std::size_t i = 0; i < DEVICE_LIST_HEADER_SIZE; ++i) {
        bytes[i] = static_cast<std::uint8_t>(count >> (8 * i));
    }
}

std::span<const std::uint8_t, DEVICE_RECORD_SIZE> DeviceList::Record(std::size_t i) const {
    return std::span<const std::uint8_t, DEVICE_RECORD_SIZE>(
        bytes.data() + DEVICE_LIST_HEADER_SIZE + i * DEVICE_RECORD_SIZE, DEVICE_RECORD_SIZE);
}

std::span<std::uint8_t, DEVICE_RECORD_SIZE> DeviceList::Record(std::size_t i) {
    return std::span<std::uint8_t, DEVICE_RECORD_SIZE>(
        bytes.data() + DEVICE_LIST_HEADER_SIZE + i * DEVICE_RECORD_SIZE, DEVICE_RECORD_SIZE);
}

int IrdaLink::StartLink(AddressRecord& address) {
    address[ADDRESS_FAMILY_OFFSET] = static_cast<std::uint8_t>(AF_IRDA_FAMILY & 0xFF);
    address[ADDRESS_FAMILY_OFFSET + 1] = static_cast<std::uint8_t>(AF_IRDA_FAMILY >> 8);
    if (calls_.WSAStartup(WINSOCK_VERSION_1_1) != 0) {
        return LINK_NO_SOCKETS;
    }
    runStart_ = Now();
    OpenSocket();
    return LINK_STARTED;
}

void IrdaLink::OpenSocket() {
    // A failed socket keeps the invalid value in the handle: the link still counts as present, and the
    // failure reaches the window through discovery's error code. The platform's own reason is kept for
    // whoever wants it.
    socketError_ = 0;
    handle_ = calls_.Socket(AF_IRDA_FAMILY, SOCK_STREAM_TYPE, 0);
    if (handle_ == INVALID_SOCKET_HANDLE) {
        socketError_ = calls_.WSAGetLastError();
        return;
    }
    if (hookModule_ == 0) {
        hookModule_ = calls_.LoadHookLibrary();
    }
    if (hookModule_ != 0) {
        hookEntry_ = calls_.GetHookEntry(hookModule_);
        if (hookEntry_ != 0) {
            calls_.CallHookEntry(hookEntry_, handle_);
        }
    }
}

int IrdaLink::EnumerateDevices(DeviceList& list) {
    discoveryLength_ = static_cast<int>(DEVICE_LIST_SIZE);
    bool lastTryFailed = true;
    for (int attempt = 1; attempt <= DISCOVERY_TRIES; ++attempt) {
        if (attempt > 1 && OutOfTime()) {
            return WSAETIMEDOUT_CODE;  // the run's bound: no further try
        }
        if (calls_.GetSockOpt(handle_, SOL_IRLMP_LEVEL, IRLMP_ENUMDEVICES_OPTION, list.bytes,
                              discoveryLength_) != SOCKET_ERROR_RESULT) {
            lastTryFailed = false;
            break;
        }
        calls_.Sleep(DISCOVERY_PAUSE_MS);
    }
    // The platform's last error belongs to the last call that failed: a successful call is not documented
    // to clear it, so after a successful try it may still hold an earlier try's code, or one left by
    // something else on this thread (a hook library that failed to load leaves 126). Only a failed last try
    // has an error of its own; otherwise the count alone decides.
    if (lastTryFailed) {
        if (const int error = calls_.WSAGetLastError(); error != 0) {
            return error;
        }
    }
    return list.Count() == 0 ? ENUM_NO_DEVICES : LINK_OK;
}

int IrdaLink::ConnectTo(std::size_t index, const DeviceList& list, AddressRecord& address) {
    const auto record = list.Record(index);
    std::copy_n(record.begin(), DEVICE_ID_SIZE, address.begin() + ADDRESS_DEVICE_ID_OFFSET);
    // The instrument offers its service under its own device name.
    std::copy_n(record.begin() + DEVICE_NAME_OFFSET, DEVICE_NAME_SIZE,
                address.begin() + ADDRESS_SERVICE_NAME_OFFSET);
    if (OutOfTime()) {
        return WSAETIMEDOUT_CODE;
    }
    if (calls_.Connect(handle_, address) == SOCKET_ERROR_RESULT) {
        return FailedCallError();
    }
    return LINK_OK;
}

int IrdaLink::Greet(std::span<const std::uint8_t> frame, std::span<const std::uint8_t> expectedReply) {
    if (const int sent = SendFrame(frame); sent != LINK_OK) {
        TearDown();
        return sent;
    }
    std::array<std::uint8_t, RECEIVE_LIMIT> reply{};
    const auto replyArea = std::span(reply).first(std::min(expectedReply.size(), RECEIVE_LIMIT));
    if (const int received = ReceiveFrame(replyArea); received != LINK_OK) {
        TearDown();
        return received;
    }
    if (!std::equal(replyArea.begin(), replyArea.end(), expectedReply.begin(), expectedReply.end())) {
        TearDown();
        return LINK_GREETING_MISMATCH;
    }
    return LINK_OK;
}

int IrdaLink::ConnectAndGreet(std::size_t index, std::span<const std::uint8_t> frame,
                              std::span<const std::uint8_t> expectedReply, const DeviceList& list,
                              AddressRecord& address) {
    if (const int connected = ConnectTo(index, list, address); connected != LINK_OK) {
        TearDown();
        return connected;
    }
    return Greet(frame, expectedReply);
}

int IrdaLink::StartLink() {
    address_ = {};
    devices_ = {};
    passedOver_.clear();
    tried_.reset();
    return StartLink(address_);
}

int IrdaLink::EnumerateDevices() {
    return EnumerateDevices(devices_);
}

int IrdaLink::ConnectAndGreet(std::span<const std::uint8_t> frame,
                              std::span<const std::uint8_t> expectedReply) {
    passedOver_.clear();
    tried_.reset();
    std::vector<std::size_t> candidates;
    // An empty list still tries record 0, as a single device always has.
    for (std::size_t i = 0; i < std::max<std::size_t>(devices_.Listed(), 1); ++i) {
        if (!filter_ || filter_(devices_.Record(i))) {
            candidates.push_back(i);
        }
    }
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        tried_ = candidates[c];
        const int connected = ConnectTo(candidates[c], devices_, address_);
        if (connected == LINK_OK) {
            return Greet(frame, expectedReply);
        }
        // A refusal comes before anything was sent to that device: it does not take this service (Winsock
        // says WSAECONNREFUSED for an IAS miss as for a DM), so the next device may be the instrument. A
        // device that did not answer may be the instrument at the edge of range: the run ends there rather
        // than switch another one. A connect that failed this way may be tried again on the same socket.
        if (connected != WSAECONNREFUSED_CODE || c + 1 == candidates.size()) {
            TearDown();
            return connected;
        }
        passedOver_.push_back(candidates[c]);
    }
    TearDown();
    return ENUM_NO_DEVICES;
}

int IrdaLink::ConnectDevice(std::size_t index) {
    if (HasLink() || index >= devices_.Listed()) {
        return WSAEINVAL_CODE;
    }
    if (OutOfTime()) {
        return WSAETIMEDOUT_CODE;
    }
    if (calls_.WSAStartup(WINSOCK_VERSION_1_1) != 0) {
        return LINK_NO_SOCKETS;
    }
    OpenSocket();
    AddressRecord address = address_;
    if (const int connected = ConnectTo(index, devices_, address); connected != LINK_OK) {
        TearDown();
        return connected;
    }
    return LINK_OK;
}

int IrdaLink::ProbeDevice(std::size_t index) {
    if (const int connected = ConnectDevice(index); connected != LINK_OK) {
        return connected;
    }
    CloseLink();
    return LINK_OK;
}

int IrdaLink::ConnectAndGreetDevice(std::size_t index, std::span<const std::uint8_t> frame,
                                    std::span<const std::uint8_t> expectedReply) {
    if (const int connected = ConnectDevice(index); connected != LINK_OK) {
        return connected;
    }
    return Greet(frame, expectedReply);
}

bool IrdaLink::OutOfTime() {
    return runStart_ && Now() - *runStart_ >= RUN_BOUND_MS;
}

int IrdaLink::FailedCallError() {
    // A failed call must never read as success, even should the platform have no error code to give.
    const int error = calls_.WSAGetLastError();
    return error != 0 ? error : LINK_NO_ERROR_CODE;
}

void IrdaLink::DiscardPending() {
    std::array<std::uint8_t, RECEIVE_LIMIT> scratch{};
    for (std::size_t i = 0; i < DISCARD_READS_LIMIT; ++i) {
        if (calls_.WaitReadable(handle_, 0) != 1 || calls_.Recv(handle_, scratch) <= 0) {
            return;
        }
    }
}

void IrdaLink::TearDown() {
    if (handle_ != 0) {
        calls_.CloseSocket(handle_);
    }
    handle_ = 0;
    calls_.WSACleanup();
}

int IrdaLink::SendFrame(std::span<const std::uint8_t> bytes) {
    std::size_t accepted = 0;
    return SendFrame(bytes, accepted);
}

int IrdaLink::SendFrame(std::span<const std::uint8_t> bytes, std::size_t& accepted) {
    accepted = 0;
    std::array<std::uint8_t, SEND_LIMIT> buffer{};
    const std::size_t length = std::min(bytes.size(), SEND_LIMIT);
    std::copy_n(bytes.begin(), length, buffer.begin());
    // A blocking send normally takes the whole frame at once; should it take less, the rest follows, so the
    // instrument never sees a torn frame run into the next attempt's bytes.
    std::size_t done = 0;
    while (done < length) {
        if (done == 0 && OutOfTime()) {
            return WSAETIMEDOUT_CODE;  // the run's bound: nothing new goes out (a frame begun is finished)
        }
        const int sent = calls_.Send(handle_, std::span(buffer).subspan(done, length - done));
        if (sent == SOCKET_ERROR_RESULT) {
            return FailedCallError();
        }
        if (sent <= 0) {
            return WSAECONNRESET_CODE;
        }
        done += static_cast<std::size_t>(sent);
        accepted = done;
    }
    return LINK_OK;
}

int IrdaLink::ReceiveFrame(std::span<std::uint8_t> dest) {
    return ReceiveFrame(dest, Now());
}

int IrdaLink::ReceiveFrame(std::span<std::uint8_t> dest, std::uint32_t waitStart) {
    // The whole frame is taken off the connection, by its own length field, however much of it the caller
    // keeps: what is left of a frame would otherwise pass for the start of the next one. The first
    // RECEIVE_LIMIT bytes are kept; the rest of an overlong frame is read and thrown away.
    std::array<std::uint8_t, RECEIVE_LIMIT> frame{};
    std::array<std::uint8_t, RECEIVE_LIMIT> overflow{};
    std::size_t wanted = FRAME_HEADER_SIZE;
    bool headerSeen = false;
    std::size_t got = 0;
    while (got < wanted) {
        const std::uint32_t elapsed = calls_.TickCount() - waitStart;
        if (elapsed >= RECEIVE_WAIT_MS) {
            return WSAETIMEDOUT_CODE;
        }
        const int ready = calls_.WaitReadable(handle_, RECEIVE_WAIT_MS - elapsed);
        if (ready == SOCKET_ERROR_RESULT) {
            return FailedCallError();
        }
        if (ready == 0) {
            return WSAETIMEDOUT_CODE;
        }
        const std::span<std::uint8_t> into =
            got < RECEIVE_LIMIT ? std::span(frame).subspan(got, std::min(wanted, RECEIVE_LIMIT) - got)
                                : std::span(overflow).first(std::min(wanted - got, RECEIVE_LIMIT));
        const int received = calls_.Recv(handle_, into);
        if (received == SOCKET_ERROR_RESULT) {
            return FailedCallError();
        }
        if (received <= 0) {
            return WSAEDISCON_CODE;  // the instrument ended the connection before the frame was complete
        }
        got += static_cast<std::size_t>(received);
        if (!headerSeen && got >= FRAME_HEADER_SIZE) {
            headerSeen = true;
            wanted = FrameLength(frame);
        }
    }
    std::copy_n(frame.begin(), std::min(dest.size(), RECEIVE_LIMIT), dest.begin());
    return LINK_OK;
}

int IrdaLink::CloseLink() {
    calls_.Shutdown(handle_, SD_SEND_DIRECTION);
    if (calls_.CloseSocket(handle_) == SOCKET_ERROR_RESULT) {
        return FailedCallError();
    }
    calls_.Sleep(CLOSE_PAUSE_MS);
    handle_ = 0;
    calls_.WSACleanup();
    return LINK_OK;
}

bool IrdaLink::CloseIfOpen() {
    if (!HasLink()) {
        return false;
    }
    CloseLink();
    return true;
}

}  // namespace qx
