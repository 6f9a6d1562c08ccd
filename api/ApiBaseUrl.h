#pragma once
// The API server to talk to: the test server while bit 1 of the "Debug" flags is set, the
// production server otherwise. Decided at every call; any thread.
#include <string>

std::u16string ApiBaseUrl();
