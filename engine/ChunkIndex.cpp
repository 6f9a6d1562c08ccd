#include "engine/ChunkIndex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <new>
#include <rapidxml/rapidxml.hpp>
#include <string>
#include <vector>

#include "core/DebugPrintf.h"
#include "core/Saturating.h"
#include "core/TextUtil.h"
#include "core/WideFormat.h"
#include "engine/ChunkFiles.h"
#include "engine/JoinRecord.h"
#include "engine/UntrustedXml.h"
#include "platform/UniqueFd.h"

namespace {

using XmlNode = rapidxml::xml_node<char>;

// The parser descends one call per nesting level; an index is two levels deep, so anything far
// deeper is garbage that could only exhaust the stack.
constexpr size_t kMaxNesting = 256;

enum class OpenStatus { Opened, Missing, NotRegular, Failed };

struct OpenedFile {
    OpenStatus status = OpenStatus::Failed;
    UniqueFd fd;
    std::optional<uint64_t> size;  // nothing when the open file's size couldn't be read
};

// Opens a regular file for reading. lstat first, so that a device is never opened at all, then
// O_NOFOLLOW|O_NONBLOCK (a symbolic link or FIFO swapped in meanwhile neither is followed nor
// blocks us) and fstat to be sure of what was opened.
OpenedFile OpenRegularFile(const std::string& path) {
    OpenedFile opened;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        opened.status =
            (errno == ENOENT || errno == ENOTDIR) ? OpenStatus::Missing : OpenStatus::Failed;
        return opened;
    }
    if (!S_ISREG(info.st_mode)) {
        opened.status = OpenStatus::NotRegular;
        return opened;
    }
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.Get() < 0) {
        opened.status = errno == ENOENT  ? OpenStatus::Missing
                        : errno == ELOOP ? OpenStatus::NotRegular
                                         : OpenStatus::Failed;
        return opened;
    }
    if (fstat(fd.Get(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            opened.status = OpenStatus::NotRegular;
            return opened;
        }
        opened.size = static_cast<uint64_t>(info.st_size);
    }
    opened.status = OpenStatus::Opened;
    opened.fd = std::move(fd);
    return opened;
}

enum class IndexText { Read, Missing, Unreadable, TooLarge };

// The whole index, zero-terminated for the parser. Reads to the end rather than trusting the
// size seen at open, so a file that changes meanwhile is still read whole or refused.
IndexText ReadIndexText(const std::string& path, std::vector<char>& text) {
    const OpenedFile opened = OpenRegularFile(path);
    if (opened.status == OpenStatus::Missing) {
        return IndexText::Missing;
    }
    if (opened.status != OpenStatus::Opened) {
        return IndexText::Unreadable;
    }
    if (opened.size && *opened.size > kMaxChunkIndexSize) {
        return IndexText::TooLarge;
    }
    text.clear();
    text.reserve(static_cast<size_t>(opened.size.value_or(0)) + 1);
    char block[65536];
    for (;;) {
        const ssize_t got = read(opened.fd.Get(), block, sizeof block);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return IndexText::Unreadable;
        }
        if (got == 0) {
            break;
        }
        text.insert(text.end(), block, block + got);
        if (text.size() > kMaxChunkIndexSize) {
            return IndexText::TooLarge;
        }
    }
    text.push_back('\0');
    return IndexText::Read;
}

// The 32-bit fields saturate at the 32-bit limits, as the C conversion does where long has 32
// bits; cutting off the high bits instead would read "4294967297" as 1, i.e. "available".
int32_t ReadNumber32(std::string_view text) {
    const int64_t value = ReadDecimalInt64(text);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

std::optional<std::string_view> Attribute(const XmlNode& node, const char* name) {
    const rapidxml::xml_attribute<char>* attribute = node.first_attribute(name);
    if (attribute == nullptr) {
        return std::nullopt;
    }
    return std::string_view(attribute->value(), attribute->value_size());
}

// Text from the network shown in a log line: a control character could forge a line break.
std::u16string Printable(std::u16string_view text) {
    std::u16string shown(text.substr(0, 256));
    for (char16_t& unit : shown) {
        if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) {
            unit = u'?';
        }
    }
    return shown;
}

// The id's text is appended to the file's name to name its chunk files, so it must stay within
// that one name: no separator and nothing a name may not hold.
bool IdCanNameFiles(std::u16string_view id) {
    if (id.empty()) {
        return false;
    }
    for (const char16_t unit : id) {
        if (unit == u'/' || unit == u'\\' || unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) {
            return false;
        }
    }
    return true;
}

void RemoveIndex(const std::string& path) {
    unlink(path.c_str());
}

bool IsMd5Text(std::u16string_view digest) {
    if (digest.size() != 32) {
        return false;
    }
    for (const char16_t unit : digest) {
        if (!((unit >= u'0' && unit <= u'9') || (unit >= u'a' && unit <= u'f'))) {
            return false;
        }
    }
    return true;
}

void ReadFileAttributes(const XmlNode& element, FileInfo& file) {
    if (const auto available = Attribute(element, "available")) {
        file.available = ReadNumber32(*available) == 1;
    }
    if (!file.available) {
        if (const auto message = Attribute(element, "notavailablemsg")) {
            file.notAvailableMessage = Utf8ToWide(*message);
        }
    }
    if (const auto timestamp = Attribute(element, "timestamp")) {
        file.timestamp = Utf8ToWide(*timestamp);
    }
    if (const auto size = Attribute(element, "total_size")) {
        file.size = static_cast<uint64_t>(ReadDecimalInt64(*size));
    }
    if (const auto md5 = Attribute(element, "md5")) {
        file.md5 = Utf8ToWide(*md5);
    }
}

// Every sibling from the first "chunk" child on, whatever its name, is a chunk when its method
// is "md5": that is how indexes have always been read, and the servers rely on nothing else.
void ReadChunks(const XmlNode& element, std::u16string_view recordFolder, bool finishedMissing,
                FileInfo& file) {
    // Chunks already in the file's working file have no chunk file any more.
    const uint32_t joined =
        finishedMissing ? RecordedChunks(FinishedFilePath(recordFolder, file.name)) : 0;
    for (const XmlNode* node = element.first_node("chunk"); node != nullptr;
         node = node->next_sibling()) {
        if (Attribute(*node, "method").value_or(std::string_view()) != "md5") {
            continue;
        }
        const std::u16string idText =
            Utf8ToWide(Attribute(*node, "id").value_or(std::string_view()));
        if (idText.empty()) {
            Logger().Warning(u"Chunk without id skipped in xml file '%s.crc'.", file.name);
            continue;
        }
        if (!IdCanNameFiles(idText)) {
            Logger().Warning(
                u"Chunk with id '%s' skipped in xml file '%s.crc': the id cannot "
                u"name a file.",
                Printable(idText), file.name);
            continue;
        }
        ChunkInfo chunk;
        chunk.id = ReadNumber32(WideToUtf8(idText));
        chunk.from = static_cast<uint64_t>(
            ReadDecimalInt64(Attribute(*node, "from").value_or(std::string_view())));
        chunk.to = static_cast<uint64_t>(
            ReadDecimalInt64(Attribute(*node, "to").value_or(std::string_view())));
        chunk.md5 = Utf8ToWide(std::string_view(node->value(), node->value_size()));
        if (chunk.to + 1 == chunk.from) {
            // No byte (to one below from): how an empty file's index writes its one chunk. There
            // is nothing to fetch, check or join; the file's own digest covers it. Anywhere else
            // it leaves a gap in the ids, which the plan's check refuses.
            continue;
        }

        std::optional<uint64_t> size;
        if (chunk.id >= 0 && static_cast<uint32_t>(chunk.id) < joined &&
            file.chunks.size() == static_cast<size_t>(chunk.id)) {
            size = chunk.Length();
        } else {
            size = RegularFileSize(VerifiedChunkPath(recordFolder, file.name, idText));
            if (!size) {
                size = RegularFileSize(PartialChunkPath(recordFolder, file.name, idText));
            }
        }
        chunk.onDisk = size.value_or(0);
        if (finishedMissing) {
            file.onDisk += chunk.onDisk;
        }
        file.chunks.push_back(std::move(chunk));
    }
}

}  // namespace

std::optional<uint64_t> RegularFileSize(std::u16string_view path) {
    const OpenedFile opened = OpenRegularFile(WideToUtf8(path));
    if (opened.status != OpenStatus::Opened) {
        return std::nullopt;
    }
    return opened.size.value_or(0);
}

bool ReadChunkIndex(FileInfo& file, std::u16string_view recordFolder,
                    std::u16string_view dataFolder, BrokenIndex broken) {
    // The name comes from the store: it must not lead out of the data or downloads folder.
    if (!IsSafeRelativeName(file.name)) {
        Logger().Warning(u"File name '%s' is not a safe relative path; its xml file is not read.",
                         Printable(file.name));
        return false;
    }
    const std::string indexPath = WideToUtf8(ChunkIndexPath(dataFolder, file.name));
    std::vector<char> text;
    switch (ReadIndexText(indexPath, text)) {
        case IndexText::Read:
            break;
        case IndexText::Missing:
            return false;
        case IndexText::Unreadable:
            Logger().Warning(u"Xml file '%s.crc' cannot be read.", file.name);
            return false;
        case IndexText::TooLarge:
            Logger().Warning(
                u"Xml file '%s.crc' is larger than %I64u bytes. New xml will be "
                u"downloaded.",
                file.name, kMaxChunkIndexSize);
            if (broken == BrokenIndex::kRemove) {
                RemoveIndex(indexPath);
            }
            return false;
    }

    rapidxml::xml_document<char> document;
    const XmlParse parse = ParseUntrustedXml(document, text, kMaxNesting);
    if (parse == XmlParse::OutOfMemory) {
        // Not the index's fault: keep it for the next attempt.
        Logger().Warning(u"Xml file '%s.crc' cannot be read.", file.name);
        return false;
    }
    const bool wellFormed = parse == XmlParse::Parsed;
    if (!wellFormed) {
        Logger().Warning(u"Xml file '%s.crc' was corrupted. New xml will be downloaded.",
                         file.name);
        if (broken == BrokenIndex::kRemove) {
            RemoveIndex(indexPath);
        }
        return false;
    }

    const XmlNode* element = document.first_node("file");
    if (element == nullptr) {
        return false;
    }
    ReadFileAttributes(*element, file);

    const std::optional<uint64_t> finished =
        RegularFileSize(FinishedFilePath(recordFolder, file.name));
    file.onDisk = finished.value_or(0);
    ReadChunks(*element, recordFolder, !finished.has_value(), file);
    return true;
}

bool LoadChunkIndexes(DownloadInfo& record, std::u16string_view dataFolder, BrokenIndex broken) {
    record.downloaded = 0;
    record.total = 0;
    record.available = 0;
    for (FileInfo& file : record.files) {
        if (!ReadChunkIndex(file, record.folder, dataFolder, broken)) {
            return false;
        }
        record.downloaded = SaturatingAdd(record.downloaded, file.onDisk);
        record.total = SaturatingAdd(record.total, file.size);
        if (file.available) {
            record.available = SaturatingAdd(record.available, file.size);
        }
    }
    record.RecomputeState();
    return true;
}

bool ValidateChunkPlan(const FileInfo& file, std::u16string* reason) {
    const auto fail = [reason](std::u16string text) {
        if (reason != nullptr) {
            *reason = std::move(text);
        }
        return false;
    };
    if (!file.available) {
        return true;
    }
    if (file.size > static_cast<uint64_t>(INT64_MAX)) {
        return fail(u"the file size is negative or too large");
    }
    if (!IsMd5Text(file.md5)) {
        return fail(u"the file digest is not 32 lower-case hexadecimal digits");
    }
    // Contiguous from 0 and ending at size - 1 also means no overlap and lengths adding up to
    // the size; every to stays below the size, so next never overflows.
    uint64_t next = 0;
    for (size_t position = 0; position < file.chunks.size(); ++position) {
        const ChunkInfo& chunk = file.chunks[position];
        if (static_cast<int64_t>(chunk.id) != static_cast<int64_t>(position)) {
            return fail(FormatWide(u"chunk %u has the id %d", position, chunk.id));
        }
        if (chunk.from != next) {
            return fail(FormatWide(u"chunk %d starts at %I64u instead of %I64u", chunk.id,
                                   chunk.from, next));
        }
        if (chunk.to < chunk.from) {
            return fail(FormatWide(u"chunk %d ends at %I64u before its start %I64u", chunk.id,
                                   chunk.to, chunk.from));
        }
        if (chunk.to >= file.size) {
            return fail(FormatWide(u"chunk %d ends at %I64u, past the end of %I64u bytes", chunk.id,
                                   chunk.to, file.size));
        }
        if (!IsMd5Text(chunk.md5)) {
            return fail(FormatWide(
                u"the digest of chunk %d is not 32 lower-case hexadecimal digits", chunk.id));
        }
        next = chunk.to + 1;
    }
    if (next != file.size) {
        return fail(FormatWide(u"the chunks cover %I64u of %I64u bytes", next, file.size));
    }
    return true;
}
