// tarn-rendezvous-load: offers BIND_REQ load to a rendezvous server (or to the raw echo baseline)
// from many client sockets and counts the valid answers. Closed loop (a window of requests in
// flight per socket) measures the highest rate; open loop (--rate) checks for losses at a given
// load. Every answer is compared byte for byte with the one expected for its socket. Bounded:
// it sends for warm-up plus duration seconds, then waits at most one second for stragglers.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include <boost/program_options.hpp>

#include "tarn/generated/MessageHelpers.h"
#include "tarn/server/DatagramSocket.h"
#include "tarn/server/ReceiveBatch.h"
#include "tarn/server/SendBatch.h"
#include "tarn/server/ServerConfig.h"

namespace {

using Clock = std::chrono::steady_clock;
using tarn::generated::Attribute;
using tarn::generated::Content;
using tarn::server::DatagramSocket;
using Endpoint = DatagramSocket::Endpoint;
using Bytes = std::vector<unsigned char>;
namespace po = boost::program_options;

// A request without an answer for this long counts as lost, and its slot in the window is reused.
constexpr auto kLossTimeout = std::chrono::milliseconds(200);
constexpr auto kDrainLimit = std::chrono::seconds(1);
constexpr std::size_t kReceiveBatch = 64;
constexpr std::uint64_t kMaxSendsPerTurn = 1024;

struct Options {
    std::vector<Endpoint> servers;
    bool echo = false;
    std::string source = "127.0.0.1";
    unsigned sockets = 64;
    unsigned threads = 1;
    unsigned window = 8;
    double rate = 0;
    double duration = 5;
    double warmup = 1;
    int pid = 0;
    bool json = false;
};

struct Tally {
    std::uint64_t sent = 0;
    std::uint64_t sentInWindow = 0;
    std::uint64_t answered = 0;
    std::uint64_t answeredInWindow = 0;
    std::uint64_t invalid = 0;
    std::uint64_t lost = 0;
};

Bytes encode(const Content& message) {
    Bytes bytes(tarn::server::kMaxDatagram);
    bytes.resize(tarn::generated::serializeMessage(message, bytes.data(), bytes.size()));
    return bytes;
}

struct Client {
    DatagramSocket socket;
    Bytes expected;
    std::unique_ptr<tarn::server::SendBatch> batch;
    std::size_t outstanding = 0;
    std::size_t nextServer = 0;
    Clock::time_point lastProgress;
};

// Jiffies of a process (user + system), or of the whole machine (busy, total) from /proc.
std::uint64_t processJiffies(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    std::uint64_t utime = 0;
    std::uint64_t stime = 0;
    // After the command come state (3) ... utime (14) and stime (15).
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) {
            utime = std::stoull(field);
        } else if (index == 15) {
            stime = std::stoull(field);
        }
    }
    return utime + stime;
}

std::pair<std::uint64_t, std::uint64_t> machineJiffies() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    in >> cpu;
    std::uint64_t total = 0;
    std::uint64_t idle = 0;
    std::uint64_t value = 0;
    for (int index = 0; index < 8 && in >> value; ++index) {
        total += value;
        if (index == 3 || index == 4) {  // idle and iowait
            idle += value;
        }
    }
    return {total - idle, total};
}

class LoadThread {
public:
    LoadThread(const Options& options, unsigned sockets) : options_(options) {
        const Bytes request = encode([] {
            Content message;
            message.set_type(Content::BIND_REQ);
            return message;
        }());
        request_ = request;
        // The server's default buffers, so that a burst the server takes is not lost on this side.
        const unsigned socketBuffer = tarn::server::ServerConfig().socketBuffer;
        for (unsigned i = 0; i < sockets; ++i) {
            Client client{DatagramSocket(Endpoint(boost::asio::ip::make_address_v4(options.source), 0), false,
                                         socketBuffer),
                          {},
                          nullptr,
                          0,
                          i % options.servers.size(),
                          Clock::time_point()};
            if (options.echo) {
                client.expected = request;
            } else {
                Content answer;
                answer.set_type(Content::BIND_RESP);
                tarn::generated::addAddress(answer, Attribute::XOR_MAPPED_ADDRESS,
                                            client.socket.localEndpoint(), true);
                client.expected = encode(answer);
            }
            client.batch = std::make_unique<tarn::server::SendBatch>(
                std::max<std::size_t>(options.window, 64), std::vector<int>{client.socket.fd()});
            clients_.push_back(std::move(client));
        }
    }

    void run(Clock::time_point start) {
        windowStart_ = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(options_.warmup));
        windowEnd_ = windowStart_ + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(options_.duration));
        std::vector<pollfd> polled;
        for (const auto& client : clients_) {
            polled.push_back({client.socket.fd(), POLLIN, 0});
        }
        tarn::server::ReceiveBatch received(kReceiveBatch);
        const double perThreadRate = options_.rate / static_cast<double>(options_.threads);
        std::size_t nextClient = 0;

        for (auto now = Clock::now(); now < windowEnd_; now = Clock::now()) {
            if (perThreadRate > 0) {
                // Open loop: keep to the schedule, whatever comes back. Catching up after a stall
                // is capped per turn, so that answers are still read in between.
                const double due = perThreadRate * std::chrono::duration<double>(now - start).count();
                auto owed = static_cast<std::uint64_t>(due) - std::min<std::uint64_t>(tally_.sent, due);
                for (owed = std::min<std::uint64_t>(owed, kMaxSendsPerTurn); owed > 0; --owed) {
                    queue(clients_[nextClient]);
                    nextClient = (nextClient + 1) % clients_.size();
                }
            } else {
                for (auto& client : clients_) {
                    if (client.outstanding > 0 && now - client.lastProgress > kLossTimeout) {
                        tally_.lost += client.outstanding;
                        client.outstanding = 0;
                    }
                    while (client.outstanding < options_.window) {
                        queue(client);
                    }
                }
            }
            for (auto& client : clients_) {
                client.batch->flush();
            }
            receiveAll(polled, received, perThreadRate > 0 ? 1 : 10);
        }
        // Stragglers: wait a bounded time for the answers still in flight.
        const auto drainEnd = Clock::now() + kDrainLimit;
        while (outstanding() > 0 && Clock::now() < drainEnd) {
            receiveAll(polled, received, 10);
        }
        tally_.lost += outstanding();
    }

    const Tally& tally() const { return tally_; }

private:
    void queue(Client& client) {
        std::memcpy(client.batch->next(), request_.data(), request_.size());
        client.batch->commit(0, options_.servers[client.nextServer], request_.size());
        client.nextServer = (client.nextServer + 1) % options_.servers.size();
        const auto now = Clock::now();
        if (client.outstanding++ == 0) {
            client.lastProgress = now;
        }
        ++tally_.sent;
        tally_.sentInWindow += now >= windowStart_;
    }

    std::size_t outstanding() const {
        std::size_t total = 0;
        for (const auto& client : clients_) {
            total += client.outstanding;
        }
        return total;
    }

    void receiveAll(std::vector<pollfd>& polled, tarn::server::ReceiveBatch& received, int timeoutMs) {
        if (::poll(polled.data(), polled.size(), timeoutMs) <= 0) {
            return;
        }
        const auto now = Clock::now();
        const bool inWindow = now >= windowStart_ && now < windowEnd_;
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if ((polled[i].revents & POLLIN) == 0) {
                continue;
            }
            Client& client = clients_[i];
            const long count = received.receive(client.socket.fd());
            for (long k = 0; k < count; ++k) {
                const auto datagram = received.at(static_cast<std::size_t>(k));
                const bool fromServer = std::find(options_.servers.begin(), options_.servers.end(),
                                                  datagram.source) != options_.servers.end();
                if (fromServer && datagram.length == client.expected.size() &&
                    std::memcmp(datagram.data, client.expected.data(), datagram.length) == 0) {
                    ++tally_.answered;
                    tally_.answeredInWindow += inWindow;
                } else {
                    ++tally_.invalid;
                }
                if (client.outstanding > 0) {
                    --client.outstanding;
                }
                client.lastProgress = now;
            }
        }
    }

    const Options& options_;
    // The measured window: only requests and answers inside it count towards the rates.
    Clock::time_point windowStart_;
    Clock::time_point windowEnd_;
    Bytes request_;
    std::vector<Client> clients_;
    Tally tally_;
};

Endpoint parseEndpoint(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        throw std::invalid_argument("endpoint '" + text + "' needs ADDRESS:PORT");
    }
    return Endpoint(boost::asio::ip::make_address_v4(text.substr(0, colon)),
                    static_cast<unsigned short>(std::stoul(text.substr(colon + 1))));
}

bool parse(int argc, char* argv[], Options& options) {
    po::options_description description("tarn-rendezvous-load options");
    description.add_options()(
        "server", po::value<std::vector<std::string>>()->multitoken(),
        "ADDRESS:PORT to load, repeatable (127.0.0.1:13434 127.0.0.1:13435 127.0.0.2:13434 127.0.0.2:13435)")(
        "echo", po::bool_switch(&options.echo),
        "expect the request back (raw echo baseline) instead of BIND_RESP")(
        "source", po::value(&options.source), "loopback address the client sockets bind to (127.0.0.1)")(
        "sockets", po::value(&options.sockets), "client sockets (64)")("threads", po::value(&options.threads),
                                                                       "sending threads (1)")(
        "window", po::value(&options.window), "closed loop: requests in flight per socket (8)")(
        "rate", po::value(&options.rate), "open loop: requests per second in total (0 = closed loop)")(
        "duration", po::value(&options.duration), "measured seconds (5)")(
        "warmup", po::value(&options.warmup), "seconds sent before measuring (1)")(
        "pid", po::value(&options.pid), "process whose CPU time to report for the measured window")(
        "json", po::bool_switch(&options.json), "print the result as one JSON line")("help",
                                                                                     "show this text");
    po::variables_map values;
    try {
        po::store(po::parse_command_line(argc, argv, description), values);
        po::notify(values);
        const std::vector<std::string> defaults = {"127.0.0.1:13434", "127.0.0.1:13435", "127.0.0.2:13434",
                                                   "127.0.0.2:13435"};
        for (const auto& text :
             values.count("server") ? values["server"].as<std::vector<std::string>>() : defaults) {
            const Endpoint endpoint = parseEndpoint(text);
            if (!endpoint.address().is_loopback()) {
                throw std::invalid_argument("only loopback servers may be loaded: " + text);
            }
            options.servers.push_back(endpoint);
        }
    } catch (const std::exception& error) {
        std::cerr << "tarn-rendezvous-load: " << error.what() << "\n";
        return false;
    }
    if (values.count("help") || options.sockets < 1 || options.sockets > 4096 || options.threads < 1 ||
        options.threads > options.sockets || options.threads > 64 || options.window < 1 ||
        options.window > 4096 || options.duration <= 0 || options.duration > 600 || options.warmup < 0 ||
        options.warmup > 60 || options.rate < 0) {
        std::cerr
            << description
            << "4096 >= sockets >= threads >= 1, threads <= 64, 1 <= window <= 4096, 0 < duration <= 600, "
               "0 <= warmup <= 60\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    Options options;
    if (!parse(argc, argv, options)) {
        return 2;
    }
    std::vector<std::unique_ptr<LoadThread>> loads;
    for (unsigned t = 0; t < options.threads; ++t) {
        const unsigned share =
            options.sockets / options.threads + (t < options.sockets % options.threads ? 1 : 0);
        loads.push_back(std::make_unique<LoadThread>(options, share));
    }
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (auto& load : loads) {
        threads.emplace_back([&load, start] { load->run(start); });
    }
    // Sample the target's and the machine's CPU time over exactly the measured window.
    std::this_thread::sleep_until(
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.warmup)));
    const auto cpuBefore = options.pid > 0 ? processJiffies(options.pid) : 0;
    const auto machineBefore = machineJiffies();
    std::this_thread::sleep_until(start +
                                  std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.warmup + options.duration)));
    const auto cpuAfter = options.pid > 0 ? processJiffies(options.pid) : 0;
    const auto machineAfter = machineJiffies();
    for (auto& thread : threads) {
        thread.join();
    }

    Tally total;
    for (const auto& load : loads) {
        total.sent += load->tally().sent;
        total.sentInWindow += load->tally().sentInWindow;
        total.answered += load->tally().answered;
        total.answeredInWindow += load->tally().answeredInWindow;
        total.invalid += load->tally().invalid;
        total.lost += load->tally().lost;
    }
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double perSecond = static_cast<double>(total.answeredInWindow) / options.duration;
    const double sentPerSecond = static_cast<double>(total.sentInWindow) / options.duration;
    const double targetCpu = static_cast<double>(cpuAfter - cpuBefore) / ticks;
    const double busy = static_cast<double>(machineAfter.first - machineBefore.first) /
                        std::max(1.0, static_cast<double>(machineAfter.second - machineBefore.second));
    const double microsPerAnswer =
        total.answeredInWindow > 0 ? targetCpu * 1e6 / static_cast<double>(total.answeredInWindow) : 0;
    char line[512];
    if (options.json) {
        std::snprintf(
            line, sizeof line,
            "{\"mode\":\"%s\",\"sockets\":%u,\"threads\":%u,\"window\":%u,\"rate\":%.0f,\"seconds\":%.1f,"
            "\"sent\":%llu,\"answered\":%llu,\"invalid\":%llu,\"lost\":%llu,\"sentPerSecond\":%.0f,"
            "\"answersPerSecond\":%.0f,"
            "\"targetCpuSeconds\":%.2f,\"targetCpuMicrosPerAnswer\":%.2f,\"machineBusy\":%.2f}",
            options.echo ? "echo" : "bind", options.sockets, options.threads, options.window, options.rate,
            options.duration, static_cast<unsigned long long>(total.sent),
            static_cast<unsigned long long>(total.answered), static_cast<unsigned long long>(total.invalid),
            static_cast<unsigned long long>(total.lost), sentPerSecond, perSecond, targetCpu, microsPerAnswer,
            busy);
    } else {
        std::snprintf(line, sizeof line,
                      "%s: %.0f answers/s (%.0f requests/s); sent %llu, answered %llu, invalid %llu, lost "
                      "%llu; target CPU %.2f s "
                      "(%.2f us/answer); machine %.0f%% busy",
                      options.echo ? "echo" : "bind", perSecond, sentPerSecond,
                      static_cast<unsigned long long>(total.sent),
                      static_cast<unsigned long long>(total.answered),
                      static_cast<unsigned long long>(total.invalid),
                      static_cast<unsigned long long>(total.lost), targetCpu, microsPerAnswer, busy * 100);
    }
    std::printf("%s\n", line);
    return total.invalid == 0 ? 0 : 1;
}
