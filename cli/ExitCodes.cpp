#include "cli/ExitCodes.h"

#include <cstdio>

#include "core/EscapeControls.h"

void PrintError(const std::string& text) {
    std::fprintf(stderr, "velkdownloader-cli: %s\n", EscapeControlsUtf8(text).c_str());
    std::fflush(stderr);
}
