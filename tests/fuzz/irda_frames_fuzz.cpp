// Whatever a peer puts into an XID response, a UA's parameters, an IAS answer, an LM-PDU or a TinyTP PDU, the
// parsers read only within it and return values inside their ranges.
//
// Input: byte 0 picks the parser (modulo 6); the rest is the frame or field.
#include <cstddef>
#include <cstdint>
#include <span>

#include "irda/irlap.h"
#include "irda/irlmp.h"
#include "irda/tinytp.h"
#include "support/broken_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qx::irda;
    qx::fuzz::BrokenRules broken;
    if (size == 0) {
        return 0;
    }
    // A copy of exactly the bytes given, so AddressSanitizer sees any read past them.
    const std::vector<std::uint8_t> bytes(data + 1, data + size);
    const std::span<const std::uint8_t> input(bytes);
    switch (data[0] % 6) {
        case 0: {
            const auto device = ParseXidResponse(input, 0x01020304);
            if (device) {
                broken.Expect(input.size() >= 2 + XID_FIXED_SIZE, "a device from a frame too short");
                broken.Expect(device->nickname.size() <= NICKNAME_MAX, "a nickname too long");
            }
            break;
        }
        case 1: {
            const LinkParameters params = ParseParameters(input);
            broken.Expect(params.dataSize >= 64 && params.dataSize <= 2048, "a data size out of range");
            broken.Expect(params.maxTurnaroundMs >= 50 && params.maxTurnaroundMs <= 500,
                          "a maximum turnaround out of range");
            broken.Expect(params.minTurnaroundUs <= 10000, "a minimum turnaround out of range");
            break;
        }
        case 2: {
            std::uint8_t lsap = 0;
            if (ParseIasLsap(input, lsap) == IasResult::Ok) {
                broken.Expect(lsap >= 1 && lsap <= LSAP_LAST_VALID, "an IAS answer naming an invalid LSAP");
            } else {
                broken.Expect(lsap == 0, "an LSAP set by a failed answer");
            }
            break;
        }
        case 3: {
            const auto pdu = ParseLmPdu(input);
            broken.Expect(
                pdu.has_value() == (input.size() >= (input.size() > 0 && (input[0] & 0x80) ? 3u : 2u)),
                "an LM-PDU accepted or refused by the wrong length");
            if (pdu) {
                broken.Expect(pdu->data.size() < input.size(), "LM-PDU data longer than the frame");
            }
            break;
        }
        case 4: {
            const auto credit = ParseTtpConnect(input);
            broken.Expect(!credit || *credit <= TTP_CREDIT_MASK, "a credit out of range");
            break;
        }
        default: {
            const auto pdu = ParseTtpData(input);
            broken.Expect(pdu.has_value() == !input.empty(), "a TinyTP PDU accepted or refused wrongly");
            if (pdu) {
                broken.Expect(pdu->payload.size() + 1 == input.size(), "a payload of the wrong length");
            }
            break;
        }
    }
    broken.AbortIfAny();
    return 0;
}
