#pragma once

#include <cstdint>

namespace Velk::LS {

// The host's client of its meta service. The host owns it and hands the library a pointer;
// the library calls getContext and then invoke, once per report, on the caller's thread.
class ILatticeServiceClient {
public:
    // First slot: its result is handed back as the third argument of invoke.
    virtual std::intptr_t getContext() = 0;
    // Slots two to four: part of the host's interface, never called by the library.
    virtual void reserved2() {}
    virtual void reserved3() {}
    virtual void reserved4() {}
    // Fifth slot: delivers one report; 0 means delivered.
    virtual std::int32_t invoke(const char* featurette, const char* method, std::intptr_t context,
                                const char** parameters, std::int32_t pairCount, std::int32_t reservedA,
                                std::int32_t reservedB) = 0;

protected:
    ~ILatticeServiceClient() = default;
};

}  // namespace Velk::LS
