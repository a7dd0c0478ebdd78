// tarn-udp-echo: the physical limit the rendezvous server is measured against. It binds the same
// four endpoints with the same workers, batches and socket code as the server, and sends every
// datagram back unread to where it came from.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <pthread.h>

#include <boost/asio/ip/address_v4.hpp>

#include "tarn/server/DatagramSocket.h"
#include "tarn/server/ReceiveBatch.h"
#include "tarn/server/SendBatch.h"
#include "tarn/server/Waker.h"

namespace {

using tarn::server::DatagramSocket;
using Endpoint = DatagramSocket::Endpoint;

struct Options {
    std::string addr1 = "127.0.0.1";
    std::string addr2 = "127.0.0.2";
    unsigned port1 = 13434;
    unsigned port2 = 13435;
    unsigned threads = 0;
    unsigned batch = 64;
};

void echo(std::vector<DatagramSocket>& sockets, unsigned batch, int wakeFd) {
    std::vector<int> fds;
    std::vector<pollfd> polled;
    for (const auto& socket : sockets) {
        fds.push_back(socket.fd());
        polled.push_back({socket.fd(), POLLIN, 0});
    }
    polled.push_back({wakeFd, POLLIN, 0});
    tarn::server::ReceiveBatch received(batch);
    tarn::server::SendBatch replies(batch, fds);
    for (;;) {
        if (::poll(polled.data(), polled.size(), -1) < 0) {
            continue;
        }
        if (polled.back().revents != 0) {
            return;
        }
        for (std::size_t index = 0; index < sockets.size(); ++index) {
            if ((polled[index].revents & POLLIN) == 0) {
                continue;
            }
            const long count = received.receive(sockets[index].fd());
            for (long i = 0; i < count; ++i) {
                const auto datagram = received.at(static_cast<std::size_t>(i));
                std::memcpy(replies.next(), datagram.data, datagram.length);
                replies.commit(index, datagram.source, datagram.length);
            }
            replies.flush();
        }
    }
}

// A whole decimal number, or a value no option accepts.
unsigned number(const char* text) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return *text != '\0' && *end == '\0' && value <= 65535 ? static_cast<unsigned>(value) : 70000;
}

bool parse(int argc, char* argv[], Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--addr1") {
            options.addr1 = value;
        } else if (name == "--addr2") {
            options.addr2 = value;
        } else if (name == "--port1") {
            options.port1 = number(value);
        } else if (name == "--port2") {
            options.port2 = number(value);
        } else if (name == "--threads") {
            options.threads = number(value);
        } else if (name == "--batch") {
            options.batch = number(value);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && options.batch >= 1 && options.batch <= 1024 && options.port1 <= 65535 &&
           options.port2 <= 65535 && options.threads <= 256;
}

}  // namespace

int main(int argc, char* argv[]) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: tarn-udp-echo [--addr1 A] [--addr2 B] [--port1 P] [--port2 Q] [--threads N] "
                     "[--batch N]\n(ports 0 pick free ports; SIGINT or SIGTERM ends it)\n");
        return 2;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const unsigned threads =
        options.threads > 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    try {
        const auto a1 = boost::asio::ip::make_address_v4(options.addr1);
        const auto a2 = boost::asio::ip::make_address_v4(options.addr2);
        // Port 0: an exclusive socket picks a port nobody uses, then the workers' sockets share it.
        std::vector<DatagramSocket> guards;
        auto pick = [&](unsigned port) {
            if (port == 0) {
                guards.emplace_back(Endpoint(a1, 0), false, 0);
                port = guards.back().localEndpoint().port();
            }
            return static_cast<unsigned short>(port);
        };
        const auto port1 = pick(options.port1);
        const auto port2 = pick(options.port2);
        guards.clear();
        const std::vector<Endpoint> endpoints = {Endpoint(a1, port1), Endpoint(a1, port2),
                                                 Endpoint(a2, port1), Endpoint(a2, port2)};
        std::vector<std::vector<DatagramSocket>> groups(threads);
        for (auto& group : groups) {
            for (const auto& endpoint : endpoints) {
                group.emplace_back(endpoint, true, 4 * 1024 * 1024);
            }
        }
        tarn::server::Waker waker;
        std::vector<std::thread> workers;
        for (auto& group : groups) {
            workers.emplace_back([&group, &options, &waker] { echo(group, options.batch, waker.fd()); });
        }
        std::printf("tarn-udp-echo listening on");
        for (const auto& endpoint : endpoints) {
            std::printf(" %s:%u", endpoint.address().to_string().c_str(), endpoint.port());
        }
        std::printf(" with %u workers\n", threads);
        std::fflush(stdout);
        int signal = 0;
        while (sigwait(&signals, &signal) != 0) {
        }
        waker.wake();
        for (auto& worker : workers) {
            worker.join();
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tarn-udp-echo: %s\n", error.what());
        return 1;
    }
}
