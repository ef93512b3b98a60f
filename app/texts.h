// The interface texts in the two languages the program speaks, and how a language reaches the window: the
// three button captions and the eleven message slots of the mode switch. Texts are UTF-8; the window shows
// them through the platform's UTF-16 calls, and every one of them also fits the Windows-1251 code page.
#pragma once

#include <string>

#include "app/message_slots.h"

namespace qx {

inline constexpr int LANGUAGE_ENGLISH = 0;
inline constexpr int LANGUAGE_RUSSIAN = 1;

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
};

// Copies the language's captions and slots into `texts`; any other language changes nothing.
void ApplyLanguage(int language, FormTexts& texts);

}  // namespace qx
