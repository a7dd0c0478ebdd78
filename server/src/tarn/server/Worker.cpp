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
    : sockets_(std::move(sockets)),
      batch_(batch),
      handler_(std::move(handler)),
      counters_(counters),
      store_(store) {}

Worker::~Worker() {
    stop();
    join();
}

void Worker::start() {
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { run(); });
    }
}

void Worker::stop() {
    stopping_.store(true);
    waker_.wake();
}

void Worker::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Worker::run() {
    std::vector<int> fds;
    std::vector<pollfd> polled;
    for (const auto& socket : sockets_) {
        fds.push_back(socket.fd());
        polled.push_back({socket.fd(), POLLIN, 0});
    }
    polled.push_back({waker_.fd(), POLLIN, 0});
    const std::size_t storeIndex = polled.size();
    if (store_ != nullptr) {
        polled.push_back({store_->fd(), POLLIN, 0});
    }
    ReceiveBatch received(batch_);
    SendBatch answers(batch_, fds);
    LogThrottle errorThrottle(kErrorLinesPerSecond);

    while (!stopping_.load()) {
        int timeoutMs = -1;
        const auto deadline = store_ != nullptr ? store_->nextDeadline() : std::nullopt;
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
        for (std::size_t index = 0; index < sockets_.size(); ++index) {
            if ((polled[index].revents & (POLLIN | POLLERR)) == 0) {
                continue;
            }
            const long count = received.receive(sockets_[index].fd());
            if (count < 0) {
                if (errorThrottle.allow(RequestHandler::Clock::now())) {
                    Log::error(std::string("receiving failed: ") + std::strerror(errno));
                }
                continue;
            }
            const auto now = RequestHandler::Clock::now();
            for (long i = 0; i < count; ++i) {
                handler_.handle(received.at(static_cast<std::size_t>(i)), index, now, answers);
            }
            answers.flush();
        }
        if (store_ != nullptr) {
            const auto now = RequestHandler::Clock::now();
            if ((polled[storeIndex].revents & POLLIN) != 0 || (deadline && now >= *deadline)) {
                handler_.settleStore(now, answers);
                answers.flush();
            }
            store_->flush();
        }
        if (const auto failures = answers.takeFailures()) {
            counters_.add(Counters::kDropSendFailed, failures);
            if (errorThrottle.allow(RequestHandler::Clock::now())) {
                Log::error(std::to_string(failures) +
                           " answers could not be sent: " + std::strerror(answers.lastError()));
            }
        }
    }
}

}  // namespace server
}  // namespace tarn
