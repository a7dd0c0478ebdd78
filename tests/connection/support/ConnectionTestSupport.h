#pragma once

// The connection tests' kit: a private working directory with its own log file, model builders,
// and the wire checks; peers on loopback sockets are UdpPeer.

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <boost/asio/ip/udp.hpp>
#include <boost/filesystem.hpp>

#include "ClientConfig.h"
#include "ScopedWorkDir.h"
#include "UdpPeer.h"
#include "tarn/client/Peer.h"
#include "tarn/client/Topology.h"
#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::test::connection {

using Endpoint = boost::asio::ip::udp::endpoint;
using tarn::client::ConnectionType;
using tarn::client::NatBehavior;
using tarn::client::NatType;
using tarn::client::Peer;
using tarn::client::Topology;
using tarn::test::config;
using tarn::test::endpoint;
using tarn::test::Received;
using tarn::test::text;
using tarn::test::UdpPeer;
namespace gen = tarn::generated;

inline void configure(const std::string& key, const std::string& value) {
    config().setValue(key, value);
}

// A fresh temporary directory as the current directory, with the library's log going to a file
// in it at TRACE level. Restores the previous directory and removes the temporary one at the end.
class WorkDir : public tarn::test::ScopedWorkDir {
public:
    WorkDir() : ScopedWorkDir("tarn-p2p") {
        // Tests log from threads of their own too.
        tarn::client::impl::Log::fillNarrowCache();
        tarn::client::LoggingService& logging =
            tarn::client::impl::ServiceRegistry::instance().getLoggingService();
        logging.setLogFile(str(), "tarn.log");
        // Reopened here, so that every test reads its own lines even when one process runs many.
        logging.shutdown();
        logging.init();
        logging.setLevel("TRACE");
    }

    // Every line logged so far. Read it only while no listener runs.
    std::string log() const { return readFile("tarn.log"); }
};

inline Topology topology(NatType type, const std::string& localAddr, int localPort,
                         const std::string& publicAddr, int publicPort, int increment = 0) {
    Topology result;
    result.nat.type = type;
    result.nat.behavior =
        type == NatType::SYMMETRIC ? NatBehavior::PORT_SENSITIVE : NatBehavior::NOT_SENSITIVE;
    result.nat.increment = increment;
    result.localAddr = localAddr;
    result.localPort = localPort;
    result.publicAddr = publicAddr;
    result.publicPort = publicPort;
    return result;
}

inline Peer peer(long identifier, const Topology& peerTopology,
                 ConnectionType connection = ConnectionType::NONE) {
    Peer result;
    result.identifier = identifier;
    result.topology = peerTopology;
    result.connection = connection;
    return result;
}

// The UUID a peer with this client id and messenger address puts into its messages.
inline void stampSender(gen::Content& message, long clientId, const std::string& address) {
    gen::UUID* uuid = message.mutable_uuid();
    uuid->set_uuid_upper(static_cast<std::uint64_t>(static_cast<std::int64_t>(clientId)));
    uuid->set_uuid_lower(boost::asio::ip::make_address_v4(address).to_uint());
}

// A peer message as another client of the game would send it.
inline gen::Content peerMessage(gen::Content::Type type, const std::string& gameId, long clientId,
                                const std::string& address, const std::vector<Endpoint>& targets = {}) {
    gen::Content message;
    message.set_type(type);
    gen::addGameId(message, gameId);
    stampSender(message, clientId, address);
    for (const Endpoint& target : targets) {
        gen::addAddress(message, gen::Attribute::XOR_RESPONSE_TARGET, target, true);
    }
    return message;
}

inline std::vector<Endpoint> responseTargets(const gen::Content& message) {
    std::vector<Endpoint> targets;
    gen::getResponseTargets(message, targets, true);
    return targets;
}

inline std::vector<Endpoint> addressesOf(const gen::Content& message, gen::Attribute::Type type) {
    std::vector<Endpoint> result;
    for (const gen::Attribute& attribute : message.attributes()) {
        Endpoint decoded;
        if (attribute.type() == type && attribute.has_address() &&
            gen::decodeAddress(attribute.address(), decoded, true)) {
            result.push_back(decoded);
        }
    }
    return result;
}

// Threads of this process, from the kernel's own list. A sanitizer's helper thread that starts
// with the first thread of the process is there from the first count on.
inline int threadCount() {
    static const bool settled = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)settled;
    int count = 0;
    for (boost::filesystem::directory_iterator it("/proc/self/task"), end; it != end; ++it) {
        ++count;
    }
    return count;
}

// Log checks that print only the text looked for, not the whole log.
inline ::testing::AssertionResult logHas(const std::string& log, const std::string& text) {
    if (log.find(text) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the log lacks: " << text;
}

inline ::testing::AssertionResult logLacks(const std::string& log, const std::string& text) {
    if (log.find(text) == std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the log has: " << text;
}

inline long long millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace tarn::test::connection
