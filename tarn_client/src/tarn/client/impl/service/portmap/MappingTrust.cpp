#include "tarn/client/impl/service/portmap/MappingTrust.h"

#include <cstdint>

namespace tarn::client::impl::service::portmap {

namespace {

bool within(std::uint32_t address, std::uint32_t network, int length) {
    const std::uint32_t mask = length == 0 ? 0 : ~std::uint32_t{0} << (32 - length);
    return (address & mask) == (network & mask);
}

}  // namespace

MappingTrust::Verdict MappingTrust::judge(const std::optional<Address>& external, const Address& publicSeen) {
    if (!external || external->is_unspecified()) {
        return Verdict::UNSPECIFIED;
    }
    const std::uint32_t value = external->to_uint();
    if (within(value, 0x0A000000, 8) || within(value, 0xAC100000, 12) || within(value, 0xC0A80000, 16) ||
        within(value, 0xA9FE0000, 16) || within(value, 0x7F000000, 8)) {
        return Verdict::PRIVATE;
    }
    if (within(value, 0x64400000, 10)) {
        return Verdict::CARRIER_GRADE;
    }
    return *external == publicSeen ? Verdict::USABLE : Verdict::DIFFERENT;
}

const char* MappingTrust::describe(Verdict verdict) {
    switch (verdict) {
        case Verdict::USABLE:
            return "usable";
        case Verdict::UNSPECIFIED:
            return "the router reports no external address";
        case Verdict::PRIVATE:
            return "the router's external address is private: another NAT stands in front of it";
        case Verdict::CARRIER_GRADE:
            return "the router's external address is carrier-grade (100.64.0.0/10): the carrier's NAT "
                   "stands in front of it";
        case Verdict::DIFFERENT:
            return "the router's external address is not the public address the rendezvous service "
                   "sees: another NAT stands in front of it";
    }
    return "unknown";
}

}  // namespace tarn::client::impl::service::portmap
