#pragma once

#include <tarn/tarn_client.h>

namespace tarn {
namespace probe {

// Hands the library a meta service for as long as the scope lasts. The library keeps only the
// pointer, so it is taken back on every way out, before the meta service goes away.
class LatticeProxyScope {
public:
    LatticeProxyScope(lattice::TARNWrapper& tarn, Velk::LS::ILatticeServiceClient& proxy);
    ~LatticeProxyScope();
    LatticeProxyScope(const LatticeProxyScope&) = delete;
    LatticeProxyScope& operator=(const LatticeProxyScope&) = delete;

private:
    lattice::TARNWrapper& tarn;
};

}  // namespace probe
}  // namespace tarn
