#pragma once

#include <cstdint>
#include <string>

#include "tarn/client/Export.h"

namespace tarn::client {

// The connectivity result for one peer; SELF marks the local client's own entry.
// The numbers leave the process as decimal text (reports to the meta service): they are fixed.
enum class ConnectionType : std::int32_t {
    NONE = 0,
    DIRECT_PRIVATE = 1,
    DIRECT_PUBLIC = 2,
    RELAY = 3,
    SELF = 4
};

// "NONE" for 0, for SELF and for every value outside the enumeration.
TARN_API std::string toString(ConnectionType value);

}  // namespace tarn::client
