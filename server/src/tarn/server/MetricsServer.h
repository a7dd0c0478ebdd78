#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>

namespace tarn {
namespace server {

// A small HTTP server (Boost.Beast) on one thread of its own that answers GET /metrics with the
// text a callback renders at that moment and GET /ready with 200 or 503; other paths get 404, other
// methods 405 whatever their body. Connections may be kept alive; one that stays idle or slow for
// kIdle is closed, and at most kMaxSessions are open at once: the oldest goes when another comes.
class MetricsServer {
public:
    using Render = std::function<std::string()>;
    // Why the server is not ready to serve, or an empty text when it is.
    using Ready = std::function<std::string()>;
    static constexpr std::chrono::seconds kIdle{30};
    static constexpr std::size_t kMaxSessions = 64;
    // The pause before accepting again after accepting failed with no session of ours to close
    // (descriptors or memory used up elsewhere): retrying at once would spin a core.
    static constexpr std::chrono::milliseconds kAcceptBackoff{100};

    // Binds and listens on address:port (port 0: one the system picks). Throws std::runtime_error
    // naming the endpoint when it cannot. contentType goes with every answer of render; ready is
    // asked at every GET /ready.
    MetricsServer(const std::string& address, std::uint16_t port, Render render, std::string contentType,
                  Ready ready);
    // Stops serving if it still does.
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    void start();
    // Closes the listening socket and every connection, and waits for the thread.
    void stop();

    boost::asio::ip::tcp::endpoint endpoint() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace server
}  // namespace tarn
