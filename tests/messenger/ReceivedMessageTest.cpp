#include "tarn/client/impl/util/ReceivedMessage.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace tarn {
namespace client {
namespace impl {
namespace util {
namespace {

using boost::asio::ip::make_address_v4;
using boost::asio::ip::udp;

TEST(ReceivedMessage, TextFormShowsBothEndpointsAndTheMessage) {
    ReceivedMessage bindRequest;
    bindRequest.content.set_type(generated::Content::BIND_REQ);
    generated::addChangeRequest(bindRequest.content, generated::Attribute::CHANGE_PORT);
    bindRequest.localEndpoint = udp::endpoint(make_address_v4("192.168.1.5"), 40000);
    bindRequest.remoteEndpoint = udp::endpoint(make_address_v4("10.0.0.1"), 13434);

    ReceivedMessage empty;

    const struct {
        const ReceivedMessage& message;
        std::string text;
    } cases[] = {
        {bindRequest,
         "[local addr=192.168.1.5:40000, remote addr=10.0.0.1:13434, message= [type=BIND_REQ, "
         "attributes=[CHANGE_REQUEST=CHANGE_PORT]]]"},
        {empty, "[local addr=0.0.0.0:0, remote addr=0.0.0.0:0, message= [type=BIND_REQ, attributes=[]]]"},
    };
    for (const auto& c : cases) {
        std::ostringstream out;
        out << c.message;
        EXPECT_EQ(out.str(), c.text);
    }
}

}  // namespace
}  // namespace util
}  // namespace impl
}  // namespace client
}  // namespace tarn
