#include "tarn/client/UninitializedException.h"

namespace tarn::client {

UninitializedException::UninitializedException(const std::string& who, const std::string& where,
                                               const std::string& text)
    : TARNException(who, where, text) {}

UninitializedException::UninitializedException(const UninitializedException& other) = default;

// Defined here so that the type information lives in the library and a host can catch by type.
UninitializedException::~UninitializedException() = default;

}  // namespace tarn::client
