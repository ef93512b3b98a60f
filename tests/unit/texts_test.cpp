#include "app/texts.h"

#include "app/outcome_table.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx {
namespace {

// Unicode code points of Windows-1251 bytes 0x80-0xBF (0 marks the one unassigned byte); 0xC0-0xFF are
// U+0410-U+044F in order.
constexpr std::array<char32_t, 64> CP1251_HIGH = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0000, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

std::optional<char> EncodeCp1251(char32_t c) {
    if (c < 0x80) {
        return static_cast<char>(c);
    }
    if (c >= 0x0410 && c <= 0x044F) {
        return static_cast<char>(0xC0 + (c - 0x0410));
    }
    for (std::size_t i = 0; i < CP1251_HIGH.size(); ++i) {
        if (CP1251_HIGH[i] == c && c != 0) {
            return static_cast<char>(0x80 + i);
        }
    }
    return std::nullopt;
}

// The Windows-1251 bytes of a UTF-8 text; empty when the text is not valid UTF-8 or has a character the code
// page lacks.
std::optional<std::string> ToCp1251(std::string_view utf8) {
    std::string result;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<std::uint8_t>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : 0;
        if (length == 0 || i + length > utf8.size()) {
            return std::nullopt;
        }
        char32_t c = length == 1 ? lead : length == 2 ? (lead & 0x1F) : (lead & 0x0F);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            c = (c << 6) | (next & 0x3F);
        }
        const std::optional<char> byte = EncodeCp1251(c);
        if (!byte) {
            return std::nullopt;
        }
        result += *byte;
        i += length;
    }
    return result;
}

struct ExpectedText {
    std::string_view target;
    std::string_view utf8;
    std::string_view cp1251;
};
using LanguageColumn = std::array<ExpectedText, 3 + MESSAGE_SLOT_COUNT>;

// Every target the languages fill, in the order the texts are listed in.
using Targets = std::array<std::string, 3 + MESSAGE_SLOT_COUNT>;
Targets InTableOrder(const FormTexts& t) {
    const auto& s = t.slots;
    return {t.btnSet,
            t.btnClear,
            s[Slot::PromptLine1],
            s[Slot::PromptLine2],
            s[Slot::Searching],
            s[Slot::WinsockError],
            s[Slot::DevicesFound],
            s[Slot::DevicesNotFound],
            s[Slot::SearchError],
            t.btnExit,
            s[Slot::WriteFailed],
            s[Slot::WriteDone],
            s[Slot::FailureCaption],
            s[Slot::SuccessCaption]};
}

// Each text twice: as UTF-8 and as the Windows-1251 bytes users of the 8-bit program saw, so a lost U+201D, a
// dropped space or a Latin/Cyrillic look-alike swap fails one of the two.
const LanguageColumn ENGLISH = {{
    {"btnSet", "Enable Searching heterogeneity mode", "Enable Searching heterogeneity mode"},
    {"btnClear", "Disable Searching heterogeneity mode", "Disable Searching heterogeneity mode"},
    {"slot 1", "Set the instrument in PC communication mode and click ”OK”.",
     "Set the instrument in PC communication mode and click \x94OK\x94."},
    {"slot 2", " ”Cancel” to cancel",
     " \x94"
     "Cancel\x94 to cancel"},
    {"slot 3", "Searching devices", "Searching devices"},
    {"slot 4", "Winsock dll error", "Winsock dll error"},
    {"slot 5", "Devices are found", "Devices are found"},
    {"slot 6", "Devices not found", "Devices not found"},
    {"slot 7", "Searching devices error", "Searching devices error"},
    {"btnExit", "Exit", "Exit"},
    {"slot 8", "Error Data are't writen", "Error Data are't writen"},
    {"slot 9", "Data are writen", "Data are writen"},
    {"slot 10", "Error", "Error"},
    {"slot 11", "Success", "Success"},
}};
const LanguageColumn RUSSIAN = {{
    {"btnSet", "Включить режим Поиска неоднородностей",
     "\xC2\xEA\xEB\xFE\xF7\xE8\xF2\xFC \xF0\xE5\xE6\xE8\xEC \xCF\xEE\xE8\xF1\xEA\xE0 "
     "\xED\xE5\xEE\xE4\xED\xEE\xF0\xEE\xE4\xED\xEE\xF1\xF2\xE5\xE9"},
    {"btnClear", "Выключить режим Поиска неоднородностей",
     "\xC2\xFB\xEA\xEB\xFE\xF7\xE8\xF2\xFC \xF0\xE5\xE6\xE8\xEC \xCF\xEE\xE8\xF1\xEA\xE0 "
     "\xED\xE5\xEE\xE4\xED\xEE\xF0\xEE\xE4\xED\xEE\xF1\xF2\xE5\xE9"},
    {"slot 1", "Установите прибор в режим ИК связи и нажмите ОК.",
     "\xD3\xF1\xF2\xE0\xED\xEE\xE2\xE8\xF2\xE5 \xEF\xF0\xE8\xE1\xEE\xF0 \xE2 \xF0\xE5\xE6\xE8\xEC \xC8\xCA "
     "\xF1\xE2\xFF\xE7\xE8 \xE8 \xED\xE0\xE6\xEC\xE8\xF2\xE5 \xCE\xCA."},
    {"slot 2", "Cancel для отмены", "Cancel \xE4\xEB\xFF \xEE\xF2\xEC\xE5\xED\xFB"},
    {"slot 3", "Поиск устройств", "\xCF\xEE\xE8\xF1\xEA \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2"},
    {"slot 4", "Неверная winsock dlls", "\xCD\xE5\xE2\xE5\xF0\xED\xE0\xFF winsock dlls"},
    {"slot 5", "Устройство найдено", "\xD3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE \xED\xE0\xE9\xE4\xE5\xED\xEE"},
    {"slot 6", "Не найдено устройство",
     "\xCD\xE5 \xED\xE0\xE9\xE4\xE5\xED\xEE \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE"},
    {"slot 7", "Ошибка  при поиске устройств",
     "\xCE\xF8\xE8\xE1\xEA\xE0  \xEF\xF0\xE8 \xEF\xEE\xE8\xF1\xEA\xE5 \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2"},
    {"btnExit", "Выход", "\xC2\xFB\xF5\xEE\xE4"},
    {"slot 8", "Ошибка. Данные не записаны",
     "\xCE\xF8\xE8\xE1\xEA\xE0. \xC4\xE0\xED\xED\xFB\xE5 \xED\xE5 \xE7\xE0\xEF\xE8\xF1\xE0\xED\xFB"},
    {"slot 9", "Запись произведена успешно",
     "\xC7\xE0\xEF\xE8\xF1\xFC \xEF\xF0\xEE\xE8\xE7\xE2\xE5\xE4\xE5\xED\xE0 \xF3\xF1\xEF\xE5\xF8\xED\xEE"},
    {"slot 10", "Ощибка", "\xCE\xF9\xE8\xE1\xEA\xE0"},
    {"slot 11", "Успех", "\xD3\xF1\xEF\xE5\xF5"},
}};

TEST(ApplyLanguage, FillsEveryCaptionAndSlotWithTheLanguagesTexts) {
    const std::array<std::pair<int, const LanguageColumn*>, 2> languages = {{{0, &ENGLISH}, {1, &RUSSIAN}}};
    for (const auto& [language, column] : languages) {
        FormTexts texts;
        ApplyLanguage(language, texts);
        const auto actual = InTableOrder(texts);
        for (std::size_t i = 0; i < column->size(); ++i) {
            const ExpectedText& expected = (*column)[i];
            SCOPED_TRACE(testing::Message() << "language " << language << ", " << expected.target);
            EXPECT_EQ(actual[i], expected.utf8);
            EXPECT_EQ(ToCp1251(actual[i]), std::optional<std::string>(expected.cp1251));
        }
    }
}

TEST(ApplyLanguage, ClosingAfterARunIsSaidInTheLanguageAndFitsWindows1251) {
    const FormTexts asCreated;
    struct Case {
        int language;
        std::string_view cp1251;
    };
    for (const Case c : {Case{LANGUAGE_ENGLISH, "Closing when the current run ends"},
                         Case{LANGUAGE_RUSSIAN,
                              "\xC7\xE0\xEA\xF0\xFB\xF2\xE8\xE5 \xEF\xEE\xF1\xEB\xE5 "
                              "\xEE\xEA\xEE\xED\xF7\xE0\xED\xE8\xFF \xEE\xE1\xEC\xE5\xED\xE0"},
                         Case{5,
                              "\xC7\xE0\xEA\xF0\xFB\xF2\xE8\xE5 \xEF\xEE\xF1\xEB\xE5 "
                              "\xEE\xEA\xEE\xED\xF7\xE0\xED\xE8\xFF \xEE\xE1\xEC\xE5\xED\xE0"}}) {
        SCOPED_TRACE(c.language);
        FormTexts texts;
        ApplyLanguage(c.language, texts);
        EXPECT_EQ(ToCp1251(texts.closingAfterRun), std::optional<std::string>(c.cp1251));
    }
    EXPECT_EQ(asCreated.closingAfterRun, "Закрытие после окончания обмена") << "the layout's language";
}

// The window picks its font's character set by the script: Latin only for English, since the texts before
// any language ("Выход") are Cyrillic, and so are those after a language that changes nothing.
TEST(ApplyLanguage, TheScriptIsLatinForEnglishAndCyrillicOtherwise) {
    for (const auto& [language, script] :
         {std::pair{LANGUAGE_ENGLISH, Script::Latin}, std::pair{LANGUAGE_RUSSIAN, Script::Cyrillic},
          std::pair{2, Script::Cyrillic}, std::pair{-1, Script::Cyrillic}}) {
        SCOPED_TRACE(language);
        FormTexts texts;
        ApplyLanguage(language, texts);
        EXPECT_EQ(texts.script, script);
    }
}

TEST(ApplyLanguage, OtherLanguagesChangeNothing) {
    Targets asCreated{};
    asCreated[9] = "Выход";  // btnExit keeps its caption from the window layout
    for (const int language : {2, -1}) {
        SCOPED_TRACE(testing::Message() << "language " << language);
        FormTexts fresh;
        ApplyLanguage(language, fresh);
        EXPECT_EQ(InTableOrder(fresh), asCreated);

        FormTexts russian;
        ApplyLanguage(1, russian);
        FormTexts after = russian;
        ApplyLanguage(language, after);
        EXPECT_EQ(InTableOrder(after), InTableOrder(russian));
    }
}

TEST(ConsoleTexts, EveryTextIsThereInBothLanguagesAndFitsWindows1251) {
    const auto all = [](const ConsoleTexts& c) {
        std::vector<std::string> texts;
        for (std::size_t i = 0; i < CONSOLE_TEXT_COUNT; ++i) {
            texts.push_back(c[static_cast<ConsoleText>(i)]);
        }
        return texts;
    };
    const auto english = all(ConsoleTextsFor(LANGUAGE_ENGLISH));
    const auto russian = all(ConsoleTextsFor(LANGUAGE_RUSSIAN));
    for (std::size_t i = 0; i < english.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "console text " << i << ": " << english[i]);
        EXPECT_FALSE(english[i].empty());
        EXPECT_NE(russian[i], english[i]);
        EXPECT_TRUE(ToCp1251(english[i]).has_value());
        EXPECT_TRUE(ToCp1251(russian[i]).has_value()) << russian[i];
        // Commands and options are named through their table: none is left as a place to fill.
        for (const std::string& text : {english[i], russian[i]}) {
            EXPECT_EQ(text.find("{program}"), std::string::npos);
            EXPECT_EQ(text.find("{--"), std::string::npos);
            EXPECT_EQ(text.find("{use-port}"), std::string::npos);
        }
    }
    // A console has nothing else to speak: languages without texts of their own get the English ones.
    EXPECT_EQ(all(ConsoleTextsFor(2)), english);
    // On Linux every text is there too, and none speaks of Windows' things (but the socket library's
    // start-up, which Linux never reaches).
    for (std::size_t i = 0; i < CONSOLE_TEXT_COUNT; ++i) {
        const auto text = static_cast<ConsoleText>(i);
        const std::string linuxEnglish = ConsoleTextsFor(LANGUAGE_ENGLISH, HostPlatform::Linux)[text];
        const std::string linuxRussian = ConsoleTextsFor(LANGUAGE_RUSSIAN, HostPlatform::Linux)[text];
        SCOPED_TRACE(testing::Message() << "Linux console text: " << linuxEnglish);
        EXPECT_NE(linuxRussian, linuxEnglish);
        EXPECT_TRUE(ToCp1251(linuxRussian).has_value()) << linuxRussian;
        for (const std::string& said : {linuxEnglish, linuxRussian}) {
            for (const char* windowsOnly : {"Device Manager", "Диспетчер", "PowerShell", "COM1", "COM-порт",
                                            "Winsock", "Infrared devices", "Инфракрасные", "Windows' IrDA"}) {
                EXPECT_EQ(said.find(windowsOnly), std::string::npos) << said;
            }
        }
    }
    for (const std::uint32_t error : {2u, 5u, 32u, 123u, 10047u}) {
        const std::string_view english = PortOpenAdvice(LANGUAGE_ENGLISH, HostPlatform::Linux, error);
        const std::string_view russian = PortOpenAdvice(LANGUAGE_RUSSIAN, HostPlatform::Linux, error);
        EXPECT_FALSE(english.empty()) << error;
        EXPECT_TRUE(ToCp1251(std::string(russian)).has_value()) << russian;
        EXPECT_TRUE(PortOpenAdvice(LANGUAGE_ENGLISH, HostPlatform::Windows, error).empty()) << error;
    }
    EXPECT_NE(PortOpenAdvice(LANGUAGE_ENGLISH, HostPlatform::Linux, 5).find("dialout"), std::string::npos);
    EXPECT_NE(PortOpenAdvice(LANGUAGE_ENGLISH, HostPlatform::Linux, 2).find("dmesg"), std::string::npos);
    EXPECT_NE(PortOpenAdvice(LANGUAGE_ENGLISH, HostPlatform::Linux, 123).find("/dev/ttyUSB0"),
              std::string::npos);
    // A dongle named by USB or USB:VVVV:PPPP gets the dongle's advice where there is one, the serial one
    // otherwise.
    for (const std::uint32_t error : {2u, 5u, 31u, 1167u}) {
        const std::string_view english = PortOpenAdvice(LANGUAGE_ENGLISH, HostPlatform::Linux, error, true);
        EXPECT_NE(english.find("USB"), std::string::npos) << error;
        EXPECT_EQ(english.find("dialout"), std::string::npos) << error;
        EXPECT_TRUE(ToCp1251(std::string(PortOpenAdvice(LANGUAGE_RUSSIAN, HostPlatform::Linux, error, true)))
                        .has_value())
            << error;
        // On Windows too: a dongle has no COM port for Device Manager's usual advice.
        EXPECT_NE(PortOpenAdvice(LANGUAGE_ENGLISH, HostPlatform::Windows, error, true).find("USB"),
                  std::string::npos)
            << error;
    }
    EXPECT_NE(PortOpenAdvice(LANGUAGE_ENGLISH, HostPlatform::Linux, 5, true).find("udev"), std::string::npos);
    EXPECT_NE(PortOpenAdvice(LANGUAGE_ENGLISH, HostPlatform::Windows, 50, true).find("WinUSB"), std::string::npos);
    EXPECT_EQ(PortOpenAdvice(LANGUAGE_ENGLISH, HostPlatform::Linux, 123, true),
              PortOpenAdvice(LANGUAGE_ENGLISH, HostPlatform::Linux, 123));
    EXPECT_EQ(Fill("error {} here", "10047"), "error 10047 here");
    EXPECT_EQ(ConsoleTextsFor(LANGUAGE_ENGLISH)[ConsoleText::UsageHint],
              "Run QX2205R-cli --help for the commands and options.");
}

}  // namespace
}  // namespace qx

namespace qx {
namespace {

// The outcome tables' texts and the window's own are interface texts too: each fits Windows-1251.
TEST(OutcomeTexts, EveryRowFitsWindows1251) {
    std::vector<std::string_view> texts;
    for (std::size_t stage = 0; stage < RUN_STAGE_COUNT; ++stage) {
        const StageRow& row = RowOf(static_cast<RunStage>(stage));
        texts.insert(texts.end(), {row.reason[0], row.reason[1], row.lastRun[0], row.lastRun[1]});
    }
    for (std::size_t cause = 0; cause < FAILURE_CAUSE_COUNT; ++cause) {
        const CauseRow& row = RowOf(static_cast<FailureCause>(cause));
        texts.insert(texts.end(), {row.reason[0], row.reason[1], row.lastRun[0], row.lastRun[1]});
        for (const Bilingual& step : row.nextStep) {
            texts.insert(texts.end(), {step[0], step[1]});
        }
    }
    std::vector<std::string> window;
    for (const int language : {LANGUAGE_ENGLISH, LANGUAGE_RUSSIAN}) {
        FormTexts form;
        ApplyLanguage(language, form);
        window.insert(window.end(), {form.readModeItem, form.settingsNotUsed});
        EXPECT_FALSE(form.readModeItem.empty());
    }
    texts.insert(texts.end(), window.begin(), window.end());
    for (const std::string_view text : texts) {
        EXPECT_TRUE(ToCp1251(text).has_value()) << text;
    }
}

TEST(LastRunTexts, SayHowTheRunEndedInTheWindowsLanguage) {
    const struct {
        int language;
        RunStage stage;
        int code;
        bool written;
        const char* text;
    } cases[] = {
        {LANGUAGE_ENGLISH, RunStage::Done, 0, true, "Last run: word 0x0104 written, search mode on"},
        {LANGUAGE_ENGLISH, RunStage::SearchFailed, 10050, false, "Last run: search error 10050"},
        {LANGUAGE_ENGLISH, RunStage::NoDevice, ENUM_NO_DEVICES, false, "Last run: no device found"},
        {LANGUAGE_ENGLISH, RunStage::WriteUnconfirmed, 10060, false,
         "Last run: write sent, not confirmed: check with status"},
        {LANGUAGE_RUSSIAN, RunStage::SearchFailed, 10050, false, "Итог: ошибка поиска 10050"},
        {LANGUAGE_RUSSIAN, RunStage::Done, 0, true, "Итог: слово 0x0104 записано, режим поиска включён"},
        {5, RunStage::NoDevice, ENUM_NO_DEVICES, false, ""},
    };
    const LinkChoice winsock;
    for (const auto& c : cases) {
        FormTexts texts;
        ApplyLanguage(c.language, texts);
        RunOutcome outcome;
        outcome.stage = c.stage;
        outcome.code = c.code;
        outcome.written = c.written;
        outcome.wordSent = ConfigWord{0x0104};
        EXPECT_EQ(OutcomeLastRun({outcome, winsock, ""}, texts.language.value_or(-1)), c.text);
    }
}

}  // namespace
}  // namespace qx
