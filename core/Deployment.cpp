#include "core/Deployment.h"

#include <cstdlib>

#include "core/TextUtil.h"

namespace {
std::u16string FromEnvironment(const char* name, const char16_t* fallback) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return fallback;
    }
    std::u16string url = Utf8ToWide(value);
    while (!url.empty() && url.back() == u'/') {
        url.pop_back();
    }
    return url;
}
}  // namespace

std::u16string ProductionApiBaseUrl() {
    return FromEnvironment("VELKDOWNLOADER_API_URL", u"https://api.velkora.com");
}

std::u16string TestApiBaseUrl() {
    return FromEnvironment("VELKDOWNLOADER_API_URL", u"https://api-test.velkora.com");
}

std::u16string SiteBaseUrl() {
    return FromEnvironment("VELKDOWNLOADER_SITE_URL", u"https://www.velkora.com");
}
