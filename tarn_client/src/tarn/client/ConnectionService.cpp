#include "tarn/client/ConnectionService.h"

namespace tarn::client {

ConnectionService::~ConnectionService() = default;

}  // namespace tarn::client
