#include "app/texts.h"

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
    std::array<std::string_view, RUN_STAGE_COUNT> lastRun;  // in RunStage order
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
        {
            "Last run: word {} written",
            "Last run: cancelled, nothing sent",
            "Last run: Winsock did not start",
            "Last run: no IrDA support (error {})",
            "Last run: search error {}",
            "Last run: no device found",
            "Last run: no answer to the greeting ({})",
            "Last run: word not read, nothing written",
            "Last run: word read, nothing written",
            "Last run: write refused, word unchanged",
            "Last run: write sent, not confirmed: check with status",
        },
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
        {
            "Итог: слово {} записано",
            "Итог: отменено, ничего не отправлено",
            "Итог: не запустился Winsock",
            "Итог: нет поддержки IrDA (ошибка {})",
            "Итог: ошибка поиска {}",
            "Итог: устройство не найдено",
            "Итог: нет ответа на приветствие ({})",
            "Итог: слово не прочитано, записи не было",
            "Итог: слово прочитано, записи не было",
            "Итог: прибор отказал в записи",
            "Итог: запись не подтверждена, проверьте status",
        },
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
    .helpPorts =
        "list the COM ports and, for each that opens, the IrDA devices a serial\n"
        "adapter on it finds (exit code 0 when one answered). It transmits on\n"
        "each port it probes: 9600 baud, DTR and RTS set for each adapter\n"
        "profile in turn, XID frames, which a modem or another device on that\n"
        "port receives. Name the ports to probe only those: ports COM3 COM5",
    .helpUsePort =
        "store --port COMn as the settings file's Port, for the window too;\n"
        "nothing else in the file changes",
    .helpHelp = "this text",
    .helpVersion = "the version, the 32-bit or 64-bit build and the commit it was built from",
    .helpYes = "do not ask for confirmation before enable or disable",
    .helpJson = "print one JSON object on standard output instead of text",
    .helpTrace =
        "print the platform calls and every frame, labelled, with milliseconds\nsince start, on "
        "standard error; repeated discovery tries are folded",
    .helpTraceAll = "the same with every call: each discovery try and the clock readings",
    .helpQuiet = "print the result only, without the progress lines",
    .helpSettings =
        "the settings file to take the language from (default: QX2205R.ini\n"
        "beside the program); it is read, never written or created",
    .helpSettingsValue = "PATH",
    .helpPort =
        "reach the instrument through a serial IrDA adapter on this COM port\n"
        "(COM1 ... COM256), or through a USB IrDA dongle: USB (the first one\n"
        "found) or USB:VVVV:PPPP (its vendor and product id), instead of the\n"
        "settings file's Port",
    .helpPortValue = "COMn",
    .helpAdapter =
        "how the serial adapter's DTR and RTS are set, instead of the settings\n"
        "file's Adapter: power (both on, the default), esi (ESI-9680: DTR off,\n"
        "RTS on), mcp2120 (both off) or none (left as they are)",
    .helpAdapterValue = "PROFILE",
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
    .settingsMissing = "no settings file {}",
    .portInvalid = "not a COM port name: {} (COM1 ... COM256)",
    .didYouMean = "did you mean {}?",
    .confirmPrompt =
        "Set the instrument in PC communication mode, its infrared window facing the IrDA "
        "adapter.",
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
    .writeUnconfirmed = "Write sent, not confirmed: run QX2205R-cli status to see what the instrument holds",
    .cancelled = "Cancelled at the confirmation: nothing was sent to the instrument",
    .interrupting = "Interrupted: the step under way is finished and the link closed first",
    .interruptedIdle = "Interrupted before anything was sent to the instrument",
    .interrupted = "Interrupted",
    .loopbackActive =
        "IrDA loopback emulation is on (QX2205R_IRDA_LOOPBACK): the instrument is reached at "
        "127.0.0.1:{}, not over IrDA",
    .portsNone = "No COM ports found",
    .portDevice = "{}: {} (address {})",
    .portNoDevice = "{}: no IrDA device answered",
    .portOpenFailed = "{}: cannot be opened (error {})",
    .portSearchFailed = "{}: the search failed (error {})",
    .portStored = "Port={} stored in {}",
    .portNotStored = "The settings file {} could not be written",
    .portNotOurs =
        "{} is not a settings file of this program (it is not empty and has no [Parameters] section): it was "
        "left as it was; name the program's settings file with --settings",
    .captureNotACapture =
        "{} is there and is not a capture: it was left as it was; name another file for --capture",
    .captureNotMade =
        "The capture file {} cannot be made: name a file in a folder that exists and may be written",
    .captureNotPlaced = "The capture could not be put in place of {}: it stays in {}",
    .portMissing = "use-port needs --port COM1 ... COM256",
    .portProbing = "Probing {}: 9600 baud, DTR and RTS set for the adapter, XID frames sent",
    .portStoredMark = " (the Port in the settings)",
    .portSuggestUse = "To use it for every run: QX2205R-cli use-port --port {}",
    .portProfile = "{}: answered with the adapter profile {}",
    .adapterUnknown =
        "Adapter={} is no adapter profile: the Adapter key and --adapter take power, esi, mcp2120 or none",
    .reasonNoSockets = "the socket library (Winsock) would not start: restart the PC and try again",
    .reasonSocketFailed =
        "the IrDA socket could not be made (error {}): this PC has no IrDA adapter or no IrDA "
        "support. Plug in the IrDA adapter and check that Device Manager lists it under "
        "\"Infrared devices\"; see \"Windows 10 and 11\" in the user guide",
    .reasonSearchFailed =
        "the search for devices failed (error {}): check the IrDA adapter in Device Manager, "
        "close any other program that uses the infrared port, and try again",
    .reasonNoDevice =
        "no IrDA device answered the search: set the instrument in PC communication mode, its "
        "infrared window facing the adapter within a metre, and try again",
    .reasonConnectFailed =
        "connecting to the device or its greeting failed (code {}): keep the instrument in PC "
        "communication mode, facing the adapter within a metre, close any other program that "
        "uses the infrared port, and try again",
    .reasonReadFailed =
        "the configuration word could not be read; nothing was written: keep the instrument "
        "still, facing the adapter within a metre, and try again",
    .reasonNotWritten = "the configuration word was read; no write was sent: run the command again",
    .reasonWriteRefused =
        "the instrument refused the new word and keeps the word read: check that it is in PC "
        "communication mode and try again",
    .reasonWriteUnconfirmed =
        "the new word was sent but not acknowledged: the instrument may hold either word; run "
        "QX2205R-cli status to see which",
    .reasonPortFailed =
        "the COM port {} failed (error {}): it took no data within a second, or the adapter on it stopped "
        "answering; unplug the adapter, plug it in again and try again, or check the port with QX2205R-cli "
        "ports",
};

constexpr ConsoleTexts CONSOLE_RUSSIAN = {
    .helpIntro = "QX2205R-cli: читает или переключает режим поиска неоднородностей прибора через IrDA.",
    .helpUsage = "Запуск:",
    .helpOptions = "Параметры:",
    .helpCommandArguments = "[параметры]",
    .helpStatus = "прочитать слово конфигурации; ничего не записывается",
    .helpEnable = "включить режим поиска (установить бит 8 слова)",
    .helpDisable = "выключить режим поиска (сбросить бит 8 слова)",
    .helpPorts =
        "показать COM-порты и для каждого открывшегося устройства IrDA,\n"
        "найденные адаптером на нём (код 0, если кто-то ответил). Команда\n"
        "передаёт в каждый проверяемый порт: 9600 бод, DTR и RTS по очереди\n"
        "для каждого профиля адаптера, кадры XID, которые получит модем или\n"
        "другое устройство на этом порту. Укажите порты, чтобы проверить\n"
        "только их: ports COM3 COM5",
    .helpUsePort =
        "записать --port COMn в Port файла настроек, и для окна тоже;\n"
        "остальное в файле не меняется",
    .helpHelp = "эта справка",
    .helpVersion = "версия, 32- или 64-битная сборка и коммит, из которого она собрана",
    .helpYes = "не спрашивать подтверждения перед enable и disable",
    .helpJson = "вывести вместо текста один объект JSON в стандартный вывод",
    .helpTrace =
        "выводить вызовы платформы и каждый кадр с подписью, с миллисекундами\nот запуска, в "
        "стандартный поток ошибок; повторы поиска сворачиваются",
    .helpTraceAll = "то же со всеми вызовами: каждая попытка поиска и показания часов",
    .helpQuiet = "выводить только результат, без строк о ходе работы",
    .helpSettings =
        "файл настроек, из которого берётся язык (по умолчанию QX2205R.ini\n"
        "рядом с программой); он только читается, не записывается и не создаётся",
    .helpSettingsValue = "ПУТЬ",
    .helpPort =
        "связываться с прибором через последовательный адаптер IrDA на этом\n"
        "COM-порту (COM1 ... COM256) или через USB-адаптер IrDA: USB (первый\n"
        "найденный) или USB:VVVV:PPPP (его код производителя и изделия) вместо\n"
        "Port из файла настроек",
    .helpPortValue = "ПОРТ",
    .helpAdapter =
        "как выставлять DTR и RTS последовательного адаптера вместо Adapter из\n"
        "файла настроек: power (обе включены, по умолчанию), esi (ESI-9680: DTR\n"
        "выключена, RTS включена), mcp2120 (обе выключены) или none (не трогать)",
    .helpAdapterValue = "ПРОФИЛЬ",
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
    .settingsMissing = "нет файла настроек {}",
    .portInvalid = "не имя COM-порта: {} (COM1 ... COM256)",
    .didYouMean = "возможно, имелось в виду {}?",
    .confirmPrompt = "Установите прибор в режим ИК связи, ИК окном к адаптеру IrDA.",
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
    .writeUnconfirmed =
        "Запись отправлена, но не подтверждена: проверьте командой QX2205R-cli status, что "
        "хранит прибор",
    .cancelled = "Отменено при подтверждении: прибору ничего не отправлено",
    .interrupting = "Прерывание: текущий шаг будет завершён, связь закрыта",
    .interruptedIdle = "Прервано до того, как прибору что-либо было отправлено",
    .interrupted = "Прервано",
    .loopbackActive =
        "Включена эмуляция IrDA (QX2205R_IRDA_LOOPBACK): обмен с прибором идёт через "
        "127.0.0.1:{}, а не через IrDA",
    .portsNone = "COM-порты не найдены",
    .portDevice = "{}: {} (адрес {})",
    .portNoDevice = "{}: ни одно устройство IrDA не ответило",
    .portOpenFailed = "{}: не открывается (ошибка {})",
    .portSearchFailed = "{}: поиск не удался (ошибка {})",
    .portStored = "Port={} записан в {}",
    .portNotStored = "Не удалось записать файл настроек {}",
    .portNotOurs =
        "{} не файл настроек этой программы (он не пуст и в нём нет раздела [Parameters]): он оставлен как "
        "был; укажите файл настроек программы параметром --settings",
    .captureNotACapture =
        "{} уже есть и это не запись обмена: он оставлен как был; укажите для --capture другой файл",
    .captureNotMade =
        "Не удаётся создать файл записи {}: укажите файл в существующей папке, доступной для записи",
    .captureNotPlaced = "Запись обмена не удалось поместить на место {}: она осталась в {}",
    .portMissing = "use-port требует --port COM1 ... COM256",
    .portProbing = "Проверка {}: 9600 бод, DTR и RTS выставлены для адаптера, передаются кадры XID",
    .portStoredMark = " (Port в файле настроек)",
    .portSuggestUse = "Чтобы использовать его всегда: QX2205R-cli use-port --port {}",
    .portProfile = "{}: ответило с профилем адаптера {}",
    .adapterUnknown =
        "Adapter={} не профиль адаптера: ключ Adapter и --adapter принимают power, esi, mcp2120 или none",
    .reasonNoSockets = "не запускается библиотека сокетов (Winsock): перезагрузите компьютер и повторите",
    .reasonSocketFailed =
        "не удалось создать сокет IrDA (ошибка {}): на этом компьютере нет адаптера или "
        "поддержки IrDA. Подключите адаптер IrDA и проверьте, что Диспетчер устройств показывает "
        "его в разделе \"Инфракрасные устройства\"; см. \"Windows 10 и 11\" в руководстве",
    .reasonSearchFailed =
        "поиск устройств не удался (ошибка {}): проверьте адаптер IrDA в Диспетчере устройств, "
        "закройте другие программы, работающие с ИК портом, и повторите",
    .reasonNoDevice =
        "ни одно устройство IrDA не ответило на поиск: установите прибор в режим ИК связи, ИК "
        "окном к адаптеру не дальше метра, и повторите",
    .reasonConnectFailed =
        "не удалось подключиться к устройству или обменяться приветствием (код {}): держите "
        "прибор в режиме ИК связи, ИК окном к адаптеру не дальше метра, закройте другие "
        "программы, работающие с ИК портом, и повторите",
    .reasonReadFailed =
        "слово конфигурации не прочитано; ничего не записано: держите прибор неподвижно, ИК "
        "окном к адаптеру не дальше метра, и повторите",
    .reasonNotWritten = "слово конфигурации прочитано; запись не отправлялась: повторите команду",
    .reasonWriteRefused =
        "прибор отказался принять новое слово и хранит прочитанное: проверьте, что он в режиме "
        "ИК связи, и повторите",
    .reasonWriteUnconfirmed =
        "новое слово отправлено, но прибор не подтвердил запись: он может хранить любое из двух "
        "слов; проверьте командой QX2205R-cli status",
    .reasonPortFailed =
        "отказ COM-порта {} (ошибка {}): порт не принял данные за секунду, или адаптер на нём перестал "
        "отвечать; отключите адаптер, подключите снова и повторите, или проверьте порт командой "
        "QX2205R-cli ports",
};

// On Linux: the same texts, but where they speak of ports, settings and adapters.
constexpr ConsoleTexts LinuxEnglish() {
    ConsoleTexts t = CONSOLE_ENGLISH;
    t.helpPorts =
        "list the serial devices (their /dev/serial/by-id/ names where they have\n"
        "one) and, for each that opens, the IrDA devices a serial adapter on it\n"
        "finds (exit code 0 when one answered). It transmits on each device it\n"
        "probes: 9600 baud, DTR and RTS set for each adapter profile in turn,\n"
        "XID frames, which a modem or another device there receives. Name the\n"
        "devices to probe only those: ports /dev/ttyUSB0";
    t.helpUsePort =
        "store --port DEVICE as the settings file's Port, for every later run;\n"
        "nothing else in the file changes";
    t.helpSettings =
        "the settings file to take the language and the port from (default:\n"
        "$XDG_CONFIG_HOME/qx2205r/QX2205R.ini, else ~/.config/qx2205r/QX2205R.ini);\n"
        "only use-port writes it";
    t.helpPort =
        "reach the instrument through a serial IrDA adapter on this device\n"
        "(/dev/ttyUSB0, /dev/ttyS0, a /dev/serial/by-id/ link), or through a USB\n"
        "IrDA dongle: USB (the first one found) or USB:VVVV:PPPP (its vendor\n"
        "and product id), instead of the settings file's Port";
    t.helpPortValue = "DEVICE";
    t.helpCapture =
        "write every IrDA frame of the serial adapter to this file, for\n"
        "Wireshark (pcap); with a serial device only";
    t.helpExitCodes =
        "Exit codes:\n"
        "  0  done: the word was read, or written and acknowledged\n"
        "  1  the run failed; the reason is printed\n"
        "  2  usage error\n"
        "  3  cancelled at the confirmation\n"
        "  4  interrupted (Ctrl+C, or the terminal closed)\n";
    t.portsNone =
        "No serial devices found: plug in the IrDA adapter and see whether dmesg shows it (as "
        "ttyUSB0, ttyACM0 or ttyS0)";
    t.portOpenFailed = "{}: cannot be opened (error {})";
    t.portMissing = "use-port needs --port and the adapter's device, e.g. --port /dev/ttyUSB0";
    t.reasonSocketFailed = "the serial IrDA adapter could not be used (error {})";
    t.reasonSearchFailed =
        "the search for devices failed (error {}): check that the adapter is plugged in (dmesg "
        "shows it), close any other program that uses its serial device, and try again";
    t.reasonConnectFailed =
        "connecting to the device or its greeting failed (code {}): keep the instrument in PC "
        "communication mode, facing the adapter within a metre, close any other program that "
        "uses the serial device, and try again";
    t.portInvalid =
        "not a device path: {} (on Linux the adapter is named by its device, e.g. /dev/ttyUSB0 or a "
        "/dev/serial/by-id/ link, not COMn)";
    t.reasonPortFailed =
        "the serial device {} failed (error {}): it took no data within a second, or the adapter on it "
        "stopped answering; see whether dmesg shows it unplugged, plug it in again and try again, or check "
        "it "
        "with QX2205R-cli ports";
    return t;
}

constexpr ConsoleTexts LinuxRussian() {
    ConsoleTexts t = CONSOLE_RUSSIAN;
    t.helpPorts =
        "показать последовательные устройства (с именами из /dev/serial/by-id/,\n"
        "где они есть) и для каждого открывшегося устройства IrDA, найденные\n"
        "адаптером на нём (код 0, если кто-то ответил). Команда передаёт в\n"
        "каждое проверяемое устройство: 9600 бод, DTR и RTS по очереди для\n"
        "каждого профиля адаптера, кадры XID, которые получит модем или другое\n"
        "устройство там. Укажите устройства, чтобы проверить только их:\n"
        "ports /dev/ttyUSB0";
    t.helpUsePort =
        "записать --port УСТРОЙСТВО в Port файла настроек для следующих запусков;\n"
        "остальное в файле не меняется";
    t.helpSettings =
        "файл настроек, из которого берутся язык и порт (по умолчанию\n"
        "$XDG_CONFIG_HOME/qx2205r/QX2205R.ini, иначе ~/.config/qx2205r/QX2205R.ini);\n"
        "записывает его только use-port";
    t.helpPort =
        "связываться с прибором через последовательный адаптер IrDA на этом\n"
        "устройстве (/dev/ttyUSB0, /dev/ttyS0, ссылка из /dev/serial/by-id/) или\n"
        "через USB-адаптер IrDA: USB (первый найденный) или USB:VVVV:PPPP (его\n"
        "код производителя и изделия) вместо Port из файла настроек";
    t.helpPortValue = "УСТРОЙСТВО";
    t.helpCapture =
        "записывать каждый кадр IrDA последовательного адаптера в этот файл\n"
        "для Wireshark (pcap); только с последовательным устройством";
    t.helpExitCodes =
        "Коды завершения:\n"
        "  0  выполнено: слово прочитано, или записано и подтверждено\n"
        "  1  обмен не удался; причина выводится\n"
        "  2  ошибка в командной строке\n"
        "  3  отменено при подтверждении\n"
        "  4  прервано (Ctrl+C или закрытие терминала)\n";
    t.portsNone =
        "Последовательные устройства не найдены: подключите адаптер IrDA и проверьте, "
        "показывает ли его dmesg (как ttyUSB0, ttyACM0 или ttyS0)";
    t.portOpenFailed = "{}: не открывается (ошибка {})";
    t.portMissing = "use-port требует --port и устройство адаптера, например --port /dev/ttyUSB0";
    t.reasonSocketFailed = "не удалось использовать последовательный адаптер IrDA (ошибка {})";
    t.reasonSearchFailed =
        "поиск устройств не удался (ошибка {}): проверьте, что адаптер подключён (его показывает "
        "dmesg), закройте другие программы, работающие с его устройством, и повторите";
    t.reasonConnectFailed =
        "не удалось подключиться к устройству или обменяться приветствием (код {}): держите "
        "прибор в режиме ИК связи, ИК окном к адаптеру не дальше метра, закройте другие "
        "программы, работающие с последовательным устройством, и повторите";
    t.portInvalid =
        "это не путь к устройству: {} (в Linux адаптер называется своим устройством, например /dev/ttyUSB0 "
        "или ссылкой из /dev/serial/by-id/, а не COMn)";
    t.reasonPortFailed =
        "отказ последовательного устройства {} (ошибка {}): оно не приняло данные за секунду, или адаптер "
        "на нём перестал отвечать; проверьте по dmesg, не отключён ли он, подключите снова и повторите, или "
        "проверьте его командой QX2205R-cli ports";
    return t;
}

constexpr ConsoleTexts CONSOLE_LINUX_ENGLISH = LinuxEnglish();
constexpr ConsoleTexts CONSOLE_LINUX_RUSSIAN = LinuxRussian();

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
    std::copy(source.lastRun.begin(), source.lastRun.end(), texts.lastRun.begin());
    texts.script = source.script;
}

const ConsoleTexts& ConsoleTextsFor(int language, HostPlatform platform) {
    if (platform == HostPlatform::Linux) {
        return language == LANGUAGE_RUSSIAN ? CONSOLE_LINUX_RUSSIAN : CONSOLE_LINUX_ENGLISH;
    }
    return language == LANGUAGE_RUSSIAN ? CONSOLE_RUSSIAN : CONSOLE_ENGLISH;
}

std::string_view PortOpenAdvice(int language, HostPlatform platform, std::uint32_t error, bool dongle) {
    if (platform != HostPlatform::Linux) {
        return {};
    }
    if (dongle) {
        for (const PortAdvice& advice : LINUX_USB_ADVICE) {
            if (advice.error == error) {
                return language == LANGUAGE_RUSSIAN ? advice.russian : advice.english;
            }
        }
    }
    for (const PortAdvice& advice : LINUX_PORT_ADVICE) {
        if (advice.error == error) {
            return language == LANGUAGE_RUSSIAN ? advice.russian : advice.english;
        }
    }
    return {};
}

std::string LastRunText(const FormTexts& texts, const RunOutcome& outcome) {
    const std::string& text = texts.lastRun[static_cast<std::size_t>(outcome.stage)];
    return Fill(text, outcome.written && outcome.wordSent ? WordText(*outcome.wordSent)
                                                          : std::to_string(outcome.code));
}

std::string Fill(std::string_view text, std::string_view value) {
    std::string result(text);
    if (const std::size_t at = result.find("{}"); at != std::string::npos) {
        result.replace(at, 2, value);
    }
    return result;
}

}  // namespace qx
