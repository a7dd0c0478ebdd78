#pragma once

#include <cstdint>
#include <string>

#include "tarn/client/Export.h"

namespace tarn::client {

// Whether the NAT's mapping depends on the remote address or port.
// The numbers leave the process as decimal text (reports to the meta service): they are fixed.
enum class NatBehavior : std::int32_t {
    UNKNOWN = 0,
    NOT_SENSITIVE = 1,
    ADDRESS_SENSITIVE = 2,
    PORT_SENSITIVE = 3
};

// "UNKNOWN" for 0 and for every value outside the enumeration.
TARN_API std::string toString(NatBehavior value);

}  // namespace tarn::client
