#include "tarn/server/SentinelReplies.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

namespace tarn::server::sentinel {
namespace {

// A reply as hiredis hands it over: of type, with text, or an array of strings when parts is set.
struct Built {
    Built(int type, const char* text, std::vector<const char*> parts = {}) {
        reply.type = type;
        reply.str = const_cast<char*>(text);
        reply.len = std::strlen(text);
        for (const char* part : parts) {
            elements.push_back({});
            elements.back().type = REDIS_REPLY_STRING;
            elements.back().str = const_cast<char*>(part);
            elements.back().len = std::strlen(part);
        }
        for (auto& element : elements) {
            pointers.push_back(&element);
        }
        reply.elements = pointers.size();
        reply.element = pointers.data();
    }
    redisReply reply{};
    std::vector<redisReply> elements;
    std::vector<redisReply*> pointers;
};

TEST(SentinelReplies, TheMasterAddressIsAHostAndAPortOrAProblem) {
    const struct {
        Built answer;
        const char* host;
        unsigned port;
        const char* problem;
    } rows[] = {
        {{REDIS_REPLY_ARRAY, "", {"10.0.0.6", "6380"}}, "10.0.0.6", 6380, ""},
        {{REDIS_REPLY_ARRAY, "", {"2001:db8::6", "6379"}}, "2001:db8::6", 6379, ""},
        {{REDIS_REPLY_NIL, ""}, "", 0, "the sentinel knows no master of that name"},
        {{REDIS_REPLY_ERROR, "NOAUTH Authentication required."}, "", 0, "the sentinel answered NOAUTH"},
        {{REDIS_REPLY_ARRAY, "", {"10.0.0.6"}}, "", 0, "the sentinel's answer is not a host and a port"},
        {{REDIS_REPLY_STATUS, "OK"}, "", 0, "the sentinel's answer is not a host and a port"},
        {{REDIS_REPLY_ARRAY, "", {"10.0.0.6", "0"}}, "", 0, "the sentinel named no usable address"},
        {{REDIS_REPLY_ARRAY, "", {"10.0.0.6", "65536"}}, "", 0, "the sentinel named no usable address"},
        {{REDIS_REPLY_ARRAY, "", {"", "6379"}}, "", 0, "the sentinel named no usable address"},
    };
    for (const auto& row : rows) {
        const MasterAddress found = readMasterAddress(row.answer.reply);
        EXPECT_EQ(found.host, row.host) << row.problem;
        EXPECT_EQ(found.port, row.port) << row.problem;
        EXPECT_EQ(found.problem.rfind(row.problem, 0), 0u) << found.problem;
        EXPECT_EQ(found.problem.empty(), row.problem[0] == '\0') << found.problem;
    }
}

TEST(SentinelReplies, OnlyAMasterTakesWritesAndMovedErrorsAskForTheMasterAgain) {
    const struct {
        Built answer;
        const char* roleProblem;
        bool moved;
    } rows[] = {
        {{REDIS_REPLY_ARRAY, "", {"master", "0"}}, "", false},
        {{REDIS_REPLY_ARRAY, "", {"slave", "127.0.0.1"}}, "the instance is a slave, not the master", false},
        {{REDIS_REPLY_ARRAY, "", {"sentinel"}}, "the instance is a sentinel, not the master", false},
        {{REDIS_REPLY_ARRAY, "", {}}, "ROLE: an answer that names no role", false},
        {{REDIS_REPLY_ERROR, "READONLY You can't write against a read only replica."},
         "ROLE: READONLY",
         true},
        {{REDIS_REPLY_ERROR, "LOADING Redis is loading the dataset in memory"}, "ROLE: LOADING", true},
        {{REDIS_REPLY_ERROR, "MASTERDOWN Link with MASTER is down"}, "ROLE: MASTERDOWN", true},
        {{REDIS_REPLY_ERROR, "ERR wrong number of arguments"}, "ROLE: ERR", false},
        {{REDIS_REPLY_STATUS, "READONLY"}, "ROLE: an answer that names no role", false},
    };
    for (const auto& row : rows) {
        const std::string problem = readRole(row.answer.reply);
        EXPECT_EQ(problem.rfind(row.roleProblem, 0), 0u) << problem;
        EXPECT_EQ(problem.empty(), row.roleProblem[0] == '\0') << problem;
        EXPECT_EQ(meansMasterMoved(row.answer.reply), row.moved) << row.roleProblem;
    }
}

TEST(SentinelReplies, AfterALossAskAtOnceThenBackOffToTheBound) {
    const struct {
        unsigned failures;
        long long delayMs;
    } rows[] = {{0, 0}, {1, 0}, {2, 100}, {3, 200}, {4, 400}, {5, 500}, {40, 500}, {~0u, 500}};
    for (const auto& row : rows) {
        EXPECT_EQ(retryDelay(row.failures).count(), row.delayMs) << row.failures;
    }
    EXPECT_EQ(kMaxRetryDelay.count(), 500);
}

}  // namespace
}  // namespace tarn::server::sentinel
