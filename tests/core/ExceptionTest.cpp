#include "tarn/client/TARNException.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "tarn/client/ConnectionException.h"
#include "tarn/client/NoUDPConnectionException.h"
#include "tarn/client/NotLocallyBoundException.h"
#include "tarn/client/UninitializedException.h"

using namespace tarn::client;

TEST(Exception, MessageCarriesNameTagAndText) {
    TARNException e("a", "b", "c");
    EXPECT_STREQ(e.what(), "[a:b] c");
    TARNException copy(e);
    EXPECT_STREQ(copy.what(), "[a:b] c");
    EXPECT_STREQ(TARNException("", "", "").what(), "[:] ");
}

TEST(Exception, FamilyIsCaughtByItsBases) {
    auto throwsAs = [](auto exception) {
        try {
            throw exception;
        } catch (const ConnectionException& e) {
            return std::string("connection ") + e.what();
        } catch (const TARNException& e) {
            return std::string("tarn ") + e.what();
        }
    };
    EXPECT_EQ(throwsAs(NotLocallyBoundException("n", "t", "x")), "connection [n:t] x");
    EXPECT_EQ(throwsAs(NoUDPConnectionException("n", "t", "y")), "connection [n:t] y");
    EXPECT_EQ(throwsAs(ConnectionException("n", "t", "z")), "connection [n:t] z");
    EXPECT_EQ(throwsAs(UninitializedException("n", "t", "u")), "tarn [n:t] u");

    auto asStd = [](auto exception) {
        try {
            throw exception;
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    };
    EXPECT_EQ(asStd(TARNException("svc", "a", "1")), "[svc:a] 1");
    EXPECT_EQ(asStd(UninitializedException("svc", "b", "2")), "[svc:b] 2");
    EXPECT_EQ(asStd(ConnectionException("svc", "c", "3")), "[svc:c] 3");
    EXPECT_EQ(asStd(NotLocallyBoundException("svc", "d", "4")), "[svc:d] 4");
    EXPECT_EQ(asStd(NoUDPConnectionException("svc", "normalReplyTest", "No response")),
              "[svc:normalReplyTest] No response");
}
