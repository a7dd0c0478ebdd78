// The tarn-rendezvous executable as an operator runs it: started as a child process on ports the
// system picks, driven over loopback, stopped by its pid.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <nlohmann/json.hpp>

#include "ChildProcess.h"
#include "UdpPeer.h"

namespace tarn {
namespace server {
namespace {

using generated::Content;
using test::Endpoint;
using test::Received;
using test::UdpPeer;
using ::testing::HasSubstr;

constexpr int kLineWaitMs = 5000;

// tarn-rendezvous as a child process with its standard output and error piped back; killed and
// reaped if the test leaves it running.
class Child {
public:
    // program runs the server: its path, or a shell command that ends in exec "$0" "$@" and the path.
    explicit Child(const std::vector<std::string>& args,
                   const std::vector<std::string>& program = {TARN_RENDEZVOUS_BINARY})
        : process(withProgram(program, args), errorsPiped()) {
        if (!process.started()) {
            throw std::runtime_error(std::string("cannot start ") + TARN_RENDEZVOUS_BINARY);
        }
    }

    pid_t pid() const { return process.processId(); }

    // The next line of standard output, waiting up to timeoutMs for it.
    std::optional<std::string> outputLine(int timeoutMs = kLineWaitMs) {
        std::string line;
        if (!process.readLine(line, timeoutMs)) {
            return std::nullopt;
        }
        return line;
    }

    // The exit status after the process ended by itself within timeoutMs, or nullopt.
    std::optional<int> waitForExit(int timeoutMs = kLineWaitMs) {
        const int code = process.exitCode(timeoutMs);
        if (code < 0) {
            return std::nullopt;
        }
        return code;
    }

    // Everything left on a stream once the process has ended.
    std::string restOfOutput() const { return process.output(); }
    std::string restOfErrors() const { return process.errors(); }

private:
    static std::vector<std::string> withProgram(std::vector<std::string> all,
                                                const std::vector<std::string>& args) {
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    static test::ChildProcess::Options errorsPiped() {
        test::ChildProcess::Options options;
        options.errorPipe = true;
        return options;
    }

    test::ChildProcess process;
};

// The four endpoints from the start-up line, in order S1 to S4.
std::vector<Endpoint> parseStartLine(const std::string& line) {
    static const std::regex pattern(
        R"(^tarn-rendezvous listening on (\S+):(\d+) (\S+):(\d+) (\S+):(\d+) (\S+):(\d+) with \d+ workers$)");
    std::smatch match;
    std::vector<Endpoint> endpoints;
    if (std::regex_match(line, match, pattern)) {
        for (int i = 0; i < 4; ++i) {
            endpoints.emplace_back(boost::asio::ip::make_address_v4(match[1 + 2 * i].str()),
                                   static_cast<unsigned short>(std::stoi(match[2 + 2 * i].str())));
        }
    }
    return endpoints;
}

Content bindRequest() {
    Content message;
    message.set_type(Content::BIND_REQ);
    return message;
}

TEST(TarnRendezvous, HelpDescribesTheOptionsAndSucceeds) {
    Child child({"--help"});
    const auto exit = child.waitForExit();
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(*exit, 0);
    const std::string out = child.restOfOutput();
    EXPECT_THAT(out, HasSubstr("Usage: tarn-rendezvous"));
    EXPECT_THAT(out, HasSubstr("--addr1"));
    EXPECT_THAT(out, HasSubstr("--stats-json"));
}

TEST(TarnRendezvous, UsageErrorsExitWithTwoAndSayWhy) {
    const struct {
        std::vector<std::string> args;
        const char* says;
    } rows[] = {
        {{"--port1", "70000"}, "--port1 must lie between 0 and 65535"},
        {{"--no-such-option"}, "no-such-option"},
        {{"--addr1", "not-an-address"}, "not-an-address"},
    };
    for (const auto& row : rows) {
        Child child(row.args);
        const auto exit = child.waitForExit();
        ASSERT_TRUE(exit.has_value()) << row.args[0];
        EXPECT_EQ(*exit, 2) << row.args[0];
        EXPECT_THAT(child.restOfErrors(), HasSubstr(row.says));
    }
}

TEST(TarnRendezvous, AnEndpointInUseEndsItWithAnError) {
    UdpPeer occupant("127.0.0.1");
    const std::string port = std::to_string(occupant.local().port());
    Child child({"--port1", port, "--port2", "0"});
    const auto exit = child.waitForExit();
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(*exit, 1);
    const std::string errors = child.restOfErrors();
    EXPECT_THAT(errors, HasSubstr("cannot bind 127.0.0.1:" + port));
    EXPECT_THAT(errors, HasSubstr("in use"));
    EXPECT_EQ(child.restOfOutput(), "");
}

TEST(TarnRendezvous, ServesUntilASignalThenPrintsItsCounters) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGINT");
        Child child({"--port1", "0", "--port2", "0", "--stats-interval", "0", "--stats-json"});
        const auto start = child.outputLine();
        ASSERT_TRUE(start.has_value());
        const auto endpoints = parseStartLine(*start);
        ASSERT_EQ(endpoints.size(), 4u) << *start;
        EXPECT_EQ(endpoints[0].address().to_string(), "127.0.0.1");
        EXPECT_EQ(endpoints[2].address().to_string(), "127.0.0.2");

        UdpPeer client;
        for (const auto& endpoint : endpoints) {
            client.send(endpoint, bindRequest());
            Received answer;
            ASSERT_TRUE(client.receive(answer));
            EXPECT_EQ(answer.from, endpoint);
            Endpoint mapped;
            EXPECT_TRUE(generated::getMappedAddress(answer.message, mapped, true));
            EXPECT_EQ(mapped, client.local());
        }
        // Garbage, then a request behind it on the same path: once that is answered, the garbage
        // has been handled.
        client.sendBytes(endpoints[1], {0xFF, 0x01});
        client.send(endpoints[1], bindRequest());
        Received last;
        ASSERT_TRUE(client.receive(last));
        EXPECT_EQ(last.message.type(), Content::BIND_RESP);

        ASSERT_EQ(::kill(child.pid(), signal), 0);
        const auto exit = child.waitForExit();
        ASSERT_TRUE(exit.has_value());
        EXPECT_EQ(*exit, 0);
        const std::string rest = child.restOfOutput();
        ASSERT_FALSE(rest.empty());
        const auto counters = nlohmann::json::parse(rest.substr(0, rest.find('\n')));
        EXPECT_EQ(counters["received"], 6);
        EXPECT_EQ(counters["requests"]["bind"], 5);
        EXPECT_EQ(counters["sent"]["bindResponses"], 5);
        EXPECT_EQ(counters["dropped"]["undecodable"], 1);
        EXPECT_FALSE(client.pending());
    }
}

TEST(TarnRendezvous, CountersArePrintedAtTheInterval) {
    Child child({"--port1", "0", "--port2", "0", "--stats-interval", "1"});
    ASSERT_TRUE(child.outputLine().has_value());
    const auto first = child.outputLine(3000);
    ASSERT_TRUE(first.has_value());
    EXPECT_THAT(*first, ::testing::StartsWith("counters: received=0 requests: bind=0"));
    ASSERT_EQ(::kill(child.pid(), SIGTERM), 0);
    ASSERT_TRUE(child.waitForExit().has_value());
    EXPECT_THAT(child.restOfOutput(), HasSubstr("final counters: received=0"));
}

// The whole answer of one HTTP/1.0 request to 127.0.0.1:port: status line, headers and body.
std::string httpGet(unsigned short port, const std::string& method, const std::string& path,
                    const std::string& body = "") {
    boost::asio::io_context context;
    boost::asio::ip::tcp::socket socket(context);
    socket.connect({boost::asio::ip::make_address_v4("127.0.0.1"), port});
    const std::string length = body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n";
    const std::string request =
        method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + length + "\r\n" + body;
    boost::asio::write(socket, boost::asio::buffer(request));
    std::string answer;
    boost::system::error_code error;
    boost::asio::read(socket, boost::asio::dynamic_buffer(answer), error);
    return answer;
}

TEST(TarnRendezvous, MetricsAreServedInPrometheusFormatWhileItServes) {
    Child child({"--port1", "0", "--port2", "0", "--stats-interval", "0", "--threads", "2", "--metrics",
                 "127.0.0.1:0"});
    const auto start = child.outputLine();
    ASSERT_TRUE(start.has_value());
    const auto endpoints = parseStartLine(*start);
    ASSERT_EQ(endpoints.size(), 4u) << *start;
    const auto metricsLine = child.outputLine();
    ASSERT_TRUE(metricsLine.has_value());
    std::smatch match;
    static const std::regex pattern(R"(^tarn-rendezvous metrics at http://127\.0\.0\.1:(\d+)/metrics$)");
    ASSERT_TRUE(std::regex_match(*metricsLine, match, pattern)) << *metricsLine;
    const auto port = static_cast<unsigned short>(std::stoi(match[1].str()));

    UdpPeer client;
    for (int i = 0; i < 3; ++i) {
        client.send(endpoints[0], bindRequest());
        Received answer;
        ASSERT_TRUE(client.receive(answer));
    }
    client.sendBytes(endpoints[1], {0xFF, 0x01});
    client.send(endpoints[1], bindRequest());
    Received last;
    ASSERT_TRUE(client.receive(last));

    const std::string answer = httpGet(port, "GET", "/metrics");
    EXPECT_THAT(answer, ::testing::StartsWith("HTTP/1.0 200 OK\r\n"));
    EXPECT_THAT(answer, HasSubstr("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
    for (const char* line : {
             "# TYPE tarn_rendezvous_requests_total counter\n",
             "\ntarn_rendezvous_received_datagrams_total 5\n",
             "\ntarn_rendezvous_requests_total{type=\"bind\"} 4\n",
             "\ntarn_rendezvous_requests_total{type=\"relay\"} 0\n",
             "\ntarn_rendezvous_sent_messages_total{message=\"bindResponses\"} 4\n",
             "\ntarn_rendezvous_dropped_total{reason=\"undecodable\"} 1\n",
             "\ntarn_rendezvous_dropped_total{reason=\"targetUnknown\"} 0\n",
             "# TYPE tarn_rendezvous_uptime_seconds gauge\n",
             "\ntarn_rendezvous_table_entries{table=\"allow\"} 1\n",
             "\ntarn_rendezvous_table_entries{table=\"bindRate\"} 1\n",
             "\ntarn_rendezvous_table_capacity{table=\"allow\"} 262144\n",
             "\ntarn_rendezvous_workers 2\n",
         }) {
        EXPECT_THAT(answer, HasSubstr(line));
    }
    static const std::regex uptime(R"(\ntarn_rendezvous_uptime_seconds (\d+\.\d{3})\n)");
    EXPECT_TRUE(std::regex_search(answer, match, uptime)) << answer;

    EXPECT_THAT(httpGet(port, "GET", "/other"), ::testing::StartsWith("HTTP/1.0 404 Not Found\r\n"));
    for (const char* body : {"", "a=1"}) {
        EXPECT_THAT(httpGet(port, "POST", "/metrics", body),
                    ::testing::StartsWith("HTTP/1.0 405 Method Not Allowed\r\n"));
    }
    EXPECT_THAT(httpGet(port, "GET", "/ready"), ::testing::StartsWith("HTTP/1.0 200 OK\r\n"));
    const std::string head = httpGet(port, "HEAD", "/metrics");
    EXPECT_THAT(head, ::testing::StartsWith("HTTP/1.0 200 OK\r\n"));
    EXPECT_THAT(head, ::testing::EndsWith("\r\n\r\n"));

    // The counters' own output stays.
    ASSERT_EQ(::kill(child.pid(), SIGTERM), 0);
    const auto exit = child.waitForExit();
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(*exit, 0);
    EXPECT_THAT(child.restOfOutput(), HasSubstr("final counters: received=5 requests: bind=4"));
}

// The port in the start-up line about the metrics.
unsigned short metricsPort(Child& child) {
    const auto line = child.outputLine();
    static const std::regex pattern(R"(^tarn-rendezvous metrics at http://127\.0\.0\.1:(\d+)/metrics$)");
    std::smatch match;
    if (!line || !std::regex_match(*line, match, pattern)) {
        throw std::runtime_error("no metrics line: " + line.value_or("(none)"));
    }
    return static_cast<unsigned short>(std::stoi(match[1].str()));
}

// Processor time the process used so far, user and system, in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        ticks += index >= 14 ? std::stod(field) : 0;
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The server still answers a binding request at endpoint, and a SIGTERM ends it with exit 0.
void expectBindingAnsweredThenCleanStop(Child& child, const Endpoint& endpoint) {
    UdpPeer client;
    Received answer;
    client.send(endpoint, bindRequest());
    ASSERT_TRUE(client.receive(answer));
    EXPECT_EQ(answer.message.type(), Content::BIND_RESP);
    ASSERT_EQ(::kill(child.pid(), SIGTERM), 0);
    EXPECT_EQ(child.waitForExit(), 0);
}

TEST(TarnRendezvous, IdleMetricsConnectionsBeyondTheDescriptorLimitCostNoProcessor) {
    // 400 idle connections would need more than 256 descriptors; a server without a cap ran out
    // of them and retried its accepts at once. (Not fewer descriptors than the cap: the sanitizers'
    // own run-time needs some when a check fires.)
    Child child({"--port1", "0", "--port2", "0", "--stats-interval", "0", "--threads", "1", "--metrics",
                 "127.0.0.1:0"},
                {"/bin/sh", "-c", "ulimit -n 256 && exec \"$0\" \"$@\"", TARN_RENDEZVOUS_BINARY});
    const auto endpoints = parseStartLine(child.outputLine().value_or(""));
    ASSERT_EQ(endpoints.size(), 4u);
    const unsigned short port = metricsPort(child);
    boost::asio::io_context context;
    std::vector<boost::asio::ip::tcp::socket> idle;
    for (int i = 0; i < 400; ++i) {
        idle.emplace_back(context).connect({boost::asio::ip::make_address_v4("127.0.0.1"), port});
    }
    // Accepted in order: once this is answered, so are the idle ones before it.
    EXPECT_THAT(httpGet(port, "GET", "/ready"), ::testing::StartsWith("HTTP/1.0 200 OK\r\n"));
    const double before = cpuSeconds(child.pid());
    // A measuring window, not a wait for an event: a server retrying its accepts at once would
    // use the whole second.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(cpuSeconds(child.pid()) - before, 0.3);
    expectBindingAnsweredThenCleanStop(child, endpoints[0]);
}

TEST(TarnRendezvous, NotReadyWhileTheSharedStoreIsUnreachableButBindingsAreAnswered) {
    // Bound and never listening: every connection to it is refused.
    boost::asio::io_context context;
    boost::asio::ip::tcp::socket refusing(context);
    refusing.open(boost::asio::ip::tcp::v4());
    refusing.bind({boost::asio::ip::make_address_v4("127.0.0.1"), 0});
    const std::string store = "redis://127.0.0.1:" + std::to_string(refusing.local_endpoint().port());
    const std::string secret = "fleet-" + std::to_string(::getpid()) + ".secret";
    std::ofstream(secret) << "a secret of the fleet\n";
    const std::unique_ptr<const char, int (*)(const char*)> removed(secret.c_str(), std::remove);
    Child child({"--port1", "0", "--port2", "0", "--stats-interval", "0", "--metrics", "127.0.0.1:0",
                 "--shared-store", store, "--fleet-secret-file", secret});
    const auto endpoints = parseStartLine(child.outputLine().value_or(""));
    ASSERT_EQ(endpoints.size(), 4u);
    const unsigned short port = metricsPort(child);
    const std::string ready = httpGet(port, "GET", "/ready");
    EXPECT_THAT(ready, ::testing::StartsWith("HTTP/1.0 503 Service Unavailable\r\n"));
    EXPECT_THAT(ready, HasSubstr("not ready: the shared store " + store));
    EXPECT_THAT(httpGet(port, "GET", "/metrics"), HasSubstr("\ntarn_rendezvous_store_connected 0\n"));
    expectBindingAnsweredThenCleanStop(child, endpoints[0]);
}

TEST(TarnRendezvous, MetricsEndpointProblemsAreUsageOrStartErrors) {
    for (const char* bad : {"9464", "127.0.0.1:", "127.0.0.1:70000", "nowhere:9464", "127.0.0.1:94x"}) {
        SCOPED_TRACE(bad);
        Child child({"--metrics", bad});
        const auto exit = child.waitForExit();
        ASSERT_TRUE(exit.has_value());
        EXPECT_EQ(*exit, 2);
        EXPECT_THAT(child.restOfErrors(), HasSubstr("--metrics"));
    }
    // A port that is taken: the server cannot run.
    boost::asio::io_context context;
    boost::asio::ip::tcp::acceptor taken(context, {boost::asio::ip::make_address_v4("127.0.0.1"), 0});
    const std::string where = "127.0.0.1:" + std::to_string(taken.local_endpoint().port());
    Child child({"--port1", "0", "--port2", "0", "--metrics", where});
    const auto exit = child.waitForExit();
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(*exit, 1);
    EXPECT_THAT(child.restOfErrors(), HasSubstr("cannot serve metrics on " + where));
}

}  // namespace
}  // namespace server
}  // namespace tarn
