#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarn/lattice/ILatticeServiceClient.h"

namespace tarn {
namespace test {

// The host's meta-service client as the tests need it: records every call in order, with what
// invoke received, and answers a set code (or throws, like a host whose service is gone).
class RecordingLatticeClient : public Velk::LS::ILatticeServiceClient {
public:
    // What getContext answers: invoke must get it back unchanged.
    static constexpr std::intptr_t kContext = 0x7a2;

    struct Invocation {
        std::string featurette;
        std::string method;
        std::intptr_t context = 0;
        std::int32_t pairCount = -1;
        std::int32_t reservedA = -1;
        std::int32_t reservedB = -1;
        std::vector<std::string> parameters;
        // The pointers as handed in: they must be the library's copies, not its own strings.
        std::vector<const char*> pointers;
    };

    explicit RecordingLatticeClient(std::int32_t answer = 0) : code(answer) {}

    std::intptr_t getContext() override {
        calls.push_back("getContext");
        return kContext;
    }

    std::int32_t invoke(const char* featurette, const char* method, std::intptr_t context,
                        const char** parameters, std::int32_t pairCount, std::int32_t reservedA,
                        std::int32_t reservedB) override {
        calls.push_back("invoke");
        Invocation invocation;
        invocation.featurette = featurette;
        invocation.method = method;
        invocation.context = context;
        invocation.pairCount = pairCount;
        invocation.reservedA = reservedA;
        invocation.reservedB = reservedB;
        for (std::int32_t i = 0; i < 2 * pairCount; ++i) {
            invocation.parameters.emplace_back(parameters[i]);
            invocation.pointers.push_back(parameters[i]);
        }
        invocations.push_back(invocation);
        if (throwInInvoke) {
            throw std::runtime_error("meta service gone");
        }
        return code;
    }

    std::int32_t code;
    bool throwInInvoke = false;
    // "getContext" and "invoke" in the order they were called.
    std::vector<std::string> calls;
    std::vector<Invocation> invocations;
};

}  // namespace test
}  // namespace tarn
