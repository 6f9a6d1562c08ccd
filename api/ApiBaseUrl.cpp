#include "api/ApiBaseUrl.h"

#include "core/DebugFlags.h"
#include "core/Deployment.h"

std::u16string ApiBaseUrl() {
    return (DebugFlags() & kDebugTestApi) ? TestApiBaseUrl() : ProductionApiBaseUrl();
}
