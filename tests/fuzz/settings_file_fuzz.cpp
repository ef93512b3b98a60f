// Any settings file: loading it gives the language its Language key's text reads as (0 when it does not read
// as a number) and changes nothing in the file; saving writes that language back in decimal and nothing else
// when the file is the program's own (empty, or holding the Parameters section), keeps any other file as it
// was, and, when the file cannot be written, keeps the file as it was and raises nothing. A missing file is
// created with the two lines of a new file, or, when it cannot be, loading raises the settings error naming
// the file.
//
// Input: byte 0 holds options (bit 0: the file is missing; bit 1: the platform refuses writes to it; bit 2:
// the program's folder is gone, so the current folder holds the file). The rest is the file's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/settings.h"
#include "support/broken_rules.h"
#include "support/ini_profile_calls.h"
#include "support/reference_integer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qx;
    fuzz::BrokenRules broken;
    if (size == 0) {
        return 0;
    }
    const bool missing = (data[0] & 1) != 0;
    const bool refused = (data[0] & 2) != 0;
    const bool folderGone = (data[0] & 4) != 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string program = "C:\\prog\\";
    const std::string path = folderGone ? "C:\\work\\QX2205R.ini" : "C:\\prog\\QX2205R.ini";

    fuzz::IniProfileCalls calls;
    if (!folderGone) {
        calls.directories.insert(program);
    }
    if (!missing) {
        calls.files[path] = text;
    }
    if (refused) {
        calls.readOnly.insert(path);
    }

    Settings settings(calls);
    bool raised = false;
    try {
        settings.LoadSettings(program);
    } catch (const SettingsError& error) {
        raised = true;
        broken.Expect(missing && refused, "load raised although it had nothing to write");
        broken.Expect(error.what() == "Unable to write to " + path,
                      std::string("error text: ") + error.what());
    }
    broken.Expect(settings.SettingsPath == path, "settings path " + settings.SettingsPath);
    if (missing) {
        broken.Expect(settings.Language == 0, "language of a missing file");
        broken.Expect(raised == refused, "a refused create went unreported");
        broken.Expect(
            refused ? calls.files.count(path) == 0 : calls.files[path] == "[Parameters]\r\nLanguage=0\r\n",
            "the new file");
    } else {
        const std::string stored = calls.ReadString(path, "Parameters", "Language", PROFILE_READ_LIMIT);
        broken.Expect(
            settings.Language == fuzz::ReferenceProfileInteger(stored).value_or(0),
            "language " + std::to_string(settings.Language) + " from \"" + stored.substr(0, 40) + "\"");
        broken.Expect(calls.writes == 0 && calls.files[path] == text, "loading changed an existing file");
    }

    // Saving: noexcept, so anything it let escape would end the process here.
    const bool ours = missing || text.empty() || calls.HasSection(path, "Parameters");
    const auto before = calls.files;
    const int writesBefore = calls.writes;
    settings.SaveSettings(program);
    broken.Expect(
        calls.writes == writesBefore + (ours ? 1 : 0),
        ours ? "save did not write the key once" : "save wrote to a file that is not the program's");
    if (refused || !ours) {
        broken.Expect(calls.files == before, "a refused save changed the file");
    } else {
        broken.Expect(calls.ReadString(path, "Parameters", "Language", PROFILE_READ_LIMIT) ==
                          std::to_string(settings.Language),
                      "saved value");
        // The saved file loads as the same language and saves to the same bytes.
        const std::string saved = calls.files[path];
        Settings again(calls);
        again.LoadSettings(program);
        again.SaveSettings(program);
        broken.Expect(again.Language == settings.Language, "the saved language does not load back");
        broken.Expect(calls.files[path] == saved, "a second save changed the file");
    }

    broken.AbortIfAny();
    return 0;
}
