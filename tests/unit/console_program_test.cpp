#include "app/console_program.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "app/console_options.h"
#include "app/program_version.h"
#include "link/device_frames.h"
#include "link/forwarding_calls.h"
#include "link/traced_calls.h"
#include "support/scripted_instrument.h"

namespace qx::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class FakeConsole : public ConsoleEnvironment {
  public:
    std::string out;
    std::string err;
    std::deque<std::string> input;
    std::function<void()> onRead;

    void Out(const std::string& text) override { out += text; }
    void Err(const std::string& text) override { err += text; }
    std::optional<std::string> ReadLine() override {
        if (onRead) {
            onRead();
        }
        if (input.empty()) {
            return std::nullopt;
        }
        std::string line = input.front();
        input.pop_front();
        return line;
    }
    std::uint32_t MillisecondsSinceStart() override { return 0; }
};

// Settings files in memory; every write is counted, and none may happen.
class FakeProfile : public ProfileCalls {
  public:
    std::map<std::string, std::string> languages;  // path -> Language text
    std::map<std::string, std::string> ports;      // path -> Port text
    std::map<std::string, std::string> adapters;   // path -> Adapter text
    int writes = 0;

    std::string ReadString(const std::string& path, const std::string&, const std::string& key,
                           std::size_t) override {
        const auto& keys = key == "Port" ? ports : key == "Adapter" ? adapters : languages;
        const auto file = keys.find(path);
        return file == keys.end() ? std::string() : file->second;
    }
    std::vector<std::string> written;  // "path [section] key=value"
    bool refuseWrites = false;
    bool WriteString(const std::string& path, const std::string& section, const std::string& key,
                     const std::string& value) override {
        ++writes;
        written.push_back(path + " [" + section + "] " + key + "=" + value);
        return !refuseWrites;
    }
    bool DeleteKey(const std::string& path, const std::string& section, const std::string& key) override {
        ++writes;
        written.push_back(path + " [" + section + "] -" + key);
        return !refuseWrites;
    }
    // Files with one section that is not Parameters: path -> its name.
    std::map<std::string, std::string> otherSection;
    // Files the binding does not read for what they are (a fifo, /dev/zero): path -> why.
    std::map<std::string, ProfileFileRead::Refusal> refused;
    bool FileExists(const std::string& path) override {
        return languages.count(path) != 0 || otherSection.count(path) != 0 || refused.count(path) != 0;
    }
    std::optional<ProfileFileRead> ReadHeld(const std::string& path, const std::string& section,
                                            const std::string& key, std::size_t maxChars) override {
        if (!FileExists(path)) {
            return std::nullopt;
        }
        if (const auto why = refused.find(path); why != refused.end()) {
            ProfileFileRead read;
            read.refused = why->second;
            return read;
        }
        if (const auto other = otherSection.find(path); other != otherSection.end()) {
            return ProfileFileRead{
                .empty = false, .hasSection = false, .value = "", .sections = {other->second}};
        }
        return ProfileFileRead{.empty = false,
                               .hasSection = true,
                               .value = ReadString(path, section, key, maxChars),
                               .sections = {section}};
    }
    bool DirectoryExists(const std::string& path) override { return path == "C:\\prog\\"; }
    std::string CurrentDirectory() override { return "C:\\work"; }
    std::optional<std::string> FirstArgument() override { return "C:\\work\\should-not-be-used.ini"; }
};

// The scripted instrument with a hand on the stop: `trigger` runs just before the first call that `when`
// picks reaches the instrument, as a Ctrl+C arriving at that moment would.
class InterruptingCalls : public ForwardingCalls {
  public:
    InterruptingCalls(SocketCalls& inner) : ForwardingCalls(inner) {}
    std::function<bool(const std::string& call, std::span<const std::uint8_t> bytes)> when;
    std::function<void()> trigger;

    int GetSockOpt(SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                   int& length) override {
        Check("getsockopt", {});
        return ForwardingCalls::GetSockOpt(s, level, option, value, length);
    }
    int Connect(SocketHandle s, std::span<const std::uint8_t> address) override {
        Check("connect", {});
        return ForwardingCalls::Connect(s, address);
    }
    int Send(SocketHandle s, std::span<const std::uint8_t> bytes) override {
        Check("send", bytes);
        return ForwardingCalls::Send(s, bytes);
    }

  private:
    void Check(const std::string& call, std::span<const std::uint8_t> bytes) {
        if (!fired_ && when && when(call, bytes)) {
            fired_ = true;
            trigger();
        }
    }
    bool fired_ = false;
};

struct Program {
    ScriptedInstrument instrument;
    InterruptingCalls calls{instrument};
    FakeConsole console;
    FakeProfile profile;
    std::optional<int> locale;  // the language the console's locale asks for
    ConsoleProgram program{console, Bindings()};

    Program() { instrument.devices = {{0x01020304, "QX7710Z"}}; }
    ConsoleBindings Bindings() {
        ConsoleBindings bindings{
            calls, std::nullopt, profile, "C:\\prog\\",
            [](SocketCalls& inner, LineSink sink, bool everything) -> std::unique_ptr<SocketCalls> {
                return std::make_unique<TracedCalls>(
                    inner, std::move(sink), [] { return 0u; }, everything);
            }};
        bindings.environmentLanguage = [this] { return locale; };
        return bindings;
    }
    int Run(std::vector<std::string> args) { return program.Run(args); }
    bool WriteSent() const {
        return std::any_of(instrument.sent.begin(), instrument.sent.end(),
                           [](const Bytes& f) { return !f.empty() && f[0] == 0x82; });
    }
};

TEST(ConsoleArguments, NameWhatIsWrong) {
    const struct {
        std::vector<std::string> args;
        UsageProblem problem;
        std::string offending;
        std::string suggestion = "";
    } cases[] = {
        {{}, UsageProblem::NoCommand, ""},
        {{"--yes"}, UsageProblem::NoCommand, ""},
        {{"staus"}, UsageProblem::UnknownCommand, "staus", "status"},
        {{"ENABEL"}, UsageProblem::UnknownCommand, "ENABEL", "enable"},
        {{"frobnicate"}, UsageProblem::UnknownCommand, "frobnicate", ""},
        {{"status", "--jsn"}, UsageProblem::UnknownOption, "--jsn", "--json"},
        {{"status", "--trace=some"}, UsageProblem::UnknownOption, "--trace=some", ""},
        {{"status", "-x"}, UsageProblem::UnknownOption, "-x", ""},
        {{"enable", "disable"}, UsageProblem::SecondCommand, "disable"},
        {{"status", "--settings"}, UsageProblem::MissingValue, "--settings"},
        {{"status", "--settings="}, UsageProblem::MissingValue, "--settings"},
        {{"--settings", "status"}, UsageProblem::NoCommand, ""},
    };
    for (const auto& c : cases) {
        const ConsoleOptions options = ParseConsoleArguments(c.args);
        EXPECT_EQ(options.problem, c.problem) << ::testing::PrintToString(c.args);
        EXPECT_EQ(options.offending, c.offending) << ::testing::PrintToString(c.args);
        EXPECT_EQ(options.suggestion, c.suggestion) << ::testing::PrintToString(c.args);
    }
    const ConsoleOptions good =
        ParseConsoleArguments({"--json", "disable", "--settings", "-odd.ini", "--yes", "--trace"});
    EXPECT_EQ(good.problem, UsageProblem::None);
    EXPECT_EQ(good.command, ConsoleCommand::Disable);
    EXPECT_TRUE(good.json && good.yes && good.trace);
    EXPECT_EQ(good.settingsPath, "-odd.ini");
    // The short forms, and commands in any case.
    const ConsoleOptions brief = ParseConsoleArguments({"-j", "Status", "-y", "-t", "-q"});
    EXPECT_EQ(brief.problem, UsageProblem::None);
    EXPECT_EQ(brief.command, ConsoleCommand::Status);
    EXPECT_TRUE(brief.json && brief.yes && brief.trace && brief.quiet && !brief.traceAll);
    EXPECT_TRUE(ParseConsoleArguments({"--trace=all", "ENABLE"}).traceAll);
    EXPECT_EQ(ParseConsoleArguments({"ENABLE"}).command, ConsoleCommand::Enable);
}

// A word that begins with "/" is a path on Linux and an option on Windows; "--" ends the options on both;
// "ports --port X" probes X alone.
TEST(ConsoleArguments, PathsAndTheEndOfOptions) {
    const struct {
        HostPlatform platform;
        std::vector<std::string> args;
        UsageProblem problem;
        std::vector<std::string> portsNamed;
    } cases[] = {
        {HostPlatform::Linux, {"ports", "/dev/ttyUSB0"}, UsageProblem::None, {"/dev/ttyUSB0"}},
        {HostPlatform::Linux,
         {"ports", "--", "/dev/ttyUSB0", "USB"},
         UsageProblem::None,
         {"/dev/ttyUSB0", "USB"}},
        {HostPlatform::Linux, {"ports", "--port", "/dev/ttyS1"}, UsageProblem::None, {"/dev/ttyS1"}},
        {HostPlatform::Linux,
         {"ports", "/dev/ttyS1", "--port", "/dev/ttyS1"},
         UsageProblem::None,
         {"/dev/ttyS1"}},
        {HostPlatform::Linux, {"--", "ports", "-odd"}, UsageProblem::PortInvalid, {}},
        {HostPlatform::Linux, {"ports", "--", "--json"}, UsageProblem::PortInvalid, {}},
        {HostPlatform::Linux, {"/?"}, UsageProblem::UnknownCommand, {}},
        {HostPlatform::Windows, {"ports", "--", "COM3"}, UsageProblem::None, {"COM3"}},
        {HostPlatform::Windows, {"ports", "--port", "COM4"}, UsageProblem::None, {"COM4"}},
        {HostPlatform::Windows, {"ports", "/dev/ttyUSB0"}, UsageProblem::UnknownOption, {}},
        {HostPlatform::Windows, {"status", "--"}, UsageProblem::None, {}},
    };
    for (const auto& c : cases) {
        const ConsoleOptions options = ParseConsoleArguments(c.args, c.platform);
        EXPECT_EQ(options.problem, c.problem) << ::testing::PrintToString(c.args);
        EXPECT_EQ(options.portsNamed, c.portsNamed) << ::testing::PrintToString(c.args);
    }
    EXPECT_TRUE(ParseConsoleArguments({"/?"}, HostPlatform::Windows).help);
    EXPECT_FALSE(ParseConsoleArguments({"status", "--", "--json"}, HostPlatform::Windows).json);
}

TEST(ConsoleProgram, UsageErrorsAndHelpTouchNeitherTheLinkNorTheSettings) {
    {
        Program p;
        EXPECT_EQ(p.Run({"enable", "--frobnicate"}), EXIT_USAGE);
        EXPECT_THAT(p.console.err, HasSubstr("unknown option: --frobnicate"));
        EXPECT_TRUE(p.instrument.calls.empty());
    }
    {
        Program p;
        EXPECT_EQ(p.Run({"--help", "enable"}), EXIT_DONE);
        EXPECT_THAT(p.console.out, HasSubstr("4  interrupted"));
        EXPECT_THAT(p.console.out, HasSubstr("-V, --version"));
        EXPECT_TRUE(p.instrument.calls.empty());
        EXPECT_EQ(p.profile.writes, 0);
    }
    for (const char* version : {"--version", "-V"}) {
        Program p;
        EXPECT_EQ(p.Run({"enable", version}), EXIT_DONE);
        EXPECT_EQ(p.console.out, ProgramVersionText("QX2205R-cli") + "\n");
        EXPECT_TRUE(p.instrument.calls.empty());
        EXPECT_EQ(p.profile.writes, 0);
    }
}

TEST(ConsoleProgram, UsageErrorsNameTheNearestCommandAndAMissingSettingsFile) {
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"staus"}, "unknown command: staus; did you mean status?"},
        {{"status", "--jsn"}, "unknown option: --jsn; did you mean --json?"},
        {{"status", "--settings", "C:\\none.ini"}, "no settings file C:\\none.ini"},
        {{"status", "-q", "--settings=gone.ini"}, "no settings file C:\\work\\gone.ini"},
        {{"enable", "--all", "-y"},
         "--all goes with status alone and reads every instrument (not with enable)"},
        {{"-a", "disable"}, "(not with disable)"},
        {{"status", "--all", "--device", "QX7710Z"},
         "(not with --device): to switch one, name it with --device"},
    };
    for (const auto& c : cases) {
        Program p;
        EXPECT_EQ(p.Run(c.args), EXIT_USAGE) << c.says;
        EXPECT_THAT(p.console.err, HasSubstr(c.says));
        EXPECT_EQ(p.console.out, "") << c.says;
        EXPECT_TRUE(p.instrument.calls.empty()) << c.says;
    }
}

// Progress goes to standard error and the result to standard output; -q keeps the result only.
TEST(ConsoleProgram, ProgressOnStandardErrorResultOnStandardOutput) {
    for (const bool quiet : {false, true}) {
        Program p;
        p.instrument.ExpectGreeting();
        p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0104))});
        std::vector<std::string> args = {"status"};
        if (quiet) {
            args.push_back("-q");
        }
        EXPECT_EQ(p.Run(args), EXIT_DONE);
        EXPECT_EQ(p.console.out,
                  "Reached through: Windows' IrDA\nDevice: QX7710Z\nConfiguration word: 0x0104\nSearch mode: "
                  "on\n");
        EXPECT_EQ(p.console.err, quiet ? "" : "Searching devices\nDevices are found\n");
    }
}

// status --all: a line for each device in range, with its word or why it was not read, and nothing written.
TEST(ConsoleProgram, StatusAllSaysALineForEachDeviceInRange) {
    Program p;
    p.instrument.devices = {{0x01020304, "QX7710Z"},
                            {0x11111111, "Phone", WSAECONNREFUSED_CODE},
                            {0x01020306, "QX7710Z-B"},
                            {0x01020307, "Mute", WSAETIMEDOUT_CODE}};
    for (const std::uint16_t word : {0x0104, 0x0004}) {
        p.instrument.ExpectGreeting();
        p.instrument.Expect(READ_REQUEST, {Data(ReadReply(word))});
    }
    EXPECT_EQ(p.Run({"status", "--all"}), EXIT_RUN_FAILED);
    EXPECT_THAT(p.console.out, HasSubstr("Reached through: Windows' IrDA\n"
                                         "QX7710Z 0x01020304: configuration word 0x0104, search mode on\n"
                                         "Phone 0x11111111: not read (passed over: not the instrument)\n"
                                         "QX7710Z-B 0x01020306: configuration word 0x0004, search mode off\n"
                                         "Mute 0x01020307: not read (connection failed)\n"
                                         "Reason: "));
    EXPECT_THAT(p.console.out, Not(HasSubstr("Devices in range")));
    EXPECT_EQ(p.instrument.CountCalls("send 82"), 0);
    EXPECT_EQ(p.instrument.UnusedExchanges(), 0u);
}

TEST(ConsoleProgram, TakesTheLanguageFromTheSettingsWithoutEverWritingThem) {
    const struct {
        const char* name;
        std::map<std::string, std::string> files;
        std::vector<std::string> extra;
        const char* expected;
        std::optional<int> locale = std::nullopt;
    } cases[] = {
        {"no file: English, and none is created", {}, {}, "Searching devices"},
        {"the program's own file", {{"C:\\prog\\QX2205R.ini", "1"}}, {}, "Поиск устройств"},
        {"--settings relative to the current folder",
         {{"C:\\work\\ru.ini", "1"}},
         {"--settings", "ru.ini"},
         "Поиск устройств"},
        {"no file: the locale's", {}, {}, "Поиск устройств", LANGUAGE_RUSSIAN},
        {"a file without Language: the locale's",
         {{"C:\\prog\\QX2205R.ini", ""}},
         {},
         "Поиск устройств",
         LANGUAGE_RUSSIAN},
        {"the file's Language over the locale",
         {{"C:\\prog\\QX2205R.ini", "0"}},
         {},
         "Searching devices",
         LANGUAGE_RUSSIAN},
        {"--language over the file",
         {{"C:\\prog\\QX2205R.ini", "1"}},
         {"--language", "en"},
         "Searching devices"},
        {"--language over the locale", {}, {"--language=RU"}, "Поиск устройств", LANGUAGE_ENGLISH},
        {"--language over both",
         {{"C:\\prog\\QX2205R.ini", "1"}},
         {"--language", "en"},
         "Searching devices",
         LANGUAGE_RUSSIAN},
    };
    for (const auto& c : cases) {
        Program p;
        p.locale = c.locale;
        p.profile.languages = c.files;
        p.instrument.ExpectGreeting();
        p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
        std::vector<std::string> args = {"status"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        EXPECT_EQ(p.Run(args), EXIT_DONE) << c.name;
        EXPECT_THAT(p.console.err, HasSubstr(c.expected)) << c.name;
        EXPECT_EQ(p.profile.writes, 0) << c.name;
    }
}

TEST(ConsoleProgram, ThePortOptionOverridesTheSettingsPortWhenThePickerMakesTheLink) {
    const struct {
        const char* name;
        std::map<std::string, std::string> ports;
        std::vector<std::string> extra;
        std::string picked;
        std::map<std::string, std::string> adapters;
        irda::LineProfile profile;
    } cases[] = {
        {"neither", {}, {}, "", {}, irda::LineProfile::Power},
        {"the settings' Port", {{"C:\\prog\\QX2205R.ini", "COM3"}}, {}, "COM3", {}, irda::LineProfile::Power},
        {"--port over the settings",
         {{"C:\\prog\\QX2205R.ini", "COM3"}},
         {"--port", "com7"},
         "com7",
         {},
         irda::LineProfile::Power},
        {"the settings' Adapter",
         {},
         {},
         "",
         {{"C:\\prog\\QX2205R.ini", "MCP2120"}},
         irda::LineProfile::Mcp2120},
        {"--adapter over the settings",
         {},
         {"--adapter", "esi"},
         "",
         {{"C:\\prog\\QX2205R.ini", "none"}},
         irda::LineProfile::Esi},
    };
    for (const auto& c : cases) {
        Program p;
        p.profile.languages = {{"C:\\prog\\QX2205R.ini", "0"}};
        p.profile.ports = c.ports;
        p.profile.adapters = c.adapters;
        std::vector<std::string> picks;
        std::vector<irda::LineProfile> profiles;
        ConsoleProgram program{p.console,
                               {p.calls, std::nullopt, p.profile, "C:\\prog\\", nullptr,
                                [&](std::string_view port, irda::FrameSink*, irda::LineProfile profile,
                                    LineSink) -> SocketCalls& {
                                    picks.emplace_back(port);
                                    profiles.push_back(profile);
                                    return p.calls;
                                }}};
        p.instrument.ExpectGreeting();
        p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
        std::vector<std::string> args = {"status"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        EXPECT_EQ(program.Run(args), EXIT_DONE) << c.name;
        EXPECT_EQ(picks, std::vector<std::string>{c.picked}) << c.name;
        EXPECT_EQ(profiles, std::vector<irda::LineProfile>{c.profile}) << c.name;
        EXPECT_EQ(p.profile.writes, 0) << c.name;
    }
}

TEST(ConsoleProgram, AnUnknownAdapterProfileFailsBeforeAnythingIsSent) {
    for (const bool fromSettings : {true, false}) {
        Program p;
        p.profile.languages = {{"C:\\prog\\QX2205R.ini", "0"}};
        if (fromSettings) {
            p.profile.adapters = {{"C:\\prog\\QX2205R.ini", "tekram"}};
        }
        int picks = 0;
        ConsoleProgram program{
            p.console,
            {p.calls, std::nullopt, p.profile, "C:\\prog\\", nullptr,
             [&](std::string_view, irda::FrameSink*, irda::LineProfile, LineSink) -> SocketCalls& {
                 ++picks;
                 return p.calls;
             }}};
        std::vector<std::string> args = {"enable", "--yes", "--port", "COM5"};
        if (!fromSettings) {
            args.insert(args.end(), {"--adapter", "tekram"});
        }
        EXPECT_EQ(program.Run(args), EXIT_USAGE);
        EXPECT_EQ(picks, 0) << "no link was made";
        EXPECT_TRUE(p.instrument.calls.empty());
        EXPECT_THAT(
            p.console.out + p.console.err,
            HasSubstr("Adapter=tekram is no adapter profile: the Adapter key and --adapter take power, "
                      "esi, mcp2120 or none"));
    }
}

// Capture files in memory, with the platform's refusals on request: a name already there is never created
// anew (as O_EXCL and CREATE_NEW refuse it), and a full disk refuses writes past its room.
class FakeCaptureFiles : public CaptureFileCalls {
  public:
    static constexpr std::uint32_t DISK_FULL = 28;
    std::map<std::string, std::vector<std::uint8_t>> files;
    std::map<std::string, int> versions;  // each file put at a path is a new one
    std::set<std::string> folders;
    std::set<std::string> others;                       // fifos, devices
    std::map<std::string, std::uint32_t> createErrors;  // folder -> the error of a file made in it
    std::set<std::string> readOnly;
    std::optional<std::size_t> room;  // bytes the disk still takes
    std::uint32_t closeError = 0;
    std::string open;
    int created = 0;

    Found Examine(const std::string& path) override {
        if (folders.count(path)) {
            return {Kind::Folder, {}};
        }
        if (others.count(path)) {
            return {Kind::Other, {}};
        }
        if (!files.count(path)) {
            return {};
        }
        return {Kind::File, std::to_string(versions[path])};
    }
    std::optional<std::vector<std::uint8_t>> Head(const std::string& path, std::size_t count) override {
        const auto& bytes = files.at(path);
        return std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + std::min(count, bytes.size()));
    }
    std::uint32_t CheckWritable(const std::string& path) override { return readOnly.count(path) ? 5 : 0; }
    Created CreateNew(const std::string& path) override {
        for (const auto& [folder, error] : createErrors) {
            if (path.starts_with(folder)) {
                return {error, false};
            }
        }
        if (files.count(path) || folders.count(path) || others.count(path)) {
            return {80, true};
        }
        files[path].clear();
        versions[path] = ++created + 100;
        open = path;
        return {};
    }
    std::uint32_t Write(std::span<const std::uint8_t> bytes) override {
        if (room && bytes.size() > *room) {
            return DISK_FULL;
        }
        if (room) {
            *room -= bytes.size();
        }
        files[open].insert(files[open].end(), bytes.begin(), bytes.end());
        return 0;
    }
    std::uint32_t Close() override {
        open.clear();
        return closeError;
    }
    std::uint32_t Replace(const std::string& from, const std::string& to) override {
        files[to] = files[from];
        versions[to] = versions[from];
        files.erase(from);
        return 0;
    }
    void Remove(const std::string& path) override { files.erase(path); }
    std::string ErrorText(std::uint32_t error) override { return "system text " + std::to_string(error); }
    // The files whose names say they are a run's part of `path`.
    std::size_t PartsOf(const std::string& path) const {
        std::size_t count = 0;
        for (const auto& [name, bytes] : files) {
            count += name.starts_with(path + ".") && name.ends_with(".partial") && name != path + ".partial";
        }
        return count;
    }
};

// --capture is checked and its file made before anything is sent; a capture that cannot be made is a
// usage error that names the path and the system's reason; only a capture with frames, wholly written,
// takes the path, and a file that is not a capture is never replaced. A name made in advance beside the
// path (a link, a fifo, another run's part) is never written through.
TEST(ConsoleProgram, CaptureIsMadeBeforeAnythingIsSentAndPutInPlaceOnlyWithFrames) {
    const std::vector<std::uint8_t> letter = {'D', 'e', 'a', 'r', ' ', 'S', 'i', 'r'};
    const std::vector<std::uint8_t> oldCapture = {0xD4, 0xC3, 0xB2, 0xA1, 1, 2, 3};
    const std::vector<std::uint8_t> othersCapture = {0xD4, 0xC3, 0xB2, 0xA1, 9, 9};
    const std::vector<std::uint8_t> written = {};  // the run's own capture: header and frames
    const struct {
        const char* name;
        std::vector<std::string> args;
        int exit;
        const char* says;  // on standard error
        bool ran;
        std::optional<std::vector<std::uint8_t>> after;  // what the path holds after; nothing: no file
        int framesHanded = 2;
        std::optional<std::size_t> room = std::nullopt;
        std::uint32_t closeError = 0;
        bool otherRunPlaces = false;  // another run puts its capture at the path while this one goes on
    } cases[] = {
        {"a missing folder",
         {"--capture", "D:\\no\\run.pcap"},
         EXIT_USAGE,
         "the capture D:\\no\\run.pcap cannot be written: system text 3 (error 3)",
         false,
         std::nullopt},
        {"a folder",
         {"--capture", "D:\\dir"},
         EXIT_USAGE,
         "the capture D:\\dir cannot be written: it is a folder",
         false,
         std::nullopt},
        {"a fifo",
         {"--capture", "D:\\fifo"},
         EXIT_USAGE,
         "the capture D:\\fifo cannot be written: it is not a regular file",
         false,
         std::nullopt},
        {"a read-only capture",
         {"--capture", "D:\\ro.pcap"},
         EXIT_USAGE,
         "the capture D:\\ro.pcap cannot be written: system text 5 (error 5)",
         false,
         oldCapture},
        {"a file that is not a capture",
         {"--capture", "D:\\letter.txt"},
         EXIT_USAGE,
         "D:\\letter.txt exists and is not a capture: it is not replaced",
         false,
         letter},
        {"without the serial stack",
         {"--capture", "D:\\new.pcap", "--settings", "D:\\plain.ini"},
         EXIT_USAGE,
         "--capture records the program's own IrDA stack: give --port COMn",
         false,
         std::nullopt},
        {"with use-port",
         {"--capture", "D:\\new.pcap"},
         EXIT_USAGE,
         "--capture goes with status, enable and disable",
         false,
         std::nullopt},
        {"no frames: an old capture stays",
         {"--capture", "D:\\old.pcap"},
         EXIT_DONE,
         "Capture: no frame was captured; D:\\old.pcap is left as it was",
         true,
         oldCapture,
         0},
        {"frames: the capture takes the place",
         {"--capture", "D:\\old.pcap"},
         EXIT_DONE,
         "Capture: D:\\old.pcap, 2 frames\n",
         true,
         written},
        {"a disk too full for the header",
         {"--capture", "D:\\old.pcap"},
         EXIT_USAGE,
         "the capture D:\\old.pcap cannot be written: system text 28 (error 28)",
         false,
         oldCapture,
         2,
         10},
        {"a disk full after the first frame",
         {"--capture", "D:\\old.pcap"},
         EXIT_DONE,
         "Capture failed: D:\\old.pcap was not written (system text 28, error 28); D:\\old.pcap is left as "
         "it "
         "was",
         true,
         oldCapture,
         2,
         24 + 34},
        {"a flush that fails",
         {"--capture", "D:\\old.pcap"},
         EXIT_DONE,
         "Capture failed: D:\\old.pcap was not written (system text 28, error 28)",
         true,
         oldCapture,
         2,
         std::nullopt,
         FakeCaptureFiles::DISK_FULL},
        {"another run's capture put there meanwhile",
         {"--capture", "D:\\old.pcap"},
         EXIT_DONE,
         "Capture: D:\\old.pcap, 2 frames; it replaced a capture another run put there while this one went "
         "on",
         true,
         written,
         2,
         std::nullopt,
         0,
         true},
    };
    for (const auto& c : cases) {
        Program p;
        p.profile.languages = {{"C:\\prog\\QX2205R.ini", "0"}, {"D:\\plain.ini", "0"}};
        p.profile.ports = {{"C:\\prog\\QX2205R.ini", "COM3"}};
        FakeCaptureFiles files;
        files.folders.insert("D:\\dir");
        files.createErrors["D:\\no\\"] = 3;
        files.files["D:\\ro.pcap"] = oldCapture;
        files.readOnly.insert("D:\\ro.pcap");
        files.files["D:\\letter.txt"] = letter;
        files.files["D:\\old.pcap"] = oldCapture;
        files.others.insert("D:\\fifo");
        // Names made in advance where a run's part would go: never written through.
        files.files["D:\\old.pcap.partial"] = letter;
        files.others.insert("D:\\new.pcap.partial");
        files.room = c.room;
        files.closeError = c.closeError;
        const std::string path = c.args[1];
        int picked = 0;
        ConsoleBindings bindings{
            p.calls,
            std::nullopt,
            p.profile,
            "C:\\prog\\",
            nullptr,
            [&](std::string_view, irda::FrameSink* capture, irda::LineProfile, LineSink) -> SocketCalls& {
                ++picked;
                if (c.otherRunPlaces) {
                    files.files[path] = othersCapture;
                    files.versions[path] = 1;
                }
                for (int i = 0; i < c.framesHanded && capture != nullptr; ++i) {
                    capture->Frame(true, std::vector<std::uint8_t>{0xFF, 0x3F});
                }
                return p.calls;
            }};
        bindings.captureFiles = &files;
        ConsoleProgram program{p.console, bindings};
        if (c.ran) {
            p.instrument.ExpectGreeting();
            p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
        }
        std::vector<std::string> args = {
            std::string(std::string(c.name) == "with use-port" ? "use-port" : "status")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(program.Run(args), c.exit) << c.name;
        EXPECT_THAT(p.console.err, HasSubstr(c.says)) << c.name;
        if (!c.ran) {
            EXPECT_EQ(picked, 0) << c.name << ": no link was even made";
            EXPECT_TRUE(p.instrument.calls.empty()) << c.name;
        }
        EXPECT_EQ(files.PartsOf(path), 0u) << c.name << ": nothing is left beside it";
        EXPECT_EQ(files.files["D:\\old.pcap.partial"], letter) << c.name;
        if (!c.after) {
            EXPECT_EQ(files.files.count(path), 0u) << c.name;
        } else if (c.after->empty()) {
            ASSERT_EQ(files.files.count(path), 1u) << c.name;
            EXPECT_EQ(files.files[path].size(), 24u + 2 * (16 + 16 + 2))
                << c.name << ": header and two frames";
        } else {
            EXPECT_EQ(files.files[path], *c.after) << c.name;
        }
    }
}

TEST(ConsoleProgram, PortsListsEachPortWithWhatItsDiscoveryFound) {
    Program p;
    std::vector<std::string> probed;
    ConsoleProgram program{
        p.console,
        {p.calls, std::nullopt, p.profile, "C:\\prog\\", nullptr, nullptr,
         [] {
             return std::vector<std::string>{"COM1", "COM3", "COM5", "COM7", "COM9"};
         },
         [&](const std::string& port, irda::LineProfile profile) {
             probed.push_back(port + " " + std::string(irda::NameOf(profile)));
             irda::PortProbe probe;
             if (port == "COM1") {
                 probe.openError = 5;
             } else if (port == "COM3") {
                 probe.discoveryError = WSAENETDOWN_CODE;
             } else if (port == "COM7" || (port == "COM9" && profile == irda::LineProfile::Esi)) {
                 probe.devices.push_back({0x4B3A2910, {0x82, 0x01}, 0, "QX7710Z"});
             }
             return probe;
         }}};
    EXPECT_EQ(program.Run({"ports"}), EXIT_DONE);
    // The default profile first; where nobody answered, the other profiles that set the lines.
    EXPECT_EQ(probed,
              (std::vector<std::string>{"COM1 power", "COM3 power", "COM3 esi", "COM3 mcp2120", "COM5 power",
                                        "COM5 esi", "COM5 mcp2120", "COM7 power", "COM9 power", "COM9 esi"}));
    EXPECT_EQ(p.console.out,
              "COM1: cannot be opened (error 5)\n"
              "COM3: the search failed (error 10050)\n"
              "COM5: no IrDA device answered\n"
              "COM7: answered with the adapter profile power\n"
              "COM7: QX7710Z (address 0x4B3A2910)\n"
              "COM9: answered with the adapter profile esi\n"
              "COM9: QX7710Z (address 0x4B3A2910)\n"
              "To use it for every run: QX2205R-cli use-port --port COM7\n");
    EXPECT_EQ(p.console.err,
              "Probing COM1\n"  // it did not open: nothing was sent
              "Probing COM3\n"
              "COM3: 9600 baud, DTR and RTS set for the adapter, XID frames sent\n"
              "Probing COM5\n"
              "COM5: 9600 baud, DTR and RTS set for the adapter, XID frames sent\n"
              "Probing COM7\n"
              "COM7: 9600 baud, DTR and RTS set for the adapter, XID frames sent\n"
              "Probing COM9\n"
              "COM9: 9600 baud, DTR and RTS set for the adapter, XID frames sent\n");
    EXPECT_TRUE(p.instrument.calls.empty()) << "the link is not used";

    Program none;
    ConsoleProgram nothing{none.console,
                           {none.calls, std::nullopt, none.profile, "C:\\prog\\", nullptr, nullptr,
                            [] { return std::vector<std::string>{"COM2"}; },
                            [](const std::string&, irda::LineProfile) { return irda::PortProbe{}; }}};
    EXPECT_EQ(nothing.Run({"ports"}), EXIT_RUN_FAILED);
    EXPECT_EQ(none.console.out, "COM2: no IrDA device answered\n");
}

// ports with a fixed set of ports: what each probe finds, and which ports were probed.
struct PortsRun {
    Program p;
    std::vector<std::string> probed;
    std::map<std::string, irda::PortProbe> found;
    ConsoleProgram program{p.console,
                           {p.calls, std::nullopt, p.profile, "C:\\prog\\", nullptr, nullptr,
                            [] {
                                return std::vector<std::string>{"COM1", "COM3", "COM5"};
                            },
                            [this](const std::string& port, irda::LineProfile profile) {
                                // Only the default profile answers; a port is counted once, at its first
                                // probe.
                                if (profile != irda::DEFAULT_LINE_PROFILE) {
                                    return irda::PortProbe{};
                                }
                                probed.push_back(port);
                                return found[port];
                            }}};
};

TEST(ConsoleProgram, PortsProbesOnlyThePortsNamedAndSaysWhichOnStandardError) {
    PortsRun r;
    r.found["COM5"].devices.push_back({0x4B3A2910, {0x82, 0x01}, 0, "QX7710Z"});
    EXPECT_EQ(r.program.Run({"ports", "com5", "COM9"}), EXIT_DONE);
    EXPECT_EQ(r.probed, (std::vector<std::string>{"COM5", "COM9"})) << "COM1 and COM3 are left alone";
    EXPECT_EQ(r.p.console.err,
              "Probing COM5\n"
              "COM5: 9600 baud, DTR and RTS set for the adapter, XID frames sent\n"
              "Probing COM9\n"
              "COM9: 9600 baud, DTR and RTS set for the adapter, XID frames sent\n");
    EXPECT_THAT(r.p.console.out, HasSubstr("COM9: no IrDA device answered\n"));
}

TEST(ConsoleProgram, PortsPrintsNicknamesEscapedAsStatusDoes) {
    PortsRun r;
    r.found["COM1"].devices.push_back({0x01020304, {}, 0, std::string("X\r\nCOM5: Success\x1B[2J\0Z\\", 23)});
    EXPECT_EQ(r.program.Run({"ports", "COM1"}), EXIT_DONE);
    EXPECT_THAT(r.p.console.out,
                HasSubstr("COM1: X\\x0D\\x0ACOM5: Success\\x1B[2J\\x00Z\\x5C (address 0x01020304)\n"));
    EXPECT_EQ(r.p.console.out.find('\r'), std::string::npos);
    EXPECT_EQ(r.p.console.out.find('\x1B'), std::string::npos);
    // The profile that answered, the device, the suggestion to store the port: no forged line.
    EXPECT_EQ(std::count(r.p.console.out.begin(), r.p.console.out.end(), '\n'), 3) << r.p.console.out;
}

TEST(ConsoleProgram, PortsMarksTheStoredPortAndSuggestsUsePortElsewhere) {
    const struct {
        const char* name;
        std::string stored;
        std::string answering;
        bool suggested;
    } cases[] = {
        {"answered on another port than the stored one", "COM1", "COM3", true},
        {"answered on the stored port", "com3", "COM3", false},
        {"nothing stored", "", "COM5", true},
    };
    for (const auto& c : cases) {
        PortsRun r;
        r.p.profile.languages = {{"C:\\prog\\QX2205R.ini", "0"}};
        r.p.profile.ports = {{"C:\\prog\\QX2205R.ini", c.stored}};
        r.found[c.answering].devices.push_back({0x4B3A2910, {0x82, 0x01}, 0, "QX7710Z"});
        EXPECT_EQ(r.program.Run({"ports"}), EXIT_DONE) << c.name;
        const std::string& out = r.p.console.out;
        if (!c.stored.empty()) {
            EXPECT_THAT(out, HasSubstr("COM" + c.stored.substr(3) + ": ")) << c.name;
            EXPECT_EQ(std::count(out.begin(), out.end(), '('), 1 + 1) << c.name << ": " << out;
            EXPECT_THAT(out, HasSubstr(" (the Port in the settings)\n")) << c.name;
        }
        EXPECT_EQ(out.find("use-port --port " + c.answering) != std::string::npos, c.suggested)
            << c.name << ": " << out;
    }
}

TEST(ConsoleProgram, PortsJsonIsOneObject) {
    PortsRun r;
    r.p.profile.languages = {{"C:\\prog\\QX2205R.ini", "0"}};
    r.p.profile.ports = {{"C:\\prog\\QX2205R.ini", "COM1"}};
    r.found["COM1"].openError = 5;
    r.found["COM3"].discoveryError = WSAENETDOWN_CODE;
    r.found["COM5"].devices.push_back({0x4B3A2910, {0x82, 0x01}, 0, "Q\"X"});
    EXPECT_EQ(r.program.Run({"ports", "--json"}), EXIT_DONE);
    EXPECT_EQ(r.p.console.out,
              "{\"command\": \"ports\", \"stored_port\": \"COM1\", \"ports\": ["
              "{\"port\": \"COM1\", \"adapter\": null, \"stored\": true, \"open_error\": 5, "
              "\"search_error\": null, "
              "\"adapter_profile\": null, \"devices\": []}, "
              "{\"port\": \"COM3\", \"adapter\": null, \"stored\": false, \"open_error\": null, "
              "\"search_error\": 10050, "
              "\"adapter_profile\": null, \"devices\": []}, "
              "{\"port\": \"COM5\", \"adapter\": null, \"stored\": false, \"open_error\": null, "
              "\"search_error\": null, "
              "\"adapter_profile\": \"power\", \"devices\": [{\"name\": \"Q\\\"X\", \"address\": "
              "\"0x4B3A2910\"}]}], "
              "\"suggested_port\": \"COM5\", \"exit_code\": 0}\n");
}

// A port name that can never work is a usage error found before the question: nothing is asked or sent.
TEST(ConsoleProgram, APortNameThatCanNeverWorkIsAUsageError) {
    const std::vector<std::vector<std::string>> commandLines = {
        {"enable", "--port", "COM0"},   {"disable", "--port=COM1:"}, {"status", "--port", "COM257"},
        {"enable", "--port", "LPT1"},   {"ports", "COM0"},           {"ports", "COM3", "COM1:"},
        {"use-port", "--port", "COM0"},
    };
    for (const auto& args : commandLines) {
        PortsRun r;
        r.p.console.input = {"OK"};
        EXPECT_EQ(r.program.Run(args), EXIT_USAGE) << args[0] << " " << args.back();
        EXPECT_THAT(r.p.console.err, HasSubstr("not a COM port name: ")) << args.back();
        EXPECT_THAT(r.p.console.err, HasSubstr("(COM1 ... COM256)")) << args.back();
        EXPECT_THAT(r.p.console.err, Not(HasSubstr("Type OK"))) << args.back();
        EXPECT_EQ(r.p.console.input.size(), 1u) << "the question was asked: " << args.back();
        EXPECT_TRUE(r.probed.empty()) << args.back();
        EXPECT_TRUE(r.p.instrument.calls.empty()) << args.back();
        EXPECT_EQ(r.p.profile.writes, 0) << args.back();
    }
}

// The serial stack fails with 10050 when the port failed (a wedged or unplugged adapter): the reason names
// the port; the same code over Windows' IrDA keeps its own reason.
TEST(ConsoleProgram, AFailedComPortIsNamedInTheReason) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        bool named;
    } cases[] = {
        {"--port COM4", {"status", "--port", "com4"}, true},
        {"Windows' IrDA", {"status"}, false},
    };
    for (const auto& c : cases) {
        Program p;
        p.instrument.discoveryFailures = 49;
        p.instrument.discoveryError = WSAENETDOWN_CODE;
        ConsoleProgram program{p.console,
                               {p.calls, std::nullopt, p.profile, "C:\\prog\\", nullptr,
                                [&](std::string_view, irda::FrameSink*, irda::LineProfile,
                                    LineSink) -> SocketCalls& { return p.calls; }}};
        EXPECT_EQ(program.Run(c.args), EXIT_RUN_FAILED) << c.name;
        EXPECT_EQ(
            p.console.out.find("Reason: the IrDA adapter on COM4 stopped answering during the run (error "
                               "10050)") != std::string::npos,
            c.named)
            << c.name << ": " << p.console.out;
    }
}

// USB dongles listed beside the COM ports, each with its family and what one discovery through it found. A
// dongle frames for itself: where nobody answered, it is not tried again with the serial line profiles.
TEST(ConsoleProgram, PortsListsUsbDonglesBesideComPorts) {
    Program p;
    std::map<std::string, int> probes;
    ConsoleProgram program{
        p.console,
        {p.calls, std::nullopt, p.profile, "C:\\prog\\", nullptr, nullptr,
         [] {
             return std::vector<std::string>{"COM3", "USB:066F:4200", "USB:09C4:0011", "USB:9710:7780"};
         },
         [&](const std::string& port, irda::LineProfile) {
             ++probes[port];
             irda::PortProbe probe;
             if (port == "COM3") {
                 probe.devices.push_back({0x01020304, {0x82, 0x01}, 0, "QX7710Z"});
             } else if (port == "USB:066F:4200") {
                 probe.adapter = "STIr4200";
                 probe.devices.push_back({0x4B3A2910, {0x82, 0x01}, 0, "QX7710Z"});
             } else if (port == "USB:09C4:0011") {
                 probe.adapter = "IrDA Bridge";
                 probe.openError = 50;  // not bound to WinUSB
             } else {
                 probe.adapter = "MCS7780";
             }
             return probe;
         }}};
    EXPECT_EQ(program.Run({"ports"}), EXIT_DONE);
    EXPECT_EQ(
        p.console.out,
        "COM3: answered with the adapter profile power\n"
        "COM3: QX7710Z (address 0x01020304)\n"
        "USB:066F:4200 (STIr4200): QX7710Z (address 0x4B3A2910)\n"
        "USB:09C4:0011 (IrDA Bridge): cannot be opened (error 50): the USB dongle is not bound to WinUSB: "
        "bind it as the user guide's \"USB IrDA dongles\" says, then plug it in again\n"
        "USB:9710:7780 (MCS7780): no IrDA device answered\n"
        "To use it for every run: QX2205R-cli use-port --port COM3\n");
    EXPECT_EQ(probes["USB:9710:7780"], 1);
}

// On Linux a dongle that cannot be opened is advised about as a dongle, a serial device as a serial device.
TEST(ConsoleProgram, OnLinuxADongleThatWillNotOpenGetsTheDonglesAdvice) {
    Program p;
    ConsoleBindings bindings{p.calls,
                             std::nullopt,
                             p.profile,
                             "/home/u/.config/qx2205r",
                             nullptr,
                             nullptr,
                             [] {
                                 return std::vector<std::string>{"/dev/ttyUSB0", "USB:066F:4200"};
                             },
                             [](const std::string& port, irda::LineProfile) {
                                 irda::PortProbe probe;
                                 probe.openError = 5;
                                 if (port != "/dev/ttyUSB0") {
                                     probe.adapter = "STIr4200";
                                 }
                                 return probe;
                             }};
    bindings.platform = HostPlatform::Linux;
    ConsoleProgram program{p.console, std::move(bindings)};
    EXPECT_EQ(program.Run({"ports"}), EXIT_RUN_FAILED);
    EXPECT_EQ(p.console.out,
              "/dev/ttyUSB0: cannot be opened (EACCES): permission denied: add your user to the dialout "
              "group (sudo usermod -aG dialout $USER), log in again and retry\n"
              "USB:066F:4200 (STIr4200): cannot be opened (error 5): the USB dongle is not reachable "
              "(permission): add the udev rule for it that the user guide gives, then plug it in again\n");
}

TEST(ConsoleProgram, UsePortWritesThePortKeyAloneAndOnlyIntoAFileOfOurs) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        bool refuse;
        int exit;
        std::vector<std::string> written;
        const char* says = "";  // on standard output, or standard error for a failure
    } cases[] = {
        {"a port",
         {"use-port", "--port", "com5"},
         false,
         EXIT_DONE,
         {"C:\\prog\\QX2205R.ini [Parameters] Port=COM5"},
         "Port=COM5 stored in C:\\prog\\QX2205R.ini"},
        {"another file",
         {"use-port", "--port", "COM2", "--settings", "D:\\x.ini"},
         false,
         EXIT_DONE,
         {"D:\\x.ini [Parameters] Port=COM2"}},
        // A settings file named on the command line must be there, as for every command: a mistyped
        // name stores nothing rather than a file the window never reads.
        {"another file that is not there",
         {"use-port", "--port", "COM2", "--settings", "D:\\y.ini"},
         false,
         EXIT_USAGE,
         {}},
        {"no port",
         {"use-port"},
         false,
         EXIT_USAGE,
         {},
         "use-port needs --port COM1 ... COM256, or --port none"},
        {"not a COM port", {"use-port", "--port", "LPT1"}, false, EXIT_USAGE, {}},
        {"a write refused",
         {"use-port", "--port", "COM5"},
         true,
         EXIT_RUN_FAILED,
         {"C:\\prog\\QX2205R.ini [Parameters] Port=COM5"},
         "could not be written"},
        {"back to Windows' IrDA",
         {"use-port", "--port", "None", "--settings", "D:\\x.ini"},
         false,
         EXIT_DONE,
         {"D:\\x.ini [Parameters] -Port"},
         "Port removed from D:\\x.ini: Windows' IrDA is used"},
        {"a file that is not ours",
         {"use-port", "--port", "COM5", "--settings", "D:\\letter.txt"},
         false,
         EXIT_RUN_FAILED,
         {},
         "D:\\letter.txt is not a settings file of this program (it is not empty and has no [Parameters] "
         "section): it was left as it was"},
        {"a near miss",
         {"use-port", "--port", "none", "--settings", "D:\\near.ini"},
         false,
         EXIT_RUN_FAILED,
         {},
         "settings not used: no [Parameters] section in D:\\near.ini"},
        {"a port typed as a command",
         {"use-port", "COM5"},
         false,
         EXIT_USAGE,
         {},
         "unknown command: COM5; did you mean use-port --port COM5?"},
    };
    for (const auto& c : cases) {
        Program p;
        p.profile.languages["C:\\prog\\QX2205R.ini"] = "0";
        p.profile.languages["D:\\x.ini"] = "0";
        p.profile.otherSection["D:\\letter.txt"] = "Dear Sir";
        p.profile.otherSection["D:\\near.ini"] = "Parameter";
        p.profile.refuseWrites = c.refuse;
        EXPECT_EQ(p.Run(c.args), c.exit) << c.name;
        EXPECT_EQ(p.profile.written, c.written) << c.name;
        EXPECT_THAT(p.console.out + p.console.err, HasSubstr(c.says)) << c.name;
        EXPECT_TRUE(p.instrument.calls.empty()) << c.name;
    }
}

// The usual settings file, when it is not there, is made as the window makes it at its first start.
TEST(ConsoleProgram, UsePortCreatesTheSettingsFile) {
    Program p;
    EXPECT_EQ(p.Run({"use-port", "--port", "COM3"}), EXIT_DONE);
    EXPECT_EQ(p.profile.written, (std::vector<std::string>{"C:\\prog\\QX2205R.ini [Parameters] Language=0",
                                                           "C:\\prog\\QX2205R.ini [Parameters] Port=COM3"}));
}

// The file use-port makes speaks the language the run spoke, so that later runs speak it too.
TEST(ConsoleProgram, UsePortMakesTheSettingsFileInTheLanguageInUse) {
    const struct {
        std::optional<int> locale;
        std::vector<std::string> extra;
        const char* language;
    } cases[] = {
        {LANGUAGE_RUSSIAN, {}, "Language=1"},
        {std::nullopt, {"--language", "ru"}, "Language=1"},
        {LANGUAGE_RUSSIAN, {"--language", "en"}, "Language=0"},
    };
    for (const auto& c : cases) {
        Program p;
        p.locale = c.locale;
        std::vector<std::string> args = {"use-port", "--port", "COM3"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        EXPECT_EQ(p.Run(args), EXIT_DONE);
        EXPECT_EQ(p.profile.written,
                  (std::vector<std::string>{"C:\\prog\\QX2205R.ini [Parameters] " + std::string(c.language),
                                            "C:\\prog\\QX2205R.ini [Parameters] Port=COM3"}))
            << c.language;
    }
}

// --language takes en or ru; the locale's language decides where neither it nor the settings say one, and
// of LC_ALL, LC_MESSAGES and LANG the first that is set and not empty decides.
TEST(ConsoleLanguage, OptionAndLocale) {
    EXPECT_EQ(LanguageNamed("en"), LANGUAGE_ENGLISH);
    EXPECT_EQ(LanguageNamed("RU"), LANGUAGE_RUSSIAN);
    for (const char* wrong : {"", "de", "russian", "1", "ru_RU"}) {
        EXPECT_EQ(LanguageNamed(wrong), std::nullopt) << wrong;
        const ConsoleOptions options = ParseConsoleArguments({"status", "--language", wrong});
        EXPECT_EQ(options.problem,
                  *wrong == '\0' ? UsageProblem::MissingValue : UsageProblem::LanguageInvalid)
            << wrong;
    }
    const struct {
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        std::optional<int> language;
    } cases[] = {
        {"", "", "", std::nullopt},
        {"", "", "ru_RU.UTF-8", LANGUAGE_RUSSIAN},
        {"", "", "ru", LANGUAGE_RUSSIAN},
        {"", "", "en_US.UTF-8", LANGUAGE_ENGLISH},
        {"", "", "C", LANGUAGE_ENGLISH},
        {"C", "", "ru_RU.UTF-8", LANGUAGE_ENGLISH},
        {"", "ru_UA.UTF-8", "en_GB.UTF-8", LANGUAGE_RUSSIAN},
        {"", "POSIX", "ru_RU.UTF-8", LANGUAGE_ENGLISH},
        {"ru_RU.UTF-8", "en_US.UTF-8", "", LANGUAGE_RUSSIAN},
        {"", "", "uk_UA.UTF-8", LANGUAGE_ENGLISH},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LanguageFromLocale(c.lcAll, c.lcMessages, c.lang), c.language)
            << c.lcAll << "|" << c.lcMessages << "|" << c.lang;
    }
}

// use-port's help says what each platform does with a settings file that is not there: Windows makes only
// the one beside the program and refuses a missing file named with --settings; Linux makes either.
TEST(ConsoleHelp, UsePortSaysWhichMissingFileIsMade) {
    const struct {
        HostPlatform platform;
        int language;
        const char* says;
    } cases[] = {
        {HostPlatform::Windows, LANGUAGE_ENGLISH,
         "the file beside the program is created when it is\n"
         "                                   missing (a file named with --settings must be there)"},
        {HostPlatform::Windows, LANGUAGE_RUSSIAN, "(файл,\n"},
        {HostPlatform::Linux, LANGUAGE_ENGLISH, "missing file is created, and"},
        {HostPlatform::Linux, LANGUAGE_RUSSIAN, "отсутствующий файл создаётся"},
    };
    for (const auto& c : cases) {
        const std::string help = HelpText(ConsoleTextsFor(c.language, c.platform));
        EXPECT_THAT(help, HasSubstr(c.says)) << help;
        EXPECT_EQ(help.find("must be there") != std::string::npos ||
                      help.find("должен существовать") != std::string::npos,
                  c.platform == HostPlatform::Windows)
            << help;
    }
}

// Each help column starts at one character column, whatever the language: Russian letters are two bytes
// each in UTF-8 and still take one column.
TEST(ConsoleHelp, ColumnsAlignByCharacters) {
    const auto characters = [](std::string_view text) {
        return static_cast<std::size_t>(std::count_if(
            text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    };
    for (const HostPlatform platform : {HostPlatform::Windows, HostPlatform::Linux}) {
        for (const int language : {LANGUAGE_ENGLISH, LANGUAGE_RUSSIAN}) {
            const std::string help = HelpText(ConsoleTextsFor(language, platform));
            const std::size_t options = help.find("\n\n", help.find("\n\n") + 2) + 2;
            const std::size_t exitCodes = help.find("\n\n", options);
            std::istringstream lines(help.substr(options, exitCodes - options));
            std::string line;
            std::getline(lines, line);  // the heading
            std::set<std::size_t> columns;
            while (std::getline(lines, line)) {
                // The description starts after the option's name and at least three spaces, or after the
                // indent of a continuation line.
                const std::size_t gap = line.find("   ", 2);
                ASSERT_NE(gap, std::string::npos) << line;
                const std::size_t text = line.find_first_not_of(' ', gap);
                columns.insert(characters(line.substr(0, text)));
            }
            EXPECT_EQ(columns.size(), 1u) << help;
        }
    }
}

// A file whose section is a slip away from Parameters is not used, and every command says so.
TEST(ConsoleProgram, ASettingsNearMissIsSaidOnEveryCommand) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"status", "--settings", "D:\\near.ini"},
          {"use-port", "--port", "COM5", "--settings", "D:\\near.ini"}}) {
        Program p;
        p.profile.otherSection["D:\\near.ini"] = "parameter";
        if (args[0] == "status") {
            p.instrument.ExpectGreeting();
            p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0104))});
        }
        p.Run(args);
        EXPECT_THAT(p.console.err, HasSubstr("settings not used: no [Parameters] section in D:\\near.ini\n"))
            << args[0];
        EXPECT_EQ(p.profile.writes, 0);
    }
}

// A settings file that is no regular file or far too large is not read: named with --settings it is a usage
// error that says why; as the usual file it is said, and the run goes on with the defaults; use-port writes
// nothing to it.
TEST(ConsoleProgram, ASettingsFileThatIsNoFileOrFarTooLargeIsNotReadAndSaysWhy) {
    using Refusal = ProfileFileRead::Refusal;
    const struct {
        std::vector<std::string> args;
        Refusal refusal;
        int exit;
        const char* says;
    } cases[] = {
        {{"status", "--settings", "D:\\fifo"},
         Refusal::NotAFile,
         EXIT_USAGE,
         "the settings file D:\\fifo is not read: it is not a regular file\n"},
        {{"status", "--settings", "D:\\fifo"},
         Refusal::TooLarge,
         EXIT_USAGE,
         "the settings file D:\\fifo is not read: it is larger than 65536 bytes, far more than a settings "
         "file "
         "holds\n"},
        {{"status"},
         Refusal::NotAFile,
         EXIT_DONE,
         "the settings file C:\\prog\\QX2205R.ini is not read: it is not a regular file\n"},
        {{"use-port", "--port", "COM5", "--settings", "D:\\fifo"},
         Refusal::NotAFile,
         EXIT_RUN_FAILED,
         "the settings file D:\\fifo is not read: it is not a regular file\n"},
        {{"use-port", "--port", "COM5"},
         Refusal::TooLarge,
         EXIT_RUN_FAILED,
         "the settings file C:\\prog\\QX2205R.ini is not read: it is larger than 65536 bytes"},
    };
    for (const auto& c : cases) {
        Program p;
        p.profile.refused["D:\\fifo"] = c.refusal;
        p.profile.refused["C:\\prog\\QX2205R.ini"] = c.refusal;
        if (c.exit == EXIT_DONE) {
            p.instrument.ExpectGreeting();
            p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0104))});
        }
        EXPECT_EQ(p.Run(c.args), c.exit) << c.args.back();
        EXPECT_THAT(p.console.err, HasSubstr(c.says)) << c.args.back();
        EXPECT_EQ(p.profile.writes, 0) << c.args.back();
        if (c.exit != EXIT_DONE) {
            EXPECT_TRUE(p.instrument.calls.empty()) << c.args.back();
        }
    }
}

TEST(ConsoleProgram, ConfirmationDeclinedOrUnansweredSendsNothing) {
    // An answer past ANSWER_LIMIT declines, even one that would read as OK without its trailing
    // blanks.
    const std::string overlong = "OK" + std::string(ANSWER_LIMIT, ' ');
    // Only OK goes on, as the prompt says: answers other programs take for a yes cancel here.
    for (const std::deque<std::string>& input :
         {std::deque<std::string>{"no"}, std::deque<std::string>{}, std::deque<std::string>{overlong},
          std::deque<std::string>{"y"}, std::deque<std::string>{"yes"}, std::deque<std::string>{"да"}}) {
        Program p;
        p.console.input = input;
        EXPECT_EQ(p.Run({"enable"}), EXIT_CANCELLED);
        EXPECT_THAT(p.console.err, HasSubstr("Type OK and press Enter"));
        EXPECT_THAT(p.console.err, Not(HasSubstr("click")));
        EXPECT_TRUE(p.instrument.calls.empty());
    }
    Program p;
    p.console.input = {" Ок "};  // the Cyrillic letters the Russian prompt uses
    p.instrument.ExpectGreeting();
    p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
    p.instrument.Expect(WriteOf(0x0104), {Data(WRITE_ACK)});
    EXPECT_EQ(p.Run({"enable"}), EXIT_DONE);
}

TEST(ConsoleProgram, AWriteLeftUnansweredIsReportedAsUnknownNotAsUnchanged) {
    Program p;
    p.instrument.ExpectGreeting();
    p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
    for (int attempt = 0; attempt < TRANSACT_ATTEMPTS; ++attempt) {
        p.instrument.Expect(WriteOf(0x0104), {Silence()});
    }
    EXPECT_EQ(p.Run({"enable", "--yes"}), EXIT_RUN_FAILED);
    EXPECT_THAT(p.console.out, HasSubstr("Search mode: unknown"));
    EXPECT_THAT(p.console.out, HasSubstr("the new word was sent but not acknowledged"));
    EXPECT_THAT(p.console.out,
                ::testing::EndsWith("Write sent, not confirmed: run QX2205R-cli status to see what the "
                                    "instrument holds\n"));
    EXPECT_THAT(p.console.out, Not(HasSubstr("Error Data are't writen")));
}

TEST(ConsoleProgram, JsonIsOneObjectWithTheOutcome) {
    Program p;
    p.instrument.ExpectGreeting();
    p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0105))});
    p.instrument.Expect(WriteOf(0x0005), {Data(WRITE_ACK)});
    EXPECT_EQ(p.Run({"disable", "--yes", "--json"}), EXIT_DONE);
    EXPECT_EQ(p.console.out,
              "{\"command\": \"disable\", \"device\": \"QX7710Z\", \"word\": \"0x0005\", \"search_mode\": "
              "false, "
              "\"word_read\": \"0x0105\", \"word_sent\": \"0x0005\", \"written\": true, \"result\": "
              "\"done\", "
              "\"code\": 0, \"interrupted\": false, \"exit_code\": 0, \"reason\": null, \"statuses\": "
              "[\"Searching devices\", \"Devices are found\"], \"result_text\": \"Success: Data are "
              "writen\", "
              "\"link\": \"windows_irda\", \"cause\": null, \"failure\": null, \"devices\": [{\"name\": "
              "\"QX7710Z\", \"address\": 16909060, \"role\": \"used\", \"word\": null, \"search_mode\": "
              "null}], \"device_used\": \"QX7710Z\", "
              "\"instruments_in_range\": 1}\n");
}

// The keys of a JSON object's top level, in order.
std::vector<std::string> JsonKeys(const std::string& json) {
    std::vector<std::string> keys;
    std::size_t depth = 0;
    bool inString = false;
    std::string current;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            if (c == '\\') {
                current += json[++i];
            } else if (c == '"') {
                inString = false;
                if (depth == 1 && json.compare(i + 1, 1, ":") == 0) {
                    keys.push_back(current);
                }
            } else {
                current += c;
            }
        } else if (c == '"') {
            inString = true;
            current.clear();
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return keys;
}

// Every ending prints one object with the same keys: how the write ended is told apart, and what the
// instrument holds is claimed only when the run knows it.
TEST(ConsoleProgram, JsonHasTheSameKeysInEveryEnding) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::deque<std::string> input;
        std::function<void(Program&)> script;
        int exitCode;
        const char* says;  // parts of the object, in order
    } cases[] = {
        {"acknowledged",
         {"enable", "--yes", "--json"},
         {},
         [](Program& p) {
             p.instrument.ExpectGreeting();
             p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
             p.instrument.Expect(WriteOf(0x0104), {Data(WRITE_ACK)});
         },
         EXIT_DONE,
         "\"word\": \"0x0104\", \"search_mode\": true, \"word_read\": \"0x0004\", \"word_sent\": "
         "\"0x0104\", \"written\": true, \"result\": \"done\""},
        {"refused",
         {"enable", "--yes", "--json"},
         {},
         [](Program& p) {
             p.instrument.ExpectGreeting();
             p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
             p.instrument.Expect(WriteOf(0x0104), {Data(REFUSAL)});
         },
         EXIT_RUN_FAILED,
         "\"word\": \"0x0004\", \"search_mode\": false, \"word_read\": \"0x0004\", \"word_sent\": "
         "\"0x0104\", \"written\": false, \"result\": \"write_refused\""},
        {"unanswered",
         {"enable", "--yes", "--json"},
         {},
         [](Program& p) {
             p.instrument.ExpectGreeting();
             p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
             for (int attempt = 0; attempt < TRANSACT_ATTEMPTS; ++attempt) {
                 p.instrument.Expect(WriteOf(0x0104), {Silence()});
             }
         },
         EXIT_RUN_FAILED,
         "\"word\": null, \"search_mode\": null, \"word_read\": \"0x0004\", \"word_sent\": "
         "\"0x0104\", \"written\": false, \"result\": \"write_unconfirmed\", \"code\": 10060"},
        {"not sent",
         {"enable", "--yes", "--json"},
         {},
         [](Program& p) {
             p.instrument.ExpectGreeting();
             p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
             p.calls.when = [](const std::string& call, std::span<const std::uint8_t> bytes) {
                 return call == "send" && bytes[0] == 0x83;
             };
             p.calls.trigger = [&p] { p.program.Interrupt(); };
         },
         EXIT_INTERRUPTED,
         "\"word\": \"0x0004\", \"search_mode\": false, \"word_read\": \"0x0004\", \"word_sent\": "
         "null, \"written\": false, \"result\": \"not_written\", \"code\": 10004"},
        {"declined",
         {"enable", "--json"},
         {"no"},
         [](Program&) {},
         EXIT_CANCELLED,
         "\"command\": \"enable\", \"device\": null, \"word\": null, \"search_mode\": null, "
         "\"word_read\": "
         "null, "
         "\"word_sent\": null, \"written\": false, \"result\": \"cancelled\""},
        {"interrupted at the question",
         {"disable", "--json"},
         {"ok"},
         [](Program& p) { p.console.onRead = [&p] { p.program.Interrupt(); }; },
         EXIT_INTERRUPTED,
         "\"result\": \"interrupted\", \"code\": 0, \"interrupted\": true, \"exit_code\": 4"},
        {"usage error",
         {"frobnicate", "--json"},
         {},
         [](Program&) {},
         EXIT_USAGE,
         "\"command\": null, \"device\": null"},
    };
    std::vector<std::string> keys;
    for (const auto& c : cases) {
        Program p;
        p.console.input = c.input;
        c.script(p);
        EXPECT_EQ(p.Run(c.args), c.exitCode) << c.name;
        EXPECT_THAT(p.console.out, HasSubstr(c.says)) << c.name;
        EXPECT_THAT(p.console.out, HasSubstr("\"exit_code\": " + std::to_string(c.exitCode))) << c.name;
        EXPECT_EQ(std::count(p.console.out.begin(), p.console.out.end(), '\n'), 1) << c.name << ": one line";
        if (keys.empty()) {
            keys = JsonKeys(p.console.out);
        }
        EXPECT_EQ(JsonKeys(p.console.out), keys) << c.name;
    }
    EXPECT_THAT(keys, ::testing::ElementsAre(
                          "command", "device", "word", "search_mode", "word_read", "word_sent", "written",
                          "result", "code", "interrupted", "exit_code", "reason", "statuses", "result_text",
                          "link", "cause", "failure", "devices", "device_used", "instruments_in_range"));
}

constexpr const char* NOTHING_SENT =
    "Interrupted: nothing was sent to the instrument yet, so the run ends now\n";
constexpr const char* STEP_FINISHED =
    "Interrupted: the step under way is finished and the link closed first\n";

// An interruption at each point of an enable run: whatever was already sent is seen through, nothing
// new is begun, the link ends closed and released, and the program says how it ended.
TEST(ConsoleProgram, InterruptionStopsBetweenStepsAndClosesTheLink) {
    const struct {
        const char* name;
        const char* call;
        std::uint8_t frame;  // for sends: the frame type that triggers
        int scripted;        // exchanges the instrument sees: 0 none, 1 greeting, 2 + read, 3 + write
        int exitCode;
        bool connected;
        const char* says;
        // What the interruption says at once: before any data there is no step to finish.
        const char* interrupting;
    } cases[] = {
        {"during the search", "getsockopt", 0, 0, EXIT_INTERRUPTED, false,
         "Interrupted before anything was sent to the instrument", NOTHING_SENT},
        // The connect under way is finished; the greeting is never sent.
        {"at the connect", "connect", 0, 0, EXIT_INTERRUPTED, true,
         "Interrupted before anything was sent to the instrument", NOTHING_SENT},
        {"as the greeting goes out", "send", 0x80, 1, EXIT_INTERRUPTED, true,
         "the configuration word could not be read", STEP_FINISHED},
        {"as the read goes out", "send", 0x83, 2, EXIT_INTERRUPTED, true, "no write was sent", STEP_FINISHED},
        {"as the write goes out", "send", 0x82, 3, EXIT_DONE, true, "Success: Data are writen",
         STEP_FINISHED},
    };
    for (const auto& c : cases) {
        Program p;
        if (c.scripted >= 1) {
            p.instrument.ExpectGreeting();
        }
        if (c.scripted >= 2) {
            p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
        }
        if (c.scripted >= 3) {
            p.instrument.Expect(WriteOf(0x0104), {Data(WRITE_ACK)});
        }
        p.calls.when = [&](const std::string& call, std::span<const std::uint8_t> bytes) {
            return call == c.call && (bytes.empty() || bytes[0] == c.frame);
        };
        p.calls.trigger = [&] {
            EXPECT_EQ(p.program.Interrupt(), ConsoleProgram::InterruptEffect::RunUnderWay) << c.name;
        };
        EXPECT_EQ(p.Run({"enable", "--yes"}), c.exitCode) << c.name;
        EXPECT_THAT(p.console.out, HasSubstr(c.says)) << c.name;
        EXPECT_THAT(p.console.err, HasSubstr(c.interrupting)) << c.name;
        // Nothing more of the run's progress once the interruption is said.
        const std::string afterInterruption = p.console.err.substr(p.console.err.find("Interrupted:"));
        EXPECT_THAT(afterInterruption, Not(HasSubstr("Devices"))) << c.name;
        EXPECT_EQ(p.WriteSent(), c.scripted >= 3) << c.name;
        EXPECT_EQ(p.instrument.CountCalls("connect") == 1, c.connected) << c.name;
        EXPECT_EQ(p.instrument.cleanups, p.instrument.startups) << c.name;
        EXPECT_EQ(p.instrument.CountCalls("closesocket"), 1) << c.name;
        EXPECT_EQ(p.program.Interrupt(), ConsoleProgram::InterruptEffect::Ended) << c.name;
    }
}

TEST(ConsoleProgram, InterruptionAtTheConfirmationEndsWithNothingOpen) {
    Program p;
    p.console.input = {"ok"};
    p.console.onRead = [&] {
        EXPECT_EQ(p.program.Interrupt(), ConsoleProgram::InterruptEffect::NothingOpen);
    };
    EXPECT_EQ(p.Run({"enable"}), EXIT_INTERRUPTED);
    EXPECT_TRUE(p.instrument.calls.empty());
    EXPECT_THAT(p.console.out, HasSubstr("Interrupted before anything was sent to the instrument"));
}

TEST(ConsoleProgram, TraceShowsEveryCallAndWholeFrames) {
    Program p;
    p.instrument.ExpectGreeting();
    p.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
    EXPECT_EQ(p.Run({"status", "--trace"}), EXIT_DONE);
    for (const char* line :
         {"WSAStartup(0x0101) -> 0", "socket(26, 1, 0) -> 0x1234",
          "getsockopt(0x1234, 255, 16, 355 bytes) -> 0, 1 device(s)",
          "frame sent: 80 00 12 10 00 08 00 70 00 0B 51 58 37 37 31 30 5A 5F",
          "frame received: A0 00 0C 10 00 00 40 F0 00 00 77 10", "frame sent: 83 00 05 B1 D3",
          "frame received: A0 00 08 72 00 05 04 00", "Sleep(1500)", "WSACleanup() -> 0"}) {
        EXPECT_THAT(p.console.err, HasSubstr(std::string("0 ms  ") + line));
    }
    EXPECT_THAT(p.console.err, Not(HasSubstr("frame sent: 82")));
}

}  // namespace
}  // namespace qx::test
