#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>

// How the mapper answers: the lifetime granted, the external port and the epoch of the n-th
// answer (0-based), the external address. Fixed before its thread starts.
struct FakeMapperPolicy {
    std::uint32_t grantSeconds = 3600;
    std::function<std::uint16_t(int)> externalPort = [](int) { return 40000; };
    std::function<std::uint32_t(int)> epoch = [](int n) { return 1000u + static_cast<std::uint32_t>(n); };
    boost::asio::ip::address_v4 external = boost::asio::ip::make_address_v4("203.0.113.5");
    // The PCP result code of the n-th answer (0: success).
    std::function<std::uint8_t(int)> result = [](int) { return 0; };
    // NAT-PMP's address answer goes out twice, as from a router slower than the resend step.
    bool doubleAddressAnswer = false;
    // When set, each answer waits (5 s at most) until it holds: a test orders events across protocols.
    std::function<bool()> answerWhen;
};

inline void holdUntil(const std::function<bool()>& ready) {
    for (int step = 0; ready && step < 1000 && !ready(); ++step) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// A gateway's mapper on a loopback address of its own (127.77.x.y, from the process id, so that
// parallel runs do not meet), on the standard port: PCP, or NAT-PMP only. Records every request
// and answers each from the policy the test set; records every request but NAT-PMP's address request.
class FakeMapper {
public:
    struct Request {
        std::uint8_t version = 0;
        std::uint8_t opcode = 0;
        std::uint32_t lifetime = 0;
        std::vector<std::uint8_t> nonce;  // PCP only
        std::uint16_t internalPort = 0;
    };

    using Policy = FakeMapperPolicy;

    explicit FakeMapper(bool pcp, Policy policy = Policy()) : policy(std::move(policy)), pcp(pcp) {
        const unsigned pid = static_cast<unsigned>(::getpid());
        address = boost::asio::ip::address_v4((127u << 24) | (77u << 16) | ((pid >> 8 & 0xFF) << 8) | (pid % 254 + 1));
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(5351);
        at.sin_addr.s_addr = htonl(address.to_uint());
        timeval step{0, 20000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &step, sizeof(step));
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof(at)) == 0;
        worker = std::thread([this] { serve(); });
    }
    ~FakeMapper() {
        stopping = true;
        worker.join();
        ::close(fd);
    }

    // Waits (at most within) until count requests came; the requests so far.
    std::vector<Request> awaitRequests(std::size_t count, std::chrono::seconds within = std::chrono::seconds(5)) {
        std::unique_lock<std::mutex> lock(mutex);
        arrived.wait_for(lock, within, [&] { return requests.size() >= count; });
        return requests;
    }

    boost::asio::ip::address_v4 address;
    bool bound = false;
    const Policy policy;

private:
    void serve() {
        while (!stopping) {
            std::uint8_t in[1100];
            sockaddr_in from{};
            socklen_t length = sizeof(from);
            const ssize_t got = ::recvfrom(fd, in, sizeof(in), 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (got < 2) {
                continue;
            }
            Request request;
            request.version = in[0];
            request.opcode = in[1];
            std::vector<std::uint8_t> out;
            int n = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                n = static_cast<int>(requests.size());
            }
            if (in[0] == 2 && got >= 60) {
                request.lifetime = ntohl(*reinterpret_cast<std::uint32_t*>(in + 4));
                request.nonce.assign(in + 24, in + 36);
                request.internalPort = static_cast<std::uint16_t>(in[40] << 8 | in[41]);
                out = pcp ? pcpAnswer(in, request, n) : natPmpHeader(in[1], 1, n);
            } else if (in[0] == 0 && in[1] == 0) {
                out = natPmpHeader(0, 0, n);
                const auto bytes = policy.external.to_bytes();
                out.insert(out.end(), bytes.begin(), bytes.end());
            } else if (in[0] == 0 && in[1] == 1 && got >= 12) {
                request.internalPort = static_cast<std::uint16_t>(in[4] << 8 | in[5]);
                request.lifetime = ntohl(*reinterpret_cast<std::uint32_t*>(in + 8));
                out = natPmpHeader(1, 0, n);
                const std::uint16_t port = request.lifetime == 0 ? 0 : policy.externalPort(n);
                const std::uint32_t life = htonl(request.lifetime == 0 ? 0 : policy.grantSeconds);
                out.insert(out.end(), {in[4], in[5], static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port)});
                out.insert(out.end(), reinterpret_cast<const std::uint8_t*>(&life), reinterpret_cast<const std::uint8_t*>(&life) + 4);
            }
            // Recorded before the answer goes: once the client has it, the test may look.
            // Address requests map nothing: only the mapping requests are the test's business.
            if (!(in[0] == 0 && in[1] == 0)) {
                std::lock_guard<std::mutex> lock(mutex);
                requests.push_back(request);
                arrived.notify_all();
            }
            holdUntil(policy.answerWhen);
            for (int copy = 0; copy < (policy.doubleAddressAnswer && in[0] == 0 && in[1] == 0 ? 2 : 1); ++copy) {
                ::sendto(fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
            }
        }
    }

    std::vector<std::uint8_t> natPmpHeader(std::uint8_t opcode, std::uint16_t result, int n) {
        const std::uint32_t seconds = htonl(policy.epoch(n));
        std::vector<std::uint8_t> out{0, static_cast<std::uint8_t>(128 + opcode), 0, static_cast<std::uint8_t>(result)};
        out.insert(out.end(), reinterpret_cast<const std::uint8_t*>(&seconds), reinterpret_cast<const std::uint8_t*>(&seconds) + 4);
        return out;
    }

    std::vector<std::uint8_t> pcpAnswer(const std::uint8_t* in, const Request& request, int n) {
        std::vector<std::uint8_t> out(in, in + 60);
        out[1] = 0x81;
        out[2] = 0;
        out[3] = policy.result(n);
        const std::uint32_t life = htonl(request.lifetime == 0 ? 0 : policy.grantSeconds);
        const std::uint32_t seconds = htonl(policy.epoch(n));
        std::copy_n(reinterpret_cast<const std::uint8_t*>(&life), 4, out.begin() + 4);
        std::copy_n(reinterpret_cast<const std::uint8_t*>(&seconds), 4, out.begin() + 8);
        std::fill(out.begin() + 12, out.begin() + 24, 0);
        const std::uint16_t port = policy.externalPort(n);
        out[42] = static_cast<std::uint8_t>(port >> 8);
        out[43] = static_cast<std::uint8_t>(port);
        const auto bytes = policy.external.to_bytes();
        std::copy(bytes.begin(), bytes.end(), out.begin() + 56);
        out[54] = out[55] = 0xFF;
        return out;
    }

    const bool pcp;
    int fd = -1;
    std::atomic<bool> stopping{false};
    std::thread worker;
    std::mutex mutex;  // guards requests
    std::condition_variable arrived;
    std::vector<Request> requests;
};

// A UPnP gateway device at a FakeMapper's address: SSDP on port 1900, answered from that port or
// (fromOtherPort) from a fresh socket, naming its HTTP server, which answers the description and each
// WANIPConnection call, or (silentHttp) holds every connection open unanswered. Records each action
// as "AddPortMapping 41000" (with its NewExternalPort).
class FakeIgd {
public:
    // addWhen: AddPortMapping's answer waits until it holds.
    FakeIgd(const boost::asio::ip::address_v4& address, bool fromOtherPort, bool silentHttp, std::function<bool()> addWhen)
        : address(address), fromOtherPort(fromOtherPort), silentHttp(silentHttp), addWhen(std::move(addWhen)) {
        ssdp = open(SOCK_DGRAM, 1900);
        http = open(SOCK_STREAM, 0);
        ::listen(http, 8);
        sockaddr_in at{};
        socklen_t length = sizeof(at);
        ::getsockname(http, reinterpret_cast<sockaddr*>(&at), &length);
        answer = "HTTP/1.1 200 OK\r\nLOCATION: http://" + address.to_string() + ":" + std::to_string(ntohs(at.sin_port)) + "/d.xml\r\n\r\n";
        worker = std::thread([this] { serve(); });
    }
    ~FakeIgd() {
        stopping = true;
        worker.join();
        for (int fd : held) ::close(fd);
        ::close(ssdp), ::close(http);
    }
    // Whether an action starting with piece was recorded, waiting up to within for one.
    bool saw(const std::string& piece, std::chrono::seconds within = std::chrono::seconds(0)) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, within, [&] { return std::any_of(calls.begin(), calls.end(), [&](const std::string& c) { return c.find(piece) == 0; }); });
    }
    std::size_t heldConnections() {
        std::lock_guard<std::mutex> lock(mutex);
        return held.size();
    }

private:
    int open(int type, std::uint16_t port) {
        const int fd = ::socket(AF_INET, type, 0);
        timeval step{0, 20000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &step, sizeof(step));
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        at.sin_addr.s_addr = htonl(address.to_uint());
        ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof(at));
        return fd;
    }
    void serve() {
        while (!stopping) {
            char in[1500];
            sockaddr_in from{};
            socklen_t length = sizeof(from);
            if (::recvfrom(ssdp, in, sizeof(in), 0, reinterpret_cast<sockaddr*>(&from), &length) > 0) {
                const int out = fromOtherPort ? open(SOCK_DGRAM, 0) : ssdp;
                ::sendto(out, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
                if (out != ssdp) ::close(out);
            }
            if (const int client = ::accept(http, nullptr, nullptr); client >= 0) answerHttp(client);
        }
    }
    void answerHttp(int client) {
        // The request is in once its SOAP envelope is; a GET has none.
        std::string request;
        char part[4096];
        for (ssize_t got; request.find("GET") != 0 && request.find("</s:Envelope>") == std::string::npos &&
                          (got = ::recv(client, part, sizeof(part), 0)) > 0;) {
            request.append(part, static_cast<std::size_t>(got));
        }
        const auto hash = request.find('#');
        const std::string action = hash == std::string::npos ? "GET" : request.substr(hash + 1, request.find('"', hash) - hash - 1);
        const auto port = request.find("<NewExternalPort>");
        {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back(action + (port == std::string::npos ? "" : " " + request.substr(port + 17, 5)));
            arrived.notify_all();
            if (silentHttp) return held.push_back(client);
        }
        if (action == "AddPortMapping") holdUntil(addWhen);
        const std::string body = action == "GET"
            ? "<root><service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType><controlURL>/ctl</controlURL></service></root>"
            : "<u:R><NewExternalIPAddress>203.0.113.5</NewExternalIPAddress><NewLeaseDuration>3600</NewLeaseDuration></u:R>";
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::close(client);
    }

    const boost::asio::ip::address_v4 address;
    const bool fromOtherPort, silentHttp;
    const std::function<bool()> addWhen;
    std::string answer;  // to every search
    int ssdp = -1;
    int http = -1;
    std::atomic<bool> stopping{false};
    std::thread worker;
    std::mutex mutex;  // guards calls and held
    std::condition_variable arrived;
    std::vector<std::string> calls;
    std::vector<int> held;
};
