#include "tarn/client/Configurator.h"

namespace tarn::client {

Configurator::~Configurator() = default;

}  // namespace tarn::client
