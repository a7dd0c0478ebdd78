// A host program written the way a game uses the library: only the umbrella header, only the
// installed package. Exits non-zero on the first surprise.
#include <tarn/tarn.h>
#include <tarn/tarn_client.h>

#include <iostream>
#include <sstream>
#include <string>

namespace {

int failures = 0;

void expect(bool ok, const std::string& what) {
    if (!ok) {
        std::cerr << "FAILED: " << what << "\n";
        ++failures;
    }
}

template <typename T>
std::string text(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

}  // namespace

int main() {
    using namespace tarn::client;
    tarn::lattice::TARNWrapper& wrapper = tarn::lattice::TARNWrapper::getInstance();
    const std::string version = wrapper.getTARNClientVersion();
    std::cout << "client version " << version << "\n";
    // The facade's interface version stays put; the package's version moves with each release.
    expect(version == "1.0.1", "interface version");
    expect(std::string(tarn_version()) == "1.2.0", "package version");

    Topology topology;
    topology.nat = {NatType::SYMMETRIC, NatBehavior::PORT_SENSITIVE, 1};
    topology.localAddr = "10.0.0.2";
    topology.localPort = 600;
    topology.publicAddr = "203.0.113.9";
    topology.publicPort = 712;
    Peer peer;
    peer.topology = topology;
    peer.connection = ConnectionType::RELAY;
    peer.identifier = 17;
    std::cout << text(topology.nat) << "\n" << text(topology) << "\n" << text(peer) << "\n";
    expect(text(topology.nat) == "[type=SYMMETRIC, behavior=PORT SENSITIVE, increment=1]", "NatInfo text");
    expect(text(peer) ==
               "[identifier=17, connection=RELAY, topology=[NAT=[type=SYMMETRIC, behavior=PORT SENSITIVE, "
               "increment=1], local addr=10.0.0.2:600, public addr=203.0.113.9:712]]",
           "Peer text");
    expect(topology.isValid(), "topology validity");
    std::cout << "current topology " << text(wrapper.getCurrentTopology()) << "\n";

    // The standard terms: nothing measured yet, and the names of the behaviours.
    const NatMeasurement& measured = wrapper.getNatMeasurement();
    expect(!measured.complete, "no discovery has run");
    expect(measured.mapping(topology.nat) == MappingBehavior::UNKNOWN, "mapping before discovery");
    expect(toString(MappingBehavior::ADDRESS_AND_PORT_DEPENDENT) == "address-and-port-dependent",
           "mapping text");
    expect(toString(FilteringBehavior::ENDPOINT_INDEPENDENT) == "endpoint-independent", "filtering text");

    // Exceptions made by the library are caught by their own types in the host.
    try {
        throw NoUDPConnectionException("host", "probe", "silence");
    } catch (const ConnectionException& e) {
        expect(std::string(e.what()) == "[host:probe] silence", "exception text");
    } catch (...) {
        expect(false, "NoUDPConnectionException not caught as ConnectionException");
    }
    try {
        throw UninitializedException("a", "b", "c");
    } catch (const TARNException& e) {
        expect(std::string(e.what()) == "[a:b] c", "UninitializedException as TARNException");
    }

    // The services the facade hands out are usable through their interfaces.
    Configurator& configurator = wrapper.getConfigurator();
    configurator.setValue("tarn.host.check", "42");
    expect(configurator.getInt("tarn.host.check", 0, false) == 42, "configurator round trip");
    wrapper.getLoggingService().info("host", "main", "host program is running");
    return failures == 0 ? 0 : 1;
}
