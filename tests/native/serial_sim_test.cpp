// The instrument simulator's serial IrDA mode, spoken to over its pty by a small primary made of the
// program's SIR framing: discovery, connection, IAS, TinyTP and the instrument's frames, and each link fault.
// The bytes the simulator must send are spelled out here, so a wrong byte on its side shows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "link/traced_calls.h"
#include "support/sim_process.h"
#include "support/sir_line.h"

namespace qxtest {
namespace {

using qx::HexBytes;
using ::testing::HasSubstr;

// The primary's own address and the connection address it picks; the default device's address.
const std::string OWN = "44 33 22 11";
const std::string DEVICE = "10 29 3A 4B";
const std::string CA_COMMAND = "6B";  // connection address 0x35, command
const std::string CA_RESPONSE = "6A";
const std::string SNRM_PARAMETERS = "01 01 02 82 01 01 83 01 01 84 01 01 85 01 80 86 01 01 08 01 01";
const std::string SNRM = "FF 93 " + OWN + " " + DEVICE + " 6A " + SNRM_PARAMETERS;
// 9600 baud, 500 ms, 128 bytes, window 1, no additional BOFs, 10 ms, 3 s.
const std::string UA = CA_RESPONSE + " 73 " + DEVICE + " " + OWN +
                       " 01 01 02 82 01 01 83 01 03 84 01 01 85 01 80 86 01 01 08 01 01";
const std::string DM_BROADCAST = "FE 1F";

// IrLMP from the primary's LSAP 1 to IAS, and from its LSAP 2 to the instrument's TinyTP LSAP 0x2B.
const std::string IAS_CONNECT = "80 01 01 00";
const std::string IAS_CONFIRM = "81 00 81 00";
const std::string IAS_DISCONNECT = "80 01 02 01";
const std::string TTP_CONNECT = "AB 02 01 00 04";  // initial credit 4
const std::string TTP_CONFIRM = "82 2B 81 00 02";  // the instrument gives 2
const std::string TTP_DISCONNECT = "AB 02 02 01";

const std::string GREETING = "80 00 12 10 00 08 00 70 00 0B 51 58 37 37 31 30 5A 5F";
const std::string GREETING_REPLY = "A0 00 0C 10 00 00 40 F0 00 00 77 10";
const std::string READ = "83 00 05 B1 D3";
const std::string WRITE_0104 = "82 00 0A B1 D3 72 00 05 04 01";

std::string Text(const std::string& text) {
    return HexBytes(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// GetValueByClass(class, attribute) from LSAP 1 to IAS.
std::string IasQuery(const std::string& className, const std::string& attribute) {
    return HexBytes(FromHex("00 01 84")) + " " +
           HexBytes(Bytes{static_cast<std::uint8_t>(className.size())}) + " " + Text(className) + " " +
           HexBytes(Bytes{static_cast<std::uint8_t>(attribute.size())}) + " " + Text(attribute);
}

// TinyTP data from LSAP 2 to the instrument, no credit given.
std::string Data(const std::string& frame) {
    return "2B 02 00 " + frame;
}

// A primary with window 1 that tracks its sequence numbers; every wait bounded.
class TestPrimary {
  public:
    explicit TestPrimary(const std::string& path) : line_(path) {}

    SirLine& Line() { return line_; }

    std::optional<Bytes> Command(const std::string& frame, int timeoutMs = 1000) {
        line_.SendFrame(FromHex(frame));
        return line_.ReceiveFrame(timeoutMs);
    }

    // One discovery of 6 slots; every response heard.
    std::vector<Bytes> Discover() {
        std::vector<Bytes> responses;
        for (int slot = 0; slot < 6; ++slot) {
            line_.SendFrame(FromHex("FF 3F 01 " + OWN + " FF FF FF FF 01 " +
                                    HexBytes(Bytes{std::uint8_t(slot)}) + " 00"));
            while (auto frame = line_.ReceiveFrame(100)) {
                responses.push_back(*frame);
            }
        }
        line_.SendFrame(FromHex("FF 3F 01 " + OWN + " FF FF FF FF 01 FF 00 04 00 " + Text("PC")));
        return responses;
    }

    // An I frame with the P bit; the response.
    std::optional<Bytes> SendInfo(const std::string& info, int timeoutMs = 1000) {
        return SendI(vs_++, info, timeoutMs);
    }
    // The same I frame again, with the sequence number it had.
    std::optional<Bytes> Resend(const std::string& info, int timeoutMs = 1000) {
        return SendI(static_cast<std::uint8_t>((vs_ + 7) & 7), info, timeoutMs);
    }

    std::optional<Bytes> Poll(int timeoutMs = 1000) {
        return Track(Command(CA_COMMAND + " " + HexBytes(Bytes{static_cast<std::uint8_t>((vr_ << 5) | 0x11)}),
                             timeoutMs));
    }

    // Sends `info` and polls until the secondary's I frame comes: its information field.
    std::optional<Bytes> Exchange(const std::string& info) {
        auto response = SendInfo(info);
        for (int polls = 0; polls < 5 && response && !IsIFrame(*response); ++polls) {
            response = Poll();
        }
        if (!response || !IsIFrame(*response)) {
            return std::nullopt;
        }
        return Bytes(response->begin() + 2, response->end());
    }

    // SNRM/UA, IAS for the TinyTP LSAP, the TinyTP connect: each step as the instrument must answer it.
    void Connect() {
        ASSERT_EQ(Command(SNRM), FromHex(UA));
        ASSERT_EQ(Exchange(IAS_CONNECT), FromHex(IAS_CONFIRM));
        ASSERT_EQ(Exchange(IasQuery("QX7710Z", "IrDA:TinyTP:LsapSel")),
                  FromHex("01 00 84 00 00 01 00 01 01 00 00 00 2B"));
        ASSERT_TRUE(SendInfo(IAS_DISCONNECT));
        ASSERT_EQ(Exchange(TTP_CONNECT), FromHex(TTP_CONFIRM));
    }

    static bool IsIFrame(const Bytes& frame) { return frame.size() >= 2 && (frame[1] & 0x01) == 0; }
    // The next Ns: with every frame taken, the Nr the secondary answers with.
    std::uint8_t Vs() const { return vs_; }

  private:
    std::optional<Bytes> SendI(std::uint8_t ns, const std::string& info, int timeoutMs) {
        const auto control = static_cast<std::uint8_t>((vr_ << 5) | 0x10 | (ns << 1));
        return Track(Command(CA_COMMAND + " " + HexBytes(Bytes{control}) + " " + info, timeoutMs));
    }

    // Takes an I frame in sequence.
    std::optional<Bytes> Track(std::optional<Bytes> response) {
        if (response && IsIFrame(*response) && (((*response)[1] >> 1) & 7) == vr_) {
            vr_ = (vr_ + 1) & 7;
        }
        return response;
    }

    SirLine line_;
    std::uint8_t vs_ = 0;
    std::uint8_t vr_ = 0;
};

// The instrument's data reply as an information field: LSAP 0x2B to 2, the credit it returns, the frame.
Bytes Reply(const std::string& frame, int credit = 1) {
    return FromHex("02 2B " + HexBytes(Bytes{static_cast<std::uint8_t>(credit)}) + " " + frame);
}

TEST(SerialSim, AnnouncesItsPtyAndWritesItToThePortFile) {
    const auto portFile =
        std::filesystem::temp_directory_path() / ("qx-sim-pty-" + std::to_string(::getpid()));
    SimProcess sim({"--port-file", portFile.string()}, SimLine::Serial);
    ASSERT_THAT(sim.Path(), ::testing::StartsWith("/dev/pts/"));
    std::ifstream in(portFile);
    std::string filed;
    std::getline(in, filed);
    EXPECT_EQ(filed, sim.Path());
    std::filesystem::remove(portFile);
}

// A real line at 9600 baud takes ten bit times a byte each way, and the instrument can answer only after the
// whole frame has arrived: the paced line's answer to a one-slot XID comes no sooner than both frames' bytes
// take, and the record's timeline holds each frame's time on the line in that order.
TEST(SerialSim, PacedLineTakesEachByteItsTimeEachWay) {
    SimProcess sim({}, SimLine::PacedSerial);
    ASSERT_FALSE(sim.Path().empty());
    SirLine line(sim.Path());
    ASSERT_TRUE(line.Open());
    const Bytes xid = FromHex("FF 3F 01 " + OWN + " FF FF FF FF 00 00 00");  // one slot, slot 0
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(line.SendFrame(xid));
    const auto answer = line.ReceiveFrame(2000);
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(answer);
    const std::size_t bytes = qx::irda::SirWrap(xid, 10).size() + qx::irda::SirWrap(*answer, 10).size();
    const auto byteTime = std::chrono::nanoseconds(10LL * 1000 * 1000 * 1000 / 9600);
    EXPECT_GE(took, byteTime * bytes) << bytes << " bytes on the line";

    const auto record = sim.Stop();
    EXPECT_EQ(record["irda"]["line"]["paced"], true);
    const auto& timeline = record["irda"]["timeline"];
    ASSERT_EQ(timeline.size(), 2u);
    EXPECT_EQ(timeline[0]["dir"], "in");
    EXPECT_EQ(timeline[0]["frame"], HexBytes(xid));
    EXPECT_EQ(timeline[1]["dir"], "out");
    EXPECT_EQ(timeline[1]["frame"], HexBytes(*answer));
    const auto microseconds = [&](const nlohmann::json& entry, const char* key) {
        return std::chrono::microseconds(entry[key].get<long long>());
    };
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t wrapped = qx::irda::SirWrap(i == 0 ? xid : *answer, 10).size();
        EXPECT_GE(microseconds(timeline[i], "end_us") - microseconds(timeline[i], "start_us") +
                      std::chrono::microseconds(1),
                  std::chrono::duration_cast<std::chrono::microseconds>(byteTime * wrapped))
            << "frame " << i;
    }
    EXPECT_GE(microseconds(timeline[1], "start_us"), microseconds(timeline[0], "end_us"))
        << "answered only once the XID was all there";
}

struct DiscoveryCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> responses;  // each device's XID response after its address, in any slot
};

void PrintTo(const DiscoveryCase& c, std::ostream* os) {
    *os << c.name;
}

class SerialSimDiscovery : public ::testing::TestWithParam<DiscoveryCase> {};

TEST_P(SerialSimDiscovery, EachDeviceAnswersOnceInASlotOfItsOwn) {
    const DiscoveryCase& c = GetParam();
    SimProcess sim(c.args, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());
    TestPrimary primary(sim.Path());
    const std::vector<Bytes> responses = primary.Discover();
    std::vector<std::string> heard;
    std::vector<int> slots;
    for (const Bytes& response : responses) {
        ASSERT_GE(response.size(), 14u);
        EXPECT_EQ(HexBytes(std::span(response).first(3)), "FE BF 01");
        EXPECT_EQ(HexBytes(std::span(response).subspan(7, 5)), OWN + " 01");
        EXPECT_EQ(response[13], 0x00) << "version";
        heard.push_back(HexBytes(std::span(response).subspan(3, 4)) + " " +
                        HexBytes(std::span(response).subspan(14)));
        EXPECT_THAT(slots, ::testing::Not(::testing::Contains(response[12]))) << "one device a slot";
        slots.push_back(response[12]);
    }
    EXPECT_THAT(heard, ::testing::UnorderedElementsAreArray(c.responses));
    const auto record = sim.Stop();
    ASSERT_EQ(record["irda"]["discoveries"].size(), 1u);
    EXPECT_EQ(record["irda"]["discoveries"][0]["answered"].size(), c.responses.size());
    EXPECT_EQ(record["irda"]["discoveries"][0]["primary_info"], "04 00 " + Text("PC"));
    EXPECT_EQ(record["discoveries"].size(), 1u) << "the instrument's own record of the discovery";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialSimDiscovery,
    ::testing::Values(DiscoveryCase{"DefaultDevice", {}, {DEVICE + " 82 00 00 " + Text("QX7710Z")}},
                      DiscoveryCase{"TwoDevices",
                                    {"--device", "A:0x01020304", "--device", "ABCDEFGHIJKLMNOPQRSTUV"},
                                    {"04 03 02 01 82 00 00 " + Text("A"),
                                     "11 29 3A 4B 82 00 00 " + Text("ABCDEFGHIJKLMNOPQRSTUV")}},
                      DiscoveryCase{"NoDevice", {"--no-devices"}, {}},
                      DiscoveryCase{"DiscoveryError", {"--discovery-error", "10060"}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SerialSim, WholeSessionWritesTheWordAndEndsCleanly) {
    SimProcess sim({"--word", "0x0004"}, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());
    TestPrimary primary(sim.Path());
    ASSERT_EQ(primary.Discover().size(), 1u);
    ASSERT_NO_FATAL_FAILURE(primary.Connect());
    EXPECT_EQ(primary.Exchange(Data(GREETING)), Reply(GREETING_REPLY));
    EXPECT_EQ(primary.Exchange(Data(READ)), Reply("A0 00 08 72 00 05 04 00"));
    EXPECT_EQ(primary.Exchange(Data(WRITE_0104)), Reply("A0 00 03"));
    EXPECT_EQ(primary.Exchange(Data(READ)), Reply("A0 00 08 72 00 05 04 01"));
    const auto afterDisconnect = primary.SendInfo(TTP_DISCONNECT);
    ASSERT_TRUE(afterDisconnect);
    EXPECT_EQ(HexBytes(*afterDisconnect),
              CA_RESPONSE + " " + HexBytes(Bytes{std::uint8_t((primary.Vs() << 5) | 0x11)}))
        << "RR: nothing more to say";
    EXPECT_EQ(primary.Command(CA_COMMAND + " 53"), FromHex(CA_RESPONSE + " 73")) << "DISC answered with UA";
    EXPECT_FALSE(primary.Command(CA_COMMAND + " 11", 300)) << "no link any more";

    const auto record = sim.Stop();
    EXPECT_EQ(record["final_word"], 0x0104);
    EXPECT_EQ(record["writes_applied"], nlohmann::json({0x0104}));
    ASSERT_EQ(record["connections"].size(), 1u);
    EXPECT_EQ(record["connections"][0]["service_name"], "QX7710Z");
    EXPECT_EQ(record["connections"][0]["device_id"], 0x4B3A2910);
    EXPECT_EQ(record["connections"][0]["received"], nlohmann::json({GREETING, READ, WRITE_0104, READ}));
    const auto& links = record["irda"]["links"];
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0]["end"], "disc");
    EXPECT_EQ(links[0]["snrm_parameters"], SNRM_PARAMETERS);
    EXPECT_EQ(links[0]["retransmissions"], 0);
    EXPECT_EQ(links[0]["credit_violations"], 0);
    EXPECT_EQ(
        links[0]["ias"][0],
        nlohmann::json::parse(R"({"class": "QX7710Z", "attribute": "IrDA:TinyTP:LsapSel", "result": 0})"));
    EXPECT_EQ(record["irda"]["line"]["frames_dropped"], 0);
}

// A fault of the link, the exchange that shows it, and what the record must say afterwards.
struct LinkFaultCase {
    const char* name;
    std::vector<std::string> args;
    std::function<void(TestPrimary&)> play;
    std::function<void(const nlohmann::json&)> check;
};

void PrintTo(const LinkFaultCase& c, std::ostream* os) {
    *os << c.name;
}

class SerialSimLinkFault : public ::testing::TestWithParam<LinkFaultCase> {};

TEST_P(SerialSimLinkFault, PlaysAsTold) {
    const LinkFaultCase& c = GetParam();
    SimProcess sim(c.args, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());
    {
        TestPrimary primary(sim.Path());
        ASSERT_NO_FATAL_FAILURE(c.play(primary));
    }
    c.check(sim.Stop());
}

// After the greeting went out and got no good answer, a poll brings the instrument's reply again.
void GreetingAnsweredOnlyAfterAPoll(TestPrimary& primary) {
    ASSERT_NO_FATAL_FAILURE(primary.Connect());
    EXPECT_FALSE(primary.SendInfo(Data(GREETING), 700));
    const auto again = primary.Poll();
    ASSERT_TRUE(again);
    EXPECT_EQ(Bytes(again->begin() + 2, again->end()), Reply(GREETING_REPLY));
}

void ExpectRetransmittedOnce(const nlohmann::json& record) {
    EXPECT_EQ(record["irda"]["links"][0]["retransmissions"], 1);
    EXPECT_EQ(record["connections"][0]["received"][0], GREETING) << "the greeting heard once";
    EXPECT_NE(record["connections"][0]["received"].back(), GREETING);
}

void NoCheck(const nlohmann::json&) {}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialSimLinkFault,
    ::testing::Values(
        LinkFaultCase{"DmToTheFirstSnrm",
                      {"--link-fault", "dm-snrm"},
                      [](TestPrimary& p) {
                          EXPECT_EQ(p.Command(SNRM), FromHex(DM_BROADCAST));
                          EXPECT_EQ(p.Command(SNRM), FromHex(UA));
                      },
                      [](const nlohmann::json& r) {
                          EXPECT_EQ(r["irda"]["links"][0]["result"], "dm");
                          EXPECT_EQ(r["irda"]["links"][1]["result"], "ua");
                      }},
        LinkFaultCase{
            "NoIasClass",
            {"--link-fault", "no-ias-class"},
            [](TestPrimary& p) {
                ASSERT_EQ(p.Command(SNRM), FromHex(UA));
                ASSERT_EQ(p.Exchange(IAS_CONNECT), FromHex(IAS_CONFIRM));
                EXPECT_EQ(p.Exchange(IasQuery("QX7710Z", "IrDA:TinyTP:LsapSel")), FromHex("01 00 84 01"));
            },
            [](const nlohmann::json& r) { EXPECT_EQ(r["irda"]["links"][0]["ias"][0]["result"], 1); }},
        LinkFaultCase{"BadFcsOnce",
                      {"--link-fault", "bad-fcs"},
                      [](TestPrimary& p) {
                          GreetingAnsweredOnlyAfterAPoll(p);
                          EXPECT_EQ(p.Line().Dropped(), 1u);
                          EXPECT_EQ(p.Exchange(Data(READ)), Reply("A0 00 08 72 00 05 04 00")) << "once only";
                      },
                      ExpectRetransmittedOnce},
        LinkFaultCase{"DroppedReply",
                      {"--link-fault", "drop-reply"},
                      [](TestPrimary& p) {
                          GreetingAnsweredOnlyAfterAPoll(p);
                          EXPECT_EQ(p.Line().Dropped(), 0u);
                          EXPECT_EQ(p.Exchange(Data(READ)), Reply("A0 00 08 72 00 05 04 00")) << "once only";
                      },
                      ExpectRetransmittedOnce},
        LinkFaultCase{"RnrOnce",
                      {"--link-fault", "rnr"},
                      [](TestPrimary& p) {
                          ASSERT_NO_FATAL_FAILURE(p.Connect());
                          const auto rnr = p.SendInfo(Data(GREETING));
                          ASSERT_TRUE(rnr);
                          EXPECT_EQ(HexBytes(*rnr),
                                    CA_RESPONSE + " " +
                                        HexBytes(Bytes{std::uint8_t((((p.Vs() + 7) & 7) << 5) | 0x15)}))
                              << "RNR: the frame is not taken";
                          const auto taken = p.Resend(Data(GREETING));
                          ASSERT_TRUE(taken);
                          EXPECT_EQ(Bytes(taken->begin() + 2, taken->end()), Reply(GREETING_REPLY));
                      },
                      [](const nlohmann::json& r) {
                          EXPECT_EQ(r["irda"]["links"][0]["rnr_sent"], 1);
                          EXPECT_EQ(r["connections"][0]["received"], nlohmann::json({GREETING}))
                              << "taken once, when resent";
                      }},
        LinkFaultCase{"SlowTurnaround",
                      {"--link-fault", "slow-turnaround", "--turnaround-ms", "300"},
                      [](TestPrimary& p) {
                          EXPECT_FALSE(p.Command(SNRM, 150)) << "not yet";
                          EXPECT_EQ(p.Line().ReceiveFrame(1000), FromHex(UA));
                      },
                      NoCheck},
        LinkFaultCase{"Echo",
                      {"--link-fault", "echo"},
                      [](TestPrimary& p) {
                          EXPECT_EQ(p.Command(SNRM), FromHex(SNRM)) << "the primary's own frame first";
                          EXPECT_EQ(p.Line().ReceiveFrame(1000), FromHex(UA));
                      },
                      NoCheck},
        LinkFaultCase{"Noise",
                      {"--link-fault", "noise"},
                      [](TestPrimary& p) {
                          ASSERT_EQ(p.Discover().size(), 1u);
                          ASSERT_NO_FATAL_FAILURE(p.Connect());
                          EXPECT_EQ(p.Exchange(Data(GREETING)), Reply(GREETING_REPLY));
                          EXPECT_GE(p.Line().Dropped(), 5u) << "a runt ahead of every frame";
                      },
                      NoCheck},
        LinkFaultCase{"SilentAfterConnect",
                      {"--link-fault", "silent-after-connect"},
                      [](TestPrimary& p) {
                          ASSERT_NO_FATAL_FAILURE(p.Connect());
                          EXPECT_FALSE(p.SendInfo(Data(GREETING), 700));
                          EXPECT_FALSE(p.Poll(700));
                      },
                      [](const nlohmann::json& r) {
                          EXPECT_EQ(r["connections"][0]["received"], nlohmann::json({GREETING}))
                              << "heard, never answered";
                      }},
        // The instrument's frame faults play inside TinyTP as over TCP.
        LinkFaultCase{"WriteRefused",
                      {"--write-fault", "status-c0", "--word", "0x0004"},
                      [](TestPrimary& p) {
                          ASSERT_NO_FATAL_FAILURE(p.Connect());
                          ASSERT_EQ(p.Exchange(Data(GREETING)), Reply(GREETING_REPLY));
                          EXPECT_EQ(p.Exchange(Data(WRITE_0104)), Reply("C0 00 03"));
                      },
                      [](const nlohmann::json& r) { EXPECT_EQ(r["final_word"], 0x0004); }},
        LinkFaultCase{"ReadDroppedEndsTheConnection",
                      {"--read-fault", "drop"},
                      [](TestPrimary& p) {
                          ASSERT_NO_FATAL_FAILURE(p.Connect());
                          ASSERT_EQ(p.Exchange(Data(GREETING)), Reply(GREETING_REPLY));
                          EXPECT_EQ(p.Exchange(Data(READ)), Reply("A0 00 08 72"));
                          const auto next = p.Poll();
                          ASSERT_TRUE(next);
                          EXPECT_EQ(Bytes(next->begin() + 2, next->end()), FromHex("82 2B 02 01"))
                              << "IrLMP disconnect, user request";
                      },
                      NoCheck},
        LinkFaultCase{"ReadResetDropsTheLink",
                      {"--read-fault", "reset"},
                      [](TestPrimary& p) {
                          ASSERT_NO_FATAL_FAILURE(p.Connect());
                          ASSERT_EQ(p.Exchange(Data(GREETING)), Reply(GREETING_REPLY));
                          EXPECT_EQ(p.Exchange(Data(READ)), Reply("A0 00 08 72"));
                          EXPECT_EQ(p.Poll(), FromHex(CA_RESPONSE + " 1F")) << "DM";
                      },
                      [](const nlohmann::json& r) {
                          EXPECT_EQ(r["irda"]["links"][0]["end"], "reset by the instrument");
                      }},
        LinkFaultCase{"DelayedReplyComesWithALaterPoll",
                      {"--read-fault", "delay:1", "--delay-ms", "300"},
                      [](TestPrimary& p) {
                          ASSERT_NO_FATAL_FAILURE(p.Connect());
                          ASSERT_EQ(p.Exchange(Data(GREETING)), Reply(GREETING_REPLY));
                          const auto first = p.SendInfo(Data(READ));
                          ASSERT_TRUE(first);
                          EXPECT_FALSE(TestPrimary::IsIFrame(*first)) << "RR while the instrument thinks";
                          std::this_thread::sleep_for(std::chrono::milliseconds(400));
                          const auto later = p.Poll();
                          ASSERT_TRUE(later);
                          EXPECT_EQ(Bytes(later->begin() + 2, later->end()),
                                    Reply("A0 00 08 72 00 05 04 00"));
                      },
                      NoCheck}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SerialSim, ARepeatedWriteFrameIsTakenOnce) {
    SimProcess sim({"--word", "0x0004"}, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());
    {
        TestPrimary primary(sim.Path());
        ASSERT_NO_FATAL_FAILURE(primary.Connect());
        ASSERT_EQ(primary.Exchange(Data(GREETING)), Reply(GREETING_REPLY));
        // As if the instrument's answer was lost: the same frame again, with the same Ns.
        const auto first = primary.SendInfo(Data(WRITE_0104));
        ASSERT_TRUE(first && TestPrimary::IsIFrame(*first));
        const auto again = primary.Resend(Data(WRITE_0104));
        ASSERT_TRUE(again);
        EXPECT_FALSE(TestPrimary::IsIFrame(*again)) << "nothing new to answer";
    }
    const auto record = sim.Stop();
    EXPECT_EQ(record["writes_applied"], nlohmann::json({0x0104}));
    EXPECT_EQ(record["irda"]["links"][0]["duplicates"], 1);
}

TEST(SerialSim, RepliesWaitForCreditAndCountCreditTheyDidNotHave) {
    SimProcess sim({}, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());
    {
        TestPrimary primary(sim.Path());
        ASSERT_EQ(primary.Command(SNRM), FromHex(UA));
        ASSERT_EQ(primary.Exchange(IAS_CONNECT), FromHex(IAS_CONFIRM));
        ASSERT_TRUE(primary.Exchange(IasQuery("QX7710Z", "IrDA:TinyTP:LsapSel")));
        // One credit for the instrument: its greeting reply spends it, its read reply must wait.
        ASSERT_EQ(primary.Exchange("AB 02 01 00 01"), FromHex(TTP_CONFIRM));
        ASSERT_EQ(primary.Exchange(Data(GREETING)), Reply(GREETING_REPLY));
        const auto held = primary.SendInfo(Data(READ));
        ASSERT_TRUE(held);
        EXPECT_FALSE(TestPrimary::IsIFrame(*held)) << "no credit, no data";
        EXPECT_EQ(primary.Exchange("2B 02 01"), Reply("A0 00 08 72 00 05 04 00")) << "a credit brings it";
        // The instrument gave 2 and topped up to 2 with each reply: a third frame in a row has no credit.
        ASSERT_TRUE(primary.SendInfo(Data(READ)));
        ASSERT_TRUE(primary.SendInfo(Data(READ)));
        ASSERT_TRUE(primary.SendInfo(Data(READ)));
    }
    const auto record = sim.Stop();
    EXPECT_GE(record["irda"]["links"][0]["credit_waits"], 1);
    EXPECT_EQ(record["irda"]["links"][0]["credit_violations"], 1);
}

TEST(SerialSim, DropsTheLinkWhenThePrimaryStaysSilentPastTheThreshold) {
    SimProcess sim({}, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());
    {
        TestPrimary primary(sim.Path());
        ASSERT_NO_FATAL_FAILURE(primary.Connect());
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        EXPECT_FALSE(primary.Poll(500)) << "the link is gone";
        EXPECT_EQ(primary.Command(SNRM), FromHex(UA)) << "and a new one can start";
    }
    const auto record = sim.Stop();
    EXPECT_EQ(record["irda"]["links"][0]["end"], "watchdog");
    EXPECT_EQ(record["connections"].size(), 1u);
}

TEST(SerialSim, HelpNamesTheSerialOptionsAndEveryLinkFault) {
    std::string out;
    ASSERT_EQ(RunSim({"--help"}, out), 0);
    for (const char* word : {"--serial", "--serial-device", "--link-fault", "--turnaround-ms", "--unpaced",
                             "bad-fcs", "drop-reply", "dm-snrm", "no-ias-class", "rnr", "slow-turnaround",
                             "echo", "noise", "silent-after-connect", "link disconnect threshold"}) {
        EXPECT_THAT(out, HasSubstr(word));
    }
}

TEST(SerialSim, RefusesBadSerialCommandLines) {
    const std::vector<std::vector<std::string>> badLines = {
        {"--link-fault", "echo"},                      // without a serial line
        {"--unpaced"},                                 // no line to pace
        {"--serial", "--link-fault", "loud"},          // no such fault
        {"--serial", "--link-fault", "echo:2"},        // not a counted fault
        {"--serial", "--link-fault", "bad-fcs:0"},     // a count of none
        {"--serial", "--serial-device", "/dev/null"},  // two lines at once
        {"--serial-device", "/nonexistent/tty"},       // a line that does not open
    };
    for (const auto& line : badLines) {
        std::string out;
        EXPECT_NE(RunSim(line, out), 0) << line.back();
        EXPECT_EQ(out, "") << line.back();
    }
}

}  // namespace
}  // namespace qxtest
