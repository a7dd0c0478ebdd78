#include "tarn/server/SentinelReplies.h"

#include <algorithm>
#include <iterator>

#include <hiredis/hiredis.h>

namespace tarn::server::sentinel {

namespace {

std::string textOf(const redisReply& reply) {
    return std::string(reply.str, reply.len);
}

bool isString(const redisReply* reply) {
    return reply != nullptr && (reply->type == REDIS_REPLY_STRING || reply->type == REDIS_REPLY_STATUS);
}

}  // namespace

MasterAddress readMasterAddress(const redisReply& reply) {
    MasterAddress found;
    if (reply.type == REDIS_REPLY_NIL) {
        found.problem = "the sentinel knows no master of that name";
    } else if (reply.type == REDIS_REPLY_ERROR) {
        found.problem = "the sentinel answered " + textOf(reply);
    } else if (reply.type != REDIS_REPLY_ARRAY || reply.elements != 2 || !isString(reply.element[0]) ||
               !isString(reply.element[1])) {
        found.problem = "the sentinel's answer is not a host and a port";
    } else {
        const std::string host = textOf(*reply.element[0]);
        const std::string port = textOf(*reply.element[1]);
        const bool digits =
            !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
        const unsigned long number = digits ? std::stoul(port) : 0;
        if (host.empty() || host.find_first_of(" /@") != std::string::npos || number == 0 || number > 65535) {
            found.problem = "the sentinel named no usable address ('" + host + "', '" + port + "')";
        } else {
            found.host = host;
            found.port = static_cast<std::uint16_t>(number);
        }
    }
    return found;
}

std::string readRole(const redisReply& reply) {
    if (reply.type == REDIS_REPLY_ERROR) {
        return "ROLE: " + textOf(reply);
    }
    if (reply.type != REDIS_REPLY_ARRAY || reply.elements == 0 || !isString(reply.element[0])) {
        return "ROLE: an answer that names no role";
    }
    const std::string role = textOf(*reply.element[0]);
    return role == "master" ? "" : "the instance is a " + role + ", not the master";
}

bool meansMasterMoved(const redisReply& reply) {
    if (reply.type != REDIS_REPLY_ERROR) {
        return false;
    }
    const std::string text = textOf(reply);
    static const char* const kMoved[] = {"READONLY", "LOADING", "MASTERDOWN"};
    return std::any_of(std::begin(kMoved), std::end(kMoved),
                       [&](const char* code) { return text.rfind(code, 0) == 0; });
}

std::chrono::milliseconds retryDelay(unsigned failures) {
    if (failures <= 1) {
        return std::chrono::milliseconds(0);
    }
    const unsigned doublings = std::min(failures - 2, 8u);
    return std::min(kMaxRetryDelay, std::chrono::milliseconds(100) * (1u << doublings));
}

}  // namespace tarn::server::sentinel
