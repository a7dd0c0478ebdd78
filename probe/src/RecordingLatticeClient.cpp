#include "RecordingLatticeClient.h"

#include <sstream>

namespace tarn {
namespace probe {

namespace {
// Handed out as the context and expected back in invoke: a mismatch means the library broke the
// call sequence.
const std::intptr_t kContext = 0x7a2e;
// The library's return code for "Invalid request", answered for a foreign context.
const std::int32_t kInvalidRequest = 204;
}  // namespace

RecordingLatticeClient::RecordingLatticeClient(Echo echoLine) : echo(std::move(echoLine)) {}

std::intptr_t RecordingLatticeClient::getContext() {
    return kContext;
}

std::int32_t RecordingLatticeClient::invoke(const char* featurette, const char* method, std::intptr_t context,
                                            const char** parameters, std::int32_t pairCount, std::int32_t,
                                            std::int32_t) {
    LatticeReportRecord record;
    record.featurette = featurette != nullptr ? featurette : "";
    record.method = method != nullptr ? method : "";
    // The strings are the library's and are freed when this call returns: copy them.
    for (std::int32_t i = 0; i < pairCount && parameters != nullptr; ++i) {
        const char* key = parameters[2 * i];
        const char* value = parameters[2 * i + 1];
        record.parameters.emplace_back(key != nullptr ? key : "", value != nullptr ? value : "");
    }
    record.returnCode = context == kContext ? 0 : kInvalidRequest;
    std::ostringstream line;
    line << "Meta service received " << record.featurette << "::" << record.method << " (" << pairCount
         << " pairs):";
    for (const auto& parameter : record.parameters) {
        line << " " << parameter.first << "=" << parameter.second;
    }
    line << "; answered " << record.returnCode << "\n";
    recorded.push_back(record);
    if (echo) {
        echo(line.str());
    }
    return recorded.back().returnCode;
}

nlohmann::ordered_json toJson(const LatticeReportRecord& report) {
    nlohmann::ordered_json parameters = nlohmann::ordered_json::object();
    for (const auto& parameter : report.parameters) {
        parameters[parameter.first] = parameter.second;
    }
    nlohmann::ordered_json object;
    object["featurette"] = report.featurette;
    object["method"] = report.method;
    object["parameters"] = parameters;
    object["returnCode"] = report.returnCode;
    object["delivered"] = report.returnCode == 0;
    return object;
}

}  // namespace probe
}  // namespace tarn
