#include "tarn/server/MetricsServer.h"

#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace tarn {
namespace server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

const char* const kPath = "/metrics";

// One connection: reads a request, answers it, and reads the next while the client keeps it alive.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, const MetricsServer::Render& render, const std::string& contentType)
        : stream_(std::move(socket)), render_(render), contentType_(contentType) {}

    void read() {
        request_ = {};
        stream_.expires_after(std::chrono::seconds(MetricsServer::kIdleSeconds));
        http::async_read(
            stream_, buffer_, request_,
            [self = shared_from_this()](beast::error_code error, std::size_t) { self->onRead(error); });
    }

private:
    void onRead(beast::error_code error) {
        if (error) {
            // End of stream, timeout or a request that is not HTTP: nothing to answer.
            beast::error_code ignored;
            stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
            return;
        }
        response_ = answer();
        http::async_write(
            stream_, response_,
            [self = shared_from_this()](beast::error_code error, std::size_t) { self->onWrite(error); });
    }

    void onWrite(beast::error_code error) {
        if (!error && response_.keep_alive()) {
            read();
            return;
        }
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    }

    http::response<http::string_body> answer() {
        http::response<http::string_body> response;
        response.version(request_.version());
        response.keep_alive(request_.keep_alive());
        response.set(http::field::server, "tarn-rendezvous");
        const beast::string_view target = request_.target();
        const beast::string_view path = target.substr(0, target.find('?'));
        const bool known = request_.method() == http::verb::get || request_.method() == http::verb::head;
        if (!known) {
            response.result(http::status::method_not_allowed);
            response.set(http::field::allow, "GET, HEAD");
            response.set(http::field::content_type, "text/plain; charset=utf-8");
            response.body() = "only GET and HEAD are served\n";
        } else if (path != kPath) {
            response.result(http::status::not_found);
            response.set(http::field::content_type, "text/plain; charset=utf-8");
            response.body() = std::string("the metrics are at ") + kPath + "\n";
        } else {
            response.result(http::status::ok);
            response.set(http::field::content_type, contentType_);
            response.body() = render_();
        }
        response.prepare_payload();
        if (request_.method() == http::verb::head) {
            // The length of the body a GET would get, without the body.
            const auto length = response.body().size();
            response.body().clear();
            response.content_length(length);
        }
        return response;
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    http::request<http::empty_body> request_;
    http::response<http::string_body> response_;
    const MetricsServer::Render& render_;
    const std::string& contentType_;
};

}  // namespace

struct MetricsServer::Impl {
    Impl(Render render, std::string contentType)
        : render(std::move(render)), contentType(std::move(contentType)), acceptor(context) {}

    void accept() {
        acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
            if (!acceptor.is_open()) {
                return;
            }
            if (!error) {
                std::make_shared<Session>(std::move(socket), render, contentType)->read();
            }
            accept();
        });
    }

    Render render;
    std::string contentType;
    asio::io_context context{1};
    tcp::acceptor acceptor;
    // Read once bound, so that nobody touches the acceptor beside the serving thread.
    tcp::endpoint bound;
    std::thread thread;
};

MetricsServer::MetricsServer(const std::string& address, std::uint16_t port, Render render,
                             std::string contentType)
    : impl_(std::make_unique<Impl>(std::move(render), std::move(contentType))) {
    const std::string where = address + ":" + std::to_string(port);
    beast::error_code error;
    const asio::ip::address ip = asio::ip::make_address(address, error);
    if (error) {
        throw std::runtime_error("the metrics address " + address + " is not an IP address");
    }
    const tcp::endpoint endpoint(ip, port);
    tcp::acceptor& acceptor = impl_->acceptor;
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
        impl_->bound = acceptor.local_endpoint(error);
    }
    if (error) {
        throw std::runtime_error("cannot serve metrics on " + where + ": " + error.message());
    }
}

MetricsServer::~MetricsServer() {
    stop();
}

void MetricsServer::start() {
    impl_->accept();
    impl_->thread = std::thread([this] { impl_->context.run(); });
}

void MetricsServer::stop() {
    if (!impl_->thread.joinable()) {
        return;
    }
    asio::post(impl_->context, [this] {
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        impl_->context.stop();
    });
    impl_->thread.join();
}

tcp::endpoint MetricsServer::endpoint() const {
    return impl_->bound;
}

}  // namespace server
}  // namespace tarn
