#include "irda/serial_irda_calls.h"

#include <algorithm>
#include <chrono>

#include "link/irda_link.h"

namespace qx::irda {
namespace {

// LM-PDU header and the TinyTP byte, in every information field that carries the program's data.
constexpr std::size_t DATA_OVERHEAD = 3;

// The LSAP of an "LSAP-SELn" service name (n a decimal LSAP), or nothing for any other name.
std::optional<std::uint8_t> LsapSelector(std::string_view name) {
    if (!name.starts_with(LSAP_SEL_PREFIX) || name.size() == LSAP_SEL_PREFIX.size()) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : name.substr(LSAP_SEL_PREFIX.size())) {
        if (c < '0' || c > '9' || value > LSAP_LAST_VALID) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == IAS_LSAP || value > LSAP_LAST_VALID) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(value);
}

}  // namespace

std::uint32_t RandomOwnAddress() {
    // The address only has to differ from other primaries' in range, not resist a guess: the clocks and where
    // this process's stack lies, stirred (splitmix64). std::random_device would carry the C++ streams and
    // locales into the Windows programs for this one number.
    const int onTheStack = 0;
    std::uint64_t state =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) << 1) ^
        static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&onTheStack));
    std::uint32_t address = 0;
    while (address == 0 || address == XID_BROADCAST_ADDRESS) {
        state += 0x9E3779B97F4A7C15u;
        std::uint64_t mixed = state;
        mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9u;
        mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBu;
        address = static_cast<std::uint32_t>(mixed ^ (mixed >> 31));
    }
    return address;
}

int WinsockCode(LapStatus status) {
    switch (status) {
        case LapStatus::Ok:
            return 0;
        case LapStatus::PortFailed:
            return WSAENETDOWN_CODE;
        case LapStatus::Timeout:
            return WSAETIMEDOUT_CODE;
        case LapStatus::Refused:
            return WSAECONNREFUSED_CODE;
        case LapStatus::Reset:
            return WSAECONNRESET_CODE;
        case LapStatus::Stopped:
            return WSAEINTR_CODE;
        case LapStatus::NotConnected:
            break;
    }
    return WSAENOTCONN_CODE;
}

StackFailure TypedFailure(StackLayer layer, LapStatus status, std::uint32_t portError, int systemError) {
    switch (status) {
        case LapStatus::PortFailed:
            return {StackLayer::Port, StackStatus::PortFailed, portError, systemError};
        case LapStatus::Timeout:
            return {layer, StackStatus::Timeout, 0};
        case LapStatus::Refused:
            return {layer, StackStatus::Refused, 0};
        case LapStatus::Reset:
            return {layer, StackStatus::Reset, 0};
        case LapStatus::Ok:
        case LapStatus::NotConnected:
        case LapStatus::Stopped:
            break;
    }
    return {layer, StackStatus::NotConnected, 0};
}

SerialIrdaCalls::SerialIrdaCalls(std::string portName, SerialPort& port, SocketCalls& platform,
                                 FrameSink* capture, std::uint32_t ownAddress)
    : ForwardingCalls(platform),
      portName_(std::move(portName)),
      port_(port),
      clock_(platform),
      medium_(port, clock_),
      lap_(medium_, clock_, capture, ownAddress != 0 ? ownAddress : RandomOwnAddress()),
      lmp_(lap_, clock_),
      ttp_(lmp_) {
    lap_.SetStopRequest(&stopRequested_);
}

SerialIrdaCalls::~SerialIrdaCalls() {
    if (handle_ != 0) {
        EndConnection();
        port_.Close();
    }
}

int SerialIrdaCalls::Fail(int code) {
    lastError_ = code;
    return SOCKET_ERROR_RESULT;
}

int SerialIrdaCalls::FailWith(StackLayer layer, LapStatus status) {
    if (status == LapStatus::Stopped) {
        failure_.reset();  // the user's stop, not the stack's failure
        return Fail(WinsockCode(status));
    }
    failure_ = TypedFailure(layer, status, port_.LastError(), port_.LastSystemError());
    if (status == LapStatus::PortFailed) {
        portFailed_ = true;
    }
    return Fail(WinsockCode(status));
}

bool SerialIrdaCalls::Valid(SocketHandle s) {
    if (s != 0 && s == handle_) {
        return true;
    }
    // The handle of a socket call that could not open the port keeps telling why.
    lastError_ = s == INVALID_SOCKET_HANDLE && openError_ != 0 ? openError_ : WSAENOTSOCK_CODE;
    return false;
}

int SerialIrdaCalls::WSAStartup(std::uint16_t) {
    return 0;
}

int SerialIrdaCalls::WSACleanup() {
    return 0;
}

SocketHandle SerialIrdaCalls::Socket(int family, int type, int protocol) {
    if (family != AF_IRDA_FAMILY || type != SOCK_STREAM_TYPE || protocol != 0) {
        lastError_ = WSAEAFNOSUPPORT_CODE;
        return INVALID_SOCKET_HANDLE;
    }
    if (handle_ != 0) {
        lastError_ = WSAEMFILE_CODE;  // one port, one socket
        return INVALID_SOCKET_HANDLE;
    }
    if (!port_.Open(portName_)) {
        openError_ = static_cast<int>(port_.LastError());
        lastError_ = openError_;
        failure_ = StackFailure{StackLayer::Port, StackStatus::OpenFailed, port_.LastError(),
                                port_.LastSystemError()};
        return INVALID_SOCKET_HANDLE;
    }
    openError_ = 0;
    failure_.reset();
    lap_.Reset();
    // A socket is one run: the link's own bound, measured by the stack too, so that a connect or a send
    // under way inside the stack stops retrying once it has passed.
    lap_.SetRunBound(Deadline::After(clock_, RUN_BOUND_MS));
    shutDown_ = false;
    portFailed_ = false;
    dataSent_ = false;
    offset_ = 0;
    handle_ = nextHandle_++;
    return handle_;
}

int SerialIrdaCalls::GetSockOpt(SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                                int& length) {
    if (!Valid(s)) {
        return SOCKET_ERROR_RESULT;
    }
    std::size_t room = 0;
    if (const int error = CheckDeviceListRequest(level, option, value.size(), length, room); error != 0) {
        return Fail(error);
    }
    failure_.reset();
    // A port that failed stays failed for this socket: a wedged adapter is not tried again (each try would
    // wait out its write bound), and the search ends at once with the same error.
    if (portFailed_) {
        return FailWith(StackLayer::Port, LapStatus::PortFailed);
    }
    std::vector<DiscoveredDevice> devices;
    if (const LapStatus status = lap_.Enumerate(devices); status != LapStatus::Ok) {
        return FailWith(StackLayer::Irlap, status);
    }
    if (devices.empty() && lap_.MediumHeld()) {
        // An empty list all the same, as Windows gives; the failure says nobody was asked.
        failure_ = StackFailure{StackLayer::Irlap, StackStatus::MediumBusy, 0};
    }
    const std::size_t count = std::min(devices.size(), (room - DEVICE_LIST_HEADER_SIZE) / DEVICE_RECORD_SIZE);
    for (std::size_t i = 0; i < count; ++i) {
        const auto record =
            value.subspan(DEVICE_LIST_HEADER_SIZE + i * DEVICE_RECORD_SIZE, DEVICE_RECORD_SIZE);
        std::fill(record.begin(), record.end(), 0);
        for (std::size_t b = 0; b < DEVICE_ID_SIZE; ++b) {
            record[b] = static_cast<std::uint8_t>(devices[i].address >> (8 * b));
        }
        std::copy_n(devices[i].nickname.begin(), std::min(devices[i].nickname.size(), DEVICE_NAME_SIZE),
                    record.begin() + DEVICE_NAME_OFFSET);
        record[DEVICE_NAME_OFFSET + DEVICE_NAME_SIZE] = devices[i].hints[0];
        record[DEVICE_NAME_OFFSET + DEVICE_NAME_SIZE + 1] = devices[i].hints[1];
        record[DEVICE_NAME_OFFSET + DEVICE_NAME_SIZE + 2] = devices[i].charset;
    }
    for (std::size_t b = 0; b < DEVICE_LIST_HEADER_SIZE; ++b) {
        value[b] = static_cast<std::uint8_t>(count >> (8 * b));
    }
    length = static_cast<int>(DEVICE_LIST_HEADER_SIZE + count * DEVICE_RECORD_SIZE);
    return 0;
}

int SerialIrdaCalls::Connect(SocketHandle s, std::span<const std::uint8_t> address) {
    if (!Valid(s)) {
        return SOCKET_ERROR_RESULT;
    }
    if (ttp_.Connected()) {
        return Fail(WSAEISCONN_CODE);
    }
    if (address.size() != ADDRESS_RECORD_SIZE) {
        return Fail(WSAEFAULT_CODE);
    }
    const std::uint32_t device = ReadLittle32(address.subspan(ADDRESS_DEVICE_ID_OFFSET, DEVICE_ID_SIZE));
    const auto nameField = address.subspan(ADDRESS_SERVICE_NAME_OFFSET, ADDRESS_SERVICE_NAME_SIZE);
    const auto nameEnd = std::find(nameField.begin(), nameField.end(), 0);
    const std::string service(nameField.begin(), nameEnd);
    const auto selector = LsapSelector(service);
    if (service.starts_with(LSAP_SEL_PREFIX) && !selector) {
        return Fail(WSAEINVAL_CODE);
    }

    failure_.reset();
    if (portFailed_) {
        return FailWith(StackLayer::Port, LapStatus::PortFailed);
    }
    if (const LapStatus status = lap_.Connect(device); status != LapStatus::Ok) {
        return FailWith(StackLayer::Irlap, status);
    }
    std::uint8_t lsap = selector.value_or(0);
    // The IAS answer, when one came, says more than the refusal it ends in: no such class is another device.
    IasResult answer = IasResult::Ok;
    LapStatus status = selector ? LapStatus::Ok : QueryTinyTpLsap(lmp_, service, lsap, &answer);
    StackLayer layer = StackLayer::Irlmp;
    if (status == LapStatus::Ok) {
        layer = StackLayer::TinyTp;
        status = ttp_.Connect(lsap);
        if (status != LapStatus::Ok && !selector && !lap_.Connected() &&
            (lap_.LostReason() == LapStatus::Timeout || lap_.LostToDm()) &&
            lap_.Connect(device) == LapStatus::Ok) {
            // The peer left the link after the IAS query, silently or saying DM (firmware that ends it with
            // its IAS connection): once more, straight to the LSAP it named.
            status = ttp_.Connect(lsap);
        }
    }
    if (status != LapStatus::Ok) {
        lap_.Disconnect();
        const int result = FailWith(layer, status);
        if (status == LapStatus::Refused && answer != IasResult::Ok) {
            failure_ = StackFailure{StackLayer::Ias,
                                    answer == IasResult::NoSuchClass       ? StackStatus::NoSuchClass
                                    : answer == IasResult::NoSuchAttribute ? StackStatus::NoSuchAttribute
                                                                           : StackStatus::Malformed,
                                    0};
        }
        return result;
    }
    offset_ = 0;
    return 0;
}

int SerialIrdaCalls::Send(SocketHandle s, std::span<const std::uint8_t> bytes) {
    if (!Valid(s)) {
        return SOCKET_ERROR_RESULT;
    }
    if (shutDown_) {
        return Fail(WSAESHUTDOWN_CODE);
    }
    if (!ttp_.Connected()) {
        return Fail(WSAENOTCONN_CODE);
    }
    failure_.reset();
    // The program's frames fit one PDU; a longer send goes as several, as a stream socket may.
    // As Winsock's send, this says which bytes went: a PDU that went out on the wire at least once counts as
    // sent even when its acknowledgement never came (the peer may well have taken it), and the lost link
    // then shows on the next receive. Only a send of which nothing went out fails.
    const std::size_t chunk = std::max<std::size_t>(lap_.MaxInformation() - DATA_OVERHEAD, 1);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t size = std::min(chunk, bytes.size() - done);
        const LapStatus status = ttp_.Send(bytes.subspan(done, size));
        if (ttp_.SduSent() || status == LapStatus::Ok) {
            done += size;
            dataSent_ = true;
        }
        if (status != LapStatus::Ok) {
            return done > 0 ? static_cast<int>(done) : FailWith(StackLayer::TinyTp, status);
        }
    }
    return static_cast<int>(done);
}

bool SerialIrdaCalls::Readable() const {
    return !ttp_.Received().empty() || ttp_.PeerDisconnected() || !lap_.Connected();
}

int SerialIrdaCalls::WaitReadable(SocketHandle s, std::uint32_t timeoutMs) {
    if (!Valid(s)) {
        return SOCKET_ERROR_RESULT;
    }
    if (!ttp_.Connected()) {
        return Fail(WSAENOTCONN_CODE);
    }
    // Data only comes when the peer is polled: poll until something came or the wait is over. A wait of no
    // time only looks at what is in hand, as select does, and puts nothing on the wire.
    if (timeoutMs == 0) {
        return Readable() ? 1 : 0;
    }
    const Deadline deadline = Deadline::After(clock_, timeoutMs);
    for (;;) {
        if (Readable()) {
            return 1;
        }
        ttp_.Exchange();  // a link that failed shows as readable, and recv tells why
        if (Readable()) {
            return 1;
        }
        if (deadline.Passed(clock_)) {
            return 0;
        }
    }
}

int SerialIrdaCalls::Recv(SocketHandle s, std::span<std::uint8_t> buffer) {
    if (!Valid(s)) {
        return SOCKET_ERROR_RESULT;
    }
    if (!ttp_.Connected()) {
        return Fail(WSAENOTCONN_CODE);
    }
    failure_.reset();
    if (ttp_.Received().empty() && !ttp_.PeerDisconnected() && lap_.Connected() &&
        WaitReadable(s, LMP_ANSWER_WAIT_MS) == 0) {
        return FailWith(StackLayer::TinyTp, LapStatus::Timeout);
    }
    auto& received = ttp_.Received();
    if (received.empty()) {
        if (ttp_.PeerDisconnected()) {
            return FailWith(StackLayer::TinyTp, LapStatus::Reset);
        }
        const LapStatus lost = lap_.LostReason();
        return FailWith(StackLayer::Irlap, lost == LapStatus::NotConnected ? LapStatus::Reset : lost);
    }
    std::size_t copied = 0;
    while (copied < buffer.size() && !received.empty()) {
        const Bytes& sdu = received.front();
        const std::size_t n = std::min(sdu.size() - offset_, buffer.size() - copied);
        std::copy_n(sdu.begin() + static_cast<std::ptrdiff_t>(offset_), n, buffer.begin() + copied);
        copied += n;
        offset_ += n;
        if (offset_ == sdu.size()) {
            received.pop_front();
            ttp_.Consumed();
            offset_ = 0;
        }
    }
    return static_cast<int>(copied);
}

void SerialIrdaCalls::EndConnection() {
    // DISC ends every IrLMP connection on the link with it; an IrLMP disconnect first would be a frame the
    // exchange does not need (and minimal firmware drops the link on it anyway).
    ttp_.Forget();
    lap_.Disconnect();
    ttp_.Received().clear();
    offset_ = 0;
}

int SerialIrdaCalls::Shutdown(SocketHandle s, int) {
    if (!Valid(s)) {
        return SOCKET_ERROR_RESULT;
    }
    EndConnection();
    shutDown_ = true;
    return 0;
}

int SerialIrdaCalls::CloseSocket(SocketHandle s) {
    if (!Valid(s)) {
        return SOCKET_ERROR_RESULT;
    }
    EndConnection();
    port_.Close();
    handle_ = 0;
    return 0;
}

void SerialIrdaCalls::Sleep(std::uint32_t ms) {
    if (stopRequested_ && handle_ == 0 && !dataSent_) {
        // Stopped before any data went to the instrument, and the port is closed: the pause (the close's)
        // has nothing to wait for.
        return;
    }
    lap_.Pause(ms, [this] {
        if (ttp_.Connected()) {
            ttp_.Exchange();
        } else {
            lmp_.Poll();
        }
    });
}

PortProbe ProbePort(const std::string& name, SerialPort& port, StackClock& clock, FrameSink* capture) {
    PortProbe probe;
    if (!port.Open(name)) {
        probe.openError = port.LastError();
        return probe;
    }
    PortMedium medium(port, clock);
    IrlapPrimary lap(medium, clock, capture, RandomOwnAddress());
    probe.discoveryError = WinsockCode(lap.Enumerate(probe.devices));
    port.Close();
    return probe;
}

}  // namespace qx::irda

namespace qx::irda {

std::vector<std::string> UsbPortValues(UsbHost& host) {
    std::vector<std::string> values;
    for (const FoundDongle& dongle : FindDongles(host)) {
        const std::string value = UsbPortName({dongle.device.vendor, dongle.device.product});
        if (std::find(values.begin(), values.end(), value) == values.end()) {
            values.push_back(value);
        }
    }
    return values;
}

std::string UsbDongleName(const std::string& portValue, UsbHost& host) {
    const auto choice = ParseUsbPort(portValue);
    if (!choice) {
        return {};
    }
    const auto dongles = FindDongles(host);
    const FoundDongle* dongle = PickDongle(dongles, *choice);
    if (dongle == nullptr) {
        return {};
    }
    const std::string value = UsbPortName({dongle->device.vendor, dongle->device.product});
    // "USB:066F:4200" less its "USB:" prefix.
    return std::string(FamilyName(dongle->match.family)) + " (" + value.substr(4) + ")";
}

PortProbe ProbeUsbPort(const std::string& name, UsbHost& host, StackClock& clock) {
    std::string adapter;
    if (const auto choice = ParseUsbPort(name)) {
        const auto dongles = FindDongles(host);
        if (const FoundDongle* dongle = PickDongle(dongles, *choice)) {
            adapter = FamilyName(dongle->match.family);
        }
    }
    UsbSerialPort port(host, clock);
    PortProbe probe = ProbePort(name, port, clock);
    probe.adapter = adapter;
    return probe;
}

}  // namespace qx::irda
