#include "tarn/client/LoggingService.h"

namespace tarn::client {

LoggingService::~LoggingService() = default;

}  // namespace tarn::client
