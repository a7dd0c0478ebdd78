#pragma once

#include <string>

#include "tarn/client/ConnectionException.h"

namespace tarn::client {

// A binding request got no answer after all retries.
class TARN_API NoUDPConnectionException : public ConnectionException {
public:
    NoUDPConnectionException(const std::string& who, const std::string& where, const std::string& text);
    NoUDPConnectionException(const NoUDPConnectionException& other);
    ~NoUDPConnectionException() override;
};

}  // namespace tarn::client
