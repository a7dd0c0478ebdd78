#include "tarn/lattice/ReportHandlerClient.h"

#include <mutex>

namespace tarn::lattice {

namespace {

std::mutex handlerMutex;  // guards handlerFn and handlerUser
tarn_report_fn handlerFn = nullptr;
void* handlerUser = nullptr;

}  // namespace

ReportHandlerClient ReportHandlerClient::current() {
    std::lock_guard<std::mutex> lock(handlerMutex);
    return ReportHandlerClient(handlerFn, handlerUser);
}

void ReportHandlerClient::set(tarn_report_fn fn, void* user) {
    std::lock_guard<std::mutex> lock(handlerMutex);
    handlerFn = fn;
    handlerUser = user;
}

// A C function has no use for the context: it gets its own user pointer instead.
std::intptr_t ReportHandlerClient::getContext() {
    return 0;
}

std::int32_t ReportHandlerClient::invoke(const char* featurette, const char* method, std::intptr_t,
                                         const char** parameters, std::int32_t pairCount, std::int32_t,
                                         std::int32_t) {
    code = fn(user, featurette, method, parameters, pairCount < 0 ? 0 : static_cast<std::size_t>(pairCount));
    return code;
}

}  // namespace tarn::lattice
