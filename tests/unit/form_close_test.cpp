#include "app/form_close.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/scripted_instrument.h"

namespace qx::test {
namespace {

using ::testing::ElementsAre;

// Profile calls that note their writes in the instrument's own record, so the order of the two shows.
class LoggedProfileCalls : public ProfileCalls {
  public:
    explicit LoggedProfileCalls(std::vector<std::string>& log) : log_(log) {}

    std::string ReadString(const std::string&, const std::string&, const std::string&, std::size_t) override {
        return "1";
    }
    bool WriteString(const std::string&, const std::string& section, const std::string& key,
                     const std::string& value) override {
        log_.push_back("write " + section + "." + key + "=" + value);
        return true;
    }
    bool DeleteKey(const std::string&, const std::string& section, const std::string& key) override {
        log_.push_back("delete " + section + "." + key);
        return true;
    }
    bool FileExists(const std::string&) override { return true; }
    std::optional<ProfileFileRead> ReadHeld(const std::string&, const std::string&, const std::string&,
                                            std::size_t) override {
        return ProfileFileRead{.empty = false, .hasSection = true, .value = "1", .sections = {"Parameters"}};
    }
    bool DirectoryExists(const std::string&) override { return true; }
    std::string CurrentDirectory() override { return "C:\\cur"; }
    std::optional<std::string> FirstArgument() override { return std::nullopt; }

  private:
    std::vector<std::string>& log_;
};

TEST(FormClose, ALinkStillOpenIsClosedBeforeTheSettingsAreSaved) {
    ScriptedInstrument instrument;
    IrdaLink link(instrument);
    AddressRecord address{};
    link.StartLink(address);
    LoggedProfileCalls profile(instrument.calls);
    Settings settings(profile);
    settings.LoadSettings("C:\\prog\\");
    instrument.calls.clear();

    CloseLinkAndSaveSettings(link, settings, "C:\\prog\\");
    EXPECT_THAT(instrument.calls, ElementsAre("shutdown 1", "closesocket", "Sleep 1500", "WSACleanup",
                                              "write Parameters.Language=1"));
    EXPECT_FALSE(link.HasLink());
}

TEST(FormClose, WithoutALinkOnlyTheSettingsAreSaved) {
    ScriptedInstrument instrument;
    IrdaLink link(instrument);
    LoggedProfileCalls profile(instrument.calls);
    Settings settings(profile);
    settings.LoadSettings("C:\\prog\\");
    CloseLinkAndSaveSettings(link, settings, "C:\\prog\\");
    EXPECT_THAT(instrument.calls, ElementsAre("write Parameters.Language=1"));
}

}  // namespace
}  // namespace qx::test
