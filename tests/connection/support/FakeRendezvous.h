#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/Configurator.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::test::connection {

using Endpoint = boost::asio::ip::udp::endpoint;

// One datagram that reached the fake.
struct FakeRequest {
    // 0..3 for S1..S4.
    int server = 0;
    Endpoint source;
    // Distinct sources numbered in the order they first showed up: 0 is the binding check,
    // whose endpoint later becomes the primary socket; 1 the first alternative socket.
    int sourceOrdinal = 0;
    generated::Content content;

    bool isChangeRequest(generated::Attribute::Change change) const {
        for (const generated::Attribute& attribute : content.attributes()) {
            if (attribute.type() == generated::Attribute::CHANGE_REQUEST && attribute.change() == change) {
                return true;
            }
        }
        return false;
    }
    bool isPlain() const { return content.attributes_size() == 0; }
};

// A datagram the fake sends back, from the socket of server fromServer.
struct FakeReply {
    int fromServer = 0;
    generated::Content content;
};

// An in-process stand-in for the rendezvous service on loopback: four UDP sockets,
// 127.0.0.1 and 127.0.0.2 each on two ports, answered by a handler the test scripts. Used
// where a behaviour of the service or of a NAT in front of it cannot be produced otherwise.
class FakeRendezvous {
public:
    using Handler = std::function<std::vector<FakeReply>(const FakeRequest&)>;

    static constexpr const char* ADDR1 = "127.0.0.1";
    static constexpr const char* ADDR2 = "127.0.0.2";

    FakeRendezvous() : handler(&FakeRendezvous::contract) {
        if (pipe(wakeup.data()) != 0) {
            throw std::runtime_error("pipe failed");
        }
        bindSockets();
        worker = std::thread([this] { run(); });
    }

    ~FakeRendezvous() {
        const char stop = 's';
        (void)!write(wakeup[1], &stop, 1);
        worker.join();
        for (int fd : fds) {
            close(fd);
        }
        close(wakeup[0]);
        close(wakeup[1]);
    }

    FakeRendezvous(const FakeRendezvous&) = delete;
    FakeRendezvous& operator=(const FakeRendezvous&) = delete;

    void setHandler(Handler newHandler) {
        std::lock_guard<std::mutex> lock(mutex);
        handler = std::move(newHandler);
    }

    // Every request sent so far, also those still queued (on loopback a sent datagram is queued
    // before sendto returns), which are recorded unanswered.
    std::vector<FakeRequest> requests() {
        std::lock_guard<std::mutex> lock(mutex);
        takeQueued();
        return received;
    }

    // Starts a new scenario: forgets the requests, those still queued from the last one, and the
    // source numbering.
    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        takeQueued();
        received.clear();
        ordinals.clear();
    }

    Endpoint server(int index) const {
        return Endpoint(boost::asio::ip::make_address_v4(index < 2 ? ADDR1 : ADDR2), ports[index % 2]);
    }

    // Points the client's configuration at the fake.
    void configure(client::Configurator& config) const {
        config.setValue("tarn.addr.1", ADDR1);
        config.setValue("tarn.addr.2", ADDR2);
        config.setValue("tarn.port.1", std::to_string(ports[0]));
        config.setValue("tarn.port.2", std::to_string(ports[1]));
    }

    // The index of the server that answers a change request sent to server: the other address
    // and/or the other port.
    static int changedServer(int server, generated::Attribute::Change change) {
        const int address = server / 2;
        const int port = server % 2;
        switch (change) {
            case generated::Attribute::CHANGE_BOTH:
                return (1 - address) * 2 + (1 - port);
            case generated::Attribute::CHANGE_ADDR:
                return (1 - address) * 2 + port;
            case generated::Attribute::CHANGE_PORT:
                return address * 2 + (1 - port);
        }
        return server;
    }

    static FakeReply bindResponse(int fromServer, const Endpoint& mapped) {
        FakeReply reply;
        reply.fromServer = fromServer;
        reply.content.set_type(generated::Content::BIND_RESP);
        generated::addAddress(reply.content, generated::Attribute::XOR_MAPPED_ADDRESS, mapped, true);
        return reply;
    }

    // What a well-behaved service answers: the request's source as the mapped address, from the
    // addressed endpoint, or from the changed one for a change request.
    static std::vector<FakeReply> contract(const FakeRequest& request) {
        if (request.content.type() != generated::Content::BIND_REQ) {
            return {};
        }
        int from = request.server;
        for (const generated::Attribute& attribute : request.content.attributes()) {
            if (attribute.type() == generated::Attribute::CHANGE_REQUEST) {
                from = changedServer(request.server, attribute.change());
            }
        }
        return {bindResponse(from, request.source)};
    }

private:
    static int openBound(const char* address, unsigned short port, unsigned short& boundPort) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) {
            throw std::runtime_error("socket failed");
        }
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        inet_pton(AF_INET, address, &local.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
            close(fd);
            return -1;
        }
        socklen_t length = sizeof(local);
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        boundPort = ntohs(local.sin_port);
        return fd;
    }

    // Each port must be free on both addresses: take one the system picks on the first address
    // and retry a bounded number of times if the second already uses it.
    void bindSockets() {
        for (int portIndex = 0; portIndex < 2; ++portIndex) {
            bool done = false;
            for (int attempt = 0; attempt < 50 && !done; ++attempt) {
                unsigned short port = 0;
                const int first = openBound(ADDR1, 0, port);
                if (first < 0) {
                    throw std::runtime_error("cannot bind the fake's first address");
                }
                unsigned short same = 0;
                const int second = openBound(ADDR2, port, same);
                if (second < 0) {
                    close(first);
                    continue;
                }
                fds[portIndex] = first;
                fds[2 + portIndex] = second;
                ports[portIndex] = port;
                done = true;
            }
            if (!done) {
                throw std::runtime_error("no port free on both fake addresses");
            }
        }
    }

    void run() {
        std::array<pollfd, 5> polled{};
        for (int i = 0; i < 4; ++i) {
            polled[i] = pollfd{fds[i], POLLIN, 0};
        }
        polled[4] = pollfd{wakeup[0], POLLIN, 0};
        for (;;) {
            if (poll(polled.data(), polled.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (polled[4].revents != 0) {
                return;
            }
            for (int i = 0; i < 4; ++i) {
                if ((polled[i].revents & POLLIN) != 0) {
                    serve(i);
                }
            }
        }
    }

    void serve(int server) {
        FakeRequest request;
        sockaddr_in from{};
        Handler current;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (take(server, request, from) <= 0) {
                return;
            }
            current = handler;
        }
        for (const FakeReply& reply : current(request)) {
            unsigned char out[2048];
            const std::size_t encoded = generated::serializeMessage(reply.content, out, sizeof(out));
            sendto(fds[reply.fromServer], out, encoded, 0, reinterpret_cast<sockaddr*>(&from), sizeof(from));
        }
    }

    // Reads one queued datagram of a server socket without waiting and records it when it parses:
    // 1 recorded, 0 not a message, -1 nothing queued. The caller holds mutex, so no datagram is
    // between its socket and received while requests() or reset() run.
    int take(int server, FakeRequest& request, sockaddr_in& from) {
        unsigned char buffer[2048];
        socklen_t length = sizeof(from);
        const ssize_t size = recvfrom(fds[server], buffer, sizeof(buffer), MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&from), &length);
        if (size < 0) {
            return -1;
        }
        request.server = server;
        request.source =
            Endpoint(boost::asio::ip::address_v4(ntohl(from.sin_addr.s_addr)), ntohs(from.sin_port));
        if (!generated::parseMessage(request.content, buffer, static_cast<std::size_t>(size))) {
            return 0;
        }
        request.sourceOrdinal = ordinals.emplace(request.source, static_cast<int>(ordinals.size())).first->second;
        received.push_back(request);
        return 1;
    }

    void takeQueued() {
        for (int server = 0; server < 4; ++server) {
            FakeRequest request;
            sockaddr_in from{};
            // Bounded: a socket's receive queue holds far fewer datagrams.
            for (int n = 0; n < 10000; ++n) {
                if (take(server, request, from) < 0) {
                    break;
                }
            }
        }
    }

    std::array<int, 4> fds{{-1, -1, -1, -1}};
    std::array<unsigned short, 2> ports{{0, 0}};
    std::array<int, 2> wakeup{{-1, -1}};
    mutable std::mutex mutex;
    Handler handler;
    std::vector<FakeRequest> received;
    std::map<Endpoint, int> ordinals;
    std::thread worker;
};

}  // namespace tarn::test::connection
