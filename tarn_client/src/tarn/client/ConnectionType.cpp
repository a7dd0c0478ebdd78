#include "tarn/client/ConnectionType.h"

namespace tarn::client {

std::string toString(ConnectionType value) {
    switch (value) {
        case ConnectionType::DIRECT_PRIVATE:
            return "DIRECT PRIVATE";
        case ConnectionType::DIRECT_PUBLIC:
            return "DIRECT PUBLIC";
        case ConnectionType::RELAY:
            return "RELAY";
        default:
            return "NONE";
    }
}

}  // namespace tarn::client
