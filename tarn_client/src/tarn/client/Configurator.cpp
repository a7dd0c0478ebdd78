#include "tarn/client/Configurator.h"

namespace tarn {
namespace client {

Configurator::~Configurator() = default;

}  // namespace client
}  // namespace tarn
