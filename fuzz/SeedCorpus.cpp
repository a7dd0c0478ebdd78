// Writes the seed corpus of every fuzz target into <folder>/<target>/: the wire messages and
// configuration files the tests use, and for the targets that read several datagrams, the
// exchanges the tests play.
//   SeedCorpus <folder>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>

#include "DatagramRecords.h"
#include "ListenerScene.h"
#include "RendezvousScene.h"
#include "tarn/generated/MessageHelpers.h"

namespace {

namespace gen = tarn::generated;
using gen::Attribute;
using gen::Content;
using Endpoint = gen::Endpoint;
using Seeds = std::vector<std::pair<std::string, std::string>>;

Endpoint endpoint(const char* address, unsigned short port) {
    return Endpoint(boost::asio::ip::make_address_v4(address), port);
}

std::string encode(const Content& message) {
    std::string bytes(2048, '\0');
    bytes.resize(gen::serializeMessage(message, reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size()));
    return bytes;
}

Content message(Content::Type type) {
    Content result;
    result.set_type(type);
    return result;
}

// A peer message as a client of the game sends it: game id, UUID, then one attribute per target.
Content peerMessage(Content::Type type, const std::string& game, long clientId, const Endpoint& sender,
                    const std::vector<Endpoint>& targets = {}) {
    Content result = message(type);
    gen::addGameId(result, game);
    result.mutable_uuid()->set_uuid_upper(static_cast<std::uint64_t>(static_cast<std::int64_t>(clientId)));
    result.mutable_uuid()->set_uuid_lower(sender.address().to_v4().to_uint());
    for (const Endpoint& target : targets) {
        gen::addAddress(result, Attribute::XOR_RESPONSE_TARGET, target, true);
    }
    return result;
}

// One message of every type and every attribute, as the message tests build them.
Seeds messageSeeds() {
    Seeds seeds;
    seeds.emplace_back("bind-request", encode(message(Content::BIND_REQ)));
    for (const auto change : {Attribute::CHANGE_BOTH, Attribute::CHANGE_ADDR, Attribute::CHANGE_PORT}) {
        Content request = message(Content::BIND_REQ);
        gen::addChangeRequest(request, change);
        seeds.emplace_back("bind-request-" + gen::changeName(change), encode(request));
    }
    Content answer = message(Content::BIND_RESP);
    gen::addAddress(answer, Attribute::XOR_MAPPED_ADDRESS, endpoint("10.0.0.1", 5000), true);
    gen::addAddress(answer, Attribute::XOR_RESPONSE_ORIGIN, endpoint("127.0.0.1", 13434), true);
    gen::addAddress(answer, Attribute::XOR_OTHER_ADDRESS, endpoint("127.0.0.2", 13435), true);
    answer.set_idlversion("3.1");
    seeds.emplace_back("bind-response", encode(answer));

    Content ping = peerMessage(Content::PING_DIRECT, "g7", -2, endpoint("192.168.1.5", 0),
                               {endpoint("192.168.1.5", 6000), endpoint("127.0.0.2", 1)});
    ping.set_error(Content::BAD_MSG_CONTENT);
    gen::addChangeRequest(ping, Attribute::CHANGE_BOTH);
    seeds.emplace_back("ping-direct", encode(ping));
    Content relay =
        peerMessage(Content::PING_RELAY, "g7", 3, endpoint("10.0.0.3", 0), {endpoint("10.0.0.4", 7000)});
    gen::addAddress(relay, Attribute::XOR_REFLECTED_FROM, endpoint("198.51.100.3", 7001), true);
    seeds.emplace_back("ping-relay", encode(relay));
    Content response = peerMessage(Content::PING_RESP, "g7", 4, endpoint("10.0.0.4", 0));
    gen::addAddress(response, Attribute::XOR_P2P_MAPPED_ADDRESS, endpoint("198.51.100.3", 7001), true);
    seeds.emplace_back("ping-response", encode(response));
    seeds.emplace_back("ping-confirm",
                       encode(peerMessage(Content::PING_CONFIRM, "g7", 3, endpoint("10.0.0.3", 0))));
    Content error = message(Content::ERROR);
    error.set_error(Content::NO_PEER_SPECIFIED);
    seeds.emplace_back("error", encode(error));
    return seeds;
}

// The configuration files of the configurator tests.
Seeds configSeeds() {
    return {
        {"spaced", "  tarn.addr.1   =   10.0.0.1   # first server\ntarn.port.1=4000\n\ttarn.retries\t=\t5\n"},
        {"every-key",
         "tarn.loglevel=warn\ntarn.debug=0\ntarn.logdir=logs\ntarn.logname=t.log\ntarn.retries=3\n"
         "tarn.timeout.discovery=600\ntarn.trigger.discovery=4\ntarn.timeout.private=700\n"
         "tarn.timeout.nat=800\ntarn.timeout.nat.sym=900\ntarn.candidate_addrs=12\n"
         "tarn.addr.1=10.0.0.1\ntarn.port.1=1001\ntarn.addr.2=10.0.0.2\ntarn.port.2=1002\n"},
        {"section", "[tarn]\naddr.1=10.0.0.1\n"},
        {"crlf-and-unknown-key", "tarn.addr.1=10.0.0.1\r\ntarn.foo=1\r\ntarn.logname=game.log\r\n"},
        {"empty-value", "tarn.loglevel=\ntarn.logdir = my logs \n"},
        {"missing-equals", "tarn.retries=5\ntarn.addr.1 10.0.0.1\ntarn.port.1=4000\n"},
        {"binary-line", std::string("tarn.retries=5\n\xff\xfe\x01\x02\n")},
        {"repeated-key", "tarn.retries=5\ntarn.retries=6\n"},
        // Once hung the parse: the options library's error text substituted the line into itself.
        {"placeholder-line", "tarn.retries=5\ntarn.port.%invalid_line%\n"},
        {"numbers", "tarn.retries=-3\ntarn.timeout.nat=99999999999\ntarn.port.1=0x10\ntarn.port.2= 12abc\n"},
    };
}

// The rendezvous exchanges of the server tests: bindings, then relay requests between the clients.
Seeds rendezvousSeeds() {
    using namespace tarn::fuzz::rendezvous;
    const std::string bind = encode(message(Content::BIND_REQ));
    Content changed = message(Content::BIND_REQ);
    gen::addChangeRequest(changed, Attribute::CHANGE_PORT);

    Content relay = peerMessage(Content::PING_RELAY, "g1", 3, kSenders[1], {kSenders[0], kSenders[2]});
    gen::addAddress(relay, Attribute::XOR_REFLECTED_FROM, endpoint("198.51.100.3", 7001), true);
    gen::addAddress(relay, Attribute::XOR_REFLECTED_FROM, endpoint("198.51.100.3", 7002), true);
    Content forbidden =
        peerMessage(Content::PING_RELAY, "g1", 3, kSenders[1], {kServer[1], endpoint("0.0.0.0", 9)});

    std::string exchange;
    tarn::fuzz::appendRecord(exchange, header(0, 0, 0), bind);
    tarn::fuzz::appendRecord(exchange, header(3, 1, 1), encode(changed));
    tarn::fuzz::appendRecord(exchange, header(0, 1, 1), encode(relay));
    tarn::fuzz::appendRecord(exchange, header(0, 1, 0), encode(relay));
    tarn::fuzz::appendRecord(exchange, header(0, 1, 0), encode(relay));
    std::string refused;
    tarn::fuzz::appendRecord(refused, header(1, 3, 0), bind);
    tarn::fuzz::appendRecord(refused, header(2, 1, 0), encode(forbidden));
    tarn::fuzz::appendRecord(refused, header(0, 0, 0),
                             encode(peerMessage(Content::PING_DIRECT, "g1", 1, kSenders[0])));
    tarn::fuzz::appendRecord(refused, header(0, 0, 0), std::string(2049, '\x08'));
    return {{"bind-then-relay", exchange}, {"refused", refused}};
}

// The listener exchanges of the P2P tests: direct, relayed and forged pings, answers and confirms.
Seeds listenerSeeds() {
    using namespace tarn::fuzz::listener;
    const Endpoint self = endpoint("127.0.0.1", 0);
    const Content direct =
        peerMessage(Content::PING_DIRECT, kGame, kPeerId, kPeerLocal, {kPeerLocal, kPeerPublic});
    Content response = peerMessage(Content::PING_RESP, kGame, kPeerId, kPeerLocal);
    gen::addAddress(response, Attribute::XOR_P2P_MAPPED_ADDRESS, endpoint("127.0.0.9", 50001), true);
    Content relayed = peerMessage(Content::PING_DIRECT, kGame, kRelayedPeerId, kRelayedPeerLocal,
                                  {kRelayedPeerPublic, endpoint("127.0.0.4", 40009)});

    std::string direct1;
    tarn::fuzz::appendRecord(direct1, 0, encode(direct));
    tarn::fuzz::appendRecord(direct1, 1, encode(response));
    tarn::fuzz::appendRecord(direct1, 0,
                             encode(peerMessage(Content::PING_CONFIRM, kGame, kPeerId, kPeerLocal)));
    std::string relay;
    tarn::fuzz::appendRecord(relay, 2, encode(relayed));
    tarn::fuzz::appendRecord(relay, 2 | kRelease, encode(relayed));
    tarn::fuzz::appendRecord(relay, 2, encode(relayed));
    std::string strangers;
    tarn::fuzz::appendRecord(strangers, 3,
                             encode(peerMessage(Content::PING_RESP, kGame, kPeerId, kPeerLocal)));
    tarn::fuzz::appendRecord(
        strangers, 3,
        encode(peerMessage(Content::PING_DIRECT, "other-game", kPeerId, kPeerLocal, {kPeerLocal})));
    tarn::fuzz::appendRecord(strangers, 1, encode(peerMessage(Content::PING_DIRECT, kGame, 99, kPeerLocal)));
    tarn::fuzz::appendRecord(strangers, 0, encode(peerMessage(Content::PING_DIRECT, kGame, kClientId, self)));
    tarn::fuzz::appendRecord(strangers, 0, encode(message(Content::BIND_RESP)));
    return {{"direct", direct1}, {"relayed", relay}, {"strangers", strangers}};
}

// What a gateway answers the port mapper, as the port mapping tests spell the bytes.
Seeds portMapSeeds() {
    const std::string pcpHeader("\x02\x81\x00\x00\x00\x00\x0e\x10\x00\x00\x03\xe8", 12);
    const std::string pcpMap = pcpHeader + std::string(12, '\0') + std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c", 12) +
                               std::string("\x11\x00\x00\x00\x12\x34\x9c\x40", 8) + std::string(10, '\0') +
                               std::string("\xff\xff\xcb\x00\x71\x05", 6);
    return {{"pcp-granted", pcpMap},
            {"pcp-refused", std::string("\x02\x81\x00\x08", 4) + std::string(20, '\0')},
            {"natpmp-version", std::string("\x00\x81\x00\x01\x00\x00\x00\x09", 8)},
            {"natpmp-address", std::string("\x00\x80\x00\x00\x00\x00\x00\x09\xcb\x00\x71\x05", 12)},
            {"natpmp-mapping", std::string("\x00\x81\x00\x00\x00\x00\x00\x09\x12\x34\x9c\x40\x00\x00\x0e\x10", 16)},
            {"ssdp-answer", "HTTP/1.1 200 OK\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
                            "Location: http://192.168.1.1:5000/rootDesc.xml\r\n\r\n"}};
}

bool write(const boost::filesystem::path& folder, const Seeds& seeds) {
    boost::filesystem::create_directories(folder);
    for (const auto& seed : seeds) {
        std::ofstream file((folder / seed.first).string(), std::ios::binary | std::ios::trunc);
        if (!file.write(seed.second.data(), static_cast<std::streamsize>(seed.second.size()))) {
            std::cerr << "SeedCorpus: cannot write " << (folder / seed.first).string() << std::endl;
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: SeedCorpus <folder>" << std::endl;
        return 2;
    }
    const boost::filesystem::path root = argv[1];
    const bool written = write(root / "MessageHelpersFuzz", messageSeeds()) &&
                         write(root / "ConfiguratorImplFuzz", configSeeds()) &&
                         write(root / "RequestHandlerFuzz", rendezvousSeeds()) &&
                         write(root / "P2PListenerFuzz", listenerSeeds()) &&
                         write(root / "PortMapAnswerFuzz", portMapSeeds());
    return written ? 0 : 1;
}
