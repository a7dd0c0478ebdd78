#include "tarn/client/NatInfo.h"

namespace tarn::client {

std::ostream& operator<<(std::ostream& out, const NatInfo& nat) {
    return out << "[type=" << toString(nat.type) << ", behavior=" << toString(nat.behavior)
               << ", increment=" << nat.increment << "]";
}

}  // namespace tarn::client
