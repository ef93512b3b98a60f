// The simulator's serial IrDA mode: the instrument on a pty of its own or on a named serial device, speaking
// SIR-framed IrLAP at 9600 baud through its IrDA secondary, with the link faults that play on the line
// itself.
#pragma once

#include <signal.h>

#include <csignal>

#include "options.h"

namespace sim {

// Opens the line, announces the pty's path (stdout and the port file), answers until a stop signal or the
// time-out, writes the record; the process's exit code.
int RunSerial(const Options& options, const sigset_t& runMask, const volatile std::sig_atomic_t& stop);

}  // namespace sim
