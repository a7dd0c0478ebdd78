#include "tarn/lattice/TARNWrapper.h"

#include <string>

#include <gtest/gtest.h>

using tarn::lattice::TARNWrapper;

TEST(TARNWrapper, SingletonVersionAndConstants) {
    TARNWrapper& wrapper = TARNWrapper::getInstance();
    EXPECT_EQ(&wrapper, &TARNWrapper::getInstance());
    EXPECT_EQ(wrapper.getTARNClientVersion(), "1.0.1");

    const std::pair<const char*, const char*> constants[] = {
        {TARNWrapper::UID, "userId"},
        {TARNWrapper::FEATURETTE, "P2P"},
        {TARNWrapper::MTD_DSC, "SetNatType"},
        {TARNWrapper::MTD_P2P, "UpdateP2PInfo"},
        {TARNWrapper::LOCAL_IP, "localIp"},
        {TARNWrapper::LOCAL_PORT, "localPort"},
        {TARNWrapper::PUBLIC_IP, "publicIp"},
        {TARNWrapper::PUBLIC_PORT, "publicPort"},
        {TARNWrapper::NAT_TYPE, "natType"},
        {TARNWrapper::NAT_BEHAVIOR, "natBehavior"},
        {TARNWrapper::NAT_INCR, "natIncrement"},
        {TARNWrapper::GAME_ID, "sessionId"},
        {TARNWrapper::FAILS, "failures"},
        {TARNWrapper::TOTAL, "peers"},
        {TARNWrapper::PERSONA_ID, "personaId"},
    };
    for (const auto& constant : constants) {
        EXPECT_STREQ(constant.first, constant.second);
    }
}

TEST(TARNWrapper, AccessorsReachTheRegistryServices) {
    TARNWrapper& wrapper = TARNWrapper::getInstance();
    EXPECT_EQ(wrapper.getConfigurator().getName(), "tarn.client.configurator");
    EXPECT_EQ(wrapper.getLoggingService().getName(), "tarn.client.logger");
    EXPECT_TRUE(wrapper.getLoggingService().isInitialized());
    wrapper.getConfigurator().setValue("tarn.example", "1");
    EXPECT_TRUE(wrapper.getConfigurator().hasValue("tarn.example"));
}
