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

    try {
        throw NoUDPConnectionException("svc", "normalReplyTest", "No response");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "[svc:normalReplyTest] No response");
    }
}
