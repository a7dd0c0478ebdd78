#include "tarn/server/SentinelLocator.h"

#include <memory>

#include <hiredis/hiredis.h>

namespace tarn {
namespace server {

SentinelLocator::SentinelLocator(const Sentinels& sentinels, const Waker& stopWaker)
    : master(sentinels.master) {
    connections.reserve(sentinels.addresses.size());
    for (const auto& [host, port] : sentinels.addresses) {
        const std::string text =
            (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
        connections.push_back(std::make_unique<StoreConnection>(
            StoreConnection::Address{host, port, 0, sentinels.password, text}, stopWaker,
            StoreConnection::Kind::SENTINEL, kSentinelTimeout));
    }
}

sentinel::MasterAddress SentinelLocator::locate() {
    std::string problems;
    for (std::size_t turn = 0; turn < connections.size(); ++turn) {
        const std::size_t index = (preferred + turn) % connections.size();
        StoreConnection& asked = *connections[index];
        std::string problem = asked.isOpen() ? "" : asked.open();
        if (problem.empty()) {
            asked.append("SENTINEL get-master-addr-by-name %s", master.c_str());
            std::vector<redisReply*> replies;
            problem = asked.exchange(1, replies);
            if (problem.empty()) {
                const std::unique_ptr<redisReply, decltype(&freeReplyObject)> reply(replies.front(),
                                                                                    &freeReplyObject);
                sentinel::MasterAddress found = sentinel::readMasterAddress(*reply);
                if (found.problem.empty()) {
                    preferred = index;
                    return found;
                }
                problem = found.problem;
            } else {
                for (redisReply* reply : replies) {
                    freeReplyObject(reply);
                }
                asked.close();
            }
        }
        if (problem == StoreConnection::kStopping) {
            return {"", 0, problem};
        }
        problems += (problems.empty() ? "" : "; ") + asked.address().text + ": " + problem;
    }
    return {"", 0, "no sentinel named master '" + master + "' (" + problems + ")"};
}

}  // namespace server
}  // namespace tarn
