// Decodes one datagram as every receiver does and writes its text form, as the log lines do. A
// message that decodes must encode again into bytes that decode to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tarn/generated/MessageHelpers.h"

namespace gen = tarn::generated;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    gen::Content message;
    if (!gen::parseMessage(message, data, size)) {
        return 0;
    }
    const std::string text = gen::messageToString(message);

    // The readers every receiver applies to a decoded message.
    gen::Endpoint endpoint;
    gen::EndpointList targets;
    std::string gameId;
    gen::getMappedAddress(message, endpoint, true);
    gen::getP2PMappedAddress(message, endpoint, true);
    gen::findAddress(message, gen::Attribute::XOR_REFLECTED_FROM, endpoint, false);
    gen::getResponseTargets(message, targets, true);
    gen::getGameId(message, gameId);

    std::vector<unsigned char> encoded(message.ByteSizeLong() + 1);
    const std::size_t length = gen::serializeMessage(message, encoded.data(), encoded.size());
    gen::Content again;
    if (length == 0 || !gen::parseMessage(again, encoded.data(), length) ||
        gen::messageToString(again) != text) {
        std::abort();
    }
    return 0;
}
