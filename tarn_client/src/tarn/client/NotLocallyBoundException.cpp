#include "tarn/client/NotLocallyBoundException.h"

namespace tarn::client {

NotLocallyBoundException::NotLocallyBoundException(const std::string& who, const std::string& where,
                                                   const std::string& text)
    : ConnectionException(who, where, text) {}

NotLocallyBoundException::NotLocallyBoundException(const NotLocallyBoundException& other) = default;

// Defined here so that the type information lives in the library and a host can catch by type.
NotLocallyBoundException::~NotLocallyBoundException() = default;

}  // namespace tarn::client
