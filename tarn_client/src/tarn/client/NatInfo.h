#pragma once

#include <cstdint>
#include <ostream>

#include "tarn/client/Export.h"
#include "tarn/client/NatBehavior.h"
#include "tarn/client/NatType.h"

namespace tarn::client {

// What discovery learnt about the NAT. Field order and widths are part of the host interface.
struct TARN_API NatInfo {
    NatType type = NatType::UNKNOWN;
    NatBehavior behavior = NatBehavior::UNKNOWN;
    // Step between consecutive public ports of a symmetric NAT; negative means not measured.
    std::int32_t increment = 0;
};

// [type=SYMMETRIC, behavior=PORT SENSITIVE, increment=1]
TARN_API std::ostream& operator<<(std::ostream& out, const NatInfo& nat);

}  // namespace tarn::client
