#include "tarn/client/LoggingService.h"

namespace tarn {
namespace client {

LoggingService::~LoggingService() = default;

}  // namespace client
}  // namespace tarn
