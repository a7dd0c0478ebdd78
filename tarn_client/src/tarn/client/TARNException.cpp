#include "tarn/client/TARNException.h"

namespace tarn::client {

TARNException::TARNException(const std::string& who, const std::string& where, const std::string& text)
    : message("[" + who + ":" + where + "] " + text) {}

TARNException::TARNException(const TARNException& other) = default;

TARNException::~TARNException() = default;

const char* TARNException::what() const noexcept {
    return message.c_str();
}

}  // namespace tarn::client
