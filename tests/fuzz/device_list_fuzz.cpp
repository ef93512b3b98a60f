// Whatever device list a discovery returns (any count, any number of records, names without a terminator, cut
// short anywhere), the mode switch connects only when the list counts a device, runs on the first record
// (which takes the connection here) by its id and its own 22 name bytes, asks each other listed device at
// most once, and keeps the rules of a run.
//
// Input: byte 0 holds options (bit 0: enable, else disable; bits 1-6: how many discovery tries fail first).
// The rest is what a successful discovery writes into the caller's buffer, as much of it as fits.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/mode_switch.h"
#include "support/broken_rules.h"
#include "support/faulty_instrument.h"
#include "support/instrument_bytes.h"
#include "support/named_slots.h"
#include "support/recording_host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qx;
    fuzz::BrokenRules broken;
    if (size == 0) {
        return 0;
    }
    const bool enable = (data[0] & 1) != 0;
    const int failures = data[0] >> 1 & 0x3F;
    const ConfigWord word = 0x2A04;
    test::FaultyInstrument instrument(word, enable);
    instrument.discovery.assign(data + 1, data + size);
    instrument.discoveryFailures = failures;
    IrdaLink link(instrument);
    test::RecordingHost host;
    const MessageSlots slots = test::NamedSlots();
    const bool result = SetSearchMode(enable, link, slots, host);

    broken.Add(instrument.watch.Check({result, link.HasLink(), host, slots}));
    // What the program's list holds: the platform's bytes over the zeroed record, when a try succeeded.
    DeviceList list{};
    if (failures < DISCOVERY_TRIES) {
        std::copy_n(data + 1, std::min(size - 1, list.bytes.size()), list.bytes.begin());
    }
    // The platform leaves the last error of a failed try in place when a later try succeeds; only a failed
    // last try makes it the result, and otherwise the count decides.
    const int code = failures >= DISCOVERY_TRIES ? WSAETIMEDOUT_CODE
                     : list.Count() == 0         ? ENUM_NO_DEVICES
                                                 : LINK_OK;
    const std::string panel = code == ENUM_NO_DEVICES ? "slot6"
                              : code == LINK_OK       ? "slot5"
                                                      : "slot7" + std::to_string(code);
    broken.Expect(host.statuses.size() == 3 && host.statuses[0] == "slot3" && host.statuses[1] == panel,
                  "status panel texts");
    if (list.Count() == 0) {
        broken.Expect(instrument.connects == 0 && !result, "connected with no device listed");
    } else {
        // The run's own connect, then one for each other device listed, to count the instruments in range.
        broken.Expect(
            instrument.connects >= 1 && static_cast<std::uint32_t>(instrument.connects) <= list.Count(),
            "one connect for the run and at most one for each other device listed");
        const auto& address = instrument.firstConnectAddress;
        const auto record = list.Record(0);
        broken.Expect(address.size() == ADDRESS_RECORD_SIZE, "address length");
        if (address.size() == ADDRESS_RECORD_SIZE) {
            broken.Expect(address[0] == AF_IRDA_FAMILY && address[1] == 0, "address family");
            broken.Expect(std::equal(record.begin(), record.begin() + DEVICE_ID_SIZE, address.begin() + 2),
                          "device id of the first record");
            broken.Expect(
                std::equal(record.begin() + DEVICE_NAME_OFFSET, record.begin() + DEVICE_NAME_OFFSET + 22,
                           address.begin() + ADDRESS_SERVICE_NAME_OFFSET),
                "service name is the first record's name");
            // The zero tail terminates a name of 22 bytes.
            broken.Expect(std::all_of(address.begin() + ADDRESS_SERVICE_NAME_OFFSET + 22, address.end(),
                                      [](std::uint8_t b) { return b == 0; }),
                          "service name's tail is zero");
        }
        // The instrument behind the device answers as it should, so the run succeeds.
        broken.Expect(
            result && instrument.word == (enable ? (word | test::SEARCH_BIT) : (word & ~test::SEARCH_BIT)),
            "the run failed with a device listed");
    }
    broken.AbortIfAny();
    return 0;
}
