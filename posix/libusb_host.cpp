#include "posix/libusb_host.h"

#include "irda/usb_dongle.h"

#include <libusb-1.0/libusb.h>

#include <cstdio>
#include <string>
#include <vector>

namespace qx::posix {
namespace {

using irda::UsbFailure;
using irda::UsbResult;
using irda::UsbStatus;

std::string PathOf(libusb_device* device) {
    char text[32];
    std::snprintf(text, sizeof text, "usb:%03u-%03u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
    return text;
}

// libusb takes a timeout of 0 as no limit at all: the seam's 0 (do not wait) is the least wait instead.
unsigned int LimitOf(std::uint32_t timeoutMs) {
    return timeoutMs == 0 ? 1 : timeoutMs;
}

class LibusbDevice : public irda::UsbDevice {
  public:
    LibusbDevice(libusb_context* context, libusb_device_handle* handle, int interfaceNumber)
        : context_(context), handle_(handle), interfaceNumber_(interfaceNumber) {}
    ~LibusbDevice() override {
        libusb_release_interface(handle_, interfaceNumber_);
        libusb_close(handle_);
    }
    LibusbDevice(const LibusbDevice&) = delete;
    LibusbDevice& operator=(const LibusbDevice&) = delete;

    UsbResult ControlOut(const irda::UsbSetup& s, std::span<const std::uint8_t> data,
                         std::uint32_t timeoutMs) override {
        std::vector<unsigned char> copy(data.begin(), data.end());
        return LibusbResult(libusb_control_transfer(handle_, s.requestType, s.request, s.value, s.index,
                                                    copy.data(), static_cast<std::uint16_t>(copy.size()),
                                                    LimitOf(timeoutMs)));
    }
    UsbResult ControlIn(const irda::UsbSetup& s, std::span<std::uint8_t> data,
                        std::uint32_t timeoutMs) override {
        return LibusbResult(libusb_control_transfer(handle_, s.requestType, s.request, s.value, s.index,
                                                    data.data(), static_cast<std::uint16_t>(data.size()),
                                                    LimitOf(timeoutMs)));
    }
    UsbResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                      std::uint32_t timeoutMs) override {
        std::vector<unsigned char> copy(data.begin(), data.end());
        return Transfer(libusb_bulk_transfer, endpoint, copy.data(), copy.size(), timeoutMs);
    }
    // libusb's synchronous bulk call never adds the zero-length packet: an asynchronous transfer can.
    UsbResult BulkOutFrame(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override {
        std::vector<unsigned char> copy(data.begin(), data.end());
        libusb_transfer* transfer = libusb_alloc_transfer(0);
        if (transfer == nullptr) {
            return UsbFailure(UsbStatus::Failed, LIBUSB_ERROR_NO_MEM);
        }
        int completed = 0;
        libusb_fill_bulk_transfer(transfer, handle_, endpoint, copy.data(), static_cast<int>(copy.size()),
                                  &LibusbDevice::Completed, &completed, LimitOf(timeoutMs));
        transfer->flags = LIBUSB_TRANSFER_ADD_ZERO_PACKET;
        const int submitted = libusb_submit_transfer(transfer);
        if (submitted != 0) {
            libusb_free_transfer(transfer);
            return LibusbResult(submitted);
        }
        // The transfer's own timeout ends it; a failing event loop cancels it, which ends it too. Until it
        // has ended its buffer stays in use.
        bool cancelled = false;
        while (completed == 0) {
            timeval wait{1, 0};
            const int handled = libusb_handle_events_timeout_completed(context_, &wait, &completed);
            if (handled != 0 && handled != LIBUSB_ERROR_INTERRUPTED && !cancelled) {
                libusb_cancel_transfer(transfer);
                cancelled = true;
            }
        }
        const UsbResult result = TransferResult(*transfer);
        libusb_free_transfer(transfer);
        return result;
    }
    UsbResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data, std::uint32_t timeoutMs) override {
        return Transfer(libusb_bulk_transfer, endpoint, data.data(), data.size(), timeoutMs);
    }
    UsbResult InterruptIn(std::uint8_t endpoint, std::span<std::uint8_t> data,
                          std::uint32_t timeoutMs) override {
        return Transfer(libusb_interrupt_transfer, endpoint, data.data(), data.size(), timeoutMs);
    }
    UsbResult InterruptOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override {
        std::vector<unsigned char> copy(data.begin(), data.end());
        return Transfer(libusb_interrupt_transfer, endpoint, copy.data(), copy.size(), timeoutMs);
    }
    UsbResult ClearHalt(std::uint8_t endpoint) override {
        return LibusbResult(libusb_clear_halt(handle_, endpoint));
    }

  private:
    using TransferCall = int (*)(libusb_device_handle*, unsigned char, unsigned char*, int, int*,
                                 unsigned int);
    UsbResult Transfer(TransferCall call, std::uint8_t endpoint, unsigned char* data, std::size_t size,
                       std::uint32_t timeoutMs) {
        int transferred = 0;
        const int code =
            call(handle_, endpoint, data, static_cast<int>(size), &transferred, LimitOf(timeoutMs));
        UsbResult result = LibusbResult(code < 0 ? code : transferred);
        // Bytes that came before a timeout are bytes received, and the transfer was still cut short.
        if (code == LIBUSB_ERROR_TIMEOUT && transferred > 0) {
            result.length = static_cast<std::size_t>(transferred);
        }
        return result;
    }

    static void LIBUSB_CALL Completed(libusb_transfer* transfer) {
        *static_cast<int*>(transfer->user_data) = 1;
    }

    static UsbResult TransferResult(const libusb_transfer& transfer) {
        switch (transfer.status) {
            case LIBUSB_TRANSFER_COMPLETED:
                return irda::UsbDone(static_cast<std::size_t>(transfer.actual_length));
            case LIBUSB_TRANSFER_TIMED_OUT:
                return LibusbResult(LIBUSB_ERROR_TIMEOUT);
            case LIBUSB_TRANSFER_STALL:
                return LibusbResult(LIBUSB_ERROR_PIPE);
            case LIBUSB_TRANSFER_NO_DEVICE:
                return LibusbResult(LIBUSB_ERROR_NO_DEVICE);
            default:
                return LibusbResult(LIBUSB_ERROR_IO);
        }
    }

    libusb_context* context_;
    libusb_device_handle* handle_;
    int interfaceNumber_;
};

}  // namespace

UsbResult LibusbResult(int code, std::size_t) {
    if (code >= 0) {
        return irda::UsbDone(static_cast<std::size_t>(code));
    }
    switch (code) {
        case LIBUSB_ERROR_TIMEOUT:
            return UsbFailure(UsbStatus::Timeout, code);
        case LIBUSB_ERROR_PIPE:
            return UsbFailure(UsbStatus::Stall, code);
        case LIBUSB_ERROR_NO_DEVICE:
            return UsbFailure(UsbStatus::Gone, code);
        case LIBUSB_ERROR_BUSY:
            return UsbFailure(UsbStatus::Busy, code);
        default:
            return UsbFailure(UsbStatus::Failed, code);
    }
}

LibusbHost::LibusbHost() {
    if (const int code = libusb_init(&context_); code != 0) {
        context_ = nullptr;
        startError_ = code;
    }
}

std::string LibusbHost::StartProblem() const {
    if (context_ != nullptr) {
        return {};
    }
    return std::string(libusb_error_name(startError_)) + ", " + libusb_strerror(startError_);
}

LibusbHost::~LibusbHost() {
    if (context_ != nullptr) {
        libusb_exit(context_);
    }
}

std::vector<irda::UsbDeviceInfo> LibusbHost::Enumerate() {
    std::vector<irda::UsbDeviceInfo> devices;
    if (context_ == nullptr) {
        return devices;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list[i];
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != 0) {
            continue;
        }
        irda::UsbDeviceInfo info;
        info.vendor = descriptor.idVendor;
        info.product = descriptor.idProduct;
        info.path = PathOf(device);
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_active_config_descriptor(device, &config) == 0 ||
            libusb_get_config_descriptor(device, 0, &config) == 0) {
            for (int n = 0; n < config->bNumInterfaces; ++n) {
                if (config->interface[n].num_altsetting < 1) {
                    continue;
                }
                const libusb_interface_descriptor& setting = config->interface[n].altsetting[0];
                irda::UsbInterface usbInterface{
                    setting.bInterfaceNumber, setting.bInterfaceClass, setting.bInterfaceSubClass, {}};
                for (int e = 0; e < setting.bNumEndpoints; ++e) {
                    const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
                    usbInterface.endpoints.push_back({endpoint.bEndpointAddress,
                                                      static_cast<std::uint8_t>(endpoint.bmAttributes & 0x03),
                                                      endpoint.wMaxPacketSize});
                }
                info.interfaces.push_back(std::move(usbInterface));
            }
            libusb_free_config_descriptor(config);
        }
        // The descriptors come from sysfs without opening anything; only a dongle is opened, to see
        // whether this user may.
        if (irda::MatchDongle(info)) {
            libusb_device_handle* handle = nullptr;
            const int opened = libusb_open(device, &handle);
            if (opened == 0) {
                libusb_close(handle);
            } else if (opened == LIBUSB_ERROR_ACCESS) {
                info.access = irda::UsbAccess::NoPermission;
                info.systemCode = opened;
            }
        }
        devices.push_back(std::move(info));
    }
    if (list != nullptr) {
        libusb_free_device_list(list, 1);
    }
    return devices;
}

std::unique_ptr<irda::UsbDevice> LibusbHost::Open(const irda::UsbDeviceInfo& wanted,
                                                  std::uint8_t interfaceNumber, UsbResult& failure) {
    failure = UsbFailure(UsbStatus::Gone, LIBUSB_ERROR_NO_DEVICE);
    if (context_ == nullptr) {
        return nullptr;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    std::unique_ptr<irda::UsbDevice> opened;
    for (ssize_t i = 0; i < count && opened == nullptr; ++i) {
        if (PathOf(list[i]) != wanted.path) {
            continue;
        }
        libusb_device_handle* handle = nullptr;
        int code = libusb_open(list[i], &handle);
        if (code != 0) {
            failure = LibusbResult(code);
            break;
        }
        libusb_set_auto_detach_kernel_driver(handle, 1);
        code = libusb_claim_interface(handle, interfaceNumber);
        if (code != 0) {
            libusb_close(handle);
            failure = LibusbResult(code);
            break;
        }
        opened = std::make_unique<LibusbDevice>(context_, handle, interfaceNumber);
    }
    if (list != nullptr) {
        libusb_free_device_list(list, 1);
    }
    return opened;
}

}  // namespace qx::posix
