#include "tarn/server/MetricsServer.h"

#include <array>
#include <cerrno>
#include <list>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "tarn/server/Log.h"
#include "tarn/server/LogThrottle.h"

namespace tarn {
namespace server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using boost::asio::ip::tcp;

namespace {

const char* const kMetricsPath = "/metrics";
const char* const kReadyPath = "/ready";
// After the last answer of a connection, what the client still sends (an unread body) is read and
// discarded for this long and up to this much, so that closing does not reset the connection
// before the client has read the answer.
constexpr std::chrono::seconds kDrainTime{1};
constexpr std::size_t kDrainBytes = 64 * 1024;
// Lines about failing accepts: one a second is enough to see the cause.
constexpr unsigned kAcceptErrorLines = 1;

class Session;
using Sessions = std::list<std::shared_ptr<Session>>;

struct Handlers {
    MetricsServer::Render render;
    std::string contentType;
    MetricsServer::Ready ready;
};

// One connection: reads a request's header, answers it, and reads the next while the client keeps
// it alive. It is listed in sessions while open and takes itself off when it closes; everything
// runs on the server's one thread.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, const Handlers& handlers, Sessions& sessions)
        : stream(std::move(socket)), handlers(handlers), sessions(sessions) {}

    // Lists the session and starts reading; the list keeps it alive until close().
    void open() {
        ownEntry = sessions.insert(sessions.end(), shared_from_this());
        read();
    }

    // Closes the connection at once; pending operations end with an error and do nothing more.
    void close() {
        if (closed) {
            return;
        }
        closed = true;
        beast::error_code ignored;
        stream.socket().close(ignored);
        sessions.erase(ownEntry);
    }

private:
    void read() {
        parser.emplace();
        stream.expires_after(MetricsServer::kIdle);
        http::async_read_header(
            stream, readBuffer, *parser,
            [self = shared_from_this()](beast::error_code error, std::size_t) { self->onRead(error); });
    }

    void onRead(beast::error_code error) {
        if (closed) {
            return;
        }
        if (error) {
            // End of stream, timeout or a request that is not HTTP: nothing to answer.
            close();
            return;
        }
        // A body is never read: the connection ends after the answer, whatever the method.
        const bool bodyFollows = !parser->is_done();
        pendingResponse = answer(parser->get(), bodyFollows);
        http::async_write(
            stream, pendingResponse,
            [self = shared_from_this()](beast::error_code error, std::size_t) { self->onWrite(error); });
    }

    void onWrite(beast::error_code error) {
        if (closed) {
            return;
        }
        if (!error && pendingResponse.keep_alive()) {
            read();
            return;
        }
        if (error) {
            close();
            return;
        }
        beast::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream.expires_after(kDrainTime);
        drain();
    }

    void drain() {
        stream.async_read_some(asio::buffer(discard),
                               [self = shared_from_this()](beast::error_code error, std::size_t length) {
                                   self->drained += length;
                                   if (error || self->drained >= kDrainBytes) {
                                       self->close();
                                   } else {
                                       self->drain();
                                   }
                               });
    }

    http::response<http::string_body> answer(const http::request<http::empty_body>& request,
                                             bool bodyFollows) {
        http::response<http::string_body> response;
        response.version(request.version());
        response.keep_alive(request.keep_alive() && !bodyFollows);
        response.set(http::field::server, "tarn-rendezvous");
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        const beast::string_view target = request.target();
        const beast::string_view path = target.substr(0, target.find('?'));
        const bool known = request.method() == http::verb::get || request.method() == http::verb::head;
        if (!known) {
            response.result(http::status::method_not_allowed);
            response.set(http::field::allow, "GET, HEAD");
            response.body() = "only GET and HEAD are served\n";
        } else if (path == kMetricsPath) {
            response.result(http::status::ok);
            response.set(http::field::content_type, handlers.contentType);
            response.body() = handlers.render();
        } else if (path == kReadyPath) {
            const std::string why = handlers.ready();
            response.result(why.empty() ? http::status::ok : http::status::service_unavailable);
            response.body() = why.empty() ? "ready\n" : "not ready: " + why + "\n";
        } else {
            response.result(http::status::not_found);
            response.body() =
                std::string("the metrics are at ") + kMetricsPath + ", readiness at " + kReadyPath + "\n";
        }
        response.prepare_payload();
        if (request.method() == http::verb::head) {
            // The length of the body a GET would get, without the body.
            const auto length = response.body().size();
            response.body().clear();
            response.content_length(length);
        }
        return response;
    }

    beast::tcp_stream stream;
    beast::flat_buffer readBuffer;
    std::optional<http::request_parser<http::empty_body>> parser;
    http::response<http::string_body> pendingResponse;
    std::array<char, 4096> discard{};
    std::size_t drained = 0;
    const Handlers& handlers;
    Sessions& sessions;
    Sessions::iterator ownEntry;
    bool closed = false;
};

}  // namespace

struct MetricsServer::Impl {
    explicit Impl(Handlers handlers) : handlers(std::move(handlers)), acceptor(context), backoff(context) {}

    void accept() {
        acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
            if (!acceptor.is_open()) {
                return;
            }
            if (!error) {
                if (sessions.size() >= kMaxSessions) {
                    closeOldest();
                }
                std::make_shared<Session>(std::move(socket), handlers, sessions)->open();
                accept();
                return;
            }
            if (errorThrottle.allow(LogThrottle::Clock::now())) {
                Log::warn("metrics: accepting a connection failed: " + error.message() +
                          (sessions.empty() ? "; trying again shortly" : "; closing the oldest connection"));
            }
            // Out of descriptors: an old connection makes room. Without one, a pause: the failed
            // accept leaves the connection waiting, so retrying at once would find the same error.
            if (!sessions.empty() && (error == asio::error::no_descriptors || error.value() == ENFILE)) {
                closeOldest();
                accept();
                return;
            }
            backoff.expires_after(kAcceptBackoff);
            backoff.async_wait([this](beast::error_code waitError) {
                if (!waitError && acceptor.is_open()) {
                    accept();
                }
            });
        });
    }

    void closeOldest() {
        // A copy keeps the session alive while it takes itself off the list.
        const auto oldest = sessions.front();
        oldest->close();
    }

    Handlers handlers;
    asio::io_context context{1};
    tcp::acceptor acceptor;
    asio::steady_timer backoff;
    // The open connections, oldest first; touched only by the serving thread.
    Sessions sessions;
    LogThrottle errorThrottle{kAcceptErrorLines};
    // Read once bound, so that nobody touches the acceptor beside the serving thread.
    tcp::endpoint bound;
    std::thread thread;
};

MetricsServer::MetricsServer(const std::string& address, std::uint16_t port, Render render,
                             std::string contentType, Ready ready)
    : impl(std::make_unique<Impl>(Handlers{std::move(render), std::move(contentType), std::move(ready)})) {
    const std::string where = address + ":" + std::to_string(port);
    beast::error_code error;
    const asio::ip::address ip = asio::ip::make_address(address, error);
    if (error) {
        throw std::runtime_error("the metrics address " + address + " is not an IP address");
    }
    const tcp::endpoint endpoint(ip, port);
    tcp::acceptor& acceptor = impl->acceptor;
    acceptor.open(endpoint.protocol(), error);
    if (!error) {
        acceptor.set_option(asio::socket_base::reuse_address(true), error);
    }
    if (!error) {
        acceptor.bind(endpoint, error);
    }
    if (!error) {
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (!error) {
        impl->bound = acceptor.local_endpoint(error);
    }
    if (error) {
        throw std::runtime_error("cannot serve metrics on " + where + ": " + error.message());
    }
}

MetricsServer::~MetricsServer() {
    stop();
}

void MetricsServer::start() {
    impl->accept();
    impl->thread = std::thread([this] { impl->context.run(); });
}

void MetricsServer::stop() {
    if (!impl->thread.joinable()) {
        return;
    }
    asio::post(impl->context, [this] {
        beast::error_code ignored;
        impl->acceptor.close(ignored);
        impl->backoff.cancel();
        while (!impl->sessions.empty()) {
            impl->closeOldest();
        }
        impl->context.stop();
    });
    impl->thread.join();
}

tcp::endpoint MetricsServer::endpoint() const {
    return impl->bound;
}

}  // namespace server
}  // namespace tarn
