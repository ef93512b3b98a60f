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
    Script script;
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
        Script::Latin,
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
        Script::Cyrillic,
    },
}};

// The console program's own wording, in ConsoleTexts order. Like the window's texts, every one of them fits
// Windows-1251.
constexpr std::array<std::array<std::string_view, 31>, 2> CONSOLE_LANGUAGES = {{
    {
        "QX2205R-cli: reads or switches the instrument's heterogeneity search mode over IrDA.\n"
        "\n"
        "Usage:\n"
        "  QX2205R-cli status  [options]   read the configuration word; nothing is written\n"
        "  QX2205R-cli enable  [options]   switch the search mode on (sets bit 8 of the word)\n"
        "  QX2205R-cli disable [options]   switch the search mode off (clears bit 8 of the word)\n"
        "  QX2205R-cli --help              this text\n"
        "\n"
        "Options:\n"
        "  --yes            do not ask for confirmation before enable or disable\n"
        "  --json           print one JSON object on standard output instead of text\n"
        "  --trace          print every platform call and every frame, with milliseconds since\n"
        "                   start, on standard error\n"
        "  --settings PATH  the settings file to take the language from (default: QX2205R.ini\n"
        "                   beside the program); it is read, never written or created\n"
        "\n"
        "Exit codes:\n"
        "  0  done: the word was read, or written and acknowledged\n"
        "  1  the run failed; the reason is printed\n"
        "  2  usage error\n"
        "  3  cancelled at the confirmation\n"
        "  4  interrupted (Ctrl+C or the console closed)\n",
        "Run QX2205R-cli --help for the commands and options.",
        "unknown option: {}",
        "unknown command: {}",
        "no command given: status, enable or disable",
        "one command at a time: {}",
        "{} needs a value",
        "Type OK and press Enter to go on, anything else to cancel: ",
        "Device",
        "Configuration word",
        "Word sent",
        "Search mode",
        "on",
        "off",
        "unknown",
        "Reason",
        "The configuration word was not read",
        "Cancelled at the confirmation: nothing was sent to the instrument",
        "Interrupted: the step under way is finished and the link closed first",
        "Interrupted: nothing was sent to the instrument",
        "Interrupted",
        "IrDA loopback emulation is on (QX2205R_IRDA_LOOPBACK): the instrument is reached at 127.0.0.1:{}, "
        "not over IrDA",
        "the socket library (Winsock) would not start",
        "the IrDA socket could not be made (error {}): this PC has no IrDA adapter or no IrDA support",
        "the search for devices failed (error {})",
        "no IrDA device answered the search",
        "connecting to the device or its greeting failed (code {})",
        "the configuration word could not be read; nothing was written",
        "the configuration word was read; no write was sent",
        "the instrument refused the new word and keeps the word read",
        "the new word was sent but not acknowledged: the instrument may hold either word; run status to see "
        "which",
    },
    {
        "QX2205R-cli: читает или переключает режим поиска неоднородностей прибора через IrDA.\n"
        "\n"
        "Запуск:\n"
        "  QX2205R-cli status  [параметры]   прочитать слово конфигурации; ничего не записывается\n"
        "  QX2205R-cli enable  [параметры]   включить режим поиска (установить бит 8 слова)\n"
        "  QX2205R-cli disable [параметры]   выключить режим поиска (сбросить бит 8 слова)\n"
        "  QX2205R-cli --help                эта справка\n"
        "\n"
        "Параметры:\n"
        "  --yes            не спрашивать подтверждения перед enable и disable\n"
        "  --json           вывести вместо текста один объект JSON в стандартный вывод\n"
        "  --trace          выводить каждый вызов платформы и каждый кадр, с миллисекундами\n"
        "                   от запуска, в стандартный поток ошибок\n"
        "  --settings ПУТЬ  файл настроек, из которого берётся язык (по умолчанию QX2205R.ini\n"
        "                   рядом с программой); он только читается, не записывается и не создаётся\n"
        "\n"
        "Коды завершения:\n"
        "  0  выполнено: слово прочитано, или записано и подтверждено\n"
        "  1  обмен не удался; причина выводится\n"
        "  2  ошибка в командной строке\n"
        "  3  отменено при подтверждении\n"
        "  4  прервано (Ctrl+C или закрытие консоли)\n",
        "Команды и параметры: QX2205R-cli --help",
        "неизвестный параметр: {}",
        "неизвестная команда: {}",
        "не указана команда: status, enable или disable",
        "только одна команда за раз: {}",
        "{} требует значения",
        "Введите OK и нажмите Enter, чтобы продолжить; любой другой ответ отменяет: ",
        "Устройство",
        "Слово конфигурации",
        "Отправлено слово",
        "Режим поиска",
        "включён",
        "выключен",
        "неизвестен",
        "Причина",
        "Слово конфигурации не прочитано",
        "Отменено при подтверждении: прибору ничего не отправлено",
        "Прерывание: текущий шаг будет завершён, связь закрыта",
        "Прервано: прибору ничего не отправлено",
        "Прервано",
        "Включена эмуляция IrDA (QX2205R_IRDA_LOOPBACK): обмен с прибором идёт через 127.0.0.1:{}, "
        "а не через IrDA",
        "не запускается библиотека сокетов (Winsock)",
        "не удалось создать сокет IrDA (ошибка {}): на этом компьютере нет адаптера или поддержки IrDA",
        "поиск устройств не удался (ошибка {})",
        "ни одно устройство IrDA не ответило на поиск",
        "не удалось подключиться к устройству или обменяться приветствием (код {})",
        "слово конфигурации не прочитано; ничего не записано",
        "слово конфигурации прочитано; запись не отправлялась",
        "прибор отказался принять новое слово и хранит прочитанное",
        "новое слово отправлено, но прибор не подтвердил запись: он может хранить любое из двух слов; "
        "проверьте командой status",
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
    texts.script = source.script;
}

ConsoleTexts ConsoleTextsFor(int language) {
    const auto& t = CONSOLE_LANGUAGES[language == LANGUAGE_RUSSIAN ? 1 : 0];
    std::size_t i = 0;
    const auto next = [&] { return std::string(t[i++]); };
    ConsoleTexts c;
    // In declaration order: the table above lists them so.
    for (std::string* field : {&c.help,
                               &c.usageHint,
                               &c.unknownOption,
                               &c.unknownCommand,
                               &c.noCommand,
                               &c.secondCommand,
                               &c.missingValue,
                               &c.confirmQuestion,
                               &c.deviceLabel,
                               &c.wordLabel,
                               &c.wordSentLabel,
                               &c.searchModeLabel,
                               &c.modeOn,
                               &c.modeOff,
                               &c.modeUnknown,
                               &c.reasonLabel,
                               &c.readNotDone,
                               &c.cancelled,
                               &c.interrupting,
                               &c.interruptedIdle,
                               &c.interrupted,
                               &c.loopbackActive,
                               &c.reasonNoSockets,
                               &c.reasonSocketFailed,
                               &c.reasonSearchFailed,
                               &c.reasonNoDevice,
                               &c.reasonConnectFailed,
                               &c.reasonReadFailed,
                               &c.reasonNotWritten,
                               &c.reasonWriteRefused,
                               &c.reasonWriteUnconfirmed}) {
        *field = next();
    }
    return c;
}

std::string Fill(std::string_view text, std::string_view value) {
    std::string result(text);
    if (const std::size_t at = result.find("{}"); at != std::string::npos) {
        result.replace(at, 2, value);
    }
    return result;
}

}  // namespace qx
