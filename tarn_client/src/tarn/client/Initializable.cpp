#include "tarn/client/Initializable.h"

namespace tarn::client {

Initializable::~Initializable() = default;

}  // namespace tarn::client
