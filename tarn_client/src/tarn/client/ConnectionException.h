#pragma once

#include <string>

#include "tarn/client/TARNException.h"

namespace tarn::client {

// A network operation failed: bad endpoint text, unknown local addresses, a failed receive.
class TARN_API ConnectionException : public TARNException {
public:
    ConnectionException(const std::string& who, const std::string& where, const std::string& text);
    ConnectionException(const ConnectionException& other);
    ~ConnectionException() override;
};

}  // namespace tarn::client
