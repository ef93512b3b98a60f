// The device list a discovery writes into the caller's buffer, built from the devices a fake instrument
// lists: a 32-bit count, then one zeroed record per device with its id and up to 22 name bytes (no terminator
// when the name fills them). No test framework: the fuzz targets use it too.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/irda_link.h"

namespace qx::test {

struct Device {
    std::uint32_t id = 0;
    std::string name;      // up to 22 bytes, no terminator needed
    int connectError = 0;  // a connect to this device fails with it (10061: refused, 10060: no answer)
};

inline std::vector<std::uint8_t> DeviceListOf(const std::vector<Device>& devices) {
    std::vector<std::uint8_t> list(DEVICE_LIST_HEADER_SIZE + devices.size() * DEVICE_RECORD_SIZE, 0);
    const auto count = static_cast<std::uint32_t>(devices.size());
    for (std::size_t i = 0; i < DEVICE_LIST_HEADER_SIZE; ++i) {
        list[i] = static_cast<std::uint8_t>(count >> (8 * i));
    }
    for (std::size_t d = 0; d < devices.size(); ++d) {
        auto* record = list.data() + DEVICE_LIST_HEADER_SIZE + d * DEVICE_RECORD_SIZE;
        for (std::size_t i = 0; i < DEVICE_ID_SIZE; ++i) {
            record[i] = static_cast<std::uint8_t>(devices[d].id >> (8 * i));
        }
        std::copy_n(devices[d].name.begin(), std::min(devices[d].name.size(), DEVICE_NAME_SIZE),
                    record + DEVICE_NAME_OFFSET);
    }
    return list;
}

}  // namespace qx::test
