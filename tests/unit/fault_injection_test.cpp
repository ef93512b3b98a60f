// Every platform call of a successful run, made to fail in every way it can, one at a time: whatever fails,
// the run must not write a word it did not read, must not report a write the instrument did not acknowledge,
// must show one result box and must leave the link closed and the socket library released.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/mode_switch.h"
#include "support/faulty_instrument.h"
#include "support/instrument_bytes.h"
#include "support/named_slots.h"
#include "support/recording_host.h"

namespace qx::test {
namespace {

struct Scenario {
    const char* name;
    bool enable;
    ConfigWord word;  // what the instrument holds at the start
    bool staleLink;   // a link is still open from before, so the run starts by closing it
    int leftError;    // the last error as the run finds it
};

// Printed by name: the raw bytes of the struct would include its uninitialised padding.
void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

const std::vector<Scenario> SCENARIOS = {
    {"enable", true, 0x0004, false, 0},
    {"disable", false, 0x0105, false, 0},
    // Words whose bytes look like reply statuses: a reply taken out of step would show them as headers.
    {"enable, word of status bytes", true, 0xC0A0, false, 0},
    {"disable, word of status bytes", false, 0xA1C0, false, 0},
    {"enable after a stale link", true, 0x0004, true, 0},
    {"disable after a stale link", false, 0x0105, true, 0},
    // The error a hook library that failed to load leaves on the thread: no successful call clears it.
    {"enable with an error left on the thread", true, 0x0004, false, 126},
};

ConfigWord Changed(const Scenario& s) {
    return s.enable ? static_cast<ConfigWord>(s.word | SEARCH_BIT)
                    : static_cast<ConfigWord>(s.word & ~SEARCH_BIT);
}

struct FaultedRun {
    FaultyInstrument instrument;
    IrdaLink link{instrument};
    RecordingHost host;
    MessageSlots slots = NamedSlots();
    bool result = false;

    FaultedRun(const Scenario& s, std::size_t position, Fault fault) : instrument(s.word, s.enable) {
        instrument.Inject(position, fault);
        instrument.LeaveError(s.leftError);
        if (s.staleLink) {
            AddressRecord address{};
            link.StartLink(address);
        }
        result = SetSearchMode(s.enable, link, slots, host);
    }

    std::vector<std::string> Violations() const {
        return instrument.watch.Check({result, link.HasLink(), host, slots});
    }
};

// Failures the program is built to ride out: the run still succeeds.
bool Harmless(Call call, Fault fault) {
    return fault == Fault::Partial || fault == Fault::Missing || fault == Fault::StaleError ||
           call == Call::Shutdown || call == Call::WSACleanup;
}

class FaultInjection : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultInjection, NoSingleFailingCallBreaksTheRulesOfARun) {
    const Scenario& s = GetParam();
    const FaultedRun clean(s, SIZE_MAX, Fault::None);
    ASSERT_TRUE(clean.result);
    ASSERT_EQ(clean.instrument.word, Changed(s));
    ASSERT_TRUE(clean.Violations().empty()) << clean.Violations()[0];
    const std::vector<Call>& sequence = clean.instrument.calls;

    std::set<Fault> injected;
    for (std::size_t position = 0; position < sequence.size(); ++position) {
        for (const Fault fault : FaultsOf(sequence[position])) {
            const FaultedRun run(s, position, fault);
            SCOPED_TRACE(testing::Message() << "call " << position << " (" << CallName(sequence[position])
                                            << "): " << FaultName(fault));
            // Up to the fault the run is the clean one, so the fault lands on the call it was meant for.
            ASSERT_TRUE(run.instrument.FaultHit());
            ASSERT_EQ(run.instrument.calls[position], sequence[position]);
            injected.insert(fault);

            for (const std::string& violation : run.Violations()) {
                ADD_FAILURE() << violation;
            }
            // The instrument ends with the word it had or the one the run meant to write, never a third.
            EXPECT_TRUE(run.instrument.word == s.word || run.instrument.word == Changed(s))
                << "instrument holds " << run.instrument.word;
            if (run.result) {
                EXPECT_EQ(run.instrument.word, Changed(s));
            }
            if (Harmless(sequence[position], fault)) {
                EXPECT_TRUE(run.result) << "a failure the run should ride out made it fail";
            }
        }
    }
    // Every kind of failure was tried somewhere in the run. A stale error is not among them: a clean run
    // reads the last error only after a call that failed, which it has none of; the scenario that starts with
    // an error left on the thread stands for it.
    for (const Fault fault : {Fault::ErrorReturn, Fault::ErrorWithoutCode, Fault::Partial, Fault::Truncated,
                              Fault::TruncatedThenEnd, Fault::Silence, Fault::ConnectionEnded,
                              Fault::ClockJump, Fault::Missing}) {
        EXPECT_EQ(injected.count(fault), 1u) << FaultName(fault) << " never injected";
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, FaultInjection, ::testing::ValuesIn(SCENARIOS),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c != '\0'; ++c) {
                                 if (std::isalnum(static_cast<unsigned char>(*c))) {
                                     name += *c;
                                 }
                             }
                             return name;
                         });

// One bound on the whole run: once RUN_BOUND_MS has passed since the link started, no discovery try, connect
// or send begins; what is under way finishes and the outcome says how far the run got.
TEST(RunBound, NothingNewBeginsOnceTheRunsTimeIsUp) {
    const struct {
        const char* name;
        std::uint32_t beginMs;  // what each discovery try, connect and send costs
        int discoveryFailures;
        RunStage stage;
        int code;
        int writesApplied;
    } cases[] = {
        // 20 tries of 1.01 s (the try and its pause) fill the bound: the other 29 are never made.
        {"a search that never finds", 1000, DISCOVERY_TRIES, RunStage::SearchFailed, WSAETIMEDOUT_CODE, 0},
        // The read goes out at 18 s and comes back; the write would begin at 24 s and is not sent.
        {"the write would begin after the bound", 6000, 0, RunStage::NotWritten, WSAETIMEDOUT_CODE, 0},
        // The write begins at 18 s, within the bound: it is finished and its answer waited for.
        {"the write begins within the bound", 4500, 0, RunStage::Done, 0, 1},
    };
    for (const auto& c : cases) {
        FaultyInstrument instrument(0x0004, true);
        instrument.beginMs = c.beginMs;
        instrument.discoveryFailures = c.discoveryFailures;
        IrdaLink link(instrument);
        RecordingHost host;
        const MessageSlots slots = NamedSlots();
        const RunOutcome outcome = RunModeSwitch(true, link, slots, host);
        EXPECT_EQ(outcome.stage, c.stage) << c.name;
        EXPECT_EQ(outcome.code, c.code) << c.name;
        EXPECT_EQ(instrument.writesApplied, c.writesApplied) << c.name;
        EXPECT_EQ(instrument.word, c.writesApplied ? 0x0104 : 0x0004) << c.name;
        EXPECT_FALSE(link.HasLink()) << c.name << ": the link is closed";
        const auto tries = std::count(instrument.calls.begin(), instrument.calls.end(), Call::GetSockOpt);
        EXPECT_EQ(tries, c.discoveryFailures ? 20 : 1) << c.name;
        EXPECT_TRUE(
            instrument.watch.Check({outcome.stage == RunStage::Done, link.HasLink(), host, slots}).empty())
            << c.name;
    }
}

}  // namespace
}  // namespace qx::test
