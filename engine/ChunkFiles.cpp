#include "engine/ChunkFiles.h"

#include <sys/stat.h>

#include <string>

#include "core/NormalisePath.h"
#include "core/TextUtil.h"

namespace {

constexpr size_t kMaxNameLength = 1024;

// C0 controls, DEL and C1 controls: none belongs in a file name, and a line break in a name
// would also let a name forge lines in the log.
bool IsControl(char16_t unit) {
    return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F);
}

std::u16string Join(std::u16string_view folder, std::u16string_view name,
                    std::u16string_view suffix = {}, std::u16string_view suffix2 = {},
                    std::u16string_view suffix3 = {}) {
    std::u16string path;
    path.reserve(folder.size() + name.size() + suffix.size() + suffix2.size() + suffix3.size());
    path.append(folder).append(name).append(suffix).append(suffix2).append(suffix3);
    return NormalisePath(std::move(path));
}

}  // namespace

bool IsSafeRelativeName(std::u16string_view name) {
    if (name.empty() || name.size() > kMaxNameLength) {
        return false;
    }
    size_t segmentStart = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != u'/') {
            if (name[i] == u'\\' || IsControl(name[i])) {
                return false;
            }
            continue;
        }
        // A segment ends here. An empty first segment is a leading "/" (absolute); an empty one
        // elsewhere is "//" or a trailing "/", which would name a folder, not a file.
        const std::u16string_view segment = name.substr(segmentStart, i - segmentStart);
        if (segment.empty() || segment == u"." || segment == u"..") {
            return false;
        }
        segmentStart = i + 1;
    }
    return true;
}

bool FoldersOfNameStayInside(std::u16string_view folder, std::u16string_view name) {
    for (size_t slash = name.find(u'/'); slash != std::u16string_view::npos;
         slash = name.find(u'/', slash + 1)) {
        const std::string path = WideToUtf8(Join(folder, name.substr(0, slash)));
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            return true;  // not made yet: it will be made as a real folder
        }
        if (!S_ISDIR(info.st_mode)) {
            return false;
        }
    }
    return true;
}

std::u16string ChunkIndexPath(std::u16string_view dataFolder, std::u16string_view name) {
    return Join(dataFolder, name, u".crc");
}

std::u16string FinishedFilePath(std::u16string_view recordFolder, std::u16string_view name) {
    return Join(recordFolder, name);
}

std::u16string VerifiedChunkPath(std::u16string_view recordFolder, std::u16string_view name,
                                 std::u16string_view chunkId) {
    return Join(recordFolder, name, u".chunk", chunkId);
}

std::u16string VerifiedChunkPath(std::u16string_view recordFolder, std::u16string_view name,
                                 int64_t chunkId) {
    return VerifiedChunkPath(recordFolder, name, Decimal(chunkId));
}

std::u16string PartialChunkPath(std::u16string_view recordFolder, std::u16string_view name,
                                std::u16string_view chunkId) {
    return Join(recordFolder, name, u".chunk", chunkId, u"_downloading");
}

std::u16string PartialChunkPath(std::u16string_view recordFolder, std::u16string_view name,
                                int64_t chunkId) {
    return PartialChunkPath(recordFolder, name, Decimal(chunkId));
}
