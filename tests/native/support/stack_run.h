// One run of the mode switch over the program's own IrDA stack on a port, as the window makes it, and the
// rule every such run keeps, checked against the simulator's record: shared by the runs over a serial line
// and over each simulated USB dongle.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "app/run_outcome.h"
#include "irda/serial_port.h"
#include "link/socket_calls.h"
#include "tests/unit/support/recording_host.h"

namespace qxtest {

struct StackRun {
    bool succeeded = false;  // the new word written and acknowledged
    qx::RunOutcome outcome;
    qx::test::RecordingHost host;
};

// `port` is opened by the stack as `portName`; `platform` gives the stack its clock and pauses.
StackRun SwitchOverPort(qx::irda::SerialPort& port, const std::string& portName, qx::SocketCalls& platform,
                        bool enable);

// What the run said and what the instrument holds: "Success" exactly when the run succeeded, the word and the
// writes the instrument applied as expected, and on success the word read with only the search mode bit
// changed.
void ExpectTheOneRule(const StackRun& run, const nlohmann::json& record, bool enable, int initialWord,
                      bool succeeds, int finalWord, const std::vector<int>& writesApplied);

}  // namespace qxtest
