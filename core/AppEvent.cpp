#include "core/AppEvent.h"

uint32_t LogNumberOf(const AppEvent& event) {
    return std::visit([](const auto& alternative) { return LogNumberOf(alternative); }, event);
}
