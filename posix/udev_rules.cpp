#include "posix/udev_rules.h"

#include <cstdio>

#include "irda/usb_dongle.h"

namespace qx::posix {

std::string UdevRules() {
    std::string text =
        "# USB IrDA dongles the QX2205R console program drives through libusb: usbfs access for the user at "
        "the\n"
        "# desk. Generated from the program's table of dongle ids.\n"
        "ACTION!=\"add|change\", GOTO=\"qx2205r_end\"\n"
        "SUBSYSTEM!=\"usb\", GOTO=\"qx2205r_end\"\n"
        "ENV{DEVTYPE}!=\"usb_device\", GOTO=\"qx2205r_end\"\n";
    for (const irda::DongleId& id : irda::KnownDongleIds()) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "# %s\nATTR{idVendor}==\"%04x\", ATTR{idProduct}==\"%04x\", TAG+=\"uaccess\"\n",
                      std::string(irda::FamilyName(id.family)).c_str(), id.vendor, id.product);
        text += line;
    }
    // usb_id lists a device's interfaces as class, subclass and protocol, two hex digits each. udev takes
    // no comment after a rule, so each rule's name is a line of its own.
    char bridge[160];
    std::snprintf(bridge, sizeof bridge,
                  "# %s, by its interface\nENV{ID_USB_INTERFACES}==\"*:%02x%02x??:*\", TAG+=\"uaccess\"\n",
                  std::string(irda::FamilyName(irda::DongleFamily::Bridge)).c_str(),
                  irda::USB_CLASS_APPLICATION, irda::USB_SUBCLASS_IRDA_BRIDGE);
    text += bridge;
    text += "LABEL=\"qx2205r_end\"\n";
    return text;
}

}  // namespace qx::posix
