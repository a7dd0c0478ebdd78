// Hands the listener of a connectivity pass a sequence of datagrams (see DatagramRecords.h) as
// if they had arrived at its socket, from the senders of ListenerScene.h. Header bits: 0-1 the
// sender, 2 release the held relayed pings afterwards.
//
// The answers go where the datagrams say. The socket is bound to 127.0.0.1, from where the kernel
// refuses every destination off this host; and the target runs only in a network namespace with
// no interface but loopback (scripts/fuzz.sh runs it under unshare --net), so that its answers
// cannot reach another program's socket on this host's loopback either.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DatagramRecords.h"
#include "ListenerScene.h"
#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/client/impl/service/connection/P2PCtxData.h"
#include "tarn/client/impl/service/connection/P2PListener.h"
#include "tarn/client/impl/util/Messenger.h"

namespace {

using namespace tarn::fuzz::listener;
using tarn::client::impl::service::connection::P2PCtxData;
using tarn::client::impl::service::connection::P2PListener;
using tarn::client::impl::util::Messenger;
using tarn::client::impl::util::ReceivedMessage;
using tarn::client::impl::util::SteadyClock;

// Whether this network namespace has no interface but loopback.
bool loopbackOnly() {
    std::ifstream devices("/proc/net/dev");
    std::string line;
    int interfaces = 0;
    // Two header lines, then one line per interface: "  name: counters".
    for (int skipped = 0; skipped < 2 && std::getline(devices, line); ++skipped) {
    }
    while (std::getline(devices, line)) {
        const std::size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos || line.compare(first, 3, "lo:") != 0) {
            return false;
        }
        ++interfaces;
    }
    return interfaces == 1;
}

Messenger* messenger = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!loopbackOnly()) {
        std::fprintf(stderr,
                     "P2PListenerFuzz sends answers wherever a datagram says: run it in a network "
                     "namespace of its own, for example under 'unshare --net' with lo up\n");
        std::exit(1);
    }
    static Messenger socket("127.0.0.1", 0);
    if (!socket.init()) {
        std::fprintf(stderr, "P2PListenerFuzz: cannot bind a socket on 127.0.0.1\n");
        std::exit(1);
    }
    messenger = &socket;
    // Every log line is formatted, as at the most detailed level a host can choose, and written
    // nowhere: millions of lines would fill the disk.
    tarn::client::LoggingService& logging =
        tarn::client::impl::ServiceRegistry::instance().getLoggingService();
    logging.setLogFile("/dev", "null");
    logging.shutdown();
    logging.init();
    logging.setLevel("TRACE");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarn::client::Topology own = ownTopology(messenger->getLocalEndpoint());
    std::vector<tarn::client::Peer> peerList = peers(own);
    P2PCtxData context(kClientId, kGame, *messenger, peerList, own, SteadyClock::instance());
    context.servers = {kRendezvous};

    tarn::fuzz::DatagramRecords records(data, size);
    tarn::fuzz::DatagramRecord record;
    while (records.next(record)) {
        ReceivedMessage message;
        // The messenger drops a datagram that does not decode before the listener sees it.
        if (!tarn::generated::parseMessage(message.content, record.bytes, record.length)) {
            continue;
        }
        message.localEndpoint = messenger->getLocalEndpoint();
        message.remoteEndpoint = kSenders[record.header & 3];
        P2PListener::process(message, context);
        if (record.header & kRelease) {
            // What the pass does once the schedule of a symmetric phase is through.
            context.symmetric.answerNow();
        }
    }
    return 0;
}
