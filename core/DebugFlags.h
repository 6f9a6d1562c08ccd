#pragma once
// The process-wide "Debug" flags word, loaded once at start-up from the settings. Bit 0 rewrites
// "/secure/" to "/open/" in links from the API; bit 1 selects the test API server. Any thread.
#include <cstdint>

inline constexpr uint32_t kDebugOpenLinks = 1u << 0;
inline constexpr uint32_t kDebugTestApi = 1u << 1;

uint32_t DebugFlags();
void SetDebugFlags(uint32_t flags);
