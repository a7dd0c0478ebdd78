#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>

namespace tarn {
namespace server {

// A small HTTP server (Boost.Beast) on one thread of its own that answers GET /metrics with the
// text a callback renders at that moment; other paths get 404, other methods 405. Connections may
// be kept alive; one that stays idle or slow for kIdleSeconds is closed.
class MetricsServer {
public:
    using Render = std::function<std::string()>;
    static constexpr int kIdleSeconds = 30;

    // Binds and listens on address:port (port 0: one the system picks). Throws std::runtime_error
    // naming the endpoint when it cannot. contentType goes with every answer of render.
    MetricsServer(const std::string& address, std::uint16_t port, Render render, std::string contentType);
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
    std::unique_ptr<Impl> impl_;
};

}  // namespace server
}  // namespace tarn
