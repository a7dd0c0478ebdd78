#include "tarn/client/impl/util/ReceivedMessage.h"

namespace tarn::client::impl::util {

std::ostream& operator<<(std::ostream& out, const ReceivedMessage& message) {
    return out << "[local addr=" << message.localEndpoint << ", remote addr=" << message.remoteEndpoint
               << ", message= " << generated::messageToString(message.content) << "]";
}

}  // namespace tarn::client::impl::util
