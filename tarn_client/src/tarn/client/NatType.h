#pragma once

#include <cstdint>
#include <string>

#include "tarn/client/Export.h"

namespace tarn::client {

// The kind of NAT between the local machine and the internet.
// The numbers leave the process as decimal text (reports to the meta service): they are fixed.
enum class NatType : std::int32_t {
    UNKNOWN = 0,
    NONE = 1,
    FULL_CONE = 2,
    RESTRICTED_CONE = 3,
    PORT_RESTRICTED_CONE = 4,
    SYMMETRIC = 5
};

// "UNKNOWN" for 0 and for every value outside the enumeration.
TARN_API std::string toString(NatType value);

}  // namespace tarn::client
