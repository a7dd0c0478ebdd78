#pragma once

#include <array>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/NatInfo.h"
#include "tarn/client/NatMeasurement.h"

namespace tarn::client::impl::service::connection {

// What a full discovery sends and what it concludes, as plain values: no socket, no clock. The
// discovery engine sends what nextTests names, records in a Progress what came back, and asks
// again until done. Two orders share the decisions: the documented one runs one test at a time;
// the overlapped one runs at once every test whose answers cannot disturb another's.
class DiscoveryPlan {
public:
    using Endpoint = boost::asio::ip::udp::endpoint;

    enum class Order { DOCUMENTED, OVERLAPPED };
    // Tests 1 to 5 of the NAT, then the port step behind a symmetric NAT.
    enum class Test { MAPPING_S1, MAPPING_S4, PUBLIC, CHANGE_BOTH, CHANGE_PORT, PORT_STEP };
    static constexpr int kTests = 6;
    enum class Socket { PRIMARY, ALTERNATIVE };
    enum class Change { NONE, BOTH, PORT };
    // A test that was never sent, is waiting for its answers, or has ended.
    enum class Status { NOT_SENT, RUNNING, ANSWERED, SILENT };

    // One request to send.
    struct Probe {
        Test test;
        Socket socket;
        // Indices into S1..S4 the request goes to.
        std::vector<int> servers;
        Change change;
        // The server whose datagram answers the probe: the changed one for a change request, the
        // one asked for a plain request to one server; -1 for the port step, which each server
        // asked answers.
        int answerFrom;
    };

    // What discovery knows so far; the engine writes it, the plan only reads it.
    struct Progress {
        std::array<Status, kTests> status{};
        // The alternative socket's own endpoint, which test 1's mapping is compared with.
        Endpoint altLocal;
        // The mappings tests 1, 2 and 3 reported; 0.0.0.0:0 for an answer without one.
        Endpoint mapped1;
        Endpoint mapped4;
        Endpoint publicEndpoint;
        // The public ports the port step reported, in arrival order.
        std::vector<int> ports;

        Status& operator[](Test test) { return status[static_cast<int>(test)]; }
        Status operator[](Test test) const { return status[static_cast<int>(test)]; }
    };

    explicit DiscoveryPlan(Order order);

    // The probes to send now: never one already sent, and never two on one socket that await an
    // answer from the same server, since answers are told apart by their sender alone.
    std::vector<Probe> nextTests(const Progress& progress) const;
    // The NAT type as soon as the answers so far decide it, UNKNOWN before.
    static NatType classify(const Progress& progress);
    // The NAT tests are over: the type is known, and every test whose outcome the measurement
    // reports has ended. Tests the type does not need may still be running; they are abandoned.
    static bool natTestsDone(const Progress& progress);
    // Nothing more to send or to wait for, the port step included.
    static bool done(const Progress& progress);
    // What the tests measured, reporting only the tests the documented order runs, so that both
    // orders report alike; complete stays false.
    static NatMeasurement measurement(const Progress& progress);
    // The probe of a test, as both orders send it.
    static Probe probe(Test test);

private:
    Order order;
};

}  // namespace tarn::client::impl::service::connection
