#include "app/texts.h"

#include <array>
#include <cstddef>
#include <string_view>

namespace qx {
namespace {

// The texts below are compared byte for byte by the users' eyes: the typos, the right double quotation marks
// (U+201D) of the English prompt, the Cyrillic "ОК" ending the Russian prompt, the Latin "Cancel" and the two
// spaces of the Russian search error are all meant.
static_assert(sizeof("Ы") == 3, "this file must be compiled as UTF-8");

struct LanguageTexts {
    std::string_view btnSet;
    std::string_view btnClear;
    std::string_view btnExit;
    std::array<std::string_view, MESSAGE_SLOT_COUNT> slots;  // in Slot order
    std::string_view closingAfterRun;
};

constexpr std::array<LanguageTexts, 2> LANGUAGES = {{
    {
        "Enable Searching heterogeneity mode",
        "Disable Searching heterogeneity mode",
        "Exit",
        {
            "Set the instrument in PC communication mode and click ”OK”.",
            " ”Cancel” to cancel",
            "Searching devices",
            "Winsock dll error",
            "Devices are found",
            "Devices not found",
            "Searching devices error",
            "Error Data are't writen",
            "Data are writen",
            "Error",
            "Success",
        },
        "Closing when the current run ends",
    },
    {
        "Включить режим Поиска неоднородностей",
        "Выключить режим Поиска неоднородностей",
        "Выход",
        {
            "Установите прибор в режим ИК связи и нажмите ОК.",
            "Cancel для отмены",
            "Поиск устройств",
            "Неверная winsock dlls",
            "Устройство найдено",
            "Не найдено устройство",
            "Ошибка  при поиске устройств",
            "Ошибка. Данные не записаны",
            "Запись произведена успешно",
            "Ощибка",
            "Успех",
        },
        "Закрытие после окончания обмена",
    },
}};

}  // namespace

void ApplyLanguage(int language, FormTexts& texts) {
    if (language != LANGUAGE_ENGLISH && language != LANGUAGE_RUSSIAN) {
        return;
    }
    const LanguageTexts& source = LANGUAGES[static_cast<std::size_t>(language)];
    texts.btnSet = source.btnSet;
    texts.btnClear = source.btnClear;
    texts.btnExit = source.btnExit;
    for (std::size_t i = 0; i < MESSAGE_SLOT_COUNT; ++i) {
        texts.slots.All()[i] = source.slots[i];
    }
    texts.closingAfterRun = source.closingAfterRun;
}

}  // namespace qx
