// The interface texts in the two languages the program speaks, and how a language reaches the window: the
// three button captions and the eleven message slots of the mode switch. Texts are UTF-8; the window shows
// them through the platform's UTF-16 calls, and every one of them also fits the Windows-1251 code page.
#pragma once

#include <string>
#include <string_view>

#include "app/message_slots.h"

namespace qx {

inline constexpr int LANGUAGE_ENGLISH = 0;
inline constexpr int LANGUAGE_RUSSIAN = 1;

// The letters a language's texts are written in: the window picks a font that has them.
enum class Script { Latin, Cyrillic };

// What the window shows before any language is applied: empty mode-button captions, btnExit from the layout
// and empty slots. A language that is neither English nor Russian leaves it exactly so.
struct FormTexts {
    std::string btnSet;
    std::string btnClear;
    std::string btnExit = "Выход";
    MessageSlots slots;
    // Status panel 0 while a close waits for the run under way to end. The program's own text, not one of
    // the instrument's: before any language, in the layout's language like btnExit.
    std::string closingAfterRun = "Закрытие после окончания обмена";
    // Cyrillic before any language, for btnExit's "Выход".
    Script script = Script::Cyrillic;
};

// Copies the language's captions and slots into `texts`; any other language changes nothing.
void ApplyLanguage(int language, FormTexts& texts);

// The console program's own texts, beside the window's in the same table. "{}" marks where a value goes.
struct ConsoleTexts {
    std::string help;
    std::string usageHint;
    std::string unknownOption;
    std::string unknownCommand;
    std::string noCommand;
    std::string secondCommand;
    std::string missingValue;
    std::string confirmQuestion;
    std::string deviceLabel;
    std::string wordLabel;
    std::string wordSentLabel;
    std::string searchModeLabel;
    std::string modeOn;
    std::string modeOff;
    std::string modeUnknown;
    std::string reasonLabel;
    std::string readNotDone;
    std::string cancelled;
    std::string interrupting;
    std::string interruptedIdle;
    std::string interrupted;
    std::string loopbackActive;
    // Why a run ended where it did, in RunStage order from NoSockets on.
    std::string reasonNoSockets;
    std::string reasonSocketFailed;
    std::string reasonSearchFailed;
    std::string reasonNoDevice;
    std::string reasonConnectFailed;
    std::string reasonReadFailed;
    std::string reasonNotWritten;
    std::string reasonWriteRefused;
    std::string reasonWriteUnconfirmed;
};

// The console texts of a language. A console has nothing else to say with, so any language other than
// Russian gives the English ones (the instrument's texts in the slots still follow ApplyLanguage).
ConsoleTexts ConsoleTextsFor(int language);

// `text` with its first "{}" replaced by `value`.
std::string Fill(std::string_view text, std::string_view value);

}  // namespace qx
