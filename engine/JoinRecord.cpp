#include "engine/JoinRecord.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "engine/BlockFile.h"

namespace {

constexpr std::string_view kFirstLine = "velkdownloader join 1";
// A record is a few lines; anything longer is not one.
constexpr size_t kMaxRecordSize = 512;

template <class Number>
std::optional<Number> ReadNumber(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// The value of the line "key value" at the front of `text`, which moves past that line.
std::optional<std::string_view> TakeLine(std::string_view& text, std::string_view key) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ' ') {
        return std::nullopt;
    }
    return line.substr(key.size() + 1);
}

}  // namespace

std::u16string JoinRecordPath(std::u16string_view finishedPath) {
    std::u16string path(finishedPath);
    path += u".joining.state";
    return path;
}

std::optional<JoinRecord> ReadJoinRecord(const std::string& path) {
    const OpenedFile file = OpenForReading(path);
    if (!file.fd || file.size > kMaxRecordSize) {
        return std::nullopt;
    }
    char buffer[kMaxRecordSize];
    const ssize_t got = ReadFull(file.fd.Get(), reinterpret_cast<uint8_t*>(buffer), sizeof buffer);
    if (got <= 0) {
        return std::nullopt;
    }
    std::string_view text(buffer, static_cast<size_t>(got));
    if (text.substr(0, kFirstLine.size() + 1) != std::string(kFirstLine) + "\n") {
        return std::nullopt;
    }
    text.remove_prefix(kFirstLine.size() + 1);
    const std::optional<std::string_view> clean = TakeLine(text, "clean");
    const std::optional<std::string_view> chunks = TakeLine(text, "chunks");
    const std::optional<std::string_view> bytes = TakeLine(text, "bytes");
    const std::optional<std::string_view> digest = TakeLine(text, "md5");
    if (!clean || (*clean != "0" && *clean != "1") || !chunks || !bytes || !digest ||
        !text.empty()) {
        return std::nullopt;
    }
    JoinRecord record;
    record.clean = *clean == "1";
    const std::optional<uint32_t> chunkCount = ReadNumber<uint32_t>(*chunks);
    const std::optional<uint64_t> byteCount = ReadNumber<uint64_t>(*bytes);
    std::optional<Md5Context> restored = Md5Context::Restored(*digest);
    // The digest covers exactly the bytes the record names.
    if (!chunkCount || !byteCount || !restored || restored->Length() != *byteCount) {
        return std::nullopt;
    }
    record.chunks = *chunkCount;
    record.bytes = *byteCount;
    record.digest = std::move(*restored);
    return record;
}

bool WriteJoinRecord(const std::string& path, const JoinRecord& record) {
    std::string text(kFirstLine);
    text += "\nclean ";
    text += record.clean ? "1" : "0";
    text += "\nchunks " + std::to_string(record.chunks);
    text += "\nbytes " + std::to_string(record.bytes);
    text += "\nmd5 " + record.digest.Saved() + "\n";
    const std::string temporary = path + ".new";
    OpenedFile file = CreateForWriting(temporary);
    if (!file.fd) {
        errno = file.error;
        return false;
    }
    const bool written =
        WriteAll(file.fd.Get(), reinterpret_cast<const uint8_t*>(text.data()), text.size()) &&
        ::fdatasync(file.fd.Get()) == 0 && file.fd.Close();
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        return false;
    }
    SyncParentFolder(path);
    return true;
}

void RemoveJoinRecord(const std::string& path) {
    ::unlink(path.c_str());
    ::unlink((path + ".new").c_str());
}

uint32_t RecordedChunks(std::u16string_view finishedPath) {
    const std::optional<std::string> recordPath = FittingPath(JoinRecordPath(finishedPath));
    const std::optional<std::string> working =
        FittingPath(std::u16string(finishedPath) + u".joining");
    if (!recordPath || !working) {
        return 0;
    }
    const std::optional<JoinRecord> record = ReadJoinRecord(*recordPath);
    if (!record) {
        return 0;
    }
    const OpenedFile file = OpenForReading(*working);
    return file.fd && file.size >= record->bytes ? record->chunks : 0;
}

uint64_t JoinFlushInterval() {
    static const uint64_t interval = [] {
        constexpr uint64_t kDefault = uint64_t{256} << 20;
        const char* text = std::getenv("VELKDOWNLOADER_JOIN_FLUSH_MIB");
        if (text == nullptr) {
            return kDefault;
        }
        const std::optional<uint64_t> mebibytes = ReadNumber<uint64_t>(text);
        return mebibytes && *mebibytes > 0 && *mebibytes < (uint64_t{1} << 20) ? *mebibytes << 20
                                                                               : kDefault;
    }();
    return interval;
}
