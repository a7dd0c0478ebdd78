// tarn-rendezvous: the rendezvous server. Runs until SIGINT or SIGTERM and prints its counters
// at the configured interval and at exit.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <string>

#include <pthread.h>

#include "tarn/server/CommandLine.h"
#include "tarn/server/Counters.h"
#include "tarn/server/Datagram.h"
#include "tarn/server/Log.h"
#include "tarn/server/Metrics.h"
#include "tarn/server/MetricsServer.h"
#include "tarn/server/Server.h"

namespace {

using tarn::server::Counters;
using tarn::server::Server;

void printCounters(const Server& server, bool json, const char* label) {
    const auto values = server.counters();
    if (json) {
        std::printf("%s\n", Counters::toJson(values, server.uptimeSeconds()).c_str());
    } else {
        std::printf("%s: %s\n", label, Counters::toText(values).c_str());
    }
    std::fflush(stdout);
}

// Waits up to intervalSeconds (0: without limit) for SIGINT or SIGTERM; true when one came.
bool waitForSignal(const sigset_t& signals, unsigned intervalSeconds) {
    if (intervalSeconds == 0) {
        int signal = 0;
        while (sigwait(&signals, &signal) != 0) {
        }
        return true;
    }
    timespec timeout{static_cast<std::time_t>(intervalSeconds), 0};
    for (;;) {
        if (sigtimedwait(&signals, nullptr, &timeout) >= 0) {
            return true;
        }
        if (errno == EAGAIN) {
            return false;
        }
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    tarn::server::ServerConfig config;
    std::string message;
    switch (tarn::server::CommandLine::parse(argc, argv, config, message)) {
        case tarn::server::CommandLine::Outcome::HELP:
            std::printf("%s", message.c_str());
            return 0;
        case tarn::server::CommandLine::Outcome::ERROR:
            std::fprintf(stderr, "tarn-rendezvous: %s\nTry 'tarn-rendezvous --help'.\n", message.c_str());
            return 2;
        case tarn::server::CommandLine::Outcome::RUN:
            break;
    }

    // The signals are taken by this thread alone: blocked here before any worker exists, so every
    // worker inherits the mask, and collected with sigwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        Server server(config);
        server.start();
        // Started after the server, so that a scrape never meets it half set up.
        std::unique_ptr<tarn::server::MetricsServer> metrics;
        if (config.metrics) {
            metrics = std::make_unique<tarn::server::MetricsServer>(
                config.metricsAddress, config.metricsPort,
                [&server] { return tarn::server::Metrics::toPrometheus(tarn::server::Metrics::of(server)); },
                tarn::server::Metrics::kContentType, [&server] { return server.notReadyReason(); });
            metrics->start();
        }
        // Tools that start the server read its endpoints from this line.
        std::string line = "tarn-rendezvous listening on";
        for (const auto& endpoint : server.endpoints()) {
            line += " " + tarn::server::endpointText(endpoint);
        }
        std::printf("%s with %zu workers\n", line.c_str(), server.workerCount());
        if (metrics) {
            const auto where = metrics->endpoint();
            const std::string host = where.address().is_v6() ? "[" + where.address().to_string() + "]"
                                                             : where.address().to_string();
            std::printf("tarn-rendezvous metrics at http://%s:%u/metrics\n", host.c_str(),
                        static_cast<unsigned>(where.port()));
        }
        std::fflush(stdout);
        while (!waitForSignal(signals, config.statsIntervalSeconds)) {
            printCounters(server, config.statsJson, "counters");
        }
        if (metrics) {
            metrics->stop();
        }
        server.stop();
        printCounters(server, config.statsJson, "final counters");
        return 0;
    } catch (const std::exception& error) {
        tarn::server::Log::error(std::string("tarn-rendezvous cannot run: ") + error.what());
        return 1;
    }
}
