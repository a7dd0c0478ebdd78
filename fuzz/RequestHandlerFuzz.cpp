// Feeds the rendezvous server's request handling a sequence of datagrams (see DatagramRecords.h),
// each from one of the senders of RendezvousScene.h, so that a relay request can name an endpoint that bound
// before it. Header bits: 0-1 the receiving endpoint, 2-3 the sender, 4-7 seconds passed before
// it arrives.
//
// The answers are queued for sockets that do not exist (descriptor -1): sending them fails inside
// the process, so no datagram leaves it whatever the input names.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "DatagramRecords.h"
#include "RendezvousScene.h"
#include "tarn/server/AllowList.h"
#include "tarn/server/Counters.h"
#include "tarn/server/Datagram.h"
#include "tarn/server/RateLimiter.h"
#include "tarn/server/RequestHandler.h"
#include "tarn/server/SendBatch.h"

namespace {

using tarn::server::RequestHandler;
using namespace tarn::fuzz::rendezvous;

// The server's defaults, with small tables: their size is not what is fuzzed.
constexpr unsigned kMaxTargets = 32;
constexpr unsigned kMaxReflected = 64;
constexpr std::size_t kTableSize = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One worker's state, kept for the life of the process as in the server. Its clock only moves
    // forward, by what the records say.
    static tarn::server::AllowList allowList(kTableSize, std::chrono::seconds(600));
    static tarn::server::RateLimiter bindLimiter(1000, 2000, kTableSize);
    static tarn::server::RateLimiter relayLimiter(1, 2, kTableSize);
    static tarn::server::Counters counters;
    static RequestHandler handler(kServer, kMaxTargets, kMaxReflected, {allowList, bindLimiter, relayLimiter},
                                  counters, 1);
    static tarn::server::SendBatch out(8, std::vector<int>(kServer.size(), -1));
    static RequestHandler::Clock::time_point now{std::chrono::hours(1)};

    tarn::fuzz::DatagramRecords records(data, size);
    tarn::fuzz::DatagramRecord record;
    while (records.next(record)) {
        now += std::chrono::seconds(record.header >> 4);
        tarn::server::Datagram datagram;
        datagram.data = record.bytes;
        // The receive batch cuts a longer datagram off and marks it.
        datagram.oversized = record.length > tarn::server::kMaxDatagram;
        datagram.length = datagram.oversized ? tarn::server::kMaxDatagram : record.length;
        datagram.source = kSenders[(record.header >> 2) & 3];
        handler.handle(datagram, record.header & 3, now, out);
    }
    out.flush();
    out.takeFailures();
    return 0;
}
