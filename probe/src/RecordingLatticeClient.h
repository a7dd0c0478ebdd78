#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <tarn/tarn_client.h>
#include <nlohmann/json.hpp>

namespace tarn {
namespace probe {

// One report the library handed to the meta service.
struct LatticeReportRecord {
    std::string featurette;
    std::string method;
    std::vector<std::pair<std::string, std::string>> parameters;
    std::int32_t returnCode = 0;
};

// {"featurette", "method", "parameters": {key: value ...}, "returnCode", "delivered"}
nlohmann::ordered_json toJson(const LatticeReportRecord& report);

// The probe's meta-service client: accepts every report (code 0), keeps a copy of it and prints
// one line per report through the echo function.
class RecordingLatticeClient : public Velk::LS::ILatticeServiceClient {
public:
    using Echo = std::function<void(const std::string&)>;

    explicit RecordingLatticeClient(Echo echo);

    std::intptr_t getContext() override;
    std::int32_t invoke(const char* featurette, const char* method, std::intptr_t context,
                        const char** parameters, std::int32_t pairCount, std::int32_t reservedA,
                        std::int32_t reservedB) override;

    const std::vector<LatticeReportRecord>& reports() const { return recorded; }

private:
    Echo echo;
    std::vector<LatticeReportRecord> recorded;
};

}  // namespace probe
}  // namespace tarn
