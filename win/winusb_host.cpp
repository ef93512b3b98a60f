#include "win/winusb_host.h"

#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

#include <string>
#include <vector>

#include "win/wide_text.h"

namespace qx {
namespace {

using irda::UsbFailure;
using irda::UsbResult;
using irda::UsbStatus;

// GUID_DEVINTERFACE_USB_DEVICE: every USB device the hub driver reports.
constexpr GUID USB_DEVICE_INTERFACE = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// A function of a library loaded at run time; the cast goes through a plain function pointer, as the 64-bit
// compiler wants between unrelated function types.
template <typename F>
F Bind(HMODULE module, const char* name) {
    if (module == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

int HexDigits(const wchar_t* text, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        const wchar_t c = text[i];
        int digit = -1;
        if (c >= L'0' && c <= L'9') {
            digit = c - L'0';
        } else if (c >= L'a' && c <= L'f') {
            digit = c - L'a' + 10;
        } else if (c >= L'A' && c <= L'F') {
            digit = c - L'A' + 10;
        }
        if (digit < 0) {
            return -1;
        }
        value = value * 16 + digit;
    }
    return value;
}

wchar_t Lower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Where `word` (lower-case ASCII) ends in `text`, in any letter case; nullptr when it is not there.
const wchar_t* FindNoCase(const wchar_t* text, const wchar_t* word) {
    for (; *text != 0; ++text) {
        std::size_t i = 0;
        while (word[i] != 0 && text[i] != 0 && Lower(text[i]) == word[i]) {
            ++i;
        }
        if (word[i] == 0) {
            return text + i;
        }
    }
    return nullptr;
}

}  // namespace

struct WinUsbHost::Api {
    HMODULE setupapi = nullptr;
    HMODULE winusb = nullptr;
    decltype(&SetupDiGetClassDevsW) getClassDevs = nullptr;
    decltype(&SetupDiEnumDeviceInterfaces) enumInterfaces = nullptr;
    decltype(&SetupDiGetDeviceInterfaceDetailW) interfaceDetail = nullptr;
    decltype(&SetupDiDestroyDeviceInfoList) destroyList = nullptr;
    decltype(&SetupDiGetDeviceRegistryPropertyW) registryProperty = nullptr;
    decltype(&WinUsb_Initialize) initialize = nullptr;
    decltype(&WinUsb_Free) free = nullptr;
    decltype(&WinUsb_QueryInterfaceSettings) querySettings = nullptr;
    decltype(&WinUsb_QueryPipe) queryPipe = nullptr;
    decltype(&WinUsb_GetAssociatedInterface) associated = nullptr;
    decltype(&WinUsb_ControlTransfer) control = nullptr;
    decltype(&WinUsb_ReadPipe) readPipe = nullptr;
    decltype(&WinUsb_WritePipe) writePipe = nullptr;
    decltype(&WinUsb_SetPipePolicy) setPolicy = nullptr;
    decltype(&WinUsb_ResetPipe) resetPipe = nullptr;

    bool Complete() const {
        return getClassDevs && enumInterfaces && interfaceDetail && destroyList && registryProperty &&
               initialize && free && querySettings && queryPipe && associated && control && readPipe &&
               writePipe && setPolicy && resetPipe;
    }
};

namespace {

// One device opened through WinUSB, with the interface asked for.
class WinUsbDevice : public irda::UsbDevice {
  public:
    WinUsbDevice(const WinUsbHost::Api& api, HANDLE file, WINUSB_INTERFACE_HANDLE first,
                 WINUSB_INTERFACE_HANDLE chosen)
        : api_(api), file_(file), first_(first), chosen_(chosen) {}
    ~WinUsbDevice() override {
        if (chosen_ != first_) {
            api_.free(chosen_);
        }
        api_.free(first_);
        CloseHandle(file_);
    }
    WinUsbDevice(const WinUsbDevice&) = delete;
    WinUsbDevice& operator=(const WinUsbDevice&) = delete;

    UsbResult ControlOut(const irda::UsbSetup& s, std::span<const std::uint8_t> data,
                         std::uint32_t timeoutMs) override {
        std::vector<UCHAR> copy(data.begin(), data.end());
        return Control(s, copy.data(), copy.size(), timeoutMs);
    }
    UsbResult ControlIn(const irda::UsbSetup& s, std::span<std::uint8_t> data,
                        std::uint32_t timeoutMs) override {
        return Control(s, data.data(), data.size(), timeoutMs);
    }
    UsbResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                      std::uint32_t timeoutMs) override {
        return Write(endpoint, data, timeoutMs);
    }
    UsbResult BulkOutFrame(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override {
        return Write(endpoint, data, timeoutMs, true);
    }
    UsbResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data, std::uint32_t timeoutMs) override {
        return Read(endpoint, data, timeoutMs);
    }
    UsbResult InterruptIn(std::uint8_t endpoint, std::span<std::uint8_t> data,
                          std::uint32_t timeoutMs) override {
        return Read(endpoint, data, timeoutMs);
    }
    // WinUSB writes an interrupt pipe as it writes a bulk one.
    UsbResult InterruptOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override {
        return Write(endpoint, data, timeoutMs);
    }
    UsbResult ClearHalt(std::uint8_t endpoint) override {
        // WinUSB's reset clears the halt and the data toggle on the device, as a clear-feature would.
        return api_.resetPipe(chosen_, endpoint) ? irda::UsbDone(0) : WinUsbFailure(GetLastError());
    }

  private:
    // A pipe ends a write with a zero-length packet only under its SHORT_PACKET_TERMINATE policy, which
    // holds for every write until changed: it is set to what each write asks.
    UsbResult Write(std::uint8_t endpoint, std::span<const std::uint8_t> data, std::uint32_t timeoutMs,
                    bool zeroPacket = false) {
        std::vector<UCHAR> copy(data.begin(), data.end());
        if (!SetTimeout(endpoint, timeoutMs) || !SetTerminate(endpoint, zeroPacket)) {
            return WinUsbFailure(GetLastError());
        }
        ULONG done = 0;
        if (!api_.writePipe(chosen_, endpoint, copy.data(), static_cast<ULONG>(copy.size()), &done,
                            nullptr)) {
            return WinUsbFailure(GetLastError());
        }
        return irda::UsbDone(done);
    }
    bool SetTerminate(UCHAR pipe, bool on) {
        const bool now = (terminating_ & (1u << (pipe & 0x0F))) != 0;
        if (now == on) {
            return true;
        }
        UCHAR value = on ? TRUE : FALSE;
        if (api_.setPolicy(chosen_, pipe, SHORT_PACKET_TERMINATE, sizeof value, &value) == FALSE) {
            return false;
        }
        terminating_ ^= 1u << (pipe & 0x0F);
        return true;
    }
    bool SetTimeout(UCHAR pipe, std::uint32_t timeoutMs) {
        ULONG value = timeoutMs == 0 ? 1 : timeoutMs;  // 0 would mean: wait for ever
        return api_.setPolicy(chosen_, pipe, PIPE_TRANSFER_TIMEOUT, sizeof value, &value) != FALSE;
    }
    UsbResult Control(const irda::UsbSetup& s, UCHAR* data, std::size_t size, std::uint32_t timeoutMs) {
        if (!SetTimeout(0, timeoutMs)) {
            return WinUsbFailure(GetLastError());
        }
        WINUSB_SETUP_PACKET setup{};
        setup.RequestType = s.requestType;
        setup.Request = s.request;
        setup.Value = s.value;
        setup.Index = s.index;
        setup.Length = static_cast<USHORT>(size);
        ULONG done = 0;
        if (!api_.control(chosen_, setup, data, static_cast<ULONG>(size), &done, nullptr)) {
            return WinUsbFailure(GetLastError());
        }
        return irda::UsbDone(done);
    }
    UsbResult Read(std::uint8_t endpoint, std::span<std::uint8_t> data, std::uint32_t timeoutMs) {
        if (!SetTimeout(endpoint, timeoutMs)) {
            return WinUsbFailure(GetLastError());
        }
        ULONG done = 0;
        if (!api_.readPipe(chosen_, endpoint, data.data(), static_cast<ULONG>(data.size()), &done, nullptr)) {
            const DWORD error = GetLastError();
            irda::UsbResult failed = WinUsbFailure(error);
            // Bytes that came before the timeout are bytes received, as libusb hands them.
            if (failed.status == irda::UsbStatus::Timeout) {
                failed.length = done;
            }
            return failed;
        }
        return irda::UsbDone(done);
    }

    const WinUsbHost::Api& api_;
    HANDLE file_;
    WINUSB_INTERFACE_HANDLE first_;
    WINUSB_INTERFACE_HANDLE chosen_;
    unsigned terminating_ = 0;  // the OUT pipes, by endpoint number, under SHORT_PACKET_TERMINATE
};

}  // namespace

UsbResult WinUsbFailure(unsigned long error) {
    const auto code = static_cast<std::int32_t>(error);
    switch (error) {
        case ERROR_SEM_TIMEOUT:
            return UsbFailure(UsbStatus::Timeout, code);
        case ERROR_GEN_FAILURE:  // what WinUSB reports for a stalled request or endpoint
            return UsbFailure(UsbStatus::Stall, code);
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_BAD_COMMAND:
        case ERROR_FILE_NOT_FOUND:
            return UsbFailure(UsbStatus::Gone, code);
        default:
            return UsbFailure(UsbStatus::Failed, code);
    }
}

std::optional<irda::UsbInterface> InterfaceOfCompatibleIds(const wchar_t* ids, std::size_t chars) {
    // Each id is its own entry: "USB\DevClass_.." (the device's class) and the "SubClass_" inside an id are
    // no interface class.
    std::size_t start = 0;
    while (start < chars && ids[start] != 0) {
        std::size_t end = start;
        while (end < chars && ids[end] != 0) {
            ++end;
        }
        const std::wstring id(ids + start, ids + end);
        constexpr std::size_t CLASS_AT = 10;     // after "usb\class_"
        constexpr std::size_t SUBCLASS_AT = 22;  // after "usb\class_fe&subclass_"
        if (id.size() >= SUBCLASS_AT + 2 && FindNoCase(id.c_str(), L"usb\\class_") == id.c_str() + CLASS_AT &&
            FindNoCase(id.c_str() + CLASS_AT + 2, L"&subclass_") == id.c_str() + SUBCLASS_AT &&
            (id.size() == SUBCLASS_AT + 2 || id[SUBCLASS_AT + 2] == L'&')) {
            const int interfaceClass = HexDigits(id.c_str() + CLASS_AT, 2);
            const int subClass = HexDigits(id.c_str() + SUBCLASS_AT, 2);
            if (interfaceClass >= 0 && subClass >= 0) {
                return irda::UsbInterface{
                    0, static_cast<std::uint8_t>(interfaceClass), static_cast<std::uint8_t>(subClass), {}};
            }
        }
        start = end + 1;
    }
    return std::nullopt;
}

bool VendorProductOfPath(const wchar_t* path, std::uint16_t& vendor, std::uint16_t& product) {
    const wchar_t* v = FindNoCase(path, L"vid_");
    const wchar_t* p = FindNoCase(path, L"pid_");
    if (v == nullptr || p == nullptr) {
        return false;
    }
    const int vendorId = HexDigits(v, 4);
    const int productId = HexDigits(p, 4);
    if (vendorId < 0 || productId < 0) {
        return false;
    }
    vendor = static_cast<std::uint16_t>(vendorId);
    product = static_cast<std::uint16_t>(productId);
    return true;
}

WinUsbHost::WinUsbHost() : api_(std::make_unique<Api>()) {
    api_->setupapi = LoadLibraryW(L"setupapi.dll");
    api_->winusb = LoadLibraryW(L"winusb.dll");
    Api& a = *api_;
    a.getClassDevs = Bind<decltype(a.getClassDevs)>(a.setupapi, "SetupDiGetClassDevsW");
    a.enumInterfaces = Bind<decltype(a.enumInterfaces)>(a.setupapi, "SetupDiEnumDeviceInterfaces");
    a.interfaceDetail = Bind<decltype(a.interfaceDetail)>(a.setupapi, "SetupDiGetDeviceInterfaceDetailW");
    a.destroyList = Bind<decltype(a.destroyList)>(a.setupapi, "SetupDiDestroyDeviceInfoList");
    a.registryProperty = Bind<decltype(a.registryProperty)>(a.setupapi, "SetupDiGetDeviceRegistryPropertyW");
    a.initialize = Bind<decltype(a.initialize)>(a.winusb, "WinUsb_Initialize");
    a.free = Bind<decltype(a.free)>(a.winusb, "WinUsb_Free");
    a.querySettings = Bind<decltype(a.querySettings)>(a.winusb, "WinUsb_QueryInterfaceSettings");
    a.queryPipe = Bind<decltype(a.queryPipe)>(a.winusb, "WinUsb_QueryPipe");
    a.associated = Bind<decltype(a.associated)>(a.winusb, "WinUsb_GetAssociatedInterface");
    a.control = Bind<decltype(a.control)>(a.winusb, "WinUsb_ControlTransfer");
    a.readPipe = Bind<decltype(a.readPipe)>(a.winusb, "WinUsb_ReadPipe");
    a.writePipe = Bind<decltype(a.writePipe)>(a.winusb, "WinUsb_WritePipe");
    a.setPolicy = Bind<decltype(a.setPolicy)>(a.winusb, "WinUsb_SetPipePolicy");
    a.resetPipe = Bind<decltype(a.resetPipe)>(a.winusb, "WinUsb_ResetPipe");
}

WinUsbHost::~WinUsbHost() {
    if (api_->winusb != nullptr) {
        FreeLibrary(api_->winusb);
    }
    if (api_->setupapi != nullptr) {
        FreeLibrary(api_->setupapi);
    }
}

bool WinUsbHost::Loaded() const {
    return api_->Complete();
}

namespace {

struct UsbDevicePath {
    std::wstring path;
    std::vector<wchar_t> compatibleIds;  // a multi-string, empty when the device has none
};

std::vector<wchar_t> CompatibleIds(const WinUsbHost::Api& api, HDEVINFO list, SP_DEVINFO_DATA& device) {
    DWORD size = 0;
    api.registryProperty(list, &device, SPDRP_COMPATIBLEIDS, nullptr, nullptr, 0, &size);
    std::vector<wchar_t> ids(size / sizeof(wchar_t));
    if (ids.empty() || !api.registryProperty(list, &device, SPDRP_COMPATIBLEIDS, nullptr,
                                             reinterpret_cast<BYTE*>(ids.data()),
                                             static_cast<DWORD>(ids.size() * sizeof(wchar_t)), nullptr)) {
        ids.clear();
    }
    return ids;
}

std::vector<UsbDevicePath> UsbDevicePaths(const WinUsbHost::Api& api) {
    std::vector<UsbDevicePath> paths;
    HDEVINFO list =
        api.getClassDevs(&USB_DEVICE_INTERFACE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) {
        return paths;
    }
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; api.enumInterfaces(list, nullptr, &USB_DEVICE_INTERFACE, index, &data); ++index) {
        DWORD size = 0;
        api.interfaceDetail(list, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            continue;
        }
        std::vector<std::uint8_t> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (api.interfaceDetail(list, &data, detail, size, nullptr, &device)) {
            paths.push_back({detail->DevicePath, CompatibleIds(api, list, device)});
        }
    }
    api.destroyList(list);
    return paths;
}

// The device's interfaces (first alternate setting each) with their pipes, read through WinUSB.
std::vector<irda::UsbInterface> InterfacesOf(const WinUsbHost::Api& api, WINUSB_INTERFACE_HANDLE first) {
    std::vector<irda::UsbInterface> interfaces;
    for (UCHAR index = 0; index < 16; ++index) {
        WINUSB_INTERFACE_HANDLE handle = first;
        if (index > 0 && !api.associated(first, static_cast<UCHAR>(index - 1), &handle)) {
            break;
        }
        USB_INTERFACE_DESCRIPTOR descriptor{};
        if (api.querySettings(handle, 0, &descriptor)) {
            irda::UsbInterface usbInterface{
                descriptor.bInterfaceNumber, descriptor.bInterfaceClass, descriptor.bInterfaceSubClass, {}};
            for (UCHAR pipe = 0; pipe < descriptor.bNumEndpoints; ++pipe) {
                WINUSB_PIPE_INFORMATION information{};
                if (api.queryPipe(handle, 0, pipe, &information)) {
                    usbInterface.endpoints.push_back({information.PipeId,
                                                      static_cast<std::uint8_t>(information.PipeType),
                                                      information.MaximumPacketSize});
                }
            }
            interfaces.push_back(std::move(usbInterface));
        }
        if (handle != first) {
            api.free(handle);
        }
    }
    return interfaces;
}

HANDLE OpenPath(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

}  // namespace

std::vector<irda::UsbDeviceInfo> WinUsbHost::Enumerate() {
    std::vector<irda::UsbDeviceInfo> devices;
    if (!Loaded()) {
        return devices;
    }
    for (const UsbDevicePath& device : UsbDevicePaths(*api_)) {
        const std::wstring& path = device.path;
        irda::UsbDeviceInfo info;
        if (!VendorProductOfPath(path.c_str(), info.vendor, info.product)) {
            continue;
        }
        info.path = Narrow(path);
        const HANDLE file = OpenPath(path);
        WINUSB_INTERFACE_HANDLE first = nullptr;
        if (file != INVALID_HANDLE_VALUE && api_->initialize(file, &first)) {
            info.interfaces = InterfacesOf(*api_, first);
            api_->free(first);
        } else {
            info.access = irda::UsbAccess::NoDriver;
            info.systemCode = static_cast<std::int32_t>(GetLastError());
            // WinUSB reads no interface of a device it does not hold; the compatible ids still tell a
            // bridge-class dongle from the rest of the bus.
            if (const auto usbInterface =
                    InterfaceOfCompatibleIds(device.compatibleIds.data(), device.compatibleIds.size())) {
                info.interfaces.push_back(*usbInterface);
            }
        }
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        devices.push_back(std::move(info));
    }
    return devices;
}

std::unique_ptr<irda::UsbDevice> WinUsbHost::Open(const irda::UsbDeviceInfo& device,
                                                  std::uint8_t interfaceNumber, UsbResult& failure) {
    if (!Loaded()) {
        failure = UsbFailure(UsbStatus::Failed, ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const HANDLE file = OpenPath(Widen(device.path));
    if (file == INVALID_HANDLE_VALUE) {
        failure = WinUsbFailure(GetLastError());
        return nullptr;
    }
    WINUSB_INTERFACE_HANDLE first = nullptr;
    if (!api_->initialize(file, &first)) {
        failure = WinUsbFailure(GetLastError());
        CloseHandle(file);
        return nullptr;
    }
    WINUSB_INTERFACE_HANDLE chosen = first;
    for (UCHAR index = 0; index < 16; ++index) {
        WINUSB_INTERFACE_HANDLE handle = first;
        if (index > 0 && !api_->associated(first, static_cast<UCHAR>(index - 1), &handle)) {
            break;
        }
        USB_INTERFACE_DESCRIPTOR descriptor{};
        if (api_->querySettings(handle, 0, &descriptor) && descriptor.bInterfaceNumber == interfaceNumber) {
            chosen = handle;
            break;
        }
        if (handle != first) {
            api_->free(handle);
        }
    }
    return std::make_unique<WinUsbDevice>(*api_, file, first, chosen);
}

}  // namespace qx
