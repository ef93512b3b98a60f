#include "app/read_search_mode.h"

#include "app/mode_switch.h"
#include "link/device_frames.h"

namespace qx {

RunOutcome ReadSearchMode(IrdaLink& link, const MessageSlots& slots, const StatusSink& status) {
    CloseLinkLeftOpen(link);
    RunOutcome outcome;
    {
        const OpenLinkCloser closer(link);
        outcome = StartAndReadWord(link, slots, status);
    }
    FindOtherInstruments(link, outcome);
    status("");
    return outcome;
}

namespace {

// Makes the outcome say where the first device that was not read stopped, unless an earlier one did.
void NoteNotRead(RunOutcome& outcome, const ListedDevice& device, RunStage stage, int code,
                 std::optional<StackFailure> failure) {
    if (outcome.stage != RunStage::Done) {
        return;
    }
    outcome.stage = stage;
    outcome.code = code;
    outcome.failure = failure;
    outcome.device = device.name;
    outcome.wordRead.reset();
}

}  // namespace

RunOutcome ReadEveryInstrument(IrdaLink& link, const MessageSlots& slots, const StatusSink& status) {
    CloseLinkLeftOpen(link);
    RunOutcome outcome;
    {
        const OpenLinkCloser closer(link);
        outcome = StartAndReadWord(link, slots, status);
    }
    if (const std::optional<std::size_t> used = DeviceUsed(outcome)) {
        outcome.devices[*used].word = outcome.wordRead;
    }
    for (ListedDevice& device : outcome.devices) {
        if (device.role != DeviceRole::NotTried) {
            continue;
        }
        if (link.OutOfTime()) {
            NoteNotRead(outcome, device, RunStage::ConnectFailed, WSAETIMEDOUT_CODE, std::nullopt);
            continue;
        }
        const auto index = static_cast<std::size_t>(&device - outcome.devices.data());
        const int greeted = link.ConnectAndGreetDevice(index, GreetingFrame, GreetingReply);
        if (greeted == WSAECONNREFUSED_CODE) {
            device.role = DeviceRole::PassedOver;
            continue;
        }
        if (greeted != LINK_OK) {
            device.role = DeviceRole::Failed;
            NoteNotRead(outcome, device, RunStage::ConnectFailed, greeted, link.LastStackFailure());
            if (greeted == WSAEINTR_CODE) {
                break;  // the user stopped the run
            }
            continue;
        }
        const ReadResult read = ReadWord(link);
        const std::optional<StackFailure> failure = link.LastStackFailure();
        link.CloseLink();
        device.role = DeviceRole::Instrument;
        device.word = read.word;
        if (!read.word) {
            NoteNotRead(outcome, device, RunStage::ReadFailed, read.exchange.code, failure);
        }
    }
    status("");
    return outcome;
}

}  // namespace qx
