// Each cause of a failed run, made by the real stack over the scripted secondary (or by Winsock's refusal),
// through the real mode switch: the stack's typed failure, the cause, and the reason and last-run texts in
// both languages and for both platforms.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "app/console_options.h"
#include "app/outcome_table.h"
#include "app/read_search_mode.h"
#include "app/texts.h"
#include "irda/serial_irda_calls.h"
#include "link/irda_link.h"
#include "support/instrument_bytes.h"
#include "support/irda_secondary.h"
#include "support/scripted_instrument.h"

namespace qx::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace qx::irda;

struct CauseCase {
    const char* name;
    LinkChoice link;
    std::function<void(IrdaSecondary&)> setUp;
    RunStage stage;
    std::optional<StackFailure> failure;
    FailureCause cause;
    const char* jsonName;
    // What the English reason, its next step and the last-run text must say, and the Russian reason.
    const char* reason;
    const char* nextStep;
    const char* lastRun;
    const char* russian;
};

const LinkChoice COM5{LinkKind::Serial, std::nullopt, "COM5", ""};
const LinkChoice USB{LinkKind::Usb, std::nullopt, "USB", ""};

MessageSlots EnglishSlots() {
    FormTexts texts;
    ApplyLanguage(LANGUAGE_ENGLISH, texts);
    return texts.slots;
}

TEST(FailureCauses, EachCauseOfTheSerialRouteHasItsOwnReasonAndNextStep) {
    const CauseCase cases[] = {
        {"COM port not on this PC", COM5, [](IrdaSecondary& s) { s.openError = PORT_ERROR_FILE_NOT_FOUND; },
         RunStage::SocketFailed, StackFailure{StackLayer::Port, StackStatus::OpenFailed, 2},
         FailureCause::PortMissing, "port_missing", "COM5 is not on this PC (error 2)",
         "run QX2205R-cli ports", "Last run: COM5 not found (error 2)", "порта COM5 нет на этом компьютере"},
        {"COM port in use", COM5, [](IrdaSecondary& s) { s.openError = PORT_ERROR_ACCESS_DENIED; },
         RunStage::SocketFailed, StackFailure{StackLayer::Port, StackStatus::OpenFailed, 5},
         FailureCause::PortInUse, "port_in_use", "COM5 is in use by another program (error 5)",
         "close the program that holds COM5", "Last run: COM5 in use by another program",
         "порт COM5 занят другой программой"},
        {"Port value not a COM port", LinkChoice{LinkKind::InvalidPort, std::nullopt, "CMO5", ""},
         [](IrdaSecondary& s) { s.openError = PORT_ERROR_INVALID_NAME; }, RunStage::SocketFailed,
         StackFailure{StackLayer::Port, StackStatus::OpenFailed, 123}, FailureCause::PortValueInvalid,
         "port_value_invalid",
         "the Port value \"CMO5\" in C:\\prog\\QX2205R.ini is not a COM port (error 123)",
         "Port=COM1 ... COM256 in the [Parameters] section", "Last run: Port=CMO5 is not COM1 ... COM256",
         "значение Port \"CMO5\" в C:\\prog\\QX2205R.ini"},
        {"Adapter value not a profile", COM5, [](IrdaSecondary& s) { s.openError = 87; },
         RunStage::SocketFailed, StackFailure{StackLayer::Port, StackStatus::OpenFailed, 87},
         FailureCause::AdapterValueInvalid, "adapter_value_invalid",
         "the Adapter value in C:\\prog\\QX2205R.ini names no adapter profile (error 87)",
         "write Adapter=power, esi, mcp2120 or none", "Last run: Adapter value unknown (error 87)",
         "значение Adapter в C:\\prog\\QX2205R.ini"},
        {"no such dongle", USB, [](IrdaSecondary& s) { s.openError = 2; }, RunStage::SocketFailed,
         StackFailure{StackLayer::Port, StackStatus::OpenFailed, 2}, FailureCause::DongleMissing,
         "dongle_missing", "no USB IrDA dongle that this program drives was found (USB, error 2)",
         "QX2205R-cli ports lists the dongles this program drives",
         "Last run: no USB IrDA dongle found (error 2)",
         "USB-адаптер IrDA, с которым работает программа, не найден"},
        {"dongle not bound to WinUSB", USB, [](IrdaSecondary& s) { s.openError = 50; },
         RunStage::SocketFailed, StackFailure{StackLayer::Port, StackStatus::OpenFailed, 50},
         FailureCause::DongleUnreachable, "dongle_unreachable",
         "the USB IrDA dongle (USB) cannot be used (error 50)", "bind it to WinUSB",
         "Last run: USB dongle not usable (error 50): bind it to WinUSB",
         "USB-адаптер IrDA (USB) недоступен"},
        {"adapter gone before the search", COM5, [](IrdaSecondary& s) { s.writeFails = true; },
         RunStage::SearchFailed, StackFailure{StackLayer::Port, StackStatus::PortFailed, 31},
         FailureCause::AdapterGone, "adapter_gone",
         "the IrDA adapter on COM5 stopped answering during the run", "plug the adapter in again",
         "Last run: adapter on COM5 stopped answering", "адаптер IrDA на COM5 перестал отвечать"},
        {"adapter gone during the run", COM5,
         [](IrdaSecondary& s) {
             s.respond = [&s](const IrdaBytes& request) -> std::optional<IrdaBytes> {
                 if (request == GREETING) {
                     s.writeFails = true;  // unplugged as the greeting's answer is on its way
                     return GREETING_REPLY;
                 }
                 return std::nullopt;
             };
         },
         RunStage::ReadFailed, StackFailure{StackLayer::Port, StackStatus::PortFailed, 31},
         FailureCause::AdapterGone, "adapter_gone",
         "the IrDA adapter on COM5 stopped answering during the run",
         "check with QX2205R-cli ports that it is still COM5", "Last run: adapter on COM5 stopped answering",
         "адаптер IrDA на COM5 перестал отвечать"},
        {"adapter with no instrument", COM5, [](IrdaSecondary& s) { s.devices.clear(); }, RunStage::NoDevice,
         std::nullopt, FailureCause::NoInstrument, "no_instrument",
         "the IrDA adapter on COM5 works, but no instrument answered its search", "PC communication mode",
         "Last run: no instrument answered on COM5", "ни один прибор не ответил"},
        {"refused", COM5, [](IrdaSecondary& s) { s.faults.dmToSnrm = 1; }, RunStage::ConnectFailed,
         StackFailure{StackLayer::Irlap, StackStatus::Refused, 0}, FailureCause::Refused, "refused",
         "the instrument refused the connection (code 10061)", "no other PC is connected to it",
         "Last run: the instrument refused the connection", "прибор отказал в подключении"},
        {"no such service", COM5, [](IrdaSecondary& s) { s.faults.noSuchIasClass = true; },
         RunStage::ConnectFailed, StackFailure{StackLayer::Ias, StackStatus::NoSuchClass, 0},
         FailureCause::NoSuchService, "no_such_service", "offers no such service: it is not this instrument",
         "move other IrDA devices", "is not the instrument", "это не прибор"},
    };
    for (const CauseCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClockPlatform platform;
        IrdaSecondary secondary{platform};
        secondary.respond = [](const IrdaBytes& request) -> std::optional<IrdaBytes> {
            return request == GREETING ? std::optional<IrdaBytes>(GREETING_REPLY) : std::nullopt;
        };
        c.setUp(secondary);
        SerialIrdaCalls calls{c.link.port, secondary, platform};
        IrdaLink link{calls};
        const RunOutcome outcome = ReadSearchMode(link, EnglishSlots(), [](const std::string&) {});

        EXPECT_EQ(outcome.stage, c.stage);
        EXPECT_EQ(outcome.failure, c.failure);
        EXPECT_EQ(CauseOf(outcome, c.link), c.cause);
        EXPECT_EQ(RowOf(c.cause).name, c.jsonName);
        const OutcomeValues values{outcome, c.link, "C:\\prog\\QX2205R.ini"};
        const std::string english = OutcomeReason(values, LANGUAGE_ENGLISH, HostPlatform::Windows);
        EXPECT_THAT(english, HasSubstr(c.reason));
        EXPECT_THAT(english, HasSubstr(c.nextStep));
        // No serial failure gives the advice written for Windows' own infrared stack.
        EXPECT_THAT(english, Not(HasSubstr("Infrared devices")));
        EXPECT_THAT(english, Not(HasSubstr("no IrDA support")));
        EXPECT_THAT(OutcomeReason(values, LANGUAGE_RUSSIAN, HostPlatform::Windows), HasSubstr(c.russian));
        EXPECT_THAT(OutcomeLastRun(values, LANGUAGE_ENGLISH), HasSubstr(c.lastRun));
        EXPECT_THAT(OutcomeLastRun(values, LANGUAGE_RUSSIAN), HasSubstr("Итог: "));
        // Another platform's next step names nothing of Windows.
        const std::string posix = OutcomeReason(values, LANGUAGE_ENGLISH, HostPlatform::Linux);
        EXPECT_THAT(posix, Not(HasSubstr("Device Manager")));
        EXPECT_THAT(posix, Not(HasSubstr("Windows")));
    }
}

// Over Winsock nothing is typed: without a Port, Windows without IrDA points to the serial route, and every
// other failure keeps the stage's own reason.
TEST(FailureCauses, WindowsWithoutIrdaPointsToTheSerialRoute) {
    ScriptedInstrument instrument;
    instrument.socketFails = true;
    IrdaLink link{instrument};
    const RunOutcome outcome = ReadSearchMode(link, EnglishSlots(), [](const std::string&) {});
    const LinkChoice winsock;
    ASSERT_EQ(outcome.stage, RunStage::SocketFailed);
    EXPECT_EQ(outcome.failure, std::nullopt);
    EXPECT_EQ(CauseOf(outcome, winsock), FailureCause::NoIrdaSupport);
    const std::string reason = OutcomeReason({outcome, winsock, ""}, LANGUAGE_ENGLISH, HostPlatform::Windows);
    EXPECT_THAT(reason, HasSubstr("error 10047"));
    EXPECT_THAT(reason, HasSubstr("run QX2205R-cli ports, then QX2205R-cli use-port --port COMn"));
    EXPECT_THAT(reason, HasSubstr("\"Infrared devices\""));
    EXPECT_EQ(OutcomeLastRun({outcome, winsock, ""}, LANGUAGE_ENGLISH),
              "Last run: no IrDA in Windows (error 10047): set a COM port");

    RunOutcome timedOut;
    timedOut.stage = RunStage::SearchFailed;
    timedOut.code = WSAETIMEDOUT_CODE;
    EXPECT_EQ(CauseOf(timedOut, winsock), FailureCause::None);
    EXPECT_THAT(OutcomeReason({timedOut, winsock, ""}, LANGUAGE_ENGLISH, HostPlatform::Windows),
                HasSubstr("the search for devices failed (error 10060)"));
}

// After the word was read, what the instrument holds comes first; the cause follows it.
TEST(FailureCauses, AfterTheReadTheStageSaysWhatTheInstrumentHolds) {
    RunOutcome outcome;
    outcome.stage = RunStage::WriteUnconfirmed;
    outcome.wordRead = ConfigWord{0x0004};
    outcome.wordSent = ConfigWord{0x0104};
    outcome.failure = StackFailure{StackLayer::Port, StackStatus::PortFailed, 31};
    const std::string reason = OutcomeReason({outcome, COM5, ""}, LANGUAGE_ENGLISH, HostPlatform::Windows);
    EXPECT_THAT(reason, ::testing::StartsWith("the new word was sent but not acknowledged"));
    EXPECT_THAT(reason, HasSubstr("run QX2205R-cli status to see which"));
    EXPECT_THAT(reason, HasSubstr("(the IrDA adapter on COM5 stopped answering during the run (error 31)"));
    EXPECT_EQ(OutcomeLastRun({outcome, COM5, ""}, LANGUAGE_ENGLISH),
              "Last run: write sent, not confirmed: check with status");
}

// Every text of the outcome tables is there in both languages and fits Windows-1251's letters (checked in
// texts_test for the console; here the rows' placeholders are all filled).
TEST(FailureCauses, EveryRowFillsAllItsPlaces) {
    RunOutcome outcome;
    outcome.device = "QX7710Z";
    outcome.wordRead = ConfigWord{0x0104};
    for (std::size_t stage = 0; stage < RUN_STAGE_COUNT; ++stage) {
        outcome.stage = static_cast<RunStage>(stage);
        for (const int language : {LANGUAGE_ENGLISH, LANGUAGE_RUSSIAN}) {
            const std::string lastRun = OutcomeLastRun({outcome, COM5, "x.ini"}, language);
            EXPECT_FALSE(lastRun.empty()) << stage;
            EXPECT_EQ(lastRun.find('{'), std::string::npos) << lastRun;
            const std::string reason =
                OutcomeReason({outcome, COM5, "x.ini"}, language, HostPlatform::Windows);
            EXPECT_EQ(reason.find('{'), std::string::npos) << reason;
        }
    }
    for (std::size_t cause = 1; cause < FAILURE_CAUSE_COUNT; ++cause) {
        const CauseRow& row = RowOf(static_cast<FailureCause>(cause));
        EXPECT_FALSE(row.name.empty());
        for (std::size_t language = 0; language < LANGUAGE_COUNT; ++language) {
            for (const std::string_view text : {row.reason[language], row.lastRun[language],
                                                row.nextStep[0][language], row.nextStep[1][language]}) {
                EXPECT_FALSE(text.empty()) << row.name;
                const std::string filled = NameCommands(FillNamed(text, {{"code", "2"},
                                                                         {"port", "COM5"},
                                                                         {"file", "x.ini"},
                                                                         {"device", "D"},
                                                                         {"word", "0x0104"},
                                                                         {"usb_problem", "E"}}));
                EXPECT_EQ(filled.find('{'), std::string::npos) << filled;
            }
        }
    }
}

}  // namespace
}  // namespace qx::test
