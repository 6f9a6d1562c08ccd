// Appends lines to a log as a second process would: log_writer <log path> <tag> <count>
#include <cstdlib>
#include <string>

#include "core/DebugPrintf.h"
#include "core/TextUtil.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        return 2;
    }
    CDebugPrintf::Options options;
    options.path = argv[1];
    options.echoFd = -1;
    CDebugPrintf log(options);
    const std::u16string tag = Utf8ToWide(argv[2]);
    const int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
        log.Log(u"%s line %d", tag, i);
    }
    return log.StartedLog() ? 3 : 0;  // a second process must never rotate
}
