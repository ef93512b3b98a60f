// A stand-in for libusb-1.0 (built as libusb-1.0.so.0) whose bus holds one simulated dongle, so that the
// native console program, run with LD_LIBRARY_PATH naming this library's folder, drives a simulated chip
// through its own libusb binding, unchanged. Only the calls that binding makes are here.
//
// The environment says what is on the bus:
// - QX_SIM_USB_FAMILY: bridge, stir4200, mcs7780, ks959, ksdazzle or kingsun (unset or empty: no dongle, an
//   empty bus).
// - QX_SIM_USB_LIGHT: the serial line of the chip's infrared side (the instrument simulator's pty), opened
//   when the program opens the dongle and closed when it closes it.
// - QX_SIM_USB_ACCESS: "denied": the dongle enumerates, but opening it fails as a usbfs node this user may
//   not open does; "busy": claiming its interface fails as when another program holds it
//   (LIBUSB_ERROR_BUSY); "busy-open": opening it fails so.
// - QX_SIM_USB_INIT: "io" or "other": libusb_init fails with LIBUSB_ERROR_IO or LIBUSB_ERROR_OTHER, as where
//   usbfs cannot be reached.
// - QX_SIM_USB_MEDIUM: "busy" (bridge only): every read of the bulk IN endpoint brings the media-busy header
//   alone, at the pace a chip reports traffic, as where another device talks all the time.
// - QX_SIM_USB_OTHER: "keyboard": a keyboard, listed before the dongle, that this user may not open (its
//   usbfs node is root's, as for most devices on a desktop).
// - QX_SIM_USB_OPENS: a file that gets a line "VVVV:PPPP" for every libusb_open, of whichever device.
#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "posix/posix_serial_port.h"
#include "sim_chips.h"

struct libusb_context {
    qx::PosixSerialPort light;
    std::string lightPath;
    std::unique_ptr<dongle_sim::SimChip> chip;
    qx::irda::UsbDeviceInfo info;
    bool denied = false;
    bool busyClaim = false;
    bool busyOpen = false;
    bool busyMedium = false;
    bool lightOpenedByHandle = false;
    std::optional<qx::irda::UsbDeviceInfo> other;  // a device that is no dongle
    std::string opensPath;
};

struct libusb_device {
    libusb_context* context = nullptr;
    bool other = false;  // the device that is no dongle
    const qx::irda::UsbDeviceInfo& Info() const { return other ? *context->other : context->info; }
};

struct libusb_device_handle {
    libusb_context* context = nullptr;
    int claimed = -1;
};

namespace {

const char* Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// libusb waits for ever on a timeout of 0, which would freeze a run: the stand-in ends the program instead.
void RequireLimit(unsigned int timeout) {
    if (timeout == 0) {
        std::fputs("sim libusb: a transfer without a time limit (timeout 0)\n", stderr);
        std::abort();
    }
}

// The bridge class's inbound header with its media-busy bit and no frame.
constexpr unsigned char MEDIA_BUSY_HEADER = 0x80;

int ErrorOf(const qx::irda::UsbResult& result) {
    switch (result.status) {
        case qx::irda::UsbStatus::Ok:
            return static_cast<int>(result.length);
        case qx::irda::UsbStatus::Timeout:
            return LIBUSB_ERROR_TIMEOUT;
        case qx::irda::UsbStatus::Stall:
            return LIBUSB_ERROR_PIPE;
        case qx::irda::UsbStatus::Gone:
            return LIBUSB_ERROR_NO_DEVICE;
        case qx::irda::UsbStatus::Busy:
            return LIBUSB_ERROR_BUSY;
        case qx::irda::UsbStatus::Failed:
            break;
    }
    return LIBUSB_ERROR_IO;
}

// The descriptors of the chip, kept until the caller frees them.
struct ConfigHolder {
    libusb_config_descriptor config{};
    std::vector<libusb_interface> interfaces;
    std::vector<libusb_interface_descriptor> settings;
    std::vector<std::vector<libusb_endpoint_descriptor>> endpoints;
};
std::map<const libusb_config_descriptor*, std::unique_ptr<ConfigHolder>> configs;

}  // namespace

extern "C" {

int libusb_init(libusb_context** context) {
    const std::string_view init = Environment("QX_SIM_USB_INIT");
    if (init == "io") {
        return LIBUSB_ERROR_IO;
    }
    if (init == "other") {
        return LIBUSB_ERROR_OTHER;
    }
    auto made = std::make_unique<libusb_context>();
    const std::string_view family = Environment("QX_SIM_USB_FAMILY");
    made->lightPath = Environment("QX_SIM_USB_LIGHT");
    const std::string_view access = Environment("QX_SIM_USB_ACCESS");
    made->denied = access == "denied";
    made->busyClaim = access == "busy";
    made->busyOpen = access == "busy-open";
    made->busyMedium = std::string_view(Environment("QX_SIM_USB_MEDIUM")) == "busy";
    if (made->busyMedium && family != "bridge") {
        return LIBUSB_ERROR_INVALID_PARAM;  // only the bridge class reports a busy medium
    }
    if (family == "bridge") {
        made->chip = dongle_sim::MakeChip(qx::irda::DongleFamily::Bridge, made->light);
    } else if (family == "stir4200") {
        made->chip = dongle_sim::MakeChip(qx::irda::DongleFamily::Stir4200, made->light);
    } else if (family == "mcs7780") {
        made->chip = dongle_sim::MakeChip(qx::irda::DongleFamily::Mcs7780, made->light);
    } else if (family == "ks959") {
        made->chip = dongle_sim::MakeChip(qx::irda::DongleFamily::Ks959, made->light);
    } else if (family == "ksdazzle") {
        made->chip = dongle_sim::MakeChip(qx::irda::DongleFamily::KsDazzle, made->light);
    } else if (family == "kingsun") {
        made->chip = dongle_sim::MakeChip(qx::irda::DongleFamily::KingSun, made->light);
    } else if (!family.empty()) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (made->chip) {
        made->info = made->chip->Info();
    }
    const std::string_view other = Environment("QX_SIM_USB_OTHER");
    if (other == "keyboard") {
        made->other = qx::irda::UsbDeviceInfo{
            0x046D, 0xC31C, "sim:keyboard", {{0, 0x03, 0x01, {{0x81, qx::irda::USB_TRANSFER_INTERRUPT, 8}}}}};
    } else if (!other.empty()) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    made->opensPath = Environment("QX_SIM_USB_OPENS");
    *context = made.release();
    return 0;
}

void libusb_exit(libusb_context* context) {
    delete context;
}

ssize_t libusb_get_device_list(libusb_context* context, libusb_device*** list) {
    std::vector<libusb_device*> devices;
    if (context != nullptr && context->other) {
        devices.push_back(new libusb_device{context, true});
    }
    if (context != nullptr && context->chip != nullptr) {
        devices.push_back(new libusb_device{context, false});
    }
    auto* made = new libusb_device*[devices.size() + 1]();
    std::copy(devices.begin(), devices.end(), made);
    *list = made;
    return static_cast<ssize_t>(devices.size());
}

void libusb_free_device_list(libusb_device** list, int unrefDevices) {
    if (list == nullptr) {
        return;
    }
    if (unrefDevices != 0) {
        for (libusb_device** device = list; *device != nullptr; ++device) {
            delete *device;
        }
    }
    delete[] list;
}

int libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor) {
    std::memset(descriptor, 0, sizeof *descriptor);
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0110;
    descriptor->idVendor = device->Info().vendor;
    descriptor->idProduct = device->Info().product;
    descriptor->bNumConfigurations = 1;
    return 0;
}

uint8_t libusb_get_bus_number(libusb_device*) {
    return 1;
}

uint8_t libusb_get_device_address(libusb_device* device) {
    return device->other ? 3 : 2;
}

int libusb_get_active_config_descriptor(libusb_device* device, libusb_config_descriptor** config) {
    const qx::irda::UsbDeviceInfo& info = device->Info();
    auto made = std::make_unique<ConfigHolder>();
    ConfigHolder* holder = made.get();
    holder->interfaces.resize(info.interfaces.size());
    holder->settings.resize(info.interfaces.size());
    holder->endpoints.resize(info.interfaces.size());
    for (std::size_t n = 0; n < info.interfaces.size(); ++n) {
        const qx::irda::UsbInterface& source = info.interfaces[n];
        for (const qx::irda::UsbEndpoint& endpoint : source.endpoints) {
            libusb_endpoint_descriptor e{};
            e.bLength = LIBUSB_DT_ENDPOINT_SIZE;
            e.bDescriptorType = LIBUSB_DT_ENDPOINT;
            e.bEndpointAddress = endpoint.address;
            e.bmAttributes = endpoint.type;
            e.wMaxPacketSize = endpoint.maxPacket;
            holder->endpoints[n].push_back(e);
        }
        libusb_interface_descriptor& setting = holder->settings[n];
        setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
        setting.bDescriptorType = LIBUSB_DT_INTERFACE;
        setting.bInterfaceNumber = source.number;
        setting.bNumEndpoints = static_cast<uint8_t>(source.endpoints.size());
        setting.bInterfaceClass = source.interfaceClass;
        setting.bInterfaceSubClass = source.interfaceSubClass;
        setting.endpoint = holder->endpoints[n].data();
        holder->interfaces[n].altsetting = &setting;
        holder->interfaces[n].num_altsetting = 1;
    }
    holder->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    holder->config.bDescriptorType = LIBUSB_DT_CONFIG;
    holder->config.bNumInterfaces = static_cast<uint8_t>(info.interfaces.size());
    holder->config.bConfigurationValue = 1;
    holder->config.interface = holder->interfaces.data();
    *config = &holder->config;
    configs[*config] = std::move(made);
    return 0;
}

int libusb_get_config_descriptor(libusb_device* device, uint8_t index, libusb_config_descriptor** config) {
    return index == 0 ? libusb_get_active_config_descriptor(device, config) : LIBUSB_ERROR_NOT_FOUND;
}

void libusb_free_config_descriptor(libusb_config_descriptor* config) {
    configs.erase(config);
}

int libusb_open(libusb_device* device, libusb_device_handle** handle) {
    libusb_context* context = device->context;
    if (!context->opensPath.empty()) {
        if (std::FILE* opens = std::fopen(context->opensPath.c_str(), "a")) {
            std::fprintf(opens, "%04X:%04X\n", device->Info().vendor, device->Info().product);
            std::fclose(opens);
        }
    }
    if (device->other) {
        return LIBUSB_ERROR_ACCESS;
    }
    if (context->denied) {
        return LIBUSB_ERROR_ACCESS;
    }
    if (context->busyOpen) {
        return LIBUSB_ERROR_BUSY;
    }
    if (context->chip->Gone()) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    *handle = new libusb_device_handle{context, -1};
    return 0;
}

void libusb_close(libusb_device_handle* handle) {
    if (handle->context->lightOpenedByHandle) {
        handle->context->light.Close();
        handle->context->lightOpenedByHandle = false;
    }
    delete handle;
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) {
    return 0;
}

int libusb_claim_interface(libusb_device_handle* handle, int interfaceNumber) {
    libusb_context* context = handle->context;
    bool known = false;
    for (const qx::irda::UsbInterface& usbInterface : context->info.interfaces) {
        known = known || usbInterface.number == interfaceNumber;
    }
    if (!known) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    if (context->busyClaim) {
        return LIBUSB_ERROR_BUSY;  // usbfs: another process claimed it
    }
    // The chip hears and speaks on its line from now on.
    if (!context->light.IsOpen()) {
        if (!context->light.Open(context->lightPath)) {
            return LIBUSB_ERROR_BUSY;
        }
        context->lightOpenedByHandle = true;
    }
    handle->claimed = interfaceNumber;
    return 0;
}

int libusb_release_interface(libusb_device_handle* handle, int interfaceNumber) {
    if (handle->claimed != interfaceNumber) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    handle->claimed = -1;
    return 0;
}

int libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                            uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                            unsigned int timeout) {
    RequireLimit(timeout);
    dongle_sim::SimChip& chip = *handle->context->chip;
    const auto setup = dongle_sim::SetupOnTheWire(dongle_sim::UsbRules::Usbfs, handle->context->info,
                                                  static_cast<std::uint8_t>(handle->claimed),
                                                  {requestType, request, value, index});
    if (!setup) {
        return ErrorOf(dongle_sim::Refused());
    }
    if ((requestType & LIBUSB_ENDPOINT_IN) != 0) {
        return ErrorOf(chip.ControlIn(*setup, std::span<std::uint8_t>(data, length), timeout));
    }
    return ErrorOf(chip.ControlOut(*setup, std::span<const std::uint8_t>(data, length), timeout));
}

// A C++ helper of the calls around it: C++ linkage, as it returns a C++ type.
extern "C++" {
namespace {

qx::irda::UsbResult Move(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                         int length, unsigned int timeout, bool interrupt, bool zeroPacket) {
    RequireLimit(timeout);
    dongle_sim::SimChip& chip = *handle->context->chip;
    const auto size = static_cast<std::size_t>(length < 0 ? 0 : length);
    if (handle->claimed < 0 ||
        !dongle_sim::ClaimedEndpoint(handle->context->info, static_cast<std::uint8_t>(handle->claimed),
                                     endpoint)) {
        return dongle_sim::Refused();
    }
    if (handle->context->busyMedium && !interrupt && (endpoint & LIBUSB_ENDPOINT_IN) != 0 && size > 0) {
        // Traffic of a few bytes at 9600 baud between two reports, as the chip paces them.
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout, 10U)));
        data[0] = MEDIA_BUSY_HEADER;
        return qx::irda::UsbDone(1);
    }
    qx::irda::UsbResult result;
    if (zeroPacket) {
        result = chip.BulkOutFrame(endpoint, std::span<const std::uint8_t>(data, size), timeout);
    } else if (interrupt && (endpoint & LIBUSB_ENDPOINT_IN) != 0) {
        result = chip.InterruptIn(endpoint, std::span<std::uint8_t>(data, size), timeout);
    } else if (interrupt) {
        result = chip.InterruptOut(endpoint, std::span<const std::uint8_t>(data, size), timeout);
    } else if ((endpoint & LIBUSB_ENDPOINT_IN) != 0) {
        result = chip.BulkIn(endpoint, std::span<std::uint8_t>(data, size), timeout);
    } else {
        result = chip.BulkOut(endpoint, std::span<const std::uint8_t>(data, size), timeout);
    }
    return result;
}

int Transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
             int* transferred, unsigned int timeout, bool interrupt) {
    const qx::irda::UsbResult result = Move(handle, endpoint, data, length, timeout, interrupt, false);
    // As libusb: a timeout still says how many bytes came before it.
    *transferred = static_cast<int>(result.length);
    return result.Ok() ? 0 : ErrorOf(result);
}

// Transfers submitted and not yet handed back through their callback.
std::vector<libusb_transfer*> finished;

}  // namespace
}  // extern "C++"

int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                         int length, int* transferred, unsigned int timeout) {
    return Transfer(handle, endpoint, data, length, transferred, timeout, false);
}

int libusb_interrupt_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                              int length, int* transferred, unsigned int timeout) {
    return Transfer(handle, endpoint, data, length, transferred, timeout, true);
}

int libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint) {
    return ErrorOf(handle->context->chip->ClearHalt(endpoint));
}

// The asynchronous calls, for bulk OUT only (what the binding sends with a zero-length packet): the
// transfer is done at submission and handed back by the next event handling, as libusb does from its
// event loop.
libusb_transfer* libusb_alloc_transfer(int isoPackets) {
    if (isoPackets != 0) {
        return nullptr;
    }
    return new libusb_transfer{};
}

void libusb_free_transfer(libusb_transfer* transfer) {
    delete transfer;
}

int libusb_submit_transfer(libusb_transfer* transfer) {
    if (transfer->type != LIBUSB_TRANSFER_TYPE_BULK || (transfer->endpoint & LIBUSB_ENDPOINT_IN) != 0) {
        return LIBUSB_ERROR_NOT_SUPPORTED;
    }
    const bool zeroPacket = (transfer->flags & LIBUSB_TRANSFER_ADD_ZERO_PACKET) != 0;
    const qx::irda::UsbResult result = Move(transfer->dev_handle, transfer->endpoint, transfer->buffer,
                                            transfer->length, transfer->timeout, false, zeroPacket);
    if (result.status == qx::irda::UsbStatus::Failed) {
        return ErrorOf(result);  // usbfs refused the submission
    }
    transfer->actual_length = result.Ok() ? static_cast<int>(result.length) : 0;
    switch (result.status) {
        case qx::irda::UsbStatus::Ok:
            transfer->status = LIBUSB_TRANSFER_COMPLETED;
            break;
        case qx::irda::UsbStatus::Timeout:
            transfer->status = LIBUSB_TRANSFER_TIMED_OUT;
            break;
        case qx::irda::UsbStatus::Stall:
            transfer->status = LIBUSB_TRANSFER_STALL;
            break;
        default:
            transfer->status = LIBUSB_TRANSFER_NO_DEVICE;
            break;
    }
    finished.push_back(transfer);
    return 0;
}

int libusb_cancel_transfer(libusb_transfer*) {
    return LIBUSB_ERROR_NOT_FOUND;  // every transfer here has already completed
}

int libusb_handle_events_timeout_completed(libusb_context*, struct timeval*, int* completed) {
    std::vector<libusb_transfer*> due;
    due.swap(finished);
    for (libusb_transfer* transfer : due) {
        transfer->callback(transfer);
    }
    (void)completed;
    return 0;
}

const char* libusb_error_name(int code) {
    switch (code) {
        case LIBUSB_ERROR_IO:
            return "LIBUSB_ERROR_IO";
        case LIBUSB_ERROR_BUSY:
            return "LIBUSB_ERROR_BUSY";
        case LIBUSB_ERROR_OTHER:
            return "LIBUSB_ERROR_OTHER";
        default:
            return "**UNKNOWN**";
    }
}

const char* libusb_strerror(int code) {
    switch (code) {
        case LIBUSB_ERROR_IO:
            return "Input/Output Error";
        case LIBUSB_ERROR_BUSY:
            return "Resource busy";
        case LIBUSB_ERROR_OTHER:
            return "Other error";
        default:
            return "Unknown error";
    }
}

}  // extern "C"
