#include "engine/EngineSignals.h"

EngineSignals MakeEngineSignals() {
    return {std::make_shared<Event>(true, false), CreateConnectivityEvents()};
}
