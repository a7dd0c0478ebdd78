#pragma once

#include <string>

#include "tarn/client/ConnectionException.h"

namespace tarn::client {

// Discovery cannot proceed: no local address from which a rendezvous server answers.
class TARN_API NotLocallyBoundException : public ConnectionException {
public:
    NotLocallyBoundException(const std::string& who, const std::string& where, const std::string& text);
    NotLocallyBoundException(const NotLocallyBoundException& other);
    ~NotLocallyBoundException() override;
};

}  // namespace tarn::client
