#pragma once

#include <exception>
#include <string>

#include "tarn/client/Export.h"

namespace tarn::client {

// Root of the library's exceptions. Built from the same (name, tag, text) triple that is
// logged just before it is thrown; what() reads "[name:tag] text".
class TARN_API TARNException : public std::exception {
public:
    TARNException(const std::string& who, const std::string& where, const std::string& text);
    TARNException(const TARNException& other);
    ~TARNException() override;

    const char* what() const noexcept override;

private:
    std::string message;
};

}  // namespace tarn::client
