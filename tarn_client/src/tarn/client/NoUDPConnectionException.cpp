#include "tarn/client/NoUDPConnectionException.h"

namespace tarn::client {

NoUDPConnectionException::NoUDPConnectionException(const std::string& who, const std::string& where,
                                                   const std::string& text)
    : ConnectionException(who, where, text) {}

NoUDPConnectionException::NoUDPConnectionException(const NoUDPConnectionException& other) = default;

// Defined here so that the type information lives in the library and a host can catch by type.
NoUDPConnectionException::~NoUDPConnectionException() = default;

}  // namespace tarn::client
