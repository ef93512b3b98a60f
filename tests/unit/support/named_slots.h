// Slot texts that say which slot they are ("slot1" to "slot11"), so a test sees exactly which text went
// where.
#pragma once

#include <string>

#include "app/message_slots.h"

namespace qx::test {

inline MessageSlots NamedSlots() {
    MessageSlots slots;
    int number = 0;
    for (std::string& text : slots.All()) {
        text = "slot" + std::to_string(++number);
    }
    return slots;
}

}  // namespace qx::test
