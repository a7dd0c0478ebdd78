#include "tarn/client/impl/service/portmap/UpnpClient.h"

#include <gtest/gtest.h>

namespace {

using tarn::client::impl::service::portmap::UpnpClient;

TEST(UpnpClient, LocationOfAnSsdpAnswer) {
    const struct {
        const char* answer;
        const char* location;  // nullptr: none
    } rows[] = {
        {"HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\nLOCATION: http://10.1.0.1:2869/rootDesc.xml\r\n\r\n",
         "http://10.1.0.1:2869/rootDesc.xml"},
        {"HTTP/1.1 200 OK\r\nlocation:\thttp://10.1.0.1/d.xml \r\n", "http://10.1.0.1/d.xml"},  // any case, blanks
        {"HTTP/1.1 200 OK\nLocation: http://10.1.0.1/d.xml\n", "http://10.1.0.1/d.xml"},        // bare line feeds
        {"HTTP/1.1 200 OK\r\nLocation:\r\nLocation: http://x/\r\n", nullptr},  // empty value (a fuzz finding)
        {"HTTP/1.1 200 OK\r\nLocation1\r\nST: x\r\n", nullptr},                 // no colon, no header
        {"", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.answer);
        const auto location = UpnpClient::locationOf(row.answer);
        ASSERT_EQ(row.location != nullptr, location.has_value());
        if (row.location) {
            EXPECT_EQ(row.location, *location);
        }
    }
}

}  // namespace
