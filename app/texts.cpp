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
     "list the COM ports and the USB IrDA dongles and, for each that opens,\n"
     "the IrDA devices the adapter on it finds (exit code 0 when one\n"
     "answered). It transmits on each port it probes: 9600 baud, DTR and\n"
     "RTS set for each adapter profile in turn, XID frames, which a modem\n"
     "or another device on that port receives. Name the ports to probe only\n"
     "those: {ports} COM3 COM5",
     "показать COM-порты и USB-адаптеры IrDA и для каждого открывшегося\n"
     "устройства IrDA, найденные адаптером на нём (код 0, если кто-то\n"
     "ответил). Команда передаёт в каждый проверяемый порт: 9600 бод, DTR и\n"
     "RTS по очереди для каждого профиля адаптера, кадры XID, которые\n"
     "получит модем или другое устройство на этом порту. Укажите порты,\n"
     "чтобы проверить только их: {ports} COM3 COM5"},
    {ConsoleText::HelpUsePort,
     "store {--port} COMn as the settings file's Port, for the window too\n"
     "({--port} none removes it: back to Windows' IrDA); nothing else in\n"
     "the file changes, the file beside the program is created when it is\n"
     "missing (a file named with {--settings} must be there), and a file\n"
     "that is not the program's own is left as it is",
     "записать {--port} COMn в Port файла настроек, и для окна тоже\n"
     "({--port} none удаляет его: снова IrDA Windows); остальное в файле\n"
     "не меняется, отсутствующий файл рядом с программой создаётся (файл,\n"
     "указанный в {--settings}, должен существовать), а чужой файл не\n"
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
     "(COM1 ... COM256), or through a USB IrDA dongle: USB (the first one\n"
     "found) or USB:VVVV:PPPP (its vendor and product id), instead of the\n"
     "settings file's Port",
     "связываться с прибором через последовательный адаптер IrDA на этом\n"
     "COM-порту (COM1 ... COM256) или через USB-адаптер IrDA: USB (первый\n"
     "найденный) или USB:VVVV:PPPP (его код производителя и изделия) вместо\n"
     "Port из файла настроек"},
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
     "write every IrDA frame of the adapter to this file, for Wireshark\n"
     "(pcap); with a COM port or a USB dongle only. The file is made before\n"
     "anything is sent and is put in place only when it holds frames;\n"
     "an existing file that is not a capture is never replaced",
     "записывать каждый кадр IrDA адаптера в этот файл для Wireshark\n"
     "(pcap); только с COM-портом или USB-адаптером. Файл создаётся до\n"
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
    {ConsoleText::PortsNone, "No COM ports or USB IrDA dongles found",
     "COM-порты и USB-адаптеры IrDA не найдены"},
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
     "{file} is not a settings file of this program (it is not empty and has no [Parameters] section): it "
     "was left as it was; name the program's settings file with {--settings}",
     "{file} не файл настроек этой программы (он не пуст и в нём нет раздела [Parameters]): он оставлен "
     "как был; укажите файл настроек программы параметром {--settings}"},
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
    {ConsoleText::PortInvalid, "not a COM port name: {} (COM1 ... COM256)",
     "не имя COM-порта: {} (COM1 ... COM256)"},
    {ConsoleText::PortProbing, "Probing {}: 9600 baud, DTR and RTS set for the adapter, XID frames sent",
     "Проверка {}: 9600 бод, DTR и RTS выставлены для адаптера, передаются кадры XID"},
    {ConsoleText::PortProbingDongle, "Probing {}", "Проверка {}"},
    {ConsoleText::PortOpenFailedNamed, "{}: cannot be opened ({})", "{}: не открывается ({})"},
    {ConsoleText::PortStoredMark, " (the Port in the settings)", " (Port в файле настроек)"},
    {ConsoleText::PortSuggestUse, "To use it for every run: {program} {use-port} {--port} {}",
     "Чтобы использовать его всегда: {program} {use-port} {--port} {}"},
    {ConsoleText::CaptureNotPlaced,
     "the capture could not be put in place of {file} ({reason}): it stays in {partial}",
     "запись обмена не удалось поместить на место {file} ({reason}): она осталась в {partial}"},
    {ConsoleText::CaptureFailed,
     "Capture failed: {file} was not written ({reason}); {file} is left as it was",
     "Запись обмена не удалась: {file} не записан ({reason}); {file} оставлен как был"},
    {ConsoleText::CaptureReplacedOther,
     "Capture: {file}, {count} frames; it replaced a capture another run put there while this one went on",
     "Запись обмена: {file}, кадров: {count}; она заменила запись, которую туда поместил другой запуск, пока "
     "шёл этот"},
    {ConsoleText::NotARegularFile, "it is not a regular file", "это не обычный файл"},
    {ConsoleText::SettingsRefused, "the settings file {file} is not read: {reason}",
     "файл настроек {file} не читается: {reason}"},
    {ConsoleText::SettingsTooLarge, "it is larger than {limit} bytes, far more than a settings file holds",
     "он больше {limit} байт, намного больше любого файла настроек"},
    {ConsoleText::LinkUsb, "USB IrDA dongle {port}", "USB-адаптер IrDA {port}"},
    {ConsoleText::HelpForce, "with use-port: store the port even where it is not there now",
     "с use-port: записать порт, даже если его сейчас нет"},
    {ConsoleText::PortNotThere,
     "{port} is not there ({error}): nothing was stored. Plug the adapter in and check the path with "
     "{program} {ports}, or give {--force} to store it all the same",
     "{port} нет ({error}): ничего не записано. Подключите адаптер и проверьте путь командой {program} "
     "{ports} или укажите {--force}, чтобы записать его всё равно"},
    {ConsoleText::PortNotADevice,
     "{port} is not a serial device ({what}): nothing was stored. Name the adapter's device ({program} "
     "{ports} lists them), or give {--force} to store it all the same",
     "{port} не последовательное устройство ({what}): ничего не записано. Укажите устройство адаптера "
     "({program} {ports} их показывает) или укажите {--force}, чтобы записать его всё равно"},
    {ConsoleText::PortIsFolder, "a folder", "папка"},
    {ConsoleText::PortIsFile, "a regular file", "обычный файл"},
    {ConsoleText::SettingsReadFrom, "Settings: {file}", "Настройки: {file}"},
    {ConsoleText::SettingsNoneThere, "Settings: {file} (not there: none were read)",
     "Настройки: {file} (файла нет: ничего не прочитано)"},
    {ConsoleText::PermissionNewLogin,
     "permission denied: {port} belongs to the group {group}, which your user joined after this login: log "
     "out and in again (or run newgrp {group}) and retry",
     "нет доступа: {port} принадлежит группе {group}, в которую пользователь добавлен после входа в "
     "систему: выйдите и войдите снова (или выполните newgrp {group}) и повторите"},
    {ConsoleText::PermissionNotInGroup,
     "permission denied: {port} belongs to the group {group}, and your user is not in it: add it (sudo "
     "usermod -aG {group} $USER), log out and in again, and retry",
     "нет доступа: {port} принадлежит группе {group}, а пользователь в неё не входит: добавьте его (sudo "
     "usermod -aG {group} $USER), выйдите и войдите снова и повторите"},
    {ConsoleText::PermissionGroupMayNot,
     "permission denied: {port} belongs to the group {group}, which may not use it either: run as its "
     "owner, or have the administrator give the device to the dialout group (a udev rule)",
     "нет доступа: {port} принадлежит группе {group}, которой он тоже недоступен: запускайте от имени "
     "его владельца или попросите администратора отдать устройство группе dialout (правилом udev)"},
    {ConsoleText::HelpDevice,
     "with several IrDA devices in range, use this one: its name or its\n"
     "address (0x0A0B0C0D), as the report lists them",
     "если рядом несколько устройств IrDA, работать с этим: его имя или\n"
     "адрес (0x0A0B0C0D), как их показывает отчёт"},
    {ConsoleText::HelpDeviceValue, "DEVICE", "УСТРОЙСТВО"},
    {ConsoleText::DevicesLabel, "Devices in range", "Устройства рядом"},
    {ConsoleText::DeviceUsedMark, "used", "использован"},
    {ConsoleText::DevicePassedOverMark, "passed over: not the instrument", "пропущен: не прибор"},
    {ConsoleText::DeviceInstrumentMark, "another instrument, not used", "другой прибор, не использован"},
    {ConsoleText::DeviceFailedMark, "connection failed", "подключение не удалось"},
    {ConsoleText::DeviceNotTriedMark, "not tried", "не опрошен"},
    {ConsoleText::DongleUdevRule,
     "this user may not open the dongle: the package's udev rule {rules} opens it to the user at the desk "
     "(install the package, then plug the dongle in again). Without the package, put this line in "
     "/etc/udev/rules.d/70-irda-dongle.rules, run sudo udevadm control --reload and plug the dongle in "
     "again:\n    {rule}",
     "у пользователя нет доступа к адаптеру: правило udev из пакета {rules} открывает его пользователю за "
     "компьютером (установите пакет и подключите адаптер заново). Без пакета запишите эту строку в "
     "/etc/udev/rules.d/70-irda-dongle.rules, выполните sudo udevadm control --reload и подключите адаптер "
     "заново:\n    {rule}"},
    {ConsoleText::HelpLanguage,
     "the language of the program's texts, instead of the settings file's\n"
     "Language",
     "язык текстов программы, en или ru, вместо Language из файла\n"
     "настроек"},
    {ConsoleText::HelpLanguageValue, "en|ru", "ЯЗЫК"},
    {ConsoleText::LanguageInvalid, "{--language} takes en or ru, not {}",
     "{--language} принимает en или ru, а не {}"},
    {ConsoleText::InterruptingNothingSent,
     "Interrupted: nothing was sent to the instrument yet, so the run ends now",
     "Прерывание: прибору ещё ничего не отправлено, работа завершается сразу"},
    {ConsoleText::PortProbed, "{}: 9600 baud, DTR and RTS set for the adapter, XID frames sent",
     "{}: 9600 бод, DTR и RTS выставлены для адаптера, переданы кадры XID"},
    {ConsoleText::HelpAll,
     "with {status}: read every instrument in range, one after the other,\n"
     "one line each; nothing is written to any",
     "с {status}: прочитать все приборы рядом, один за другим, по строке\n"
     "на каждый; ни в один ничего не записывается"},
    {ConsoleText::AllMisplaced,
     "{--all} goes with {status} alone and reads every instrument (not with {}): to switch one, name it "
     "with {--device}",
     "{--all} указывается только с {status} и читает все приборы (не с {}): чтобы переключить один, "
     "укажите его в {--device}"},
    {ConsoleText::InstrumentRead, "{device} {address}: configuration word {word}, search mode {mode}",
     "{device} {address}: слово конфигурации {word}, режим поиска {mode}"},
    {ConsoleText::InstrumentNotRead, "{device} {address}: not read ({why})",
     "{device} {address}: не прочитан ({why})"},
    {ConsoleText::WordNotReadMark, "the word could not be read", "слово не прочитано"},
};

// On Linux: the texts that speak of ports, settings and adapters, in Linux's terms. Every text not here is
// the one above.
constexpr ConsoleTextRow LINUX_TEXT_ROWS[] = {
    {ConsoleText::HelpPorts,
     "list the serial devices (their /dev/serial/by-id/ names where they have\n"
     "one) and the USB IrDA dongles and, for each that opens, the IrDA\n"
     "devices the adapter on it finds (exit code 0 when one answered). It\n"
     "transmits on each device it probes: 9600 baud, DTR and RTS set for\n"
     "each adapter profile in turn, XID frames, which a modem or another\n"
     "device there receives. Name the devices to probe only those:\n"
     "{ports} /dev/ttyUSB0",
     "показать последовательные устройства (с именами из /dev/serial/by-id/,\n"
     "где они есть) и USB-адаптеры IrDA и для каждого открывшегося\n"
     "устройства IrDA, найденные адаптером на нём (код 0, если кто-то\n"
     "ответил). Команда передаёт в каждое проверяемое устройство: 9600 бод,\n"
     "DTR и RTS по очереди для каждого профиля адаптера, кадры XID, которые\n"
     "получит модем или другое устройство там. Укажите устройства, чтобы\n"
     "проверить только их: {ports} /dev/ttyUSB0"},
    {ConsoleText::HelpUsePort,
     "store {--port} DEVICE as the settings file's Port, for every later run\n"
     "({--port} none removes it); nothing else in the file changes, a\n"
     "missing file is created, and a file that is not the program's own is\n"
     "left as it is",
     "записать {--port} УСТРОЙСТВО в Port файла настроек для следующих\n"
     "запусков ({--port} none удаляет его); остальное в файле не меняется,\n"
     "отсутствующий файл создаётся, а чужой файл не трогается"},
    {ConsoleText::HelpSettings,
     "the settings file to take the language and the port from (default:\n"
     "$XDG_CONFIG_HOME/qx2205r/QX2205R.ini, else ~/.config/qx2205r/QX2205R.ini);\n"
     "only {use-port} writes it",
     "файл настроек, из которого берутся язык и порт (по умолчанию\n"
     "$XDG_CONFIG_HOME/qx2205r/QX2205R.ini, иначе ~/.config/qx2205r/QX2205R.ini);\n"
     "записывает его только {use-port}"},
    {ConsoleText::HelpPort,
     "reach the instrument through a serial IrDA adapter on this device\n"
     "(/dev/ttyUSB0, /dev/ttyS0, a /dev/serial/by-id/ link), or through a USB\n"
     "IrDA dongle: USB (the first one found) or USB:VVVV:PPPP (its vendor\n"
     "and product id), instead of the settings file's Port",
     "связываться с прибором через последовательный адаптер IrDA на этом\n"
     "устройстве (/dev/ttyUSB0, /dev/ttyS0, ссылка из /dev/serial/by-id/) или\n"
     "через USB-адаптер IrDA: USB (первый найденный) или USB:VVVV:PPPP (его\n"
     "код производителя и изделия) вместо Port из файла настроек"},
    {ConsoleText::HelpPortValue, "DEVICE", "УСТРОЙСТВО"},
    {ConsoleText::HelpCapture,
     "write every IrDA frame of the adapter to this file, for Wireshark\n"
     "(pcap); with a serial device or a USB dongle only. The file is made\n"
     "before anything is sent and is put in place only when it holds\n"
     "frames; an existing file that is not a capture is never replaced",
     "записывать каждый кадр IrDA адаптера в этот файл для Wireshark\n"
     "(pcap); только с последовательным устройством или USB-адаптером. Файл\n"
     "создаётся до отправки чего-либо и ставится на место, только если в\n"
     "нём есть кадры; существующий файл, не являющийся записью, не заменяется"},
    {ConsoleText::ExitInterrupted, "interrupted (Ctrl+C, or the terminal closed)",
     "прервано (Ctrl+C или закрытие терминала)"},
    {ConsoleText::PortsNone,
     "No serial devices or USB IrDA dongles found: plug in the IrDA adapter and see whether dmesg shows it "
     "(as ttyUSB0, ttyACM0 or ttyS0) or lsusb lists it",
     "Последовательные устройства и USB-адаптеры IrDA не найдены: подключите адаптер IrDA и проверьте, "
     "показывает ли его dmesg (как ttyUSB0, ttyACM0 или ttyS0) или lsusb"},
    {ConsoleText::PortMissing,
     "{use-port} needs {--port} and the adapter's device, e.g. {--port} /dev/ttyUSB0, or {--port} none to "
     "remove the key",
     "{use-port} требует {--port} и устройство адаптера, например {--port} /dev/ttyUSB0, или {--port} none, "
     "чтобы удалить ключ"},
    {ConsoleText::LinkWinsock, "no adapter chosen (Linux has no IrDA of its own)",
     "адаптер не выбран (своей поддержки IrDA в Linux нет)"},
    {ConsoleText::LinkSerial, "serial IrDA adapter on {port}", "последовательный адаптер IrDA на {port}"},
    {ConsoleText::LinkInvalidPort, "Port value \"{port}\", not a device path",
     "значение Port \"{port}\", не путь к устройству"},
    {ConsoleText::PortRemoved, "Port removed from {file}", "Port удалён из {file}"},
    {ConsoleText::CaptureNeedsPort,
     "{--capture} records the program's own IrDA stack: give {--port} and the adapter's device, or store it "
     "with {use-port}",
     "{--capture} записывает собственный стек IrDA программы: укажите {--port} и устройство адаптера или "
     "сохраните его командой {use-port}"},
    {ConsoleText::HelpForce,
     "with use-port: store the device even where it is not there now or is\n"
     "no serial device (use-port refuses such a path without it)",
     "с use-port: записать устройство, даже если его сейчас нет или это не\n"
     "последовательное устройство (без него use-port такой путь не записывает)"},
    {ConsoleText::HelpLanguage,
     "the language of the program's texts, instead of the settings file's\n"
     "Language; without either, Russian where LC_ALL, LC_MESSAGES or LANG\n"
     "(the first one set) begins with ru, else English",
     "язык текстов программы, en или ru, вместо Language из файла\n"
     "настроек; без них русский, если LC_ALL, LC_MESSAGES или LANG\n"
     "(первая заданная) начинается с ru, иначе английский"},
    {ConsoleText::PortInvalid,
     "not a device path: {} (on Linux the adapter is named by its device, e.g. /dev/ttyUSB0 or a "
     "/dev/serial/by-id/ link, not COMn)",
     "это не путь к устройству: {} (в Linux адаптер называется своим устройством, например /dev/ttyUSB0 "
     "или ссылкой из /dev/serial/by-id/, а не COMn)"},
};

// What to do about a port that would not open, by the Windows error code the serial-port seam reports.
struct PortAdvice {
    std::uint32_t error;
    std::string_view english;
    std::string_view russian;
};

constexpr PortAdvice LINUX_PORT_ADVICE[] = {
    {2,
     "no such device: check the path (QX2205R-cli ports lists the serial devices); an adapter "
     "unplugged or not recognised shows in dmesg",
     "нет такого устройства: проверьте путь (QX2205R-cli ports показывает последовательные "
     "устройства); отключённый или не опознанный адаптер виден в dmesg"},
    {5,
     "permission denied: add your user to the dialout group (sudo usermod -aG dialout $USER), "
     "log in again and retry",
     "нет доступа: добавьте пользователя в группу dialout (sudo usermod -aG dialout $USER), "
     "войдите в систему заново и повторите"},
    {32,
     "in use by another program (a terminal program, ModemManager, another QX2205R-cli): close it "
     "and try again",
     "занято другой программой (терминалом, ModemManager, другой QX2205R-cli): закройте её и "
     "повторите"},
    {1, "not a serial device", "это не последовательное устройство"},
    {31, "the device failed: the adapter may have been unplugged; see dmesg",
     "сбой устройства: возможно, адаптер отключён; см. dmesg"},
    {123,
     "not a device path: on Linux the adapter is named by its device, e.g. /dev/ttyUSB0 or a "
     "/dev/serial/by-id/ link, not COMn",
     "это не путь к устройству: в Linux адаптер называется своим устройством, например "
     "/dev/ttyUSB0 или ссылкой из /dev/serial/by-id/, а не COMn"},
    {10047,
     "no serial IrDA adapter chosen, and Linux has no IrDA of its own: name the adapter's device "
     "with --port /dev/ttyUSB0, or store it with use-port (QX2205R-cli ports lists the serial "
     "devices)",
     "не выбран последовательный адаптер IrDA, а своей поддержки IrDA в Linux нет: укажите "
     "устройство адаптера параметром --port /dev/ttyUSB0 или запишите его командой use-port "
     "(QX2205R-cli ports показывает последовательные устройства)"},
};

// The same for a USB dongle named by USB or USB:VVVV:PPPP (irda/usb_dongle.h gives the codes).
constexpr PortAdvice LINUX_USB_ADVICE[] = {
    {2,
     "no USB IrDA dongle found: plug it in (lsusb lists it); QX2205R-cli ports lists the dongles "
     "this program drives",
     "USB-адаптер IrDA не найден: подключите его (lsusb его показывает); QX2205R-cli ports "
     "показывает адаптеры, с которыми работает программа"},
    {5,
     "the USB dongle is not reachable (permission): add the udev rule for it that the user guide "
     "gives, then plug it in again",
     "USB-адаптер недоступен (нет прав): добавьте для него правило udev из руководства "
     "пользователя и подключите его заново"},
    {31, "the USB dongle did not answer as its chip should; unplug it and plug it in again",
     "USB-адаптер ответил не так, как должна его микросхема; отключите и подключите его заново"},
    {1167, "the USB dongle was unplugged during the run", "USB-адаптер отключили во время обмена"},
    {32,
     "the USB dongle is held by another program (another QX2205R-cli, or a tool that opened it): close it "
     "and try again",
     "USB-адаптер занят другой программой (другой QX2205R-cli или программой, открывшей его): закройте её и "
     "повторите"},
};

// On Windows, for a USB dongle; a serial port's reason says enough there.
constexpr PortAdvice WINDOWS_USB_ADVICE[] = {
    {2,
     "no USB IrDA dongle that this program drives was found: plug it in; QX2205R-cli ports lists the "
     "dongles it drives",
     "USB-адаптер IrDA, с которым работает программа, не найден: подключите его; QX2205R-cli ports "
     "показывает такие адаптеры"},
    {5, "the USB dongle is held by another program: close it and try again",
     "USB-адаптер занят другой программой: закройте её и повторите"},
    {50,
     "the USB dongle is not bound to WinUSB: bind it as the user guide's \"USB IrDA dongles\" says, then "
     "plug it in again",
     "USB-адаптер не привязан к WinUSB: привяжите его, как сказано в разделе \"USB IrDA dongles\" "
     "руководства, и подключите заново"},
    {31, "the USB dongle did not answer as its chip should; unplug it and plug it in again",
     "USB-адаптер ответил не так, как должна его микросхема; отключите и подключите его заново"},
    {1167, "the USB dongle was unplugged during the run", "USB-адаптер отключили во время обмена"},
};

template <std::size_t N>
std::string_view AdviceFor(const PortAdvice (&table)[N], int language, std::uint32_t error) {
    for (const PortAdvice& advice : table) {
        if (advice.error == error) {
            return language == LANGUAGE_RUSSIAN ? advice.russian : advice.english;
        }
    }
    return {};
}

constexpr bool RowsFollowTheEnum() {
    for (std::size_t i = 0; i < std::size(CONSOLE_TEXT_ROWS); ++i) {
        if (static_cast<std::size_t>(CONSOLE_TEXT_ROWS[i].text) != i) {
            return false;
        }
    }
    return std::size(CONSOLE_TEXT_ROWS) == CONSOLE_TEXT_COUNT;
}
static_assert(RowsFollowTheEnum(), "one row per ConsoleText, in the enum's order");

constexpr bool LinuxRowsAreTexts() {
    for (const ConsoleTextRow& row : LINUX_TEXT_ROWS) {
        if (static_cast<std::size_t>(row.text) >= CONSOLE_TEXT_COUNT) {
            return false;
        }
    }
    return true;
}
static_assert(LinuxRowsAreTexts());

constexpr ConsoleTexts CONSOLE_ENGLISH{0, HostPlatform::Windows};
constexpr ConsoleTexts CONSOLE_RUSSIAN{1, HostPlatform::Windows};
constexpr ConsoleTexts CONSOLE_LINUX_ENGLISH{0, HostPlatform::Linux};
constexpr ConsoleTexts CONSOLE_LINUX_RUSSIAN{1, HostPlatform::Linux};

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
    const ConsoleTextRow* row = &CONSOLE_TEXT_ROWS[static_cast<std::size_t>(text)];
    if (platform_ == HostPlatform::Linux) {
        const auto onLinux = std::find_if(std::begin(LINUX_TEXT_ROWS), std::end(LINUX_TEXT_ROWS),
                                          [text](const ConsoleTextRow& r) { return r.text == text; });
        if (onLinux != std::end(LINUX_TEXT_ROWS)) {
            row = &*onLinux;
        }
    }
    return NameCommands(column_ == 1 ? row->russian : row->english);
}

const ConsoleTexts& ConsoleTextsFor(int language, HostPlatform platform) {
    if (platform == HostPlatform::Linux) {
        return language == LANGUAGE_RUSSIAN ? CONSOLE_LINUX_RUSSIAN : CONSOLE_LINUX_ENGLISH;
    }
    return language == LANGUAGE_RUSSIAN ? CONSOLE_RUSSIAN : CONSOLE_ENGLISH;
}

std::string_view LinuxErrorName(std::uint32_t portError) {
    // The POSIX binding folds the errno into these codes (posix_serial_port.cpp); each is named by the errno
    // that stands for its kind. The advice that follows says the rest in words, but for EIO.
    switch (portError) {
        case 1:
            return "ENOTTY";
        case 2:
            return "ENOENT";
        case 5:
            return "EACCES";
        case 31:
            return "EIO, input/output error";
        case 32:
            return "EBUSY";
        default:
            return {};
    }
}

std::string_view LinuxErrorName(std::uint32_t portError, int errnoValue) {
    // Linux's errno numbers (asm-generic/errno-base.h), fixed by its ABI.
    struct Named {
        int value;
        std::string_view name;
    };
    static constexpr Named NAMES[] = {{1, "EPERM"},   {2, "ENOENT"},  {5, "EIO, input/output error"},
                                      {6, "ENXIO"},   {11, "EAGAIN"}, {13, "EACCES"},
                                      {16, "EBUSY"},  {19, "ENODEV"}, {20, "ENOTDIR"},
                                      {21, "EISDIR"}, {22, "EINVAL"}, {25, "ENOTTY"},
                                      {30, "EROFS"}};
    for (const Named& named : NAMES) {
        if (named.value == errnoValue) {
            return named.name;
        }
    }
    return LinuxErrorName(portError);
}

std::string_view PortOpenAdvice(int language, HostPlatform platform, std::uint32_t error, bool dongle) {
    if (platform != HostPlatform::Linux) {
        return dongle ? AdviceFor(WINDOWS_USB_ADVICE, language, error) : std::string_view();
    }
    if (dongle) {
        if (const std::string_view advice = AdviceFor(LINUX_USB_ADVICE, language, error); !advice.empty()) {
            return advice;
        }
    }
    return AdviceFor(LINUX_PORT_ADVICE, language, error);
}

std::string Fill(std::string_view text, std::string_view value) {
    std::string result(text);
    if (const std::size_t at = result.find("{}"); at != std::string::npos) {
        result.replace(at, 2, value);
    }
    return result;
}

}  // namespace qx
