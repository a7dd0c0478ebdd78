// tarn-udp-echo: the physical limit the rendezvous server is measured against. It takes the
// server's options, binds the same four endpoints with the same socket, batch and buffer code, and
// runs its own loop per worker that sends every datagram back unread to where it came from.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <pthread.h>

#include <boost/asio/ip/address_v4.hpp>

#include "tarn/server/CommandLine.h"
#include "tarn/server/Datagram.h"
#include "tarn/server/DatagramSocket.h"
#include "tarn/server/ReceiveBatch.h"
#include "tarn/server/SendBatch.h"
#include "tarn/server/ServerConfig.h"
#include "tarn/server/Waker.h"

namespace {

using tarn::server::DatagramSocket;
using Endpoint = DatagramSocket::Endpoint;

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

}  // namespace

int main(int argc, char* argv[]) {
    tarn::server::ServerConfig config;
    std::string message;
    switch (tarn::server::CommandLine::parse(argc, argv, config, message)) {
        case tarn::server::CommandLine::Outcome::HELP:
            std::printf(
                "tarn-udp-echo takes the options of tarn-rendezvous and uses those of the endpoints, "
                "--threads, --batch and --socket-buffer; SIGINT or SIGTERM ends it.\n%s",
                message.c_str());
            return 0;
        case tarn::server::CommandLine::Outcome::ERROR:
            std::fprintf(stderr, "tarn-udp-echo: %s\nTry 'tarn-udp-echo --help'.\n", message.c_str());
            return 2;
        case tarn::server::CommandLine::Outcome::RUN:
            break;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const unsigned threads =
        config.threads > 0 ? config.threads : std::max(1u, std::thread::hardware_concurrency());
    try {
        const auto a1 = boost::asio::ip::make_address_v4(config.addr1);
        const auto a2 = boost::asio::ip::make_address_v4(config.addr2);
        // Port 0: an exclusive socket picks a port nobody uses, then the workers' sockets share it.
        std::vector<DatagramSocket> guards;
        auto pick = [&](unsigned port) {
            if (port == 0) {
                guards.emplace_back(Endpoint(a1, 0), false, 0);
                port = guards.back().localEndpoint().port();
            }
            return static_cast<unsigned short>(port);
        };
        const auto port1 = pick(config.port1);
        const auto port2 = pick(config.port2);
        guards.clear();
        const std::vector<Endpoint> endpoints = {Endpoint(a1, port1), Endpoint(a1, port2),
                                                 Endpoint(a2, port1), Endpoint(a2, port2)};
        std::vector<std::vector<DatagramSocket>> groups(threads);
        for (auto& group : groups) {
            for (const auto& endpoint : endpoints) {
                group.emplace_back(endpoint, true, config.socketBuffer);
            }
        }
        tarn::server::Waker waker;
        std::vector<std::thread> workers;
        for (auto& group : groups) {
            workers.emplace_back([&group, &config, &waker] { echo(group, config.batch, waker.fd()); });
        }
        std::printf("tarn-udp-echo listening on");
        for (const auto& endpoint : endpoints) {
            std::printf(" %s", tarn::server::endpointText(endpoint).c_str());
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
