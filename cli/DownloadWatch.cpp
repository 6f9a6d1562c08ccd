#include "cli/DownloadWatch.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "cli/TerminalRows.h"
#include "cli/TerminalUi.h"
#include "core/NormalisePath.h"
#include "core/TextUtil.h"
#include "engine/BlockFile.h"
#include "engine/Md5Context.h"

namespace fs = std::filesystem;

namespace {

// Reads the file at `path` whole and compares its MD5 with `expected`.
DownloadWatch::FileCheck::Digest ReadDigest(const std::string& path, const std::u16string& expected,
                                            const std::function<bool()>& proceed) {
    using Digest = DownloadWatch::FileCheck::Digest;
    const OpenedFile file = OpenForReading(path);
    if (!file.fd) {
        return Digest::kDiffers;
    }
    Md5Context digest;
    std::vector<uint8_t> buffer(kDiskBlockSize);
    for (;;) {
        if (proceed && !proceed()) {
            return Digest::kStopped;
        }
        const ssize_t got = ReadFull(file.fd.Get(), buffer.data(), buffer.size());
        if (got < 0) {
            return Digest::kDiffers;
        }
        if (got == 0) {
            break;
        }
        digest.Update(buffer.data(), static_cast<size_t>(got));
    }
    digest.Finalize();
    return digest.HexDigest() == expected ? Digest::kMatches : Digest::kDiffers;
}

}  // namespace

DownloadWatch::DownloadWatch(const std::vector<std::u16string>& games) {
    for (const std::u16string& name : games) {
        Add(name);
    }
}

bool DownloadWatch::Add(const std::u16string& name) {
    if (Wanted(name)) {
        return false;
    }
    games_.push_back(Game{name, Outcome::Pending, {}, false});
    return true;
}

bool DownloadWatch::Wanted(const std::u16string& name) const {
    for (const Game& game : games_) {
        if (game.name == name) {
            return true;
        }
    }
    return false;
}

void DownloadWatch::NoteFinished(const std::u16string& name) {
    for (Game& game : games_) {
        if (game.name == name) {
            game.checkedThisRun = true;
        }
    }
}

void DownloadWatch::NoteDetailsReply(const std::u16string& name) {
    for (Game& game : games_) {
        if (game.name == name) {
            game.detailsAnswered = true;
        }
    }
}

void DownloadWatch::HoldBackOthers(ItemLifecycle& lifecycle) const {
    for (const auto& item : lifecycle.Items()) {
        if (!Wanted(item->name)) {
            item->stopped = true;
        }
    }
}

bool DownloadWatch::Update(const ItemLifecycle& lifecycle, const TerminalRows& rows,
                           const TerminalUi& ui) {
    bool settled = true;
    for (Game& game : games_) {
        if (game.outcome != Outcome::Pending) {
            continue;
        }
        const DownloadInfo* item = lifecycle.FindItem(game.name);
        const TerminalRows::Row* row = rows.FindRowById(game.name);
        if (item == nullptr) {
            // Gone from the list: the store refused it, and said why in a notice.
            game.outcome = Outcome::Failed;
            game.message = ui.LastNotice().empty() ? "the store refused the game"
                                                   : WideToUtf8(ui.LastNotice());
        } else if (item->state == ItemState::Failed) {
            game.outcome = Outcome::Failed;
            game.message = row != nullptr ? TerminalRows::StatusText(*row) : "failed";
        } else if (item->completed && item->state != ItemState::Removing &&
                   (item->detailsReceived || game.detailsAnswered)) {
            // A record completed in an earlier run counts once the store's details were compared
            // with it: a file changed on the server makes it download again.
            game.outcome = Outcome::Completed;
        } else if (item->stopped && item->detailsReceived) {
            // Finished without the files the store does not offer yet.
            game.outcome = Outcome::Failed;
            game.message = "not every file is available: ";
            bool first = true;
            for (const FileInfo& file : item->files) {
                if (!file.available) {
                    game.message += (first ? "" : "; ") + WideToUtf8(file.name);
                    if (!file.notAvailableMessage.empty()) {
                        game.message += " (" + WideToUtf8(file.notAvailableMessage) + ")";
                    }
                    first = false;
                }
            }
        } else {
            settled = false;
        }
    }
    return settled;
}

bool DownloadWatch::AnyFailed() const {
    for (const Game& game : games_) {
        if (game.outcome == Outcome::Failed) {
            return true;
        }
    }
    return false;
}

std::vector<DownloadWatch::FileCheck> DownloadWatch::CheckFiles(
    const DownloadInfo& record, bool readDigests, const std::function<bool()>& proceed) {
    std::vector<FileCheck> checks;
    for (const FileInfo& file : record.files) {
        FileCheck check;
        check.path = WideToUtf8(NormalisePath(record.folder + u"/" + file.name));
        check.expectedSize = file.size;
        std::error_code error;
        const uintmax_t size = fs::file_size(check.path, error);
        if (!error) {
            check.present = true;
            check.sizeOnDisk = static_cast<uint64_t>(size);
        }
        if (readDigests && check.present && check.sizeOnDisk == check.expectedSize) {
            check.digest = ReadDigest(check.path, file.md5, proceed);
        }
        checks.push_back(std::move(check));
    }
    return checks;
}
