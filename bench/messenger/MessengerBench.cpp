// Round-trip latency of two messengers on loopback. A receive wait polls its socket in steps of a
// fifth of its time-out; these runs show that an answer does not wait for the end of a step, also
// when the request arrives in the middle of one (the gap runs).
#include "tarn/client/impl/util/Messenger.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

using tarn::client::impl::util::Messenger;
using tarn::client::impl::util::ReceivedMessage;
using tarn::generated::Content;
using Clock = std::chrono::steady_clock;

// Answers every PING_DIRECT with a PING_RESP on a thread of its own, until told to stop.
class Echo {
public:
    explicit Echo(int timeoutMs) : messenger("127.0.0.2", 0) {
        messenger.setName("bench.echo");
        ready = messenger.init();
        if (ready) {
            thread = std::thread([this, timeoutMs] { run(timeoutMs); });
        }
    }
    ~Echo() {
        stop = true;
        if (thread.joinable()) {
            thread.join();
        }
        messenger.shutdown();
    }
    Echo(const Echo&) = delete;
    Echo& operator=(const Echo&) = delete;

    bool isReady() const { return ready; }
    const Messenger::Endpoint& endpoint() const { return messenger.getLocalEndpoint(); }
    // Ends the echo's current wait at once instead of at its time-out.
    void finish(Messenger& from) {
        stop = true;
        Content bye;
        bye.set_type(Content::ERROR);
        from.send(bye, endpoint());
    }

private:
    void run(int timeoutMs) {
        ReceivedMessage request;
        while (!stop) {
            if (messenger.receive(request, std::chrono::milliseconds(timeoutMs)) &&
                request.content.type() == Content::PING_DIRECT) {
                Content reply = request.content;
                reply.set_type(Content::PING_RESP);
                messenger.send(reply, request.remoteEndpoint);
            }
        }
    }

    Messenger messenger;
    bool ready = false;
    std::atomic<bool> stop{false};
    std::thread thread;
};

double percentile(std::vector<double>& sorted, double fraction) {
    const std::size_t index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
    return sorted[index];
}

// Arguments: the receive time-out of both sides in ms, and a pause in ms before each request so
// that it lands in the middle of the echo's poll step.
void messengerRoundTrip(benchmark::State& state) {
    const int timeoutMs = static_cast<int>(state.range(0));
    const auto gap = std::chrono::milliseconds(state.range(1));
    Messenger client("127.0.0.1", 0);
    client.setName("bench.client");
    Echo echo(timeoutMs);
    if (!client.init() || !echo.isReady()) {
        state.SkipWithError("cannot bind on loopback");
        return;
    }
    Content ping;
    ping.set_type(Content::PING_DIRECT);
    ReceivedMessage reply;
    std::vector<double> samples;
    long sequence = 0;
    long missed = 0;

    for (auto _ : state) {
        if (gap.count() > 0) {
            std::this_thread::sleep_for(gap);
        }
        // The sequence number tells a late answer to an earlier request from the awaited one.
        const std::string id = std::to_string(++sequence);
        ping.clear_attributes();
        tarn::generated::addGameId(ping, id);
        const Clock::time_point start = Clock::now();
        if (!client.send(ping, echo.endpoint())) {
            state.SkipWithError("cannot send on loopback");
            break;
        }
        bool answered = false;
        std::string answerId;
        while (client.receive(reply, std::chrono::milliseconds(timeoutMs))) {
            if (tarn::generated::getGameId(reply.content, answerId) && answerId == id) {
                answered = true;
                break;
            }
        }
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        state.SetIterationTime(elapsed.count());
        if (answered) {
            samples.push_back(elapsed.count() * 1e6);
        } else {
            ++missed;
        }
    }
    echo.finish(client);

    if (!samples.empty()) {
        std::sort(samples.begin(), samples.end());
        state.counters["p50_us"] = percentile(samples, 0.50);
        state.counters["p99_us"] = percentile(samples, 0.99);
        state.counters["max_us"] = samples.back();
        state.counters["step_ms"] = timeoutMs / 5;
    }
    // Answers later than the time-out: only a loaded machine misses a few-millisecond wait.
    state.counters["missed"] = static_cast<double>(missed);
}

BENCHMARK(messengerRoundTrip)
    ->ArgNames({"timeoutMs", "gapMs"})
    ->Args({3, 0})
    ->Args({100, 0})
    ->Args({500, 0})
    ->Args({2000, 0})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(messengerRoundTrip)
    ->ArgNames({"timeoutMs", "gapMs"})
    ->Args({100, 7})
    ->Args({500, 37})
    ->Args({2000, 150})
    ->Iterations(40)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
