#include "app/link_choice.h"

#include "app/texts.h"
#include "irda/usb_dongle.h"

namespace qx {

std::optional<irda::LineProfile> ChooseLineProfile(std::string_view adapterSetting) {
    if (adapterSetting.empty()) {
        return irda::DEFAULT_LINE_PROFILE;
    }
    return irda::ParseLineProfile(adapterSetting);
}

std::optional<std::string> ParseComPort(std::string_view text) {
    if (text.size() < 4 || text.size() > 6) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if ((text[i] | 0x20) != "com"[i]) {
            return std::nullopt;
        }
    }
    const std::string_view digits = text.substr(3);
    if (digits.front() == '0') {
        return std::nullopt;
    }
    int number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        number = number * 10 + (c - '0');
    }
    if (number < 1 || number > COM_PORT_LAST) {
        return std::nullopt;
    }
    return "COM" + std::string(digits);
}

std::optional<std::string> ParseDevicePath(std::string_view text) {
    if (text.size() < 2 || text.front() != '/' || text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(text);
}

std::optional<std::string> ParsePortName(std::string_view text, HostPlatform platform) {
    return platform == HostPlatform::Linux ? ParseDevicePath(text) : ParseComPort(text);
}

LinkChoice ChooseLink(std::optional<std::uint16_t> loopbackPort, std::string_view portSetting,
                      HostPlatform platform) {
    if (loopbackPort) {
        return {LinkKind::Loopback, loopbackPort, {}, {}};
    }
    if (portSetting.empty()) {
        return {};
    }
    if (auto port = ParsePortName(portSetting, platform)) {
        return {LinkKind::Serial, std::nullopt, *port, {}};
    }
    if (auto usb = irda::ParseUsbPort(portSetting)) {
        return {LinkKind::Usb, std::nullopt, irda::UsbPortName(*usb), {}};
    }
    return {LinkKind::InvalidPort, std::nullopt, std::string(portSetting), {}};
}

std::optional<std::string> ParsePortValue(std::string_view text, HostPlatform platform) {
    if (auto port = ParsePortName(text, platform)) {
        return port;
    }
    if (auto usb = irda::ParseUsbPort(text)) {
        return irda::UsbPortName(*usb);
    }
    return std::nullopt;
}

std::string LinkCaption(const LinkChoice& choice, int language) {
    // The window's caption is in the window's language, as the rest of it.
    const bool russian = language == LANGUAGE_RUSSIAN;
    const std::string on = russian ? " - IrDA через " : " - IrDA on ";
    switch (choice.kind) {
        case LinkKind::Loopback:
            // A developer's transport, named as its variable and the tests name it.
            return " - IrDA loopback 127.0.0.1:" + std::to_string(choice.loopbackPort.value_or(0));
        case LinkKind::Serial:
        case LinkKind::InvalidPort:
            return on + choice.port;
        case LinkKind::Usb:
            return on + "USB" + (choice.dongle.empty() ? std::string() : " " + choice.dongle);
        case LinkKind::Winsock:
            break;
    }
    return {};
}

}  // namespace qx
