#include "tarn/client/NatBehavior.h"

namespace tarn::client {

std::string toString(NatBehavior value) {
    switch (value) {
        case NatBehavior::NOT_SENSITIVE:
            return "NOT SENSITIVE";
        case NatBehavior::ADDRESS_SENSITIVE:
            return "ADDRESS SENSITIVE";
        case NatBehavior::PORT_SENSITIVE:
            return "PORT SENSITIVE";
        default:
            return "UNKNOWN";
    }
}

}  // namespace tarn::client
