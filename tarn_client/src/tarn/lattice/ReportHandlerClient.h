#pragma once

#include <cstdint>

#include "tarn/lattice/ILatticeServiceClient.h"
#include "tarn/tarn.h"

namespace tarn::lattice {

// The C host's report function seen as the meta-service client the reports are written for.
// One is taken for each C operation, from the handler set at that moment, so that
// tarn_set_report_handler during an operation affects only later ones.
class ReportHandlerClient final : public Velk::LS::ILatticeServiceClient {
public:
    // The handler set now; proxy() is null when none is.
    static ReportHandlerClient current();
    // Replaces the process's handler.
    static void set(tarn_report_fn fn, void* user);

    // This client, or null when there is no function to call.
    Velk::LS::ILatticeServiceClient* proxy() { return fn == nullptr ? nullptr : this; }
    // What the handler answered last; 0 before any call.
    std::int32_t lastCode() const { return code; }

    std::intptr_t getContext() override;
    std::int32_t invoke(const char* featurette, const char* method, std::intptr_t context,
                        const char** parameters, std::int32_t pairCount, std::int32_t reservedA,
                        std::int32_t reservedB) override;

private:
    ReportHandlerClient(tarn_report_fn fn, void* user) : fn(fn), user(user) {}

    tarn_report_fn fn;
    void* user;
    std::int32_t code = 0;
};

}  // namespace tarn::lattice
