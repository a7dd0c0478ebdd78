// The tarn-rendezvous executable as an operator runs it: started as a child process on ports the
// system picks, driven over loopback, stopped by its pid.
#include <csignal>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/types.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
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
    explicit Child(const std::vector<std::string>& args) : process(withProgram(args), errorsPiped()) {
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
    static std::vector<std::string> withProgram(const std::vector<std::string>& args) {
        std::vector<std::string> all{TARN_RENDEZVOUS_BINARY};
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

}  // namespace
}  // namespace server
}  // namespace tarn
