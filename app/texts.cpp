#include "app/texts.h"

#include "app/console_options.h"

#include <algorithm>
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
    std::string_view readModeItem;
    std::string_view settingsNotUsed;
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
        "Read the instrument's mode",
        "settings not used: no [Parameters] section in {file}",
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
        "Прочитать режим прибора",
        "настройки не использованы: в {file} нет раздела [Parameters]",
        Script::Cyrillic,
    },
}};

// The console program's own wording, English then Russian. Like the window's texts, every one of them fits
// Windows-1251.
struct ConsoleTextRow {
    ConsoleText text;
    std::string_view english;
    std::string_view russian;
};

constexpr ConsoleTextRow CONSOLE_TEXT_ROWS[] = {
    {ConsoleText::HelpIntro,
     "{program}: reads or switches the instrument's heterogeneity search mode over IrDA.",
     "{program}: читает или переключает режим поиска неоднородностей прибора через IrDA."},
    {ConsoleText::HelpUsage, "Usage:", "Запуск:"},
    {ConsoleText::HelpOptions, "Options:", "Параметры:"},
    {ConsoleText::HelpCommandArguments, "[options]", "[параметры]"},
    {ConsoleText::HelpStatus, "read the configuration word; nothing is written",
     "прочитать слово конфигурации; ничего не записывается"},
    {ConsoleText::HelpEnable, "switch the search mode on (sets bit 8 of the word)",
     "включить режим поиска (установить бит 8 слова)"},
    {ConsoleText::HelpDisable, "switch the search mode off (clears bit 8 of the word)",
     "выключить режим поиска (сбросить бит 8 слова)"},
    {ConsoleText::HelpPorts,
     "list the COM ports and, for each that opens, the IrDA devices a serial\n"
     "adapter on it finds (exit code 0 when one answered)",
     "показать COM-порты и для каждого открывшегося устройства IrDA,\n"
     "найденные адаптером на нём (код 0, если кто-то ответил)"},
    {ConsoleText::HelpUsePort,
     "store {--port} COMn as the settings file's Port, for the window too\n"
     "({--port} none removes it: back to Windows' IrDA); nothing else in\n"
     "the file changes, a missing file is created, and a file that is not\n"
     "the program's own is left as it is",
     "записать {--port} COMn в Port файла настроек, и для окна тоже\n"
     "({--port} none удаляет его: снова IrDA Windows); остальное в файле\n"
     "не меняется, отсутствующий файл создаётся, а чужой файл не\n"
     "трогается"},
    {ConsoleText::HelpHelp, "this text", "эта справка"},
    {ConsoleText::HelpVersion, "the version, the 32-bit or 64-bit build and the commit it was built from",
     "версия, 32- или 64-битная сборка и коммит, из которого она собрана"},
    {ConsoleText::HelpYes, "do not ask for confirmation before {enable} or {disable}",
     "не спрашивать подтверждения перед {enable} и {disable}"},
    {ConsoleText::HelpJson, "print one JSON object on standard output instead of text",
     "вывести вместо текста один объект JSON в стандартный вывод"},
    {ConsoleText::HelpTrace,
     "print the platform calls and every frame, labelled, with milliseconds\nsince start, on "
     "standard error; repeated discovery tries are folded",
     "выводить вызовы платформы и каждый кадр с подписью, с миллисекундами\nот запуска, в "
     "стандартный поток ошибок; повторы поиска сворачиваются"},
    {ConsoleText::HelpTraceAll, "the same with every call: each discovery try and the clock readings",
     "то же со всеми вызовами: каждая попытка поиска и показания часов"},
    {ConsoleText::HelpQuiet, "print the result only, without the progress lines",
     "выводить только результат, без строк о ходе работы"},
    {ConsoleText::HelpSettings,
     "the settings file to take the language and the Port from (default:\n"
     "QX2205R.ini beside the program); only {use-port} writes it",
     "файл настроек, из которого берутся язык и Port (по умолчанию\n"
     "QX2205R.ini рядом с программой); записывает его только {use-port}"},
    {ConsoleText::HelpSettingsValue, "PATH", "ПУТЬ"},
    {ConsoleText::HelpPort,
     "reach the instrument through a serial IrDA adapter on this COM port\n"
     "(COM1 ... COM256) instead of the settings file's Port",
     "связываться с прибором через последовательный адаптер IrDA на этом\n"
     "COM-порту (COM1 ... COM256) вместо Port из файла настроек"},
    {ConsoleText::HelpPortValue, "COMn", "ПОРТ"},
    {ConsoleText::HelpAdapter,
     "how the serial adapter's DTR and RTS are set, instead of the settings\n"
     "file's Adapter: power (both on, the default), esi (ESI-9680: DTR off,\n"
     "RTS on), mcp2120 (both off) or none (left as they are)",
     "как выставлять DTR и RTS последовательного адаптера вместо Adapter из\n"
     "файла настроек: power (обе включены, по умолчанию), esi (ESI-9680: DTR\n"
     "выключена, RTS включена), mcp2120 (обе выключены) или none (не трогать)"},
    {ConsoleText::HelpAdapterValue, "PROFILE", "ПРОФИЛЬ"},
    {ConsoleText::HelpCapture,
     "write every IrDA frame of the serial adapter to this file, for\n"
     "Wireshark (pcap); with a COM port only. The file is made before\n"
     "anything is sent and is put in place only when it holds frames;\n"
     "an existing file that is not a capture is never replaced",
     "записывать каждый кадр IrDA последовательного адаптера в этот файл\n"
     "для Wireshark (pcap); только с COM-портом. Файл создаётся до\n"
     "отправки чего-либо и ставится на место, только если в нём есть\n"
     "кадры; существующий файл, не являющийся записью, не заменяется"},
    {ConsoleText::HelpCaptureValue, "FILE", "ФАЙЛ"},
    {ConsoleText::UsageHint, "Run {program} {--help} for the commands and options.",
     "Команды и параметры: {program} {--help}"},
    {ConsoleText::UnknownOption, "unknown option: {}", "неизвестный параметр: {}"},
    {ConsoleText::UnknownCommand, "unknown command: {}", "неизвестная команда: {}"},
    {ConsoleText::NoCommand, "no command given: {}", "не указана команда: {}"},
    {ConsoleText::SecondCommand, "one command at a time: {}", "только одна команда за раз: {}"},
    {ConsoleText::MissingValue, "{} needs a value", "{} требует значения"},
    {ConsoleText::SettingsMissing, "no settings file {}", "нет файла настроек {}"},
    {ConsoleText::DidYouMean, "did you mean {}?", "возможно, имелось в виду {}?"},
    {ConsoleText::ConfirmPrompt,
     "Set the instrument in PC communication mode, its infrared window facing the IrDA "
     "adapter.",
     "Установите прибор в режим ИК связи, ИК окном к адаптеру IrDA."},
    {ConsoleText::ConfirmQuestion, "Type OK and press Enter to go on, anything else to cancel: ",
     "Введите OK и нажмите Enter, чтобы продолжить; любой другой ответ отменяет: "},
    {ConsoleText::DeviceLabel, "Device", "Устройство"},
    {ConsoleText::WordLabel, "Configuration word", "Слово конфигурации"},
    {ConsoleText::WordSentLabel, "Word sent", "Отправлено слово"},
    {ConsoleText::SearchModeLabel, "Search mode", "Режим поиска"},
    {ConsoleText::ModeOn, "on", "включён"},
    {ConsoleText::ModeOff, "off", "выключен"},
    {ConsoleText::ModeUnknown, "unknown", "неизвестен"},
    {ConsoleText::ReasonLabel, "Reason", "Причина"},
    {ConsoleText::ReadNotDone, "The configuration word was not read", "Слово конфигурации не прочитано"},
    {ConsoleText::WriteUnconfirmed,
     "Write sent, not confirmed: run {program} {status} to see what the instrument holds",
     "Запись отправлена, но не подтверждена: проверьте командой {program} {status}, что "
     "хранит прибор"},
    {ConsoleText::Interrupting, "Interrupted: the step under way is finished and the link closed first",
     "Прерывание: текущий шаг будет завершён, связь закрыта"},
    {ConsoleText::InterruptedIdle, "Interrupted before anything was sent to the instrument",
     "Прервано до того, как прибору что-либо было отправлено"},
    {ConsoleText::Interrupted, "Interrupted", "Прервано"},
    {ConsoleText::LoopbackActive,
     "IrDA loopback emulation is on (QX2205R_IRDA_LOOPBACK): the instrument is reached at "
     "127.0.0.1:{}, not over IrDA",
     "Включена эмуляция IrDA (QX2205R_IRDA_LOOPBACK): обмен с прибором идёт через "
     "127.0.0.1:{}, а не через IrDA"},
    {ConsoleText::PortsNone, "No COM ports found", "COM-порты не найдены"},
    {ConsoleText::PortDevice, "{}: {} (address {})", "{}: {} (адрес {})"},
    {ConsoleText::PortNoDevice, "{}: no IrDA device answered", "{}: ни одно устройство IrDA не ответило"},
    {ConsoleText::PortOpenFailed, "{}: cannot be opened (error {})", "{}: не открывается (ошибка {})"},
    {ConsoleText::PortSearchFailed, "{}: the search failed (error {})", "{}: поиск не удался (ошибка {})"},
    {ConsoleText::PortStored, "Port={} stored in {}", "Port={} записан в {}"},
    {ConsoleText::PortNotStored, "The settings file {} could not be written",
     "Не удалось записать файл настроек {}"},
    {ConsoleText::PortMissing,
     "{use-port} needs {--port} COM1 ... COM256, or {--port} none to remove the key",
     "{use-port} требует {--port} COM1 ... COM256 или {--port} none, чтобы удалить ключ"},
    {ConsoleText::PortProfile, "{}: answered with the adapter profile {}",
     "{}: ответило с профилем адаптера {}"},
    {ConsoleText::AdapterUnknown,
     "Adapter={} is no adapter profile: the Adapter key and {--adapter} take power, esi, mcp2120 or none",
     "Adapter={} не профиль адаптера: ключ Adapter и {--adapter} принимают power, esi, mcp2120 или none"},
    {ConsoleText::HelpExitCodes, "Exit codes:", "Коды завершения:"},
    {ConsoleText::ExitDone, "done: the word was read, or written and acknowledged",
     "выполнено: слово прочитано, или записано и подтверждено"},
    {ConsoleText::ExitRunFailed, "the run failed; the reason is printed",
     "обмен не удался; причина выводится"},
    {ConsoleText::ExitUsage, "usage error", "ошибка в командной строке"},
    {ConsoleText::ExitCancelled, "cancelled at the confirmation", "отменено при подтверждении"},
    {ConsoleText::ExitInterrupted, "interrupted (Ctrl+C or the console closed)",
     "прервано (Ctrl+C или закрытие консоли)"},
    {ConsoleText::LinkLabel, "Reached through", "Связь через"},
    {ConsoleText::LinkWinsock, "Windows' IrDA", "IrDA Windows"},
    {ConsoleText::LinkSerial, "serial IrDA adapter on {port}", "последовательный адаптер IrDA на {port}"},
    {ConsoleText::LinkInvalidPort, "Port value \"{port}\", not a COM port",
     "значение Port \"{port}\", не COM-порт"},
    {ConsoleText::LinkLoopback, "IrDA loopback emulation, 127.0.0.1:{port}",
     "эмуляция IrDA, 127.0.0.1:{port}"},
    {ConsoleText::SettingsNotUsed, "settings not used: no [Parameters] section in {file}",
     "настройки не использованы: в {file} нет раздела [Parameters]"},
    {ConsoleText::PortNotOurs,
     "{file} is not this program's settings file (it is not empty and has no [Parameters] section): nothing "
     "was written",
     "{file} - не файл настроек этой программы (он не пуст и в нём нет раздела [Parameters]): ничего не "
     "записано"},
    {ConsoleText::PortRemoved, "Port removed from {file}: Windows' IrDA is used",
     "Port удалён из {file}: используется IrDA Windows"},
    {ConsoleText::CaptureNotMade, "the capture {file} cannot be written: {reason}",
     "файл записи {file} не создаётся: {reason}"},
    {ConsoleText::CaptureNeedsPort,
     "{--capture} records the program's own IrDA stack: give {--port} COMn, or store one with {use-port}",
     "{--capture} записывает собственный стек IrDA программы: укажите {--port} COMn или сохраните порт "
     "командой {use-port}"},
    {ConsoleText::CaptureIsFolder, "it is a folder", "это папка"},
    {ConsoleText::CaptureNotForCommand, "{--capture} goes with {status}, {enable} and {disable}",
     "{--capture} применяется с {status}, {enable} и {disable}"},
    {ConsoleText::CaptureNotACapture,
     "{file} exists and is not a capture: it is not replaced; name another file",
     "{file} существует и не является записью обмена: он не заменяется; укажите другой файл"},
    {ConsoleText::CaptureWritten, "Capture: {file}, {count} frames",
     "Запись обмена: {file}, кадров: {count}"},
    {ConsoleText::CaptureNothing, "Capture: no frame was captured; {file} is left as it was",
     "Запись обмена: ни одного кадра; {file} оставлен как был"},
};

constexpr bool RowsFollowTheEnum() {
    for (std::size_t i = 0; i < std::size(CONSOLE_TEXT_ROWS); ++i) {
        if (static_cast<std::size_t>(CONSOLE_TEXT_ROWS[i].text) != i) {
            return false;
        }
    }
    return std::size(CONSOLE_TEXT_ROWS) == CONSOLE_TEXT_COUNT;
}
static_assert(RowsFollowTheEnum(), "one row per ConsoleText, in the enum's order");

constexpr ConsoleTexts CONSOLE_ENGLISH{0};
constexpr ConsoleTexts CONSOLE_RUSSIAN{1};

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
    texts.readModeItem = source.readModeItem;
    texts.settingsNotUsed = source.settingsNotUsed;
    texts.language = language;
    texts.script = source.script;
}

std::string ConsoleTexts::operator[](ConsoleText text) const {
    const ConsoleTextRow& row = CONSOLE_TEXT_ROWS[static_cast<std::size_t>(text)];
    return NameCommands(column_ == 1 ? row.russian : row.english);
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
