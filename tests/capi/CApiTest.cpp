#include "tarn/tarn.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "RealRendezvous.h"
#include "TestLog.h"
#include "UdpPeer.h"
#include "tarn/lattice/TARNWrapper.h"

using tarn::lattice::TARNWrapper;

namespace {

// Bounds every wait of these tests: far beyond a loopback discovery or pass.
constexpr std::chrono::seconds kBound{30};

// What a report handler and a done callback share with the test, both called on the library
// thread.
struct Host {
    std::mutex mutex;  // guards everything below
    std::condition_variable changed;
    int code = 0;
    std::vector<std::string> methods;
    std::vector<std::vector<std::string>> params;
    // The handler holds "UpdateP2PInfo" (or every report, with holdAll) until frames reaches this.
    long holdUntilFrame = 0;
    bool holdAll = false;
    long frames = 0;
    bool inReport = false;
    std::vector<int> doneResults;

    template <typename Predicate>
    bool waitFor(Predicate predicate) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kBound, predicate);
    }
    void update(void (*change)(Host&)) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            change(*this);
        }
        changed.notify_all();
    }
};

int report(void* user, const char*, const char* method, const char* const* params, std::size_t count) {
    Host& host = *static_cast<Host*>(user);
    std::unique_lock<std::mutex> lock(host.mutex);
    host.methods.push_back(method);
    host.params.emplace_back(params, params + 2 * count);
    host.inReport = true;
    host.changed.notify_all();
    if (host.holdAll || std::strcmp(method, "UpdateP2PInfo") == 0) {
        host.changed.wait_for(lock, kBound, [&host] { return host.frames >= host.holdUntilFrame; });
    }
    host.inReport = false;
    return host.code;
}

void done(void* user, int result) {
    Host& host = *static_cast<Host*>(user);
    std::lock_guard<std::mutex> lock(host.mutex);
    host.doneResults.push_back(result);
    host.changed.notify_all();
}

// Points the library at the server through the C interface.
void configure(const tarn::test::RealRendezvous& server) {
    const std::string settings[][2] = {{"tarn.addr.1", "127.0.0.1"},
                                       {"tarn.addr.2", "127.0.0.2"},
                                       {"tarn.port.1", std::to_string(server.port1())},
                                       {"tarn.port.2", std::to_string(server.port2())},
                                       {"tarn.timeout.discovery", "200"},
                                       {"tarn.timeout.private", "100"},
                                       {"tarn.timeout.nat", "100"}};
    for (const auto& setting : settings) {
        ASSERT_EQ(tarn_config_set(setting[0].c_str(), setting[1].c_str()), TARN_OK) << tarn_last_error();
    }
}

tarn_peer peerOf(std::int64_t id, const tarn_topology& topology) {
    tarn_peer peer{};
    peer.id = id;
    peer.topology = topology;
    return peer;
}

bool needsOwnProcess() {
    return ::testing::UnitTest::GetInstance()->test_to_run_count() != 1;
}

}  // namespace

TEST(CApi, ASecondOperationIsRefusedInCAndCppWhileOneRuns) {
    tarn::test::TestLog log;
    tarn::test::RealRendezvous server;
    configure(server);
    Host host;
    host.holdAll = true;
    host.holdUntilFrame = 1;
    tarn_set_report_handler(report, &host);
    tarn_topology ours{};
    ASSERT_EQ(tarn_discover_async("user-1", &ours, done, &host), TARN_OK);
    ASSERT_TRUE(host.waitFor([&host] { return host.inReport; }));

    // Held in its report: everything else is refused at once and says what runs.
    tarn_topology other{};
    tarn_peer peers[] = {peerOf(1, other), peerOf(2, other)};
    const struct {
        const char* call;
        int result;
    } rows[] = {
        {"tarn_discover", tarn_discover("user-2", &other)},
        {"tarn_connect", tarn_connect(1, "game", peers, 2)},
        {"tarn_discover_async", tarn_discover_async("user-2", &other, done, &host)},
        {"tarn_connect_async", tarn_connect_async(1, "game", peers, 2, done, &host)},
        {"tarn_config_set", tarn_config_set("tarn.retries", "1")},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.result, TARN_E_BUSY) << row.call;
        EXPECT_TRUE(log.contains(std::string(row.call) + "] " + row.call +
                                 " refused: tarn_discover_async is still running"))
            << row.call;
    }
    EXPECT_EQ(std::string(tarn_last_error()),
              "tarn_config_set refused: tarn_discover_async is still running (one operation at a time)");
    TARNWrapper& facade = TARNWrapper::getInstance();
    std::vector<tarn::client::Peer> cppPeers(2);
    cppPeers[1].identifier = 7;
    EXPECT_FALSE(facade.notifyLattice("user-3"));
    EXPECT_FALSE(facade.connect(1, "game", cppPeers));
    EXPECT_EQ(cppPeers[0].connection, tarn::client::ConnectionType::NONE);
    EXPECT_EQ(cppPeers[1].identifier, 7);
    EXPECT_EQ(log.count("[TARNWrapper:notifyLattice006] notifyLattice refused"), 1);
    EXPECT_EQ(log.count("[TARNWrapper:connect008] connect refused"), 1);
    EXPECT_EQ(log.count("[CHECKPOINT@P2P_START]"), 0);
    EXPECT_EQ(log.count("Doing discovery"), 1);

    host.update([](Host& h) { h.frames = 1; });
    ASSERT_TRUE(host.waitFor([&host] { return !host.doneResults.empty(); }));
    EXPECT_EQ(host.doneResults, std::vector<int>{TARN_OK});
    EXPECT_EQ(ours.nat_type, TARN_NAT_NONE);
    EXPECT_EQ(ours.nat_behavior, TARN_BEHAVIOR_NOT_SENSITIVE);
    EXPECT_STREQ(ours.local_addr, ours.public_addr);
    EXPECT_GT(ours.local_port, 0);
    // The operation has ended by the time done runs: the next one is admitted.
    EXPECT_EQ(tarn_config_set("tarn.retries", "1"), TARN_OK);
}

TEST(CApi, TheGameLoopRunsWhileThePassRunsAndDoneComesOnce) {
    if (needsOwnProcess()) {
        GTEST_SKIP() << "shuts the library down: run it alone or through ctest";
    }
    tarn::test::TestLog log;
    tarn::test::RealRendezvous server;
    configure(server);
    Host host;
    tarn_set_report_handler(report, &host);
    tarn_peer peers[2] = {};
    ASSERT_EQ(tarn_discover("user-1", &peers[0].topology), TARN_OK) << tarn_last_error();
    peers[0].id = 1;
    tarn::test::UdpPeer silent;
    peers[1] = peerOf(2, peers[0].topology);
    peers[1].topology.local_port = peers[1].topology.public_port = static_cast<std::uint16_t>(silent.port());

    // The report of the pass waits for 300 frames: done can only come after a loop that ran on.
    host.holdUntilFrame = 300;
    ASSERT_EQ(tarn_connect_async(1, "game-1", peers, 2, done, &host), TARN_OK) << tarn_last_error();
    long framesAtDone = -1;
    for (long frame = 1; framesAtDone < 0 && frame < 100000; ++frame) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the game's frame
        std::lock_guard<std::mutex> lock(host.mutex);
        host.frames = frame;
        host.changed.notify_all();
        if (!host.doneResults.empty()) {
            framesAtDone = frame;
        }
    }
    EXPECT_GE(framesAtDone, 300);
    EXPECT_EQ(peers[0].connection, TARN_CONNECTION_SELF);
    EXPECT_EQ(peers[1].connection, TARN_CONNECTION_RELAY);
    ASSERT_EQ(host.methods, (std::vector<std::string>{"SetNatType", "UpdateP2PInfo"}));
    EXPECT_EQ(host.params[1][2], "failures");
    EXPECT_EQ(host.params[1][3], "1");

    // Shut down: no done can follow any more, and nothing is admitted.
    tarn_shutdown();
    EXPECT_EQ(host.doneResults, std::vector<int>{TARN_OK});
    tarn_topology after{};
    EXPECT_EQ(tarn_discover("user-1", &after), TARN_E_SHUTDOWN);
    EXPECT_EQ(tarn_config_set("tarn.retries", "1"), TARN_E_SHUTDOWN);
    EXPECT_FALSE(TARNWrapper::getInstance().notifyLattice("user-1"));
    EXPECT_TRUE(log.contains("notifyLattice refused: the library has been shut down"));
    tarn_shutdown();
}

TEST(CApi, ShutdownWaitsForTheRunningCallAndItsDone) {
    if (needsOwnProcess()) {
        GTEST_SKIP() << "shuts the library down: run it alone or through ctest";
    }
    tarn::test::TestLog log;
    tarn::test::RealRendezvous server;
    configure(server);
    Host host;
    host.holdAll = true;
    host.holdUntilFrame = 1;
    tarn_set_report_handler(report, &host);
    tarn_topology ours{};
    ASSERT_EQ(tarn_discover_async("user-1", &ours, done, &host), TARN_OK);
    // Lets the held report go only once tarn_shutdown has closed the library, while the call still
    // runs: shutdown must then wait for it. Nothing signals the close but the refusals themselves.
    std::thread release([&host] {
        host.waitFor([&host] { return host.inReport; });
        for (int step = 0; step < 30000 && tarn_config_set("tarn.retries", "1") != TARN_E_SHUTDOWN; ++step) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        host.update([](Host& h) { h.frames = 1; });
    });
    tarn_shutdown();
    EXPECT_EQ(host.doneResults, std::vector<int>{TARN_OK});
    release.join();
}

TEST(CApi, TheResultFollowsTheReportAndOutIsFilledEitherWay) {
    tarn::test::TestLog log;
    tarn::test::RealRendezvous server;
    configure(server);
    Host host;
    const struct {
        bool handler;
        int code;
        int result;
        const char* error;
    } rows[] = {{true, 0, TARN_OK, ""},
                {true, 7, TARN_E_REPORT, "tarn_discover: the report handler answered 7"},
                {false, 0, TARN_E_NO_HANDLER, "tarn_discover: no report handler is set"}};
    for (const auto& row : rows) {
        host.code = row.code;
        host.methods.clear();
        tarn_set_report_handler(row.handler ? report : nullptr, &host);
        tarn_topology out{};
        EXPECT_EQ(tarn_discover("user-9", &out), row.result) << row.code;
        if (row.result != TARN_OK) {
            EXPECT_STREQ(tarn_last_error(), row.error);
        }
        EXPECT_EQ(out.nat_type, TARN_NAT_NONE);
        EXPECT_GT(out.public_port, 0);
        EXPECT_EQ(host.methods.size(), row.handler ? 1u : 0u);
    }
    // Keys and values as the C++ facade sends them, with their numbers.
    ASSERT_EQ(host.params.back().size(), 16u);
    EXPECT_EQ(host.params.back()[0], "userId");
    EXPECT_EQ(host.params.back()[1], "user-9");
    EXPECT_EQ(host.params.back()[11], "1");
}

TEST(CApi, WithoutAServerDiscoveryFailsAndOutHoldsTheUnknownTopology) {
    tarn::test::TestLog log;
    tarn_topology out;
    std::memset(&out, 0x5a, sizeof out);
    EXPECT_EQ(tarn_discover("user-1", &out), TARN_E_DISCOVERY);
    EXPECT_STREQ(tarn_last_error(), "tarn_discover: discovery failed (see the log)");
    EXPECT_EQ(out.nat_type, TARN_NAT_UNKNOWN);
    EXPECT_STREQ(out.local_addr, "0.0.0.0");
    // The library's -1 for an unknown port reads 0.
    EXPECT_EQ(out.local_port, 0);
    EXPECT_EQ(out.public_port, 0);
}

TEST(CApi, InvalidArgumentsAreRefusedBeforeAnyWork) {
    tarn::test::TestLog log;
    tarn_topology out{};
    tarn_peer good[2] = {};
    tarn_peer unterminated[2] = {};
    std::memset(unterminated[1].topology.public_addr, '1', TARN_ADDR_SIZE);
    tarn_peer badConnection[2] = {};
    badConnection[0].connection = 9;
    // Each call with the error text it left.
    const auto call = [](int result) { return std::make_pair(result, std::string(tarn_last_error())); };
    const std::pair<int, std::string> rows[][2] = {
        {call(tarn_discover(nullptr, &out)),
         {TARN_E_INVALID, "tarn_discover: user_id and out must be given"}},
        {call(tarn_discover_async("u", &out, nullptr, nullptr)),
         {TARN_E_INVALID, "tarn_discover_async: user_id, out and done must be given"}},
        {call(tarn_connect(1, "g", good, 0)),
         {TARN_E_INVALID, "tarn_connect: game_id and peers must be given, count above 0"}},
        {call(tarn_connect_async(1, nullptr, good, 2, done, nullptr)),
         {TARN_E_INVALID, "tarn_connect_async: game_id and peers must be given, count above 0"}},
        {call(tarn_connect(1, "g", unterminated, 2)),
         {TARN_E_INVALID, "tarn_connect: peers[1]: an address lacks its terminating NUL"}},
        {call(tarn_connect(1, "g", badConnection, 2)),
         {TARN_E_INVALID, "tarn_connect: peers[0]: nat_type, nat_behavior or connection outside its table"}},
        {call(tarn_config_set("", "1")),
         {TARN_E_INVALID, "tarn_config_set: key and value must be given, the key not empty"}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row[0], row[1]);
    }
    EXPECT_EQ(log.count("Doing discovery") + log.count("P2P_START"), 0);
}

namespace {

// What a shutdown case's host saw, in order ("done 0;shutdown returned;").
std::mutex shutdownMutex;  // guards shutdownEvents
std::condition_variable shutdownChanged;
std::string shutdownEvents;

void note(const std::string& event) {
    std::lock_guard<std::mutex> lock(shutdownMutex);
    shutdownEvents += event + ";";
    shutdownChanged.notify_all();
}
// Waits until the events hold piece count times (a hang is ended by the case's alarm).
void awaitEvent(const std::string& piece, std::size_t count = 1) {
    std::unique_lock<std::mutex> lock(shutdownMutex);
    shutdownChanged.wait(lock, [&] { return tarn::test::occurrences(shutdownEvents, piece) >= count; });
}
void shutdownNoted() {
    tarn_shutdown();
    note("shutdown returned");
}
void noteDone(void* /*user*/, int result) {
    note("done " + std::to_string(result));
}  // Noted before the call, whose done may come before it returns; a refusal after it.
void start(tarn_done_fn done) {
    static tarn_topology out;
    note("started");
    if (const int result = tarn_discover_async("user-1", &out, done, nullptr); result != TARN_OK) {
        note("refused " + std::to_string(result));
    }
}
// done starts the next call and then shuts down, as tarn.h allows.
void doneStartsAndShutsDown(void* user, int result) {
    noteDone(user, result);
    start(noteDone);
    shutdownNoted();
}
// Shuts down itself, or is held until the test's thread is about to, which then must wait for it.
int reportShutsDown(void*, const char*, const char*, const char* const*, std::size_t) {
    note("report");
    shutdownNoted();
    return 0;
}
int reportHeld(void*, const char*, const char*, const char* const*, std::size_t) {
    note("report");
    awaitEvent("releasing");
    return 0;
}

}  // namespace

TEST(CApi, ShutdownNeverWaitsForItselfAndTheProcessExits) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    const struct {
        const char* label;
        tarn_report_fn report;
        tarn_done_fn done;  // null: no call before the shutdown
        int shutdowns;      // by the test's thread, once the call has reported or is done
        const char* events;
    } rows[] = {
        // The call done started gets its done too, without running (-7: no report handler is set).
        {"from done, after starting another call", nullptr, doneStartsAndShutsDown, 0,
         "started;done -7;started;shutdown returned;done -3;"},
        {"from a report handler", reportShutsDown, noteDone, 0, "started;report;shutdown returned;done 0;"},
        {"from another thread during an async call", reportHeld, noteDone, 1,
         "started;report;releasing;done 0;shutdown returned;started;refused -3;"},
        {"twice", nullptr, noteDone, 2,
         "started;done -7;shutdown returned;shutdown returned;started;refused -3;"},
        {"before any call", nullptr, nullptr, 1, "shutdown returned;started;refused -3;"},
    };
    // Each case in a child process of its own, since a shutdown is for good. A hang ends the child by
    // SIGALRM, a failure: far beyond a loopback discovery and an exit.
    for (const auto& row : rows) {
        EXPECT_EXIT(
            {
                ::alarm(10);
                tarn::test::RealRendezvous server;
                configure(server);
                tarn_set_report_handler(row.report, nullptr);
                if (row.done != nullptr) {
                    start(row.done);
                    awaitEvent(row.report == reportHeld ? "report" : "done", row.done == noteDone ? 1 : 2);
                    if (row.report == reportHeld) {
                        note("releasing");
                    }
                }
                for (int i = 0; i < row.shutdowns; ++i) {
                    shutdownNoted();
                }
                if (row.shutdowns > 0) {
                    start(noteDone);
                }
                std::fprintf(stderr, "events: %s\n", shutdownEvents.c_str());
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), std::string("events: ") + row.events)
            << row.label;
    }
}
