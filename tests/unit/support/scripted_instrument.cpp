#include "support/scripted_instrument.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "link/irda_link.h"

namespace qx::test {

Incoming Data(Bytes bytes) {
    return {Incoming::Kind::Data, std::move(bytes), 0, 0};
}
Incoming Silence() {
    return {Incoming::Kind::Silence, {}, 0, 0};
}
Incoming Close() {
    return {Incoming::Kind::Close, {}, 0, 0};
}
Incoming RecvError(int code) {
    return {Incoming::Kind::Error, {}, code, 0};
}
Incoming Late(Bytes bytes) {
    return {Incoming::Kind::Late, std::move(bytes), 0, 0};
}
Incoming Delay(std::uint32_t ms) {
    return {Incoming::Kind::Delay, {}, 0, ms};
}

ScriptedInstrument::ScriptedInstrument() = default;

ScriptedInstrument::~ScriptedInstrument() {
    for (const auto& step : script_) {
        ADD_FAILURE() << "scripted request never sent: " << HexBytes(step.expect);
    }
}

void ScriptedInstrument::Expect(Bytes request, std::vector<Incoming> reply) {
    script_.push_back({std::move(request), 0, std::move(reply)});
}

void ScriptedInstrument::ExpectSendFailure(Bytes request, int code) {
    script_.push_back({std::move(request), code, {}});
}

void ScriptedInstrument::ExpectGreeting() {
    Expect(GREETING, {Data(GREETING_REPLY)});
}

int ScriptedInstrument::CountCalls(const std::string& prefix) const {
    return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                          [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
}

int ScriptedInstrument::Fail(int code) {
    lastError_ = code;
    return SOCKET_ERROR_RESULT;
}

bool ScriptedInstrument::Valid(SocketHandle s) {
    return open_ && s == SOCKET_VALUE;
}

int ScriptedInstrument::WSAStartup(std::uint16_t version) {
    calls.push_back("WSAStartup " + std::to_string(version));
    if (startupError != 0) {
        return startupError;
    }
    ++startups;
    return 0;
}

int ScriptedInstrument::WSACleanup() {
    calls.push_back("WSACleanup");
    ++cleanups;
    return 0;
}

SocketHandle ScriptedInstrument::Socket(int family, int type, int protocol) {
    calls.push_back("socket " + std::to_string(family) + " " + std::to_string(type) + " " +
                    std::to_string(protocol));
    if (socketFails) {
        lastError_ = WSAEAFNOSUPPORT_CODE;
        return INVALID_SOCKET_HANDLE;
    }
    open_ = true;
    return SOCKET_VALUE;
}

int ScriptedInstrument::GetSockOpt(SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                                   int& length) {
    calls.push_back("getsockopt " + std::to_string(level) + " " + std::to_string(option) + " " +
                    std::to_string(length));
    ++discoveryTries;
    if (!Valid(s)) {
        return Fail(WSAENOTSOCK_CODE);
    }
    if (discoveryTries <= discoveryFailures) {
        if (failedTriesListDevices) {
            FillDeviceList(value, length);
        }
        return Fail(discoveryError);
    }
    FillDeviceList(value, length);
    return 0;
}

// The count and the whole records that the caller's buffer has room for.
void ScriptedInstrument::FillDeviceList(std::span<std::uint8_t> value, int length) {
    const Bytes list = DeviceListOf(devices);
    const std::size_t room = std::min(value.size(), static_cast<std::size_t>(std::max(length, 0)));
    if (room < DEVICE_LIST_HEADER_SIZE) {
        return;
    }
    const std::size_t records = (room - DEVICE_LIST_HEADER_SIZE) / DEVICE_RECORD_SIZE;
    const std::size_t fits = DEVICE_LIST_HEADER_SIZE + records * DEVICE_RECORD_SIZE;
    std::copy_n(list.begin(), std::min(list.size(), fits), value.begin());
}

int ScriptedInstrument::Connect(SocketHandle s, std::span<const std::uint8_t> address) {
    calls.push_back("connect " + std::to_string(address.size()));
    connectAddress.assign(address.begin(), address.end());
    if (!Valid(s)) {
        return Fail(WSAENOTSOCK_CODE);
    }
    if (connected_) {
        return Fail(WSAEISCONN_CODE);
    }
    const std::uint32_t id = ReadLittle32(address.subspan(ADDRESS_DEVICE_ID_OFFSET, DEVICE_ID_SIZE));
    connectedIds.push_back(id);
    if (connectError != 0) {
        return Fail(connectError);
    }
    const auto device =
        std::find_if(devices.begin(), devices.end(), [&](const Device& d) { return d.id == id; });
    if (device != devices.end() && device->connectError != 0) {
        return Fail(device->connectError);
    }
    connected_ = true;
    return 0;
}

int ScriptedInstrument::Send(SocketHandle s, std::span<const std::uint8_t> bytes) {
    Bytes frame(bytes.begin(), bytes.end());
    calls.push_back("send " + HexBytes(frame));
    sent.push_back(frame);
    if (!Valid(s) || !connected_) {
        return Fail(WSAENOTSOCK_CODE);
    }
    if (script_.empty()) {
        ADD_FAILURE() << "unexpected request: " << HexBytes(frame);
        return static_cast<int>(bytes.size());
    }
    Exchange step = std::move(script_.front());
    script_.pop_front();
    EXPECT_EQ(HexBytes(step.expect), HexBytes(frame)) << "request out of script";
    if (step.sendError != 0) {
        return Fail(step.sendError);
    }
    // What an earlier request's late reply held back arrives now, ahead of this request's own reply.
    for (auto& in : late_) {
        in.kind = Incoming::Kind::Data;
        incoming_.push_back(std::move(in));
    }
    late_.clear();
    for (auto& in : step.reply) {
        (in.kind == Incoming::Kind::Late ? late_ : incoming_).push_back(std::move(in));
    }
    return static_cast<int>(bytes.size());
}

int ScriptedInstrument::WaitReadable(SocketHandle s, std::uint32_t timeoutMs) {
    calls.push_back("select " + std::to_string(timeoutMs));
    if (!Valid(s)) {
        return Fail(WSAENOTSOCK_CODE);
    }
    while (!incoming_.empty() && incoming_.front().kind == Incoming::Kind::Delay) {
        Incoming& delay = incoming_.front();
        if (delay.delayMs >= timeoutMs) {
            delay.delayMs -= timeoutMs;
            clock_ += timeoutMs;
            return 0;
        }
        clock_ += delay.delayMs;
        timeoutMs -= delay.delayMs;
        incoming_.pop_front();
    }
    if (incoming_.empty() || incoming_.front().kind == Incoming::Kind::Silence) {
        if (!incoming_.empty()) {
            incoming_.pop_front();
        }
        clock_ += timeoutMs;
        return 0;
    }
    if (incoming_.front().kind == Incoming::Kind::Error) {
        const int code = incoming_.front().error;
        incoming_.pop_front();
        return Fail(code);
    }
    return 1;
}

int ScriptedInstrument::Recv(SocketHandle s, std::span<std::uint8_t> buffer) {
    calls.push_back("recv " + std::to_string(buffer.size()));
    if (!Valid(s)) {
        return Fail(WSAENOTSOCK_CODE);
    }
    if (incoming_.empty()) {
        ADD_FAILURE() << "recv without anything to receive: it would block for ever";
        return Fail(WSAETIMEDOUT_CODE);
    }
    Incoming& front = incoming_.front();
    if (front.kind == Incoming::Kind::Close) {
        return 0;  // stays at the front: a closed connection keeps answering 0
    }
    if (front.kind == Incoming::Kind::Error) {
        const int code = front.error;
        incoming_.pop_front();
        return Fail(code);
    }
    const std::size_t n = std::min(buffer.size(), front.bytes.size());
    std::copy_n(front.bytes.begin(), n, buffer.begin());
    front.bytes.erase(front.bytes.begin(), front.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    if (front.bytes.empty()) {
        incoming_.pop_front();
    }
    return static_cast<int>(n);
}

int ScriptedInstrument::Shutdown(SocketHandle s, int how) {
    calls.push_back("shutdown " + std::to_string(how));
    return Valid(s) ? 0 : Fail(WSAENOTSOCK_CODE);
}

int ScriptedInstrument::CloseSocket(SocketHandle s) {
    calls.push_back("closesocket");
    if (!Valid(s)) {
        return Fail(WSAENOTSOCK_CODE);
    }
    if (closeError != 0) {
        return Fail(closeError);
    }
    open_ = false;
    connected_ = false;
    return 0;
}

void ScriptedInstrument::Sleep(std::uint32_t ms) {
    calls.push_back("Sleep " + std::to_string(ms));
    pauses.push_back(ms);
    clock_ += ms;
}

ModuleHandle ScriptedInstrument::LoadHookLibrary() {
    calls.push_back("LoadHookLibrary");
    if (hookModule == 0 && hookLoadError != 0) {
        lastError_ = hookLoadError;
    }
    return hookModule;
}

ProcHandle ScriptedInstrument::GetHookEntry(ModuleHandle module) {
    calls.push_back("GetHookEntry " + std::to_string(module));
    return hookEntry;
}

void ScriptedInstrument::CallHookEntry(ProcHandle entry, SocketHandle s) {
    calls.push_back("CallHookEntry " + std::to_string(entry));
    hookCalls.push_back(s);
}

}  // namespace qx::test
