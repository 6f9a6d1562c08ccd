#include "engine/ChunksRemover.h"

#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "core/DebugPrintf.h"
#include "engine/BlockFile.h"
#include "platform/CrashPoint.h"

bool ChunksRemover::Step() {
    // Without a whole finished path the names below would be relative to wherever the process
    // stands: delete nothing.
    if (entry_.finishedPath.empty() || entry_.finishedPath.front() != u'/') {
        return false;
    }
    for (uint32_t position = 0; position < entry_.chunkCount; ++position) {
        const std::u16string path = ChunkFileOfEntry(entry_, position);
        const std::optional<std::string> native = FittingPath(path);
        // unlink never follows a link and never takes a folder.
        if (!native) {
            continue;
        }
        if (::unlink(native->c_str()) == 0) {
            ++removed_;
            CrashPoint("chunks-deleting");
        } else if (errno != ENOENT) {
            const std::u16string why = ErrorText(errno);
            Logger().Warning(u"Cannot delete %s: %s", path, why);
        }
    }
    return false;
}
