// The chunk-index reader and the plan check on hostile index text (ReadChunkIndex,
// ValidateChunkPlan). Whatever the text: nothing crashes or reads out of bounds, a refused index
// leaves the caller's file as it was, a refused plan says why, and a plan that passes is one the
// engine can follow: ids 0, 1, 2, ... contiguous from offset 0, each chunk's end at or after its
// start, the lengths adding up to the size, every digest 32 lower-case hexadecimal digits.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>

#include "FuzzSupport.h"
#include "core/TextUtil.h"
#include "engine/ChunkIndex.h"

namespace fs = std::filesystem;

namespace {

constexpr char16_t kName[] = u"setup/game.bin";

struct Folders {
    fs::path data;
    fs::path record;
};

// The record folder holds what a resumed download leaves behind, so that the on-disk
// measurement meets a verified chunk, a partial one, a symbolic link and a FIFO (which must
// neither be followed nor block).
Folders MakeFolders() {
    Folders folders{FuzzHome() / "data", FuzzHome() / "record"};
    fs::create_directories(folders.data / "setup");
    fs::create_directories(folders.record / "setup");
    const uint8_t bytes[100] = {};
    WriteWhole(folders.record / "setup/game.bin.chunk0", bytes, 100);
    WriteWhole(folders.record / "setup/game.bin.chunk1_downloading", bytes, 40);
    fs::create_symlink(folders.record / "setup/game.bin.chunk0",
                       folders.record / "setup/game.bin.chunk2");
    mkfifo((folders.record / "setup/game.bin.chunk3_downloading").c_str(), 0600);
    return folders;
}

bool IsDigest(const std::u16string& text) {
    if (text.size() != 32) {
        return false;
    }
    for (const char16_t unit : text) {
        if (!((unit >= u'0' && unit <= u'9') || (unit >= u'a' && unit <= u'f'))) {
            return false;
        }
    }
    return true;
}

void CheckPlan(const FileInfo& file) {
    Require(file.size <= static_cast<uint64_t>(INT64_MAX), "a valid plan's size is below 2^63");
    Require(IsDigest(file.md5), "a valid plan's file digest is 32 hexadecimal digits");
    uint64_t next = 0;
    unsigned __int128 sum = 0;
    for (size_t i = 0; i < file.chunks.size(); ++i) {
        const ChunkInfo& chunk = file.chunks[i];
        Require(chunk.id >= 0 && static_cast<size_t>(chunk.id) == i,
                "a valid plan's ids are 0, 1, 2, ...");
        Require(chunk.from == next, "a valid plan is contiguous from 0");
        Require(chunk.to >= chunk.from, "a valid plan's chunks end after they start");
        Require(IsDigest(chunk.md5), "a valid plan's chunk digests are 32 hexadecimal digits");
        sum += static_cast<unsigned __int128>(chunk.to - chunk.from) + 1;
        next = chunk.to + 1;
    }
    Require(sum == file.size, "a valid plan's chunk lengths add up to the size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Folders folders = MakeFolders();
    WriteWhole(folders.data / "setup/game.bin.crc", data, size);

    FileInfo file;
    file.id = 3;
    file.name = kName;
    file.size = 5;
    file.md5 = u"before";
    const FileInfo before = file;
    const bool read = ReadChunkIndex(file, Utf8ToWide(folders.record.string() + "/"),
                                     Utf8ToWide(folders.data.string() + "/"));
    if (!read) {
        Require(SameFile(file, before), "a refused index leaves the file as it was");
        return 0;
    }
    Require(file.id == before.id && file.name == before.name, "reading keeps id and name");
    std::u16string reason;
    if (ValidateChunkPlan(file, &reason)) {
        if (file.available) {
            CheckPlan(file);
        }
    } else {
        Require(!reason.empty(), "a refused plan says why");
        Require(file.available, "a file that is not available is never refused");
    }
    return 0;
}
