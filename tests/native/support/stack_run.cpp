#include "support/stack_run.h"

#include <gtest/gtest.h>

#include "app/mode_switch.h"
#include "app/texts.h"
#include "irda/serial_irda_calls.h"
#include "link/irda_link.h"

namespace qxtest {

StackRun SwitchOverPort(qx::irda::SerialPort& port, const std::string& portName, qx::SocketCalls& platform,
                        bool enable) {
    qx::irda::SerialIrdaCalls calls(portName, port, platform);
    qx::IrdaLink link(calls);
    qx::FormTexts texts;
    qx::ApplyLanguage(qx::LANGUAGE_ENGLISH, texts);
    StackRun run;
    run.outcome = qx::RunModeSwitch(enable, link, texts.slots, run.host);
    run.succeeded = run.outcome.written;
    return run;
}

void ExpectTheOneRule(const StackRun& run, const nlohmann::json& record, bool enable, int initialWord,
                      bool succeeds, int finalWord, const std::vector<int>& writesApplied) {
    EXPECT_EQ(run.succeeded, succeeds);
    ASSERT_EQ(run.host.results.size(), 1u);
    EXPECT_EQ(run.host.results[0].caption, succeeds ? "Success" : "Error") << run.host.results[0].text;
    EXPECT_EQ(record["final_word"], finalWord);
    EXPECT_EQ(record["writes_applied"], nlohmann::json(writesApplied));
    if (run.succeeded) {
        const int wanted = enable ? (initialWord | 0x0100) : (initialWord & ~0x0100);
        EXPECT_EQ(record["final_word"], wanted);
    }
}

}  // namespace qxtest
