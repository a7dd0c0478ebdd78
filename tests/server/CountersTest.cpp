#include "tarn/server/Counters.h"

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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
              "\"forwardForged\":120,\"forwardStale\":121,\"outsideFleet\":122},"
              "\"store\":{\"hit\":123,\"miss\":124,\"timeout\":125,\"unavailable\":126,\"refused\":127,"
              "\"overBudget\":128,\"forged\":129}}");
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
        "outsideFleet=122 | store: hit=123 miss=124 timeout=125 unavailable=126 refused=127 overBudget=128 "
        "forged=129");
}

TEST(Counters, NamesOfEveryIdAndAnOutOfRangeOne) {
    const struct {
        Counters::Id id;
        const char* name;
    } rows[] = {
        {Counters::kReceived, "received"},
        {Counters::kBindChangeRequests, "bindChange"},
        {Counters::kDropTargetUnknown, "targetUnknown"},
        {Counters::kDropSendFailed, "sendFailed"},
        {Counters::kCount, "?"},
    };
    for (const auto& row : rows) {
        EXPECT_STREQ(Counters::name(row.id), row.name);
    }
}

std::string fileText(const std::string& path) {
    std::ifstream in(std::string(TARN_SOURCE_DIR) + "/" + path);
    EXPECT_TRUE(in) << path;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool hasWord(const std::string& text, const std::string& word) {
    return std::regex_search(text, std::regex("(^|[^A-Za-z])" + word + "([^A-Za-z]|$)"));
}

// The one list is complete, and what operators read names every counter: the man page's OUTPUT
// section, and README's example of the counters line and its explanation in backticks.
TEST(Counters, EveryCounterIsDeclaredWholeAndDocumented) {
    const std::string man = fileText("server/dist/tarn-rendezvous.1");
    const auto output = man.find(".SH OUTPUT");
    ASSERT_NE(output, std::string::npos);
    const std::string manOutput = man.substr(output, man.find(".SH", output + 1) - output);
    const std::string readme = fileText("README.md");
    const auto lineAt = readme.find("\ncounters: received=");
    ASSERT_NE(lineAt, std::string::npos);
    const std::string line = readme.substr(lineAt, readme.find('\n', lineAt + 1) - lineAt);
    std::vector<std::string> seen;
    for (const auto& declared : Counters::kDeclared) {
        ASSERT_NE(declared.name, nullptr);
        const std::string name = declared.name;
        EXPECT_FALSE(name.empty());
        EXPECT_TRUE(declared.help != nullptr && declared.help[0] != '\0') << name;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), name), 0) << name;
        seen.push_back(name);
        const auto group = std::find_if(Counters::kGroups.begin(), Counters::kGroups.end(),
                                        [&](const auto& info) { return info.group == declared.group; });
        EXPECT_NE(group, Counters::kGroups.end()) << name;
        EXPECT_TRUE(hasWord(manOutput, name)) << name << " is missing from the man page's OUTPUT";
        EXPECT_NE(line.find(" " + name + "="), std::string::npos) << name << " is missing from README's line";
        EXPECT_NE(readme.find("`" + name + "`"), std::string::npos) << name << " is not explained in README";
    }
}

TEST(Counters, WorkersCountingAtOnceAddUp) {
    Counters first;
    Counters second;
    std::vector<std::thread> threads;
    for (Counters* counters : {&first, &first, &second}) {
        threads.emplace_back([counters] {
            for (int i = 0; i < 10000; ++i) {
                counters->add(Counters::kReceived);
                counters->add(Counters::kDropSendFailed, 2);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Counters::Values totals{};
    first.addTo(totals);
    second.addTo(totals);
    EXPECT_EQ(totals[Counters::kReceived], 30000u);
    EXPECT_EQ(totals[Counters::kDropSendFailed], 60000u);
    EXPECT_EQ(totals[Counters::kBindRequests], 0u);
}

}  // namespace
}  // namespace server
}  // namespace tarn
