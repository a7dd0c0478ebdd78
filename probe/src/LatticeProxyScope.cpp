#include "LatticeProxyScope.h"

namespace tarn {
namespace probe {

LatticeProxyScope::LatticeProxyScope(lattice::TARNWrapper& tarn, Velk::LS::ILatticeServiceClient& proxy)
    : tarn(tarn) {
    tarn.setLatticeProxy(&proxy);
}

LatticeProxyScope::~LatticeProxyScope() {
    tarn.setLatticeProxy(nullptr);
}

}  // namespace probe
}  // namespace tarn
