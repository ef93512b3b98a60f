#include "link/stack_failure.h"

namespace qx {

std::string_view LayerName(StackLayer layer) {
    switch (layer) {
        case StackLayer::Port:
            return "port";
        case StackLayer::Irlap:
            return "irlap";
        case StackLayer::Irlmp:
            return "irlmp";
        case StackLayer::Ias:
            return "ias";
        case StackLayer::TinyTp:
            return "tinytp";
    }
    return "unknown";
}

std::string_view StackStatusName(StackStatus status) {
    switch (status) {
        case StackStatus::OpenFailed:
            return "open_failed";
        case StackStatus::PortFailed:
            return "port_failed";
        case StackStatus::Timeout:
            return "timeout";
        case StackStatus::Refused:
            return "refused";
        case StackStatus::Reset:
            return "reset";
        case StackStatus::NotConnected:
            return "not_connected";
        case StackStatus::NoSuchClass:
            return "no_such_class";
        case StackStatus::NoSuchAttribute:
            return "no_such_attribute";
        case StackStatus::Malformed:
            return "malformed";
        case StackStatus::MediumBusy:
            return "medium_busy";
    }
    return "unknown";
}

}  // namespace qx
