// The eleven texts the mode switch shows, in their fixed order. The language tables fill them.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace qx {

enum class Slot : std::size_t {
    PromptLine1,
    PromptLine2,
    Searching,
    WinsockError,
    DevicesFound,
    DevicesNotFound,
    SearchError,
    WriteFailed,
    WriteDone,
    FailureCaption,
    SuccessCaption,  // the last: the count follows from it
};
inline constexpr std::size_t MESSAGE_SLOT_COUNT = static_cast<std::size_t>(Slot::SuccessCaption) + 1;

// UTF-8 texts, empty until a language is applied.
class MessageSlots {
  public:
    const std::string& operator[](Slot s) const { return texts_[static_cast<std::size_t>(s)]; }
    std::string& operator[](Slot s) { return texts_[static_cast<std::size_t>(s)]; }
    const std::array<std::string, MESSAGE_SLOT_COUNT>& All() const { return texts_; }
    std::array<std::string, MESSAGE_SLOT_COUNT>& All() { return texts_; }

  private:
    std::array<std::string, MESSAGE_SLOT_COUNT> texts_;
};

}  // namespace qx
