#pragma once

#include <string>

#include "tarn/client/TARNException.h"

namespace tarn::client {

// An operation that needs an initialized object was called before init() succeeded.
class TARN_API UninitializedException : public TARNException {
public:
    UninitializedException(const std::string& who, const std::string& where, const std::string& text);
    UninitializedException(const UninitializedException& other);
    ~UninitializedException() override;
};

}  // namespace tarn::client
