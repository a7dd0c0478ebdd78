#include "tarn/client/impl/AbstractInitializable.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "tarn/client/UninitializedException.h"

using tarn::client::UninitializedException;
using tarn::client::impl::AbstractInitializable;

namespace {

// Counts the life-cycle calls and lets a test choose what doInit does.
class Counting : public AbstractInitializable {
public:
    int inits = 0;
    int shutdowns = 0;
    bool succeed = true;
    bool throwInInit = false;

    void guarded() { checkInitialized(getName(), "guarded"); }

protected:
    bool doInit() override {
        ++inits;
        if (throwInInit) {
            throw std::runtime_error("boom");
        }
        return succeed;
    }
    void doShutdown() override { ++shutdowns; }
};

}  // namespace

TEST(AbstractInitializable, NameDefaultsAndEmptyNameRestoresDefault) {
    Counting object;
    EXPECT_EQ(object.getName(), "tarn.client.impl.AbstractInitializable");
    object.setName("tarn.client.connSvc");
    EXPECT_EQ(object.getName(), "tarn.client.connSvc");
    object.setName("");
    EXPECT_EQ(object.getName(), "tarn.client.impl.AbstractInitializable");
}

TEST(AbstractInitializable, InitRunsOnceShutdownOnlyWhenInitialized) {
    Counting object;
    object.shutdown();
    EXPECT_EQ(object.shutdowns, 0);

    EXPECT_TRUE(object.init());
    EXPECT_TRUE(object.init());
    EXPECT_EQ(object.inits, 1);
    object.shutdown();
    object.shutdown();
    EXPECT_EQ(object.shutdowns, 1);
    EXPECT_FALSE(object.isInitialized());

    EXPECT_TRUE(object.init());
    EXPECT_EQ(object.inits, 2);
}

TEST(AbstractInitializable, FailedInitIsRetriedAndThrowingInitLeavesItUninitialized) {
    Counting object;
    object.succeed = false;
    EXPECT_FALSE(object.init());
    EXPECT_FALSE(object.init());
    EXPECT_EQ(object.inits, 2);

    object.throwInInit = true;
    EXPECT_THROW(object.init(), std::runtime_error);
    EXPECT_FALSE(object.isInitialized());

    object.throwInInit = false;
    object.succeed = true;
    EXPECT_TRUE(object.init());
}

TEST(AbstractInitializable, GuardedOperationThrowsUntilInitialized) {
    Counting object;
    object.setName("tarn.client.connSvc");
    try {
        object.guarded();
        FAIL() << "no exception";
    } catch (const UninitializedException& e) {
        EXPECT_STREQ(e.what(), "[tarn.client.connSvc:guarded] tarn.client.connSvc has not been initialized!");
    }
    ASSERT_TRUE(object.init());
    EXPECT_NO_THROW(object.guarded());
}
