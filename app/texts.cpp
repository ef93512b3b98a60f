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

// The console program's own wording. Like the window's texts, every one of them fits Windows-1251.
constexpr ConsoleTexts CONSOLE_ENGLISH = {
    .helpIntro = "QX2205R-cli: reads or switches the instrument's heterogeneity search mode over IrDA.",
    .helpUsage = "Usage:",
    .helpOptions = "Options:",
    .helpCommandArguments = "[options]",
    .helpStatus = "read the configuration word; nothing is written",
    .helpEnable = "switch the search mode on (sets bit 8 of the word)",
    .helpDisable = "switch the search mode off (clears bit 8 of the word)",
    .helpHelp = "this text",
    .helpYes = "do not ask for confirmation before enable or disable",
    .helpJson = "print one JSON object on standard output instead of text",
    .helpTrace =
        "print every platform call and every frame, with milliseconds since\n"
        "start, on standard error",
    .helpSettings =
        "the settings file to take the language from (default: QX2205R.ini\n"
        "beside the program); it is read, never written or created",
    .helpSettingsValue = "PATH",
    .helpPort =
        "reach the instrument through a serial IrDA adapter on this COM port\n"
        "(COM1 ... COM256) instead of the settings file's Port",
    .helpPortValue = "COMn",
    .helpCapture =
        "write every IrDA frame of the serial adapter to this file, for\n"
        "Wireshark (pcap); with a COM port only",
    .helpCaptureValue = "FILE",
    .helpExitCodes =
        "Exit codes:\n"
        "  0  done: the word was read, or written and acknowledged\n"
        "  1  the run failed; the reason is printed\n"
        "  2  usage error\n"
        "  3  cancelled at the confirmation\n"
        "  4  interrupted (Ctrl+C or the console closed)\n",
    .usageHint = "Run QX2205R-cli --help for the commands and options.",
    .unknownOption = "unknown option: {}",
    .unknownCommand = "unknown command: {}",
    .noCommand = "no command given: {}",
    .secondCommand = "one command at a time: {}",
    .missingValue = "{} needs a value",
    .confirmQuestion = "Type OK and press Enter to go on, anything else to cancel: ",
    .deviceLabel = "Device",
    .wordLabel = "Configuration word",
    .wordSentLabel = "Word sent",
    .searchModeLabel = "Search mode",
    .modeOn = "on",
    .modeOff = "off",
    .modeUnknown = "unknown",
    .reasonLabel = "Reason",
    .readNotDone = "The configuration word was not read",
    .cancelled = "Cancelled at the confirmation: nothing was sent to the instrument",
    .interrupting = "Interrupted: the step under way is finished and the link closed first",
    .interruptedIdle = "Interrupted: nothing was sent to the instrument",
    .interrupted = "Interrupted",
    .loopbackActive =
        "IrDA loopback emulation is on (QX2205R_IRDA_LOOPBACK): the instrument is reached at "
        "127.0.0.1:{}, not over IrDA",
    .reasonNoSockets = "the socket library (Winsock) would not start",
    .reasonSocketFailed =
        "the IrDA socket could not be made (error {}): this PC has no IrDA adapter or no IrDA support",
    .reasonSearchFailed = "the search for devices failed (error {})",
    .reasonNoDevice = "no IrDA device answered the search",
    .reasonConnectFailed = "connecting to the device or its greeting failed (code {})",
    .reasonReadFailed = "the configuration word could not be read; nothing was written",
    .reasonNotWritten = "the configuration word was read; no write was sent",
    .reasonWriteRefused = "the instrument refused the new word and keeps the word read",
    .reasonWriteUnconfirmed =
        "the new word was sent but not acknowledged: the instrument may hold either word; run status to see "
        "which",
};

constexpr ConsoleTexts CONSOLE_RUSSIAN = {
    .helpIntro = "QX2205R-cli: читает или переключает режим поиска неоднородностей прибора через IrDA.",
    .helpUsage = "Запуск:",
    .helpOptions = "Параметры:",
    .helpCommandArguments = "[параметры]",
    .helpStatus = "прочитать слово конфигурации; ничего не записывается",
    .helpEnable = "включить режим поиска (установить бит 8 слова)",
    .helpDisable = "выключить режим поиска (сбросить бит 8 слова)",
    .helpHelp = "эта справка",
    .helpYes = "не спрашивать подтверждения перед enable и disable",
    .helpJson = "вывести вместо текста один объект JSON в стандартный вывод",
    .helpTrace =
        "выводить каждый вызов платформы и каждый кадр, с миллисекундами\n"
        "от запуска, в стандартный поток ошибок",
    .helpSettings =
        "файл настроек, из которого берётся язык (по умолчанию QX2205R.ini\n"
        "рядом с программой); он только читается, не записывается и не создаётся",
    .helpSettingsValue = "ПУТЬ",
    .helpPort =
        "связываться с прибором через последовательный адаптер IrDA на этом\n"
        "COM-порту (COM1 ... COM256) вместо Port из файла настроек",
    .helpPortValue = "ПОРТ",
    .helpCapture =
        "записывать каждый кадр IrDA последовательного адаптера в этот файл\n"
        "для Wireshark (pcap); только с COM-портом",
    .helpCaptureValue = "ФАЙЛ",
    .helpExitCodes =
        "Коды завершения:\n"
        "  0  выполнено: слово прочитано, или записано и подтверждено\n"
        "  1  обмен не удался; причина выводится\n"
        "  2  ошибка в командной строке\n"
        "  3  отменено при подтверждении\n"
        "  4  прервано (Ctrl+C или закрытие консоли)\n",
    .usageHint = "Команды и параметры: QX2205R-cli --help",
    .unknownOption = "неизвестный параметр: {}",
    .unknownCommand = "неизвестная команда: {}",
    .noCommand = "не указана команда: {}",
    .secondCommand = "только одна команда за раз: {}",
    .missingValue = "{} требует значения",
    .confirmQuestion = "Введите OK и нажмите Enter, чтобы продолжить; любой другой ответ отменяет: ",
    .deviceLabel = "Устройство",
    .wordLabel = "Слово конфигурации",
    .wordSentLabel = "Отправлено слово",
    .searchModeLabel = "Режим поиска",
    .modeOn = "включён",
    .modeOff = "выключен",
    .modeUnknown = "неизвестен",
    .reasonLabel = "Причина",
    .readNotDone = "Слово конфигурации не прочитано",
    .cancelled = "Отменено при подтверждении: прибору ничего не отправлено",
    .interrupting = "Прерывание: текущий шаг будет завершён, связь закрыта",
    .interruptedIdle = "Прервано: прибору ничего не отправлено",
    .interrupted = "Прервано",
    .loopbackActive =
        "Включена эмуляция IrDA (QX2205R_IRDA_LOOPBACK): обмен с прибором идёт через "
        "127.0.0.1:{}, а не через IrDA",
    .reasonNoSockets = "не запускается библиотека сокетов (Winsock)",
    .reasonSocketFailed =
        "не удалось создать сокет IrDA (ошибка {}): на этом компьютере нет адаптера или поддержки IrDA",
    .reasonSearchFailed = "поиск устройств не удался (ошибка {})",
    .reasonNoDevice = "ни одно устройство IrDA не ответило на поиск",
    .reasonConnectFailed = "не удалось подключиться к устройству или обменяться приветствием (код {})",
    .reasonReadFailed = "слово конфигурации не прочитано; ничего не записано",
    .reasonNotWritten = "слово конфигурации прочитано; запись не отправлялась",
    .reasonWriteRefused = "прибор отказался принять новое слово и хранит прочитанное",
    .reasonWriteUnconfirmed =
        "новое слово отправлено, но прибор не подтвердил запись: он может хранить любое "
        "из двух слов; проверьте командой status",
};

// CONSOLE_TEXT_FIELDS names every field: nothing else is in the structure.
static_assert(sizeof(ConsoleTexts) == std::size(CONSOLE_TEXT_FIELDS) * sizeof(std::string_view));

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

const ConsoleTexts& ConsoleTextsFor(int language) {
    return language == LANGUAGE_RUSSIAN ? CONSOLE_RUSSIAN : CONSOLE_ENGLISH;
}

std::string Fill(std::string_view text, std::string_view value) {
    std::string result(text);
    if (const std::size_t at = result.find("{}"); at != std::string::npos) {
        result.replace(at, 2, value);
    }
    return result;
}

}  // namespace qx
