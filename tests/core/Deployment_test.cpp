#include "core/Deployment.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/TempHome.h"

namespace {

class DeploymentTest : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("VELKDOWNLOADER_API_URL");
        unsetenv("VELKDOWNLOADER_SITE_URL");
    }
};

TEST_F(DeploymentTest, CompiledInAddressesAreHttpsHostsWithoutPath) {
    unsetenv("VELKDOWNLOADER_API_URL");
    unsetenv("VELKDOWNLOADER_SITE_URL");
    for (const std::u16string& url : {ProductionApiBaseUrl(), TestApiBaseUrl(), SiteBaseUrl()}) {
        ASSERT_EQ(url.rfind(u"https://", 0), 0u);
        EXPECT_EQ(url.find(u'/', 8), std::u16string::npos);
    }
    EXPECT_NE(ProductionApiBaseUrl(), TestApiBaseUrl());
}

TEST_F(DeploymentTest, EnvironmentOverridesWithoutTrailingSlash) {
    setenv("VELKDOWNLOADER_API_URL", "https://127.0.0.1:4443//", 1);
    setenv("VELKDOWNLOADER_SITE_URL", "https://127.0.0.1:4444", 1);
    EXPECT_EQ(ProductionApiBaseUrl(), u"https://127.0.0.1:4443");
    EXPECT_EQ(TestApiBaseUrl(), u"https://127.0.0.1:4443");
    EXPECT_EQ(SiteBaseUrl(), u"https://127.0.0.1:4444");
    setenv("VELKDOWNLOADER_SITE_URL", "", 1);  // empty counts as unset
    EXPECT_EQ(SiteBaseUrl().rfind(u"https://www.", 0), 0u);
}

}  // namespace
