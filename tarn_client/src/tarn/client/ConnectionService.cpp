#include "tarn/client/ConnectionService.h"

namespace tarn {
namespace client {

ConnectionService::~ConnectionService() = default;

}  // namespace client
}  // namespace tarn
