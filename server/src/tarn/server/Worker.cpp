#include "tarn/server/Worker.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include <poll.h>

#include "tarn/server/Log.h"
#include "tarn/server/LogThrottle.h"
#include "tarn/server/ReceiveBatch.h"
#include "tarn/server/SendBatch.h"

namespace tarn {
namespace server {

namespace {

// Socket errors are not expected on a datagram socket; a few lines a second are enough to see one.
constexpr unsigned kErrorLinesPerSecond = 2;

}  // namespace

Worker::Worker(std::vector<DatagramSocket> sockets, std::size_t batch, RequestHandler handler,
               Counters& counters, StoreLink* store)
    : sockets(std::move(sockets)),
      batch(batch),
      handler(std::move(handler)),
      counters(counters),
      store(store) {}

Worker::~Worker() {
    stop();
    join();
}

void Worker::start() {
    if (!thread.joinable()) {
        thread = std::thread([this] { run(); });
    }
}

void Worker::stop() {
    stopping.store(true);
    waker.wake();
}

void Worker::join() {
    if (thread.joinable()) {
        thread.join();
    }
}

void Worker::run() {
    std::vector<int> fds;
    std::vector<pollfd> polled;
    for (const auto& socket : sockets) {
        fds.push_back(socket.fd());
        polled.push_back({socket.fd(), POLLIN, 0});
    }
    polled.push_back({waker.fd(), POLLIN, 0});
    const std::size_t storeIndex = polled.size();
    if (store != nullptr) {
        polled.push_back({store->fd(), POLLIN, 0});
    }
    ReceiveBatch received(batch);
    SendBatch answers(batch, fds);
    LogThrottle errorThrottle(kErrorLinesPerSecond);

    while (!stopping.load()) {
        int timeoutMs = -1;
        const auto deadline = store != nullptr ? store->nextDeadline() : std::nullopt;
        if (deadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - RequestHandler::Clock::now());
            timeoutMs = static_cast<int>(std::max<long long>(0, left.count()));
        }
        if (::poll(polled.data(), polled.size(), timeoutMs) < 0) {
            if (errno != EINTR && errorThrottle.allow(RequestHandler::Clock::now())) {
                Log::error(std::string("waiting for datagrams failed: ") + std::strerror(errno));
            }
            continue;
        }
        for (std::size_t index = 0; index < sockets.size(); ++index) {
            if ((polled[index].revents & (POLLIN | POLLERR)) == 0) {
                continue;
            }
            const long count = received.receive(sockets[index].fd());
            if (count < 0) {
                if (errorThrottle.allow(RequestHandler::Clock::now())) {
                    Log::error(std::string("receiving failed: ") + std::strerror(errno));
                }
                continue;
            }
            const auto now = RequestHandler::Clock::now();
            for (long i = 0; i < count; ++i) {
                handler.handle(received.at(static_cast<std::size_t>(i)), index, now, answers);
            }
            answers.flush();
        }
        if (store != nullptr) {
            const auto now = RequestHandler::Clock::now();
            if ((polled[storeIndex].revents & POLLIN) != 0 || (deadline && now >= *deadline)) {
                handler.settleStore(now, answers);
                answers.flush();
            }
            store->flush();
        }
        if (const auto failures = answers.takeFailures()) {
            counters.add(Counters::DROP_SEND_FAILED, failures);
            if (errorThrottle.allow(RequestHandler::Clock::now())) {
                Log::error(std::to_string(failures) +
                           " answers could not be sent: " + std::strerror(answers.lastError()));
            }
        }
    }
}

}  // namespace server
}  // namespace tarn
