#include "app/outcome_table.h"

#include <algorithm>

#include "app/console_options.h"
#include "app/texts.h"
#include "irda/usb_dongle.h"

namespace qx {
namespace {

static_assert(sizeof("Ы") == 3, "this file must be compiled as UTF-8");

constexpr StageRow STAGE_ROWS[] = {
    {RunStage::Done,
     "done",
     {"", ""},
     {"Last run: word {word} written, search mode {mode}",
      "Итог: слово {word} записано, режим поиска {mode}"}},
    {RunStage::Cancelled,
     "cancelled",
     {"Cancelled at the confirmation: nothing was sent to the instrument",
      "Отменено при подтверждении: прибору ничего не отправлено"},
     {"Last run: cancelled, nothing sent", "Итог: отменено, ничего не отправлено"}},
    {RunStage::NoSockets,
     "no_sockets",
     {"the socket library (Winsock) would not start: restart the PC and try again",
      "не запускается библиотека сокетов (Winsock): перезагрузите компьютер и повторите"},
     {"Last run: Winsock did not start", "Итог: не запустился Winsock"}},
    {RunStage::SocketFailed,
     "socket_failed",
     {"the IrDA socket could not be made (error {code}): this PC has no IrDA adapter or no IrDA support. "
      "Plug "
      "in the IrDA adapter and check that Device Manager lists it under \"Infrared devices\"; see \"Windows "
      "10 "
      "and 11\" in the user guide",
      "не удалось создать сокет IrDA (ошибка {code}): на этом компьютере нет адаптера или поддержки IrDA. "
      "Подключите адаптер IrDA и проверьте, что Диспетчер устройств показывает его в разделе \"Инфракрасные "
      "устройства\"; см. \"Windows 10 и 11\" в руководстве"},
     {"Last run: no IrDA support (error {code})", "Итог: нет поддержки IrDA (ошибка {code})"},
     {"the IrDA adapter could not be used (error {code})",
      "не удалось использовать адаптер IrDA (ошибка {code})"}},
    {RunStage::SearchFailed,
     "search_failed",
     {"the search for devices failed (error {code}): check the IrDA adapter in Device Manager, close any "
      "other "
      "program that uses the infrared port, and try again",
      "поиск устройств не удался (ошибка {code}): проверьте адаптер IrDA в Диспетчере устройств, закройте "
      "другие программы, работающие с ИК портом, и повторите"},
     {"Last run: search error {code}", "Итог: ошибка поиска {code}"},
     {"the search for devices failed (error {code}): check that the adapter is plugged in (dmesg or lsusb "
      "shows it), close any other program that uses it, and try again",
      "поиск устройств не удался (ошибка {code}): проверьте, что адаптер подключён (его показывает dmesg "
      "или lsusb), закройте другие программы, работающие с ним, и повторите"}},
    {RunStage::NoDevice,
     "no_device",
     {"no IrDA device answered the search: set the instrument in PC communication mode, its infrared window "
      "facing the adapter within a metre, and try again",
      "ни одно устройство IrDA не ответило на поиск: установите прибор в режим ИК связи, ИК окном к адаптеру "
      "не дальше метра, и повторите"},
     {"Last run: no device found", "Итог: устройство не найдено"}},
    {RunStage::ConnectFailed,
     "connect_failed",
     {"connecting to the device or its greeting failed (code {code}): keep the instrument in PC "
      "communication "
      "mode, facing the adapter within a metre, close any other program that uses the infrared port, and try "
      "again",
      "не удалось подключиться к устройству или обменяться приветствием (код {code}): держите прибор в "
      "режиме "
      "ИК связи, ИК окном к адаптеру не дальше метра, закройте другие программы, работающие с ИК портом, и "
      "повторите"},
     {"Last run: no answer to the greeting ({code})", "Итог: нет ответа на приветствие ({code})"},
     {"connecting to the device or its greeting failed (code {code}): keep the instrument in PC "
      "communication mode, facing the adapter within a metre, close any other program that uses the "
      "adapter, and try again",
      "не удалось подключиться к устройству или обменяться приветствием (код {code}): держите прибор в "
      "режиме ИК связи, ИК окном к адаптеру не дальше метра, закройте другие программы, работающие с "
      "адаптером, и повторите"}},
    {RunStage::ReadFailed,
     "read_failed",
     {"the configuration word could not be read; nothing was written: keep the instrument still, facing the "
      "adapter within a metre, and try again",
      "слово конфигурации не прочитано; ничего не записано: держите прибор неподвижно, ИК окном к адаптеру "
      "не "
      "дальше метра, и повторите"},
     {"Last run: word not read, nothing written", "Итог: слово не прочитано, записи не было"}},
    {RunStage::NotWritten,
     "not_written",
     {"the configuration word was read; no write was sent: run the command again",
      "слово конфигурации прочитано; запись не отправлялась: повторите команду"},
     {"Last run: word read, nothing written", "Итог: слово прочитано, записи не было"}},
    {RunStage::WriteRefused,
     "write_refused",
     {"the instrument refused the new word and keeps the word read: check that it is in PC communication "
      "mode "
      "and try again",
      "прибор отказался принять новое слово и хранит прочитанное: проверьте, что он в режиме ИК связи, и "
      "повторите"},
     {"Last run: write refused, word unchanged", "Итог: прибор отказал в записи"}},
    {RunStage::WriteUnconfirmed,
     "write_unconfirmed",
     {"the new word was sent but not acknowledged: the instrument may hold either word; run {program} "
      "{status} "
      "to see which",
      "новое слово отправлено, но прибор не подтвердил запись: он может хранить любое из двух слов; "
      "проверьте "
      "командой {program} {status}"},
     {"Last run: write sent, not confirmed: check with status",
      "Итог: запись не подтверждена, проверьте status"}},
};

constexpr CauseRow CAUSE_ROWS[] = {
    {FailureCause::None, "", {"", ""}, {{{"", ""}, {"", ""}}}, {"", ""}},
    {FailureCause::PortMissing,
     "port_missing",
     {"{port} is not on this PC (error {code})", "порта {port} нет на этом компьютере (ошибка {code})"},
     {{{"plug in the serial IrDA adapter, or run {program} {ports} to see the COM ports there are",
        "подключите последовательный адаптер IrDA или выполните {program} {ports}, чтобы увидеть имеющиеся "
        "COM-порты"},
       {"plug in the serial IrDA adapter, or run {program} {ports} to see the serial devices there are",
        "подключите последовательный адаптер IrDA или выполните {program} {ports}, чтобы увидеть имеющиеся "
        "последовательные устройства"}}},
     {"Last run: {port} not found (error {code}): plug in the adapter",
      "Итог: нет порта {port} (ошибка {code}): подключите адаптер"}},
    {FailureCause::PortInUse,
     "port_in_use",
     {"{port} is in use by another program (error {code})",
      "порт {port} занят другой программой (ошибка {code})"},
     {{{"close the program that holds {port} (a terminal, a modem or phone tool) and try again",
        "закройте программу, занявшую {port} (терминал, программу модема или телефона), и повторите"},
       {"close the program that holds {port} (a terminal, ModemManager) and try again",
        "закройте программу, занявшую {port} (терминал, ModemManager), и повторите"}}},
     {"Last run: {port} in use by another program", "Итог: порт {port} занят другой программой"}},
    {FailureCause::PortUnusable,
     "port_unusable",
     {"{port} could not be opened (error {code})", "порт {port} не открывается (ошибка {code})"},
     {{{"check the adapter under \"Ports (COM & LPT)\" in Device Manager, or run {program} {ports}",
        "проверьте адаптер в разделе \"Порты (COM и LPT)\" Диспетчера устройств или выполните {program} "
        "{ports}"},
       {"check that you may use the device (the dialout group), or run {program} {ports}",
        "проверьте права на устройство (группа dialout) или выполните {program} {ports}"}}},
     {"Last run: {port} could not be opened (error {code})",
      "Итог: порт {port} не открывается (ошибка {code})"}},
    {FailureCause::PortValueInvalid,
     "port_value_invalid",
     {"the Port value \"{port}\" in {file} is not a COM port (error {code})",
      "значение Port \"{port}\" в {file} не является COM-портом (ошибка {code})"},
     {{{"write it as Port=COM1 ... COM256 in the [Parameters] section, e.g. with {program} {use-port} "
        "{--port} "
        "COM5, or remove the key to use Windows' IrDA",
        "запишите его как Port=COM1 ... COM256 в разделе [Parameters], например командой {program} "
        "{use-port} "
        "{--port} COM5, или удалите ключ, чтобы работать через IrDA Windows"},
       {"write it as a serial device in the [Parameters] section, e.g. with {program} {use-port} {--port} "
        "/dev/ttyUSB0",
        "запишите последовательное устройство в разделе [Parameters], например командой {program} {use-port} "
        "{--port} /dev/ttyUSB0"}}},
     {"Last run: Port={port} is not COM1 ... COM256", "Итог: Port={port} не COM1 ... COM256"}},
    {FailureCause::AdapterValueInvalid,
     "adapter_value_invalid",
     {"the Adapter value in {file} names no adapter profile (error {code}); nothing was sent",
      "значение Adapter в {file} не называет профиль адаптера (ошибка {code}); ничего не отправлено"},
     {{{"write Adapter=power, esi, mcp2120 or none in the [Parameters] section, or remove the key for the "
        "default (power)",
        "запишите Adapter=power, esi, mcp2120 или none в разделе [Parameters] или удалите ключ, чтобы "
        "использовать профиль по умолчанию (power)"},
       {"write Adapter=power, esi, mcp2120 or none in the [Parameters] section, or remove the key for the "
        "default (power)",
        "запишите Adapter=power, esi, mcp2120 или none в разделе [Parameters] или удалите ключ, чтобы "
        "использовать профиль по умолчанию (power)"}}},
     {"Last run: Adapter value unknown (error {code}): see the settings",
      "Итог: неизвестное значение Adapter (ошибка {code}): см. настройки"}},
    {FailureCause::DongleMissing,
     "dongle_missing",
     {"no USB IrDA dongle that this program drives was found ({port}, error {code})",
      "USB-адаптер IrDA, с которым работает программа, не найден ({port}, ошибка {code})"},
     {{{"plug the dongle in; {program} {ports} lists the dongles this program drives (the user guide names "
        "the families)",
        "подключите адаптер; {program} {ports} показывает адаптеры, с которыми работает программа "
        "(семейства названы в руководстве)"},
       {"plug the dongle in (lsusb lists it); {program} {ports} lists the dongles this program drives",
        "подключите адаптер (его показывает lsusb); {program} {ports} показывает адаптеры, с которыми "
        "работает программа"}}},
     {"Last run: no USB IrDA dongle found (error {code})",
      "Итог: USB-адаптер IrDA не найден (ошибка {code})"}},
    {FailureCause::DongleUnreachable,
     "dongle_unreachable",
     {"the USB IrDA dongle ({port}) cannot be used (error {code})",
      "USB-адаптер IrDA ({port}) недоступен (ошибка {code})"},
     {{{"bind it to WinUSB as the user guide's \"USB IrDA dongles\" says, then plug it in again",
        "привяжите его к WinUSB, как сказано в разделе \"USB IrDA dongles\" руководства, и подключите "
        "заново"},
       {"add the udev rule for it that the user guide gives, then plug it in again",
        "добавьте для него правило udev из руководства пользователя и подключите его заново"}}},
     {"Last run: USB dongle not usable (error {code}): bind it to WinUSB",
      "Итог: USB-адаптер недоступен (ошибка {code}): привяжите к WinUSB"}},
    {FailureCause::AdapterGone,
     "adapter_gone",
     {"the IrDA adapter on {port} stopped answering during the run (error {code}): it took no data within a "
      "second, was unplugged, or its driver failed",
      "адаптер IrDA на {port} перестал отвечать во время обмена (ошибка {code}): он не принял данные за "
      "секунду, его отключили или сбой драйвера"},
     {{{"plug the adapter in again, check with {program} {ports} that it is still {port}, and try again",
        "подключите адаптер снова, проверьте командой {program} {ports}, что это по-прежнему {port}, и "
        "повторите"},
       {"see whether dmesg shows it unplugged, plug it in again, check with {program} {ports} that it is "
        "still {port}, and try again",
        "проверьте по dmesg, не отключён ли он, подключите снова, проверьте командой {program} {ports}, что "
        "это по-прежнему {port}, и повторите"}}},
     {"Last run: adapter on {port} stopped answering", "Итог: адаптер на {port} перестал отвечать"}},
    {FailureCause::NoInstrument,
     "no_instrument",
     {"the IrDA adapter on {port} works, but no instrument answered its search",
      "адаптер IrDA на {port} работает, но ни один прибор не ответил на поиск"},
     {{{"set the instrument in PC communication mode, its infrared window facing the adapter within a metre, "
        "and try again",
        "установите прибор в режим ИК связи, ИК окном к адаптеру не дальше метра, и повторите"},
       {"set the instrument in PC communication mode, its infrared window facing the adapter within a metre, "
        "and try again",
        "установите прибор в режим ИК связи, ИК окном к адаптеру не дальше метра, и повторите"}}},
     {"Last run: no instrument answered on {port}", "Итог: прибор не ответил на {port}"}},
    {FailureCause::NothingAnswered,
     "nothing_answered",
     {"nothing answered on {port}", "на {port} ничто не ответило"},
     {{{"no IrDA adapter on this port, or the instrument is not ready: check the port with {program} "
        "{ports}, "
        "set the instrument in PC communication mode, its infrared window facing the adapter within a metre, "
        "and try again",
        "на этом порту нет адаптера IrDA, или прибор не готов: проверьте порт командой {program} {ports}, "
        "установите прибор в режим ИК связи, ИК окном к адаптеру не дальше метра, и повторите"},
       {"no IrDA adapter on this port, or the instrument is not ready: check the port with {program} "
        "{ports}, "
        "set the instrument in PC communication mode, its infrared window facing the adapter within a metre, "
        "and try again",
        "на этом порту нет адаптера IrDA, или прибор не готов: проверьте порт командой {program} {ports}, "
        "установите прибор в режим ИК связи, ИК окном к адаптеру не дальше метра, и повторите"}}},
     {"Last run: nothing answered on {port}", "Итог: на {port} ничто не ответило"}},
    {FailureCause::MediumHeld,
     "medium_held",
     {"another infrared device holds the medium: the adapter ({port}) heard its traffic through the whole "
      "search, so nothing was sent",
      "ИК среду занимает другое устройство: адаптер ({port}) слышал его передачу весь поиск, поэтому ничего "
      "не отправлено"},
     {{{"move other infrared devices (phones, laptops, printers) away from the adapter or switch them off, "
        "and try again",
        "уберите от адаптера другие инфракрасные устройства (телефоны, ноутбуки, принтеры) или выключите "
        "их, и повторите"},
       {"move other infrared devices (phones, laptops, printers) away from the adapter or switch them off, "
        "and try again",
        "уберите от адаптера другие инфракрасные устройства (телефоны, ноутбуки, принтеры) или выключите "
        "их, и повторите"}}},
     {"Last run: infrared medium busy, nothing sent", "Итог: ИК среда занята, ничего не отправлено"}},
    {FailureCause::UsbLibraryFailed,
     "usb_library_failed",
     {"the USB library could not start ({usb_problem}), so no dongle could be looked for; nothing was sent",
      "не запускается библиотека USB ({usb_problem}), поэтому USB-адаптер искать нельзя; ничего не "
      "отправлено"},
     {{{"restart the PC and try again, or use a serial IrDA adapter",
        "перезагрузите компьютер и повторите или используйте последовательный адаптер IrDA"},
       {"check that /dev/bus/usb is there and readable (a container or a sandbox may hide it) and try "
        "again, or use a serial IrDA adapter",
        "проверьте, что /dev/bus/usb есть и доступен для чтения (контейнер или песочница могут его скрыть), "
        "и повторите, или используйте последовательный адаптер IrDA"}}},
     {"Last run: the USB library did not start", "Итог: не запустилась библиотека USB"}},
    {FailureCause::Refused,
     "refused",
     {"the instrument refused the connection (code {code})", "прибор отказал в подключении (код {code})"},
     {{{"check that the instrument is in PC communication mode and no other PC is connected to it, and try "
        "again",
        "проверьте, что прибор в режиме ИК связи и к нему не подключён другой компьютер, и повторите"},
       {"check that the instrument is in PC communication mode and no other PC is connected to it, and try "
        "again",
        "проверьте, что прибор в режиме ИК связи и к нему не подключён другой компьютер, и повторите"}}},
     {"Last run: the instrument refused the connection", "Итог: прибор отказал в подключении"}},
    {FailureCause::NoSuchService,
     "no_such_service",
     {"the device found ({device}) offers no such service: it is not this instrument",
      "найденное устройство ({device}) не предоставляет нужной службы: это не прибор"},
     {{{"move other IrDA devices (phones, printers) away from the adapter, face the instrument to it, and "
        "try "
        "again",
        "уберите от адаптера другие устройства IrDA (телефоны, принтеры), направьте на него прибор и "
        "повторите"},
       {"move other IrDA devices (phones, printers) away from the adapter, face the instrument to it, and "
        "try "
        "again",
        "уберите от адаптера другие устройства IrDA (телефоны, принтеры), направьте на него прибор и "
        "повторите"}}},
     {"Last run: {device} is not the instrument", "Итог: {device} - не прибор"}},
    {FailureCause::NoIrdaSupport,
     "no_irda_support",
     {"Windows has no IrDA here (error {code}) and no Port is set",
      "в Windows здесь нет IrDA (ошибка {code}), а Port не задан"},
     {{{"with a serial IrDA adapter, run {program} {ports}, then {program} {use-port} {--port} COMn; with an "
        "adapter of Windows' own IrDA, check that Device Manager lists it under \"Infrared devices\"",
        "с последовательным адаптером IrDA выполните {program} {ports}, затем {program} {use-port} {--port} "
        "COMn; с адаптером для IrDA Windows проверьте, что Диспетчер устройств показывает его в разделе "
        "\"Инфракрасные устройства\""},
       {"name the adapter's device with {--port} /dev/ttyUSB0, or store it with {use-port} ({program} "
        "{ports} "
        "lists the serial devices and USB dongles)",
        "укажите устройство адаптера параметром {--port} /dev/ttyUSB0 или запишите его командой {use-port} "
        "({program} {ports} показывает последовательные устройства и USB-адаптеры)"}}},
     {"Last run: no IrDA in Windows (error {code}): set a COM port",
      "Итог: нет IrDA в Windows (ошибка {code}): задайте COM-порт"},
     {"no IrDA adapter is chosen, and Linux has no IrDA of its own",
      "адаптер IrDA не выбран, а своей поддержки IrDA в Linux нет"}},
};

template <typename Row, std::size_t N>
constexpr bool FollowsEnumOrder(const Row (&rows)[N], auto Row::*key) {
    for (std::size_t i = 0; i < N; ++i) {
        if (static_cast<std::size_t>(rows[i].*key) != i) {
            return false;
        }
    }
    return true;
}
static_assert(std::size(STAGE_ROWS) == RUN_STAGE_COUNT && FollowsEnumOrder(STAGE_ROWS, &StageRow::stage),
              "one row per RunStage, in the enum's order");
static_assert(std::size(CAUSE_ROWS) == FAILURE_CAUSE_COUNT && FollowsEnumOrder(CAUSE_ROWS, &CauseRow::cause),
              "one row per FailureCause, in the enum's order");

// Windows' errors of opening a port that is not there.
constexpr std::uint32_t ERROR_FILE_NOT_FOUND_CODE = 2;
constexpr std::uint32_t ERROR_PATH_NOT_FOUND_CODE = 3;
constexpr std::uint32_t ERROR_ACCESS_DENIED_CODE = 5;
constexpr std::uint32_t ERROR_SHARING_VIOLATION_CODE = 32;
// socket() without Windows' IrDA: Wine and Windows without the stack say 10047, some Windows 10043; a
// discovery on the invalid handle that follows says 10038.
constexpr int WSAEPROTONOSUPPORT_CODE = 10043;

bool StageBeforeAWrite(RunStage stage) {
    switch (stage) {
        case RunStage::NoSockets:
        case RunStage::SocketFailed:
        case RunStage::SearchFailed:
        case RunStage::NoDevice:
        case RunStage::ConnectFailed:
        case RunStage::ReadFailed:
            return true;
        default:
            return false;
    }
}

std::size_t Column(int language) {
    return language == LANGUAGE_RUSSIAN ? 1 : 0;
}

constexpr Bilingual MODE_ON = {"on", "включён"};
constexpr Bilingual MODE_OFF = {"off", "выключен"};

std::string Fill(std::string_view text, const OutcomeValues& v, std::size_t column,
                 HostPlatform platform = HostPlatform::Windows) {
    const RunOutcome& o = v.outcome;
    const std::optional<ConfigWord> held = WordHeld(o);
    const std::uint32_t systemError = o.failure ? o.failure->systemError : 0;
    // On Linux a serial device's error is named by its errno, not by the Windows number the seam carries;
    // so is a dongle held by another program (usbfs's EBUSY).
    std::string named(text);
    const bool errnoNamed = v.link.kind == LinkKind::Serial ||
                            (v.link.kind == LinkKind::Usb && systemError == irda::USB_ERROR_IN_USE);
    if (const std::string_view errnoName =
            LinuxErrorName(systemError, o.failure ? o.failure->platformError : 0);
        platform == HostPlatform::Linux && errnoNamed && !errnoName.empty()) {
        for (const std::string_view pattern :
             {std::string_view("error {code}"), std::string_view("ошибка {code}")}) {
            if (const std::size_t at = named.find(pattern); at != std::string::npos) {
                named.replace(at, pattern.size(), errnoName);
            }
        }
    }
    return NameCommands(FillNamed(
        named,
        {{"code", std::to_string(systemError != 0 ? static_cast<int>(systemError) : o.code)},
         {"port", v.link.port},
         {"file", v.settingsPath},
         {"device", o.device.value_or("")},
         {"usb_problem", v.link.usbProblem},
         {"word", held ? WordText(*held) : std::string()},
         {"mode", std::string(held && (*held & SEARCH_MODE_BIT) ? MODE_ON[column] : MODE_OFF[column])}}));
}

// Several devices in range: the device used, how many instruments answered, and the devices passed over.
// Empty for one device, whose texts stay as they were. Without `names`, the count alone.
std::string SeveralDevicesText(const RunOutcome& outcome, std::size_t column, bool names) {
    if (outcome.devices.size() < 2) {
        return {};
    }
    static constexpr Bilingual ON_DEVICE = {" on {device}", " на {device}"};
    static constexpr Bilingual IN_RANGE = {" (1 of {count} instruments in range)",
                                           " (1 из {count} приборов рядом)"};
    static constexpr Bilingual PASSED_OVER = {", {names} passed over", ", пропущено: {names}"};
    std::string text;
    if (const std::optional<std::size_t> used = DeviceUsed(outcome); used && names) {
        text += FillNamed(ON_DEVICE[column], {{"device", outcome.devices[*used].name}});
    }
    if (const std::size_t count = InstrumentsInRange(outcome); count > 1) {
        text += FillNamed(IN_RANGE[column], {{"count", std::to_string(count)}});
    }
    std::string passedOver;
    for (const ListedDevice& d : outcome.devices) {
        if (d.role == DeviceRole::PassedOver && names) {
            passedOver += (passedOver.empty() ? "" : ", ") + d.name;
        }
    }
    if (!passedOver.empty()) {
        text += FillNamed(PASSED_OVER[column], {{"names", passedOver}});
    }
    return text;
}

// The user's --device was not among the devices that answered.
constexpr Bilingual DEVICE_NOT_LISTED_LAST_RUN = {"Last run: {device} did not answer the search",
                                                  "Итог: {device} не ответил на поиск"};

}  // namespace

const StageRow& RowOf(RunStage stage) {
    return STAGE_ROWS[static_cast<std::size_t>(stage)];
}

const CauseRow& RowOf(FailureCause cause) {
    return CAUSE_ROWS[static_cast<std::size_t>(cause)];
}

std::string_view StageName(RunStage stage) {
    return RowOf(stage).name;
}

FailureCause CauseOf(const RunOutcome& outcome, const LinkChoice& link, HostPlatform platform) {
    if (outcome.stage == RunStage::Done || outcome.stage == RunStage::Cancelled) {
        return FailureCause::None;
    }
    const bool ownStack = link.kind == LinkKind::Serial || link.kind == LinkKind::Usb;
    if (const std::optional<StackFailure>& f = outcome.failure) {
        if (f->layer == StackLayer::Port && f->status == StackStatus::OpenFailed) {
            if (link.kind == LinkKind::InvalidPort) {
                return FailureCause::PortValueInvalid;
            }
            if (f->systemError == static_cast<std::uint32_t>(INVALID_ADAPTER_ERROR) &&
                link.kind == LinkKind::Serial) {
                return FailureCause::AdapterValueInvalid;
            }
            if (link.kind == LinkKind::Usb) {
                switch (f->systemError) {
                    case irda::USB_ERROR_NO_DONGLE:
                        return FailureCause::DongleMissing;
                    case irda::USB_ERROR_NO_PERMISSION:
                    case irda::USB_ERROR_NOT_WINUSB:
                        return FailureCause::DongleUnreachable;
                    case irda::USB_ERROR_IN_USE:
                        return FailureCause::PortInUse;
                    case irda::USB_ERROR_LIBRARY:
                        return FailureCause::UsbLibraryFailed;
                    default:
                        return FailureCause::PortUnusable;
                }
            }
            switch (f->systemError) {
                case ERROR_FILE_NOT_FOUND_CODE:
                case ERROR_PATH_NOT_FOUND_CODE:
                    return FailureCause::PortMissing;
                case ERROR_ACCESS_DENIED_CODE:
                    // On Linux the device's permissions refused it; on Windows another program holds it.
                    return platform == HostPlatform::Linux ? FailureCause::PortUnusable
                                                           : FailureCause::PortInUse;
                case ERROR_SHARING_VIOLATION_CODE:
                    return FailureCause::PortInUse;
                default:
                    return FailureCause::PortUnusable;
            }
        }
        if (f->layer == StackLayer::Port) {
            return FailureCause::AdapterGone;
        }
        switch (f->status) {
            case StackStatus::Refused:
                return FailureCause::Refused;
            case StackStatus::MediumBusy:
                return FailureCause::MediumHeld;
            case StackStatus::NoSuchClass:
            case StackStatus::NoSuchAttribute:
            case StackStatus::Malformed:
                return FailureCause::NoSuchService;
            default:
                break;
        }
        return FailureCause::None;
    }
    // The stack's word for a port that failed under the run, where no typed failure came with it.
    if (ownStack && outcome.code == WSAENETDOWN_CODE && StageBeforeAWrite(outcome.stage)) {
        return FailureCause::AdapterGone;
    }
    if (outcome.stage == RunStage::NoDevice && ownStack) {
        // A dongle's chip answered its registers before the search; a serial port gives no sign that an
        // adapter is behind it at all.
        return link.kind == LinkKind::Serial && platform == HostPlatform::Linux
                   ? FailureCause::NothingAnswered
                   : FailureCause::NoInstrument;
    }
    if (link.kind == LinkKind::Winsock &&
        (outcome.stage == RunStage::SocketFailed || outcome.stage == RunStage::SearchFailed) &&
        (outcome.code == WSAEAFNOSUPPORT_CODE || outcome.code == WSAEPROTONOSUPPORT_CODE ||
         outcome.code == WSAENOTSOCK_CODE)) {
        return FailureCause::NoIrdaSupport;
    }
    return FailureCause::None;
}

std::string OutcomeReason(const OutcomeValues& values, int language, HostPlatform platform) {
    const std::size_t column = Column(language);
    if (values.outcome.deviceAsked) {
        static constexpr Bilingual NOT_LISTED = {
            "{device} did not answer the search (the devices that did: {names}): check the name or address "
            "against the devices listed, face that instrument to the adapter, and try again",
            "{device} не ответил на поиск (ответили: {names}): сверьте имя или адрес со списком устройств, "
            "направьте этот прибор на адаптер и повторите"};
        std::string names;
        for (const ListedDevice& d : values.outcome.devices) {
            names += (names.empty() ? "" : ", ") + d.name + " " + DeviceAddressText(d.address);
        }
        return FillNamed(NOT_LISTED[column], {{"device", *values.outcome.deviceAsked}, {"names", names}});
    }
    const bool onLinux = platform == HostPlatform::Linux;
    const StageRow& stage = RowOf(values.outcome.stage);
    const Bilingual& stageReason =
        onLinux && !stage.linuxReason[0].empty() ? stage.linuxReason : stage.reason;
    const FailureCause cause = CauseOf(values.outcome, values.link, platform);
    if (cause == FailureCause::None) {
        return Fill(stageReason[column], values, column, platform);
    }
    const CauseRow& row = RowOf(cause);
    const Bilingual& causeReason = onLinux && !row.linuxReason[0].empty() ? row.linuxReason : row.reason;
    const std::string why = Fill(causeReason[column], values, column, platform);
    if (!StageBeforeAWrite(values.outcome.stage)) {
        // What the instrument holds comes first; the cause says why the run ended there.
        return Fill(stageReason[column], values, column, platform) + " (" + why + ")";
    }
    std::string next = Fill(row.nextStep[static_cast<std::size_t>(platform)][column], values, column);
    // A port that would not open: the platform's own word for its error, where it has one.
    if (cause == FailureCause::PortMissing || cause == FailureCause::PortInUse ||
        cause == FailureCause::PortUnusable) {
        const std::uint32_t error = values.outcome.failure ? values.outcome.failure->systemError : 0;
        if (const std::string_view advice =
                PortOpenAdvice(language, platform, error, values.link.kind == LinkKind::Usb);
            !advice.empty()) {
            next = advice;
        }
        if (!values.portAdvice.empty()) {
            next = values.portAdvice;
        }
    }
    return why + ": " + next;
}

std::string ModeReadText(const OutcomeValues& values, int language, bool names) {
    if (language != LANGUAGE_ENGLISH && language != LANGUAGE_RUSSIAN) {
        return {};
    }
    if (values.outcome.stage != RunStage::Done) {
        return OutcomeLastRun(values, language, names);
    }
    static constexpr Bilingual MODE_READ = {"Search mode is {mode} (word {word})",
                                            "Режим поиска {mode} (слово {word})"};
    const std::size_t column = Column(language);
    return Fill(MODE_READ[column], values, column) + SeveralDevicesText(values.outcome, column, names);
}

std::string OutcomeLastRun(const OutcomeValues& values, int language, bool names) {
    if (language != LANGUAGE_ENGLISH && language != LANGUAGE_RUSSIAN) {
        return {};
    }
    const std::size_t column = Column(language);
    if (values.outcome.deviceAsked) {
        return FillNamed(DEVICE_NOT_LISTED_LAST_RUN[column], {{"device", *values.outcome.deviceAsked}});
    }
    if (values.outcome.stage == RunStage::Done && values.outcome.written &&
        values.outcome.devices.size() > 1) {
        static constexpr Bilingual WRITTEN = {"Last run: word {word} written", "Итог: слово {word} записано"};
        return Fill(WRITTEN[column], values, column) + SeveralDevicesText(values.outcome, column, names);
    }
    const FailureCause cause = CauseOf(values.outcome, values.link, HostPlatform::Windows);
    if (cause != FailureCause::None && StageBeforeAWrite(values.outcome.stage)) {
        return Fill(RowOf(cause).lastRun[column], values, column);
    }
    return Fill(RowOf(values.outcome.stage).lastRun[column], values, column);
}

std::string FillNamed(std::string_view text,
                      std::initializer_list<std::pair<std::string_view, std::string>> values) {
    std::string result;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t open = text.find('{', at);
        if (open == std::string_view::npos) {
            break;
        }
        const std::size_t close = text.find('}', open);
        if (close == std::string_view::npos) {
            break;
        }
        const std::string_view name = text.substr(open + 1, close - open - 1);
        const auto value =
            std::find_if(values.begin(), values.end(), [&](const auto& v) { return v.first == name; });
        result.append(text.substr(at, open - at));
        if (value != values.end()) {
            result += value->second;
        } else {
            result.append(text.substr(open, close + 1 - open));
        }
        at = close + 1;
    }
    result.append(text.substr(at));
    return result;
}

}  // namespace qx
