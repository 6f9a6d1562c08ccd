#include "core/DownloadInfo.h"

#include "core/DebugPrintf.h"
#include "core/Saturating.h"
#include "core/Serializer.h"

DownloadInfo::DownloadInfo(std::u16string_view folderName) : folder(folderName) {}

bool DownloadInfo::Serialize(std::vector<uint8_t>& out) const {
    // Built apart and appended whole, so a refused record leaves nothing behind in `out`.
    std::vector<uint8_t> record;
    Serializer::WriteInt32(record, listPosition);
    bool ok = Serializer::WriteString(record, name) && Serializer::WriteString(record, title) &&
              Serializer::WriteString(record, icon);
    if (ok) {
        Serializer::WriteUInt64(record, total);
        ok = Serializer::WriteString(record, installer) && Serializer::WriteSequence(record, files);
    }
    if (ok) {
        Serializer::WriteUInt32(record, completed ? 1u : 0u);
        ok = Serializer::WriteString(record, folder);
    }
    if (!ok) {
        Logger().Warning(u"Cannot serialize info for %s: a text field is too long", name);
        return false;
    }
    out.insert(out.end(), record.begin(), record.end());
    Logger().Log(u"Serializing info for %s to registry", name);
    return true;
}

bool DownloadInfo::Deserialize(const uint8_t*& cursor, size_t& remaining) {
    // Read into a copy so that a failure leaves this record as it was.
    DownloadInfo read(*this);
    read.name.clear();
    const uint8_t* at = cursor;
    size_t left = remaining;
    try {
        read.listPosition = Serializer::ReadInt32(at, left);
        read.name = Serializer::ReadString(at, left);
        read.title = Serializer::ReadString(at, left);
        read.icon = Serializer::ReadString(at, left);
        read.total = Serializer::ReadUInt64(at, left);
        read.installer = Serializer::ReadString(at, left);
        read.files = Serializer::ReadSequence<FileInfo>(at, left, FileInfo::kMinimumRecordSize);
        read.completed = Serializer::ReadUInt32(at, left) == 1;
        read.folder = Serializer::ReadString(at, left);
    } catch (const Serializer::DeserializationFailedException&) {
        Logger().Warning(u"Deserialization %s from registry failed.", read.name);
        return false;
    }
    if (read.completed) {
        read.downloaded = read.total;
        read.joined = read.total;
        read.verified = read.total;
    }
    read.RecomputeState();
    *this = std::move(read);
    cursor = at;
    remaining = left;
    return true;
}

void DownloadInfo::RecomputeTotals() {
    downloaded = 0;
    joined = 0;
    total = 0;
    available = 0;
    for (FileInfo& file : files) {
        file.onDisk = 0;
        file.joined = 0;
        for (const ChunkInfo& chunk : file.chunks) {
            file.onDisk = SaturatingAdd(file.onDisk, chunk.onDisk);
            file.joined = SaturatingAdd(file.joined, chunk.joined);
        }
        if (file.available) {
            available = SaturatingAdd(available, file.size);
        }
        joined = SaturatingAdd(joined, file.joined);
        downloaded = SaturatingAdd(downloaded, file.onDisk);
        total = SaturatingAdd(total, file.size);
    }
}

void DownloadInfo::RecomputeState() {
    if (state == ItemState::Removing || state == ItemState::Failed) {
        return;
    }
    if (completed) {
        state = ItemState::Completed;
    } else if (stopped || (priority >= 1 && priority <= 999)) {
        state = ItemState::Paused;
    } else if (downloaded == total && joined != total) {
        state = ItemState::Combining;
    } else {
        state = ItemState::Downloading;
    }
}
