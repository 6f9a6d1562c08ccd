#pragma once
// Where the store lives. Compiled-in addresses, each overridable from the environment so that the
// local test store can stand in without touching the user's settings:
//   VELKDOWNLOADER_API_URL   both API base URLs (production and test)
//   VELKDOWNLOADER_SITE_URL  the web site (status page, game cards, help pages)
// Base URLs have no trailing slash. Read at every call; safe on any thread.
#include <string>

// The production API: "https://" and a host, no path.
std::u16string ProductionApiBaseUrl();
// The test API, chosen by bit 1 of the "Debug" flags word.
std::u16string TestApiBaseUrl();
// The store's web site.
std::u16string SiteBaseUrl();
