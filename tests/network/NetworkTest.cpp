#include "tarn/client/impl/Network.h"

#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio/ip/host_name.hpp>

#include "ChildProcess.h"
#include "UdpPeer.h"
#include "tarn/client/ConnectionException.h"
#include "tarn/client/impl/ServiceRegistry.h"

extern char** environ;

namespace tarn {
namespace client {
namespace impl {
namespace {

using boost::asio::ip::address_v4;
using boost::asio::ip::make_address_v4;
using Endpoint = Network::Endpoint;
using EndpointList = Network::EndpointList;
using tarn::test::endpoint;

std::string listText(const EndpointList& endpoints) {
    std::ostringstream out;
    for (const Endpoint& e : endpoints) {
        out << e << ";";
    }
    return out.str();
}

// Runs a command to its end and returns its exit status (-1 when it could not be started).
int runCommand(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs body in a child process inside a network namespace of its own: only a loopback device
// and no route anywhere, so a name look-up cannot leave the machine. Returns what body returned;
// a child that overruns its deadline is killed by its process group id.
std::string inOwnNetworkNamespace(const std::function<std::string()>& body) {
    tarn::test::ChildProcess::Options options;
    options.ownGroup = true;
    tarn::test::ChildProcess child(
        [&body]() -> std::string {
            if (::unshare(CLONE_NEWNET) != 0) {
                return "cannot create a network namespace (needs CAP_NET_ADMIN)";
            }
            try {
                return body();
            } catch (const std::exception& e) {
                return std::string("exception: ") + e.what();
            }
        },
        options);
    if (!child.started()) {
        return "cannot start the child";
    }
    if (!child.readToEnd(std::chrono::steady_clock::now() + std::chrono::seconds(20))) {
        return "child overran its deadline";
    }
    return child.output();
}

std::string exceptionText(const std::function<void()>& call) {
    try {
        call();
    } catch (const ConnectionException& e) {
        return e.what();
    }
    return "no exception";
}

Configurator& configurator() {
    return ServiceRegistry::instance().getConfigurator();
}

// Each case starts from an empty configuration: one test binary may run all cases in one process.
class NetworkConfig : public testing::Test {
protected:
    void SetUp() override { configurator().getValues().clear(); }
    void TearDown() override { configurator().getValues().clear(); }
};

TEST(Network, ResolveAddressAcceptsDottedTextAndLocalNames) {
    struct Case {
        std::string text;
        const char* expected;
    };
    const Case cases[] = {
        {"255.255.255.255", "255.255.255.255"},
        {"0.0.0.0", "0.0.0.0"},
        {"127.0.0.2", "127.0.0.2"},
        {"10.0.0.1", "10.0.0.1"},
        {"localhost", "127.0.0.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        address_v4 address = make_address_v4("9.9.9.9");
        ASSERT_TRUE(Network::resolveAddress(c.text, address));
        EXPECT_EQ(address, make_address_v4(c.expected));
    }
    address_v4 untouched = make_address_v4("9.9.9.9");
    EXPECT_FALSE(Network::resolveAddress("", untouched));
    EXPECT_EQ(untouched, make_address_v4("9.9.9.9"));
}

TEST(Network, UnresolvableNamesFailWithoutThrowing) {
    const std::string result = inOwnNetworkNamespace([] {
        std::ostringstream out;
        address_v4 address = make_address_v4("9.9.9.9");
        out << Network::resolveAddress("no-such-host.invalid", address) << " " << address << "|";
        out << Network::resolveAddress("256.1.1.1", address) << " " << address << "|";
        Endpoint e;
        try {
            Network::initEndpoint("no-such-host.invalid", 5, e);
            out << "no exception";
        } catch (const ConnectionException& x) {
            out << x.what();
        }
        return out.str();
    });
    EXPECT_EQ(result,
              "0 9.9.9.9|0 9.9.9.9|[tarn::client::impl::Network:initEndpoint001] Cannot initialize endpoint: "
              "no-such-host.invalid:5");
}

TEST(Network, InitEndpointKeepsTheLowSixteenBitsOfThePort) {
    struct Case {
        std::string text;
        int port;
        Endpoint expected;
    };
    const Case cases[] = {
        {"10.0.0.1", 5000, endpoint("10.0.0.1", 5000)},   {"10.0.0.1", 0, endpoint("10.0.0.1", 0)},
        {"10.0.0.1", 65535, endpoint("10.0.0.1", 65535)}, {"10.0.0.1", 65536, endpoint("10.0.0.1", 0)},
        {"10.0.0.1", 70000, endpoint("10.0.0.1", 4464)},  {"localhost", 13434, endpoint("127.0.0.1", 13434)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text + ":" + std::to_string(c.port));
        Endpoint fromText;
        Network::initEndpoint(c.text, c.port, fromText);
        EXPECT_EQ(fromText, c.expected);
        Endpoint fromAddress;
        Network::initEndpoint(c.expected.address().to_v4(), c.port, fromAddress);
        EXPECT_EQ(fromAddress, c.expected);
    }
}

TEST(Network, InitEndpointRefusesEmptyTextAndNegativePorts) {
    Endpoint untouched = endpoint("1.2.3.4", 9);
    const struct {
        std::function<void()> call;
        std::string what;
    } cases[] = {
        {[&] { Network::initEndpoint("", 5, untouched); },
         "[tarn::client::impl::Network:initEndpoint000] Illegal IP address value: "},
        {[&] { Network::initEndpoint("10.0.0.1", -1, untouched); },
         "[tarn::client::impl::Network:initEndpoint010] Illegal IP port value: -1"},
        {[&] { Network::initEndpoint(make_address_v4("10.0.0.1"), -65536, untouched); },
         "[tarn::client::impl::Network:initEndpoint010] Illegal IP port value: -65536"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(exceptionText(c.call), c.what);
    }
    EXPECT_EQ(untouched, endpoint("1.2.3.4", 9));
}

TEST_F(NetworkConfig, ServerEndpointsComeInFixedOrder) {
    configurator().setValue("tarn.addr.2", "127.0.0.2");
    configurator().setValue("tarn.addr.1", "localhost");
    configurator().setValue("tarn.port.2", "2001");
    configurator().setValue("tarn.port.1", "2000");
    EndpointList servers = {endpoint("9.9.9.9", 9)};
    Network::getServerEndpoints(servers);
    EXPECT_THAT(servers, testing::ElementsAre(endpoint("9.9.9.9", 9), endpoint("127.0.0.1", 2000),
                                              endpoint("127.0.0.1", 2001), endpoint("127.0.0.2", 2000),
                                              endpoint("127.0.0.2", 2001)));
}

TEST_F(NetworkConfig, ServerEndpointsCoverOnlyAddressesThatResolve) {
    struct Case {
        const char* addr1;
        const char* addr2;
        std::string expected;
    };
    const Case cases[] = {
        {"127.0.0.1", nullptr, "127.0.0.1:13434;127.0.0.1:13435;"},
        {nullptr, "127.0.0.2", "127.0.0.2:13434;127.0.0.2:13435;"},
        {"", "127.0.0.2", "127.0.0.2:13434;127.0.0.2:13435;"},
        {nullptr, nullptr, ""},
    };
    for (const Case& c : cases) {
        configurator().getValues().clear();
        if (c.addr1 != nullptr) {
            configurator().setValue("tarn.addr.1", c.addr1);
        }
        if (c.addr2 != nullptr) {
            configurator().setValue("tarn.addr.2", c.addr2);
        }
        EndpointList servers;
        Network::getServerEndpoints(servers);
        EXPECT_EQ(listText(servers), c.expected);
        // The default ports are stored back for everyone who reads them later.
        EXPECT_EQ(configurator().getString("tarn.port.1"), "13434");
        EXPECT_EQ(configurator().getString("tarn.port.2"), "13435");
    }
}

TEST_F(NetworkConfig, NegativeServerPortThrowsOnlyWhenAnAddressResolves) {
    configurator().setValue("tarn.port.2", "-7");
    EndpointList servers;
    EXPECT_NO_THROW(Network::getServerEndpoints(servers));
    EXPECT_TRUE(servers.empty());

    configurator().setValue("tarn.addr.1", "127.0.0.1");
    EXPECT_EQ(exceptionText([&] { Network::getServerEndpoints(servers); }),
              "[tarn::client::impl::Network:initEndpoint010] Illegal IP port value: -7");
    EXPECT_THAT(servers, testing::ElementsAre(endpoint("127.0.0.1", 13434)));
}

TEST(Network, LocalAddressesListAdaptersBeforeLoopback) {
    EndpointList endpoints = {endpoint("9.9.9.9", 9)};
    testing::internal::CaptureStdout();
    ServiceRegistry::instance().getLoggingService().setLevel(0);
    Network::getLocalAddresses(7, endpoints);
    const std::string output = testing::internal::GetCapturedStdout();

    ASSERT_GE(endpoints.size(), 2u);
    EXPECT_EQ(endpoints.front(), endpoint("9.9.9.9", 9));
    EXPECT_THAT(endpoints, testing::Contains(endpoint("127.0.0.1", 7)));
    bool loopbackSeen = false;
    for (std::size_t i = 1; i < endpoints.size(); ++i) {
        SCOPED_TRACE(listText(endpoints));
        EXPECT_EQ(endpoints[i].port(), 7);
        EXPECT_FALSE(endpoints[i].address().is_unspecified());
        const bool loopback = endpoints[i].address().is_loopback();
        EXPECT_TRUE(loopback || !loopbackSeen) << "an adapter address follows a loopback address";
        loopbackSeen = loopbackSeen || loopback;
    }
    EndpointList found(endpoints.begin() + 1, endpoints.end());
    EXPECT_THAT(output, testing::HasSubstr("[Network:getLocalAddresses] IP addresses for " +
                                           boost::asio::ip::host_name() + " are " +
                                           Network::endpointsToString(found) + "\n"));
}

TEST(Network, LocalAddressesFollowInterfaceOrderAndSkipInterfacesThatAreDown) {
    const std::string result = inOwnNetworkNamespace([] {
        // tv2 gets the lower interface index although it is made later; tv1 and tv3 stay down.
        const std::vector<std::vector<std::string>> setup = {
            {"ip", "link", "set", "lo", "up"},
            {"ip", "addr", "add", "127.0.0.9/8", "dev", "lo"},
            {"ip", "link", "add", "tv0", "index", "10", "type", "veth", "peer", "name", "tv1", "index", "11"},
            {"ip", "link", "add", "tv2", "index", "5", "type", "veth", "peer", "name", "tv3", "index", "12"},
            {"ip", "addr", "add", "10.9.0.1/24", "dev", "tv0"},
            {"ip", "addr", "add", "10.9.0.7/24", "dev", "tv0"},
            {"ip", "addr", "add", "10.9.1.1/24", "dev", "tv1"},
            {"ip", "addr", "add", "10.9.2.1/24", "dev", "tv2"},
            {"ip", "link", "set", "tv0", "up"},
            {"ip", "link", "set", "tv2", "up"},
        };
        for (const auto& command : setup) {
            if (runCommand(command) != 0) {
                return "failed: " + command[1] + " " + command[2] + " " + command[3];
            }
        }
        EndpointList endpoints;
        Network::getLocalAddresses(0, endpoints);
        return listText(endpoints);
    });
    EXPECT_EQ(result, "10.9.2.1:0;10.9.0.1:0;10.9.0.7:0;127.0.0.1:0;127.0.0.9:0;");
}

TEST(Network, LocalAddressesRefuseNegativePorts) {
    EndpointList endpoints;
    EXPECT_THAT(exceptionText([&] { Network::getLocalAddresses(-1, endpoints); }),
                testing::HasSubstr("Illegal IP port value: -1"));
    EXPECT_TRUE(endpoints.empty());
}

TEST(Network, EndpointListTextSpansOneLinePerEndpoint) {
    struct Case {
        EndpointList endpoints;
        std::string text;
    };
    const Case cases[] = {
        {{}, "\n[\n]"},
        {{endpoint("10.0.0.1", 0)}, "\n[\n\t10.0.0.1:0\n]"},
        {{endpoint("10.0.0.1", 0), endpoint("192.168.1.5", 0)}, "\n[\n\t10.0.0.1:0\n\t192.168.1.5:0\n]"},
        {{endpoint("255.255.255.255", 65535), endpoint("0.0.0.0", 1)},
         "\n[\n\t255.255.255.255:65535\n\t0.0.0.0:1\n]"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Network::endpointsToString(c.endpoints), c.text);
    }
}

}  // namespace
}  // namespace impl
}  // namespace client
}  // namespace tarn
