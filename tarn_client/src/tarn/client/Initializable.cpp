#include "tarn/client/Initializable.h"

namespace tarn {
namespace client {

Initializable::~Initializable() = default;

}  // namespace client
}  // namespace tarn
