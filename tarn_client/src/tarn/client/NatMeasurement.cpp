#include "tarn/client/NatMeasurement.h"

namespace tarn::client {

namespace {

const char* standardTerm(std::int32_t value) {
    switch (value) {
        case 1:
            return "endpoint-independent";
        case 2:
            return "address-dependent";
        case 3:
            return "address-and-port-dependent";
        default:
            return "unknown";
    }
}

}  // namespace

std::string toString(MappingBehavior value) {
    return standardTerm(static_cast<std::int32_t>(value));
}

std::string toString(FilteringBehavior value) {
    return standardTerm(static_cast<std::int32_t>(value));
}

MappingBehavior NatMeasurement::mapping(const NatInfo& nat) const {
    if (!complete) {
        return MappingBehavior::UNKNOWN;
    }
    if (!translated || !mappingChanged) {
        return MappingBehavior::ENDPOINT_INDEPENDENT;
    }
    switch (nat.behavior) {
        case NatBehavior::ADDRESS_SENSITIVE:
            return MappingBehavior::ADDRESS_DEPENDENT;
        case NatBehavior::PORT_SENSITIVE:
            return MappingBehavior::ADDRESS_AND_PORT_DEPENDENT;
        default:
            // The mapping changed between the servers, but four new mappings did not: no verdict.
            return MappingBehavior::UNKNOWN;
    }
}

FilteringBehavior NatMeasurement::filtering() const {
    if (!complete) {
        return FilteringBehavior::UNKNOWN;
    }
    // Nothing translates, so nothing filters on the way: discovery sends no change request then.
    if (!translated) {
        return FilteringBehavior::ENDPOINT_INDEPENDENT;
    }
    if (changeBoth == TestOutcome::ANSWERED) {
        return FilteringBehavior::ENDPOINT_INDEPENDENT;
    }
    if (changePort == TestOutcome::ANSWERED) {
        return FilteringBehavior::ADDRESS_DEPENDENT;
    }
    if (changeBoth == TestOutcome::SILENT && changePort == TestOutcome::SILENT) {
        return FilteringBehavior::ADDRESS_AND_PORT_DEPENDENT;
    }
    return FilteringBehavior::UNKNOWN;
}

}  // namespace tarn::client
