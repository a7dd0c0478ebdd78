#pragma once

#include <cstdint>
#include <string>

#include "tarn/client/Export.h"
#include "tarn/client/NatInfo.h"

namespace tarn::client {

// How a NAT maps and filters, in the terms of RFC 4787 that reports and tools use today. The
// classic NAT types map onto them: full cone = endpoint-independent mapping and filtering,
// restricted cone = endpoint-independent mapping and address-dependent filtering, port-restricted
// cone = endpoint-independent mapping and address-and-port-dependent filtering, symmetric = a
// mapping that depends on the destination.
enum class MappingBehavior : std::int32_t {
    UNKNOWN = 0,
    // One public endpoint for every destination.
    ENDPOINT_INDEPENDENT = 1,
    // A new public endpoint per destination address.
    ADDRESS_DEPENDENT = 2,
    // A new public endpoint per destination address and port.
    ADDRESS_AND_PORT_DEPENDENT = 3
};

enum class FilteringBehavior : std::int32_t {
    UNKNOWN = 0,
    // Anyone may send to the public endpoint once it exists.
    ENDPOINT_INDEPENDENT = 1,
    // Only addresses the host has sent to.
    ADDRESS_DEPENDENT = 2,
    // Only the exact addresses and ports the host has sent to.
    ADDRESS_AND_PORT_DEPENDENT = 3
};

// "endpoint-independent", "address-dependent", "address-and-port-dependent", or "unknown" for 0
// and every value outside the enumeration.
TARN_API std::string toString(MappingBehavior value);
TARN_API std::string toString(FilteringBehavior value);

// The outcome of one request of discovery.
enum class TestOutcome : std::int32_t { NOT_RUN = 0, ANSWERED = 1, SILENT = 2 };

// What the last full discovery measured, beside the topology it concluded.
struct TARN_API NatMeasurement {
    // A full discovery ran to its end; the other fields describe it.
    bool complete = false;
    // Test 1: the rendezvous service saw another endpoint than the local one.
    bool translated = false;
    // Test 2: the public endpoint towards S4 (the other address and port) differed from the one
    // towards S1. Only measured when translated.
    bool mappingChanged = false;
    // The change tests, sent to S1 from the primary socket: answer from the other address and
    // port (CHANGE_BOTH), and from the other port only (CHANGE_PORT, sent when the first was
    // silent and the mapping did not change).
    TestOutcome changeBoth = TestOutcome::NOT_RUN;
    TestOutcome changePort = TestOutcome::NOT_RUN;
    // Behind a symmetric NAT: how many of its ports per second other hosts took while discovery
    // ran, beyond the ports of discovery's own flows. Negative when not measured.
    double foreignPortRate = -1;
    // The port mapping the router granted and the topology advertises as the public endpoint,
    // instead of the measured one: the protocol ("PCP", "NAT-PMP" or "UPnP-IGD"; empty without
    // a mapping), the external endpoint and the lease in seconds. The fields above still
    // describe the NAT as measured.
    std::string mappingProtocol;
    std::string mappedAddr;
    std::int32_t mappedPort = 0;
    std::int32_t mappingLeaseSeconds = 0;
    // Answers that came after their request was judged (a resend's duplicate, or one slower than
    // the wait): dropped, never taken for a later test's answer.
    std::int32_t lateAnswers = 0;

    // Derived from the fields and, for a changing mapping, from nat.behavior (the port step test
    // tells an address-dependent from an address-and-port-dependent mapping). UNKNOWN before a
    // complete discovery.
    MappingBehavior mapping(const NatInfo& nat) const;
    // No translation: endpoint-independent. An answer from the other address and port:
    // endpoint-independent; otherwise one from the other port: address-dependent; neither:
    // address-and-port-dependent. Behind a mapping that changes, discovery stops after the first
    // change test, so a silent one leaves the filtering unknown.
    FilteringBehavior filtering() const;
};

}  // namespace tarn::client
