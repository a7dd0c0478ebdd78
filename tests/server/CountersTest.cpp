#include "tarn/server/Counters.h"

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tarn/server/Metrics.h"

namespace tarn {
namespace server {
namespace {

Counters::Values numbered() {
    Counters::Values values{};
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = 100 + i;
    }
    return values;
}

TEST(Counters, JsonLineGroupsEveryCounterByKind) {
    const std::string line = Counters::toJson(numbered(), 12.5);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line,
              "{\"uptimeSeconds\":12.500,\"received\":100,"
              "\"requests\":{\"bind\":101,\"bindChange\":102,\"relay\":103,\"other\":104},"
              "\"sent\":{\"bindResponses\":105,\"relayedPings\":106,\"forwardedRelays\":107},"
              "\"dropped\":{\"oversized\":108,\"undecodable\":109,\"otherType\":110,\"bindRateLimited\":111,"
              "\"relayRateLimited\":112,\"relayOverCap\":113,\"relayIncomplete\":114,\"targetUnknown\":115,"
              "\"targetForbidden\":116,\"sourceForbidden\":117,\"sendFailed\":118,\"fleetRateLimited\":119,"
              "\"forwardForged\":120,\"forwardStale\":121,\"fleetReplayed\":122,\"outsideFleet\":123},"
              "\"store\":{\"hit\":124,\"miss\":125,\"timeout\":126,\"unavailable\":127,\"refused\":128,"
              "\"overBudget\":129,\"forged\":130}}");
    const auto parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed["dropped"]["sendFailed"], 118);
}

TEST(Counters, TextLineNamesEveryCounter) {
    EXPECT_EQ(
        Counters::toText(numbered()),
        "received=100 requests: bind=101 bindChange=102 relay=103 other=104 | sent: bindResponses=105 "
        "relayedPings=106 forwardedRelays=107 | dropped: oversized=108 undecodable=109 otherType=110 "
        "bindRateLimited=111 "
        "relayRateLimited=112 relayOverCap=113 relayIncomplete=114 targetUnknown=115 targetForbidden=116 "
        "sourceForbidden=117 sendFailed=118 fleetRateLimited=119 forwardForged=120 forwardStale=121 "
        "fleetReplayed=122 outsideFleet=123 | store: hit=124 miss=125 timeout=126 unavailable=127 "
        "refused=128 "
        "overBudget=129 forged=130");
}

TEST(Counters, NamesOfEveryIdAndAnOutOfRangeOne) {
    const struct {
        Counters::Id id;
        const char* name;
    } rows[] = {
        {Counters::RECEIVED, "received"},
        {Counters::BIND_CHANGE_REQUESTS, "bindChange"},
        {Counters::DROP_TARGET_UNKNOWN, "targetUnknown"},
        {Counters::DROP_SEND_FAILED, "sendFailed"},
        {Counters::COUNT, "?"},
    };
    for (const auto& row : rows) {
        EXPECT_STREQ(Counters::name(row.id), row.name);
    }
}

// From the line starting with `from` in a file of the repository to the next one starting with `to`.
std::string section(const std::string& path, const std::string& from, const std::string& to) {
    std::ifstream in(std::string(TARN_SOURCE_DIR) + "/" + path);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    const auto start = text.find("\n" + from);
    EXPECT_NE(start, std::string::npos) << path << ": " << from;
    return start == std::string::npos ? "" : text.substr(start, text.find("\n" + to, start + 1) - start);
}

// The one list is complete, and what operators read names every counter: the man page's OUTPUT,
// README's example of the counters line and README's explanation (in backticks).
TEST(Counters, EveryCounterIsDeclaredWholeAndDocumented) {
    const std::string man = section("server/dist/tarn-rendezvous.1", ".SH OUTPUT", ".SH");
    const std::string line = section("README.md", "counters: received=", "{");
    const std::string explained = section("README.md", "`received` counts", "###");
    std::set<std::string> names;
    for (const auto& declared : Counters::kDeclared) {
        const std::string name = declared.name != nullptr ? declared.name : "";
        EXPECT_TRUE(!name.empty() && names.insert(name).second) << "'" << name << "' is missing or twice";
        EXPECT_TRUE(declared.help != nullptr && declared.help[0] != '\0') << name;
        EXPECT_TRUE(std::regex_search(man, std::regex("[ \n]" + name + "[ ,\n]"))) << name << ": man page";
        EXPECT_NE(line.find(" " + name + "="), std::string::npos) << name << ": README's line";
        EXPECT_NE(explained.find("`" + name + "`"), std::string::npos) << name << ": README's explanation";
    }
}

// Every family /metrics may serve, a store followed through sentinels included, is named in the
// man page.
TEST(Counters, EveryMetricsFamilyIsDocumented) {
    Metrics::Snapshot snapshot;
    snapshot.store = SharedStore::Stats{};
    snapshot.store->master = "10.0.0.6:6379";
    const std::string text = Metrics::toPrometheus(snapshot);
    // From the first section to the end: no line starts with the second marker.
    const std::string man = section("server/dist/tarn-rendezvous.1", ".SH NAME", ".SH NONE");
    const std::regex family("# TYPE (tarn_rendezvous_[a-z_]+)");
    for (auto found = std::sregex_iterator(text.begin(), text.end(), family); found != std::sregex_iterator();
         ++found) {
        const std::string name = (*found)[1];
        EXPECT_NE(man.find(name), std::string::npos) << name << ": man page";
    }
}

TEST(Counters, WorkersCountingAtOnceAddUp) {
    Counters first;
    Counters second;
    std::vector<std::thread> threads;
    for (Counters* counters : {&first, &first, &second}) {
        threads.emplace_back([counters] {
            for (int i = 0; i < 10000; ++i) {
                counters->add(Counters::RECEIVED);
                counters->add(Counters::DROP_SEND_FAILED, 2);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Counters::Values totals{};
    first.addTo(totals);
    second.addTo(totals);
    EXPECT_EQ(totals[Counters::RECEIVED], 30000u);
    EXPECT_EQ(totals[Counters::DROP_SEND_FAILED], 60000u);
    EXPECT_EQ(totals[Counters::BIND_REQUESTS], 0u);
}

}  // namespace
}  // namespace server
}  // namespace tarn
