#include "tarn/client/NatType.h"

namespace tarn::client {

std::string toString(NatType value) {
    switch (value) {
        case NatType::NONE:
            return "NONE";
        case NatType::FULL_CONE:
            return "FULL CONE";
        case NatType::RESTRICTED_CONE:
            return "RESTRICTED CONE";
        case NatType::PORT_RESTRICTED_CONE:
            return "PORT RESTRICTED CONE";
        case NatType::SYMMETRIC:
            return "SYMMETRIC";
        default:
            return "UNKNOWN";
    }
}

}  // namespace tarn::client
