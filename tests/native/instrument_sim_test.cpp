// The instrument simulator, spoken to byte by byte over plain TCP.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "support/sim_process.h"

namespace qxtest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr std::uint32_t DEFAULT_ID = 0x4B3A2910;
const std::string DEFAULT_NAME = "QX7710Z";
const std::string GREETING = "80 00 12 10 00 08 00 70 00 0B 51 58 37 37 31 30 5A 5F";
const std::string GREETING_REPLY = "A0 00 0C 10 00 00 40 F0 00 00 77 10";
const std::string READ = "83 00 05 B1 D3";
const std::string WRITE_0104 = "82 00 0A B1 D3 72 00 05 04 01";
const std::string WRITE_0204 = "82 00 0A B1 D3 72 00 05 04 02";

void PutLittle32(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

struct Device {
    std::uint32_t id;
    std::string name;
};

// The answer a discovery that works should bring: result 0, count, 29-byte records.
Bytes DiscoveryAnswer(const std::vector<Device>& devices) {
    Bytes answer;
    PutLittle32(answer, 0);
    PutLittle32(answer, static_cast<std::uint32_t>(devices.size()));
    for (const Device& d : devices) {
        PutLittle32(answer, d.id);
        answer.insert(answer.end(), d.name.begin(), d.name.end());
        answer.resize(answer.size() + 22 - d.name.size() + 3, 0);
    }
    return answer;
}

Bytes ErrorAnswer(std::int32_t code) {
    Bytes answer;
    PutLittle32(answer, static_cast<std::uint32_t>(code));
    return answer;
}

// 'C' and the 32-byte address record: family, device id, 25-byte service name, padding.
Bytes ConnectRequest(std::uint32_t id, const std::string& name, std::uint16_t family = 26) {
    Bytes request = {'C', static_cast<std::uint8_t>(family), static_cast<std::uint8_t>(family >> 8)};
    PutLittle32(request, id);
    request.insert(request.end(), name.begin(), name.end());
    request.resize(1 + 32, 0);
    return request;
}

Bytes Discover(std::uint16_t port, bool& ended) {
    TcpClient client(port);
    client.Send(Bytes{'D'});
    Bytes answer = client.ReceiveToEnd();
    ended = client.PeerEnded();
    return answer;
}

// A frame connection to the default device, already greeted.
void OpenGreeted(TcpClient& client) {
    ASSERT_TRUE(client.Send(ConnectRequest(DEFAULT_ID, DEFAULT_NAME)));
    ASSERT_EQ(client.Receive(4), ErrorAnswer(0));
    ASSERT_TRUE(client.Send(FromHex(GREETING)));
    ASSERT_EQ(client.Receive(12), FromHex(GREETING_REPLY));
}

TEST(InstrumentSim, ReadsThenKeepsTheWordItAcknowledged) {
    SimProcess sim({"--word", "0x0004"});
    ASSERT_NE(sim.Port(), 0);
    bool ended = false;
    EXPECT_EQ(Discover(sim.Port(), ended), DiscoveryAnswer({{DEFAULT_ID, DEFAULT_NAME}}));
    EXPECT_TRUE(ended);
    {
        TcpClient client(sim.Port());
        OpenGreeted(client);
        client.Send(FromHex(READ));
        EXPECT_EQ(client.Receive(8), FromHex("A0 00 08 72 00 05 04 00"));
        client.Send(FromHex(WRITE_0104));
        EXPECT_EQ(client.Receive(3), FromHex("A0 00 03"));
        client.Send(FromHex(READ));
        EXPECT_EQ(client.Receive(8), FromHex("A0 00 08 72 00 05 04 01"));
    }
    const auto record = sim.Stop();
    EXPECT_EQ(record["initial_word"], 0x0004);
    EXPECT_EQ(record["final_word"], 0x0104);
    EXPECT_EQ(record["writes_applied"], nlohmann::json({0x0104}));
    EXPECT_EQ(record["discoveries"], nlohmann::json::parse(R"([{"result": 0, "count": 1}])"));
    ASSERT_EQ(record["connections"].size(), 1u);
    const auto& connection = record["connections"][0];
    EXPECT_EQ(connection["service_name"], DEFAULT_NAME);
    EXPECT_EQ(connection["device_id"], DEFAULT_ID);
    EXPECT_EQ(connection["family"], 26);
    EXPECT_EQ(connection["result"], 0);
    EXPECT_EQ(connection["received"], nlohmann::json({GREETING, READ, WRITE_0104, READ}));
    EXPECT_EQ(record["stop_reason"], "signal");
}

struct DiscoveryCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<Bytes> answers;  // one per try, in order
};

// Failures name the case rather than dump its bytes.
void PrintTo(const DiscoveryCase& c, std::ostream* os) {
    *os << c.name;
}

class InstrumentSimDiscovery : public ::testing::TestWithParam<DiscoveryCase> {};

TEST_P(InstrumentSimDiscovery, AnswersEachTryAsTold) {
    const DiscoveryCase& c = GetParam();
    SimProcess sim(c.args);
    ASSERT_NE(sim.Port(), 0);
    for (const Bytes& expected : c.answers) {
        bool ended = false;
        EXPECT_EQ(Discover(sim.Port(), ended), expected);
        EXPECT_TRUE(ended) << "each discovery connection is closed after its answer";
    }
    EXPECT_EQ(sim.Stop()["discoveries"].size(), c.answers.size());
}

const std::string NAME_22 = "ABCDEFGHIJKLMNOPQRSTUV";

INSTANTIATE_TEST_SUITE_P(
    Cases, InstrumentSimDiscovery,
    ::testing::Values(DiscoveryCase{"NoDevice", {"--no-devices"}, {DiscoveryAnswer({})}},
                      DiscoveryCase{"SeveralDevicesInOrder",
                                    {"--device", "A", "--device", NAME_22 + ":0x01020304", "--device", "C:7"},
                                    {DiscoveryAnswer({{DEFAULT_ID, "A"}, {0x01020304, NAME_22}, {7, "C"}})}},
                      DiscoveryCase{"ErrorForTheFirstTwoTries",
                                    {"--discovery-error", "10050:2"},
                                    {ErrorAnswer(10050), ErrorAnswer(10050),
                                     DiscoveryAnswer({{DEFAULT_ID, DEFAULT_NAME}})}},
                      DiscoveryCase{"ErrorEveryTime",
                                    {"--discovery-error", "10047"},
                                    {ErrorAnswer(10047), ErrorAnswer(10047), ErrorAnswer(10047)}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ConnectCase {
    const char* name;
    std::vector<std::string> args;
    Bytes request;
    std::int32_t result;
};

void PrintTo(const ConnectCase& c, std::ostream* os) {
    *os << c.name;
}

class InstrumentSimConnect : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(InstrumentSimConnect, AnswersTheAddressRecord) {
    const ConnectCase& c = GetParam();
    SimProcess sim(c.args);
    ASSERT_NE(sim.Port(), 0);
    TcpClient client(sim.Port());
    client.Send(c.request);
    EXPECT_EQ(client.Receive(4), ErrorAnswer(c.result));
    if (c.result != 0) {
        EXPECT_TRUE(client.ReceiveToEnd().empty());
        EXPECT_TRUE(client.PeerEnded());
    }
    const auto record = sim.Stop();
    ASSERT_EQ(record["connections"].size(), 1u);
    EXPECT_EQ(record["connections"][0]["result"], c.result);
    EXPECT_EQ(FromHex(record["connections"][0]["address"]), Bytes(c.request.begin() + 1, c.request.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstrumentSimConnect,
    ::testing::Values(
        ConnectCase{"ListedDevice", {}, ConnectRequest(DEFAULT_ID, DEFAULT_NAME), 0},
        ConnectCase{"NameOf22Characters", {"--device", NAME_22}, ConnectRequest(DEFAULT_ID, NAME_22), 0},
        ConnectCase{"OtherName", {}, ConnectRequest(DEFAULT_ID, "QX7710"), 10061},
        ConnectCase{"OtherId", {}, ConnectRequest(DEFAULT_ID + 1, DEFAULT_NAME), 10061},
        ConnectCase{"OtherFamily", {}, ConnectRequest(DEFAULT_ID, DEFAULT_NAME, 2), 10047},
        ConnectCase{
            "ToldToFail", {"--connect-error", "10060"}, ConnectRequest(DEFAULT_ID, DEFAULT_NAME), 10060}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InstrumentSim, RefusesFramesItDoesNotKnowAndStillTakesTheGreetingAfter) {
    SimProcess sim({});
    ASSERT_NE(sim.Port(), 0);
    TcpClient client(sim.Port());
    client.Send(ConnectRequest(DEFAULT_ID, DEFAULT_NAME));
    ASSERT_EQ(client.Receive(4), ErrorAnswer(0));
    const std::string wrongGreeting = "80 00 12 10 00 08 00 70 00 0B 51 58 37 37 31 30 5A 5E";
    for (const std::string& frame : {READ, wrongGreeting, std::string("00 00 00")}) {
        client.Send(FromHex(frame));
        EXPECT_EQ(client.Receive(3), FromHex("C0 00 03")) << frame;
    }
    client.Send(FromHex(GREETING));
    EXPECT_EQ(client.Receive(12), FromHex(GREETING_REPLY));
}

enum class Target { Greeting, Read, Write };

struct FaultCase {
    const char* name;
    std::vector<std::string> args;
    Target target;
    std::string firstReply;  // the faulty reply to the first request
    bool ends;               // the simulator ends the connection after it
    bool firstApplied;       // the first write request stores its word despite the fault
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class InstrumentSimFault : public ::testing::TestWithParam<FaultCase> {};

// Each fault plays once: the first request gets the faulty reply, the repeated request the right one.
TEST_P(InstrumentSimFault, PlaysOnceThenAnswersRight) {
    const FaultCase& c = GetParam();
    SimProcess sim(c.args);
    ASSERT_NE(sim.Port(), 0);
    {
        TcpClient client(sim.Port());
        std::string first = GREETING;
        std::string second = GREETING;
        std::string rightReply = GREETING_REPLY;
        if (c.target == Target::Greeting) {
            client.Send(ConnectRequest(DEFAULT_ID, DEFAULT_NAME));
            ASSERT_EQ(client.Receive(4), ErrorAnswer(0));
        } else {
            OpenGreeted(client);
            first = second = READ;
            rightReply = "A0 00 08 72 00 05 04 00";
        }
        if (c.target == Target::Write) {
            first = WRITE_0104;
            second = WRITE_0204;
            rightReply = "A0 00 03";
        }
        client.Send(FromHex(first));
        if (c.ends) {
            EXPECT_EQ(client.ReceiveToEnd(), FromHex(c.firstReply));
            EXPECT_TRUE(client.PeerEnded());
        } else {
            client.Send(FromHex(second));
            Bytes expected = FromHex(c.firstReply + " " + rightReply);
            EXPECT_EQ(client.Receive(expected.size()), expected);
        }
    }
    const auto record = sim.Stop();
    if (c.target == Target::Write) {
        std::vector<int> applied;
        if (c.firstApplied) {
            applied.push_back(0x0104);
        }
        if (!c.ends) {
            applied.push_back(0x0204);
        }
        EXPECT_EQ(record["writes_applied"], nlohmann::json(applied));
        EXPECT_EQ(record["final_word"], applied.empty() ? 0x0004 : applied.back());
    } else {
        EXPECT_EQ(record["final_word"], 0x0004);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Read, InstrumentSimFault,
    ::testing::Values(
        FaultCase{"Status90",
                  {"--read-fault", "status-90:1"},
                  Target::Read,
                  "90 00 08 72 00 05 04 00",
                  false,
                  false},
        FaultCase{"StatusC0",
                  {"--read-fault", "status-c0:1"},
                  Target::Read,
                  "C0 00 08 72 00 05 04 00",
                  false,
                  false},
        FaultCase{"Status55",
                  {"--read-fault", "status-55:1"},
                  Target::Read,
                  "55 00 08 72 00 05 04 00",
                  false,
                  false},
        FaultCase{
            "Length", {"--read-fault", "length:1"}, Target::Read, "A0 00 09 72 00 05 04 00", false, false},
        FaultCase{
            "Byte3", {"--read-fault", "byte-3:1"}, Target::Read, "A0 00 08 8D 00 05 04 00", false, false},
        FaultCase{"Short", {"--read-fault", "short:1"}, Target::Read, "A0 00 08 72", false, false},
        FaultCase{"Silent", {"--read-fault", "silent:1"}, Target::Read, "", false, false},
        FaultCase{"Delay",
                  {"--read-fault", "delay:1", "--delay-ms", "50"},
                  Target::Read,
                  "A0 00 08 72 00 05 04 00",
                  false,
                  false},
        FaultCase{"Drop", {"--read-fault", "drop:1"}, Target::Read, "A0 00 08 72", true, false},
        // The first reply comes only with the second request, ahead of that one's own.
        FaultCase{"Late", {"--read-fault", "late:1"}, Target::Read, "A0 00 08 72 00 05 04 00", false, false}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Write, InstrumentSimFault,
    ::testing::Values(
        FaultCase{"Status90", {"--write-fault", "status-90:1"}, Target::Write, "90 00 03", false, false},
        FaultCase{"StatusC0", {"--write-fault", "status-c0:1"}, Target::Write, "C0 00 03", false, false},
        // The instrument took the write; only its acknowledgement suffered on the way back.
        FaultCase{"Length", {"--write-fault", "length:1"}, Target::Write, "A0 00 04", false, true},
        FaultCase{"Byte2", {"--write-fault", "byte-2:1"}, Target::Write, "A0 00 FC", false, true},
        FaultCase{"Short", {"--write-fault", "short:1"}, Target::Write, "A0", false, true},
        FaultCase{"Silent", {"--write-fault", "silent:1"}, Target::Write, "", false, true},
        FaultCase{"Late", {"--write-fault", "late:1"}, Target::Write, "A0 00 03", false, true},
        FaultCase{"Delay",
                  {"--write-fault", "delay:1", "--delay-ms", "50"},
                  Target::Write,
                  "A0 00 03",
                  false,
                  true},
        FaultCase{"Drop", {"--write-fault", "drop:1"}, Target::Write, "A0", true, true}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Greeting, InstrumentSimFault,
    ::testing::Values(
        FaultCase{"LastByte",
                  {"--greeting-fault", "byte-11:1"},
                  Target::Greeting,
                  "A0 00 0C 10 00 00 40 F0 00 00 77 EF",
                  false,
                  false},
        FaultCase{"Silent", {"--greeting-fault", "silent:1"}, Target::Greeting, "", false, false},
        FaultCase{
            "Drop", {"--greeting-fault", "drop:1"}, Target::Greeting, "A0 00 0C 10 00 00", true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InstrumentSim, ResetEndsTheConnectionAfterHalfAReply) {
    SimProcess sim({"--read-fault", "reset"});
    ASSERT_NE(sim.Port(), 0);
    TcpClient client(sim.Port());
    OpenGreeted(client);
    client.Send(FromHex(READ));
    const Bytes got = client.ReceiveToEnd();
    EXPECT_TRUE(client.PeerEnded());
    EXPECT_LE(got.size(), 4u) << "never more than the first half";
}

TEST(InstrumentSim, FaultWithoutCountPlaysEveryTimeAndCountLimitsIt) {
    for (const auto& [fault, lastStatus] : {std::pair{"status-55", 0x55}, std::pair{"status-55:2", 0xA0}}) {
        SimProcess sim({"--read-fault", fault});
        ASSERT_NE(sim.Port(), 0);
        TcpClient client(sim.Port());
        OpenGreeted(client);
        std::vector<int> statuses;
        for (int i = 0; i < 3; ++i) {
            client.Send(FromHex(READ));
            const Bytes reply = client.Receive(8);
            statuses.push_back(reply.empty() ? -1 : reply[0]);
        }
        EXPECT_THAT(statuses, ElementsAre(0x55, 0x55, lastStatus)) << fault;
    }
}

TEST(InstrumentSim, StopsByItselfAtItsTimeOutAndStillRecords) {
    const auto portFile =
        std::filesystem::temp_directory_path() / ("qx-sim-port-" + std::to_string(::getpid()));
    SimProcess sim({"--timeout-s", "1", "--port-file", portFile.string()});
    ASSERT_NE(sim.Port(), 0);
    std::ifstream in(portFile);
    int filed = 0;
    in >> filed;
    EXPECT_EQ(filed, sim.Port());
    int exitCode = -1;
    const auto record = sim.WaitForExit(exitCode);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(record["stop_reason"], "timeout");
    std::filesystem::remove(portFile);
}

TEST(InstrumentSim, RefusesBadCommandLinesWithoutListening) {
    const std::vector<std::vector<std::string>> badLines = {
        {"--device", NAME_22 + "W"},
        {"--device", "A:x"},
        {"--read-fault", "byte-8"},
        {"--write-fault", "byte-3"},
        {"--read-fault", "status-5"},
        {"--write-fault", "loud"},
        {"--read-fault", "drop:0"},
        {"--discovery-error", "0"},
        {"--word", "0x10000"},
        {"--port"},
        {"--frobnicate"},
    };
    for (const auto& line : badLines) {
        std::string out;
        EXPECT_EQ(RunSim(line, out), 2) << line[0];
        EXPECT_EQ(out, "") << line[0];
    }
}

TEST(InstrumentSim, HelpNamesEveryOptionAndFaultKind) {
    std::string out;
    ASSERT_EQ(RunSim({"--help"}, out), 0);
    for (const char* word : {"--port",
                             "--port-file",
                             "--record",
                             "--timeout-s",
                             "--device",
                             "--no-devices",
                             "--word",
                             "--delay-ms",
                             "--discovery-error",
                             "--connect-error",
                             "--greeting-fault",
                             "--read-fault",
                             "--write-fault",
                             "status-XX",
                             "length",
                             "byte-N",
                             "short",
                             "silent",
                             "drop",
                             "reset",
                             "delay"}) {
        EXPECT_THAT(out, HasSubstr(word));
    }
}

}  // namespace
}  // namespace qxtest
