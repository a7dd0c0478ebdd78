#include "tarn/client/ConnectionException.h"

namespace tarn::client {

ConnectionException::ConnectionException(const std::string& who, const std::string& where,
                                         const std::string& text)
    : TARNException(who, where, text) {}

ConnectionException::ConnectionException(const ConnectionException& other) = default;

// Defined here so that the type information lives in the library and a host can catch by type.
ConnectionException::~ConnectionException() = default;

}  // namespace tarn::client
