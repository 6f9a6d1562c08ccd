#pragma once
// What became of each game the headless front end was asked for: still under way, completed and
// verified, or failed with the text the window would show. It also keeps the other listed games
// (stored by earlier runs, not asked for now) out of this run's downloads. Main thread only.
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/ItemLifecycle.h"

class TerminalRows;
class TerminalUi;

class DownloadWatch {
public:
    enum class Outcome { Pending, Completed, Failed };

    struct Game {
        std::u16string name;
        Outcome outcome = Outcome::Pending;
        std::string message;  // the failure, as the row (or the store) put it
        bool detailsAnswered = false;
        // The engine reported it finished in this run, which it does only after every finished
        // file matched its digest; a game completed in an earlier run has not been checked yet.
        bool checkedThisRun = false;
    };

    // One finished file as found on disk.
    struct FileCheck {
        std::string path;
        uint64_t expectedSize = 0;
        uint64_t sizeOnDisk = 0;
        bool present = false;
        // Read whole and compared with the file's digest (only when asked for and present at
        // its size): kMatches or kDiffers; kNotRead otherwise, kStopped when broken off.
        enum class Digest { kNotRead, kMatches, kDiffers, kStopped } digest = Digest::kNotRead;
    };

    explicit DownloadWatch(const std::vector<std::u16string>& games);

    // A game handed over by a later start; false when it was asked for already.
    bool Add(const std::u16string& name);
    const std::vector<Game>& Games() const { return games_; }
    bool Wanted(const std::u16string& name) const;

    // The store answered a details request for `name` (whatever the result).
    void NoteDetailsReply(const std::u16string& name);
    // The engine reported `name` finished with every file (ItemFinished, not partially).
    void NoteFinished(const std::u16string& name);
    // Marks every listed record not asked for as stopped for this run (not stored), so the
    // choice of the active item passes over it. Called after every handled message: a record
    // copied from the loader's answer loses the mark.
    void HoldBackOthers(ItemLifecycle& lifecycle) const;
    // Settles the games whose records say so; returns true once every game is settled.
    bool Update(const ItemLifecycle& lifecycle, const TerminalRows& rows, const TerminalUi& ui);
    bool AnyFailed() const;

    // The finished files of a completed record, looked up on disk; with `readDigests`, each one
    // present at its size is also read and compared with its digest, `proceed` being asked
    // between blocks.
    static std::vector<FileCheck> CheckFiles(const DownloadInfo& record, bool readDigests,
                                             const std::function<bool()>& proceed);

private:
    std::vector<Game> games_;
};
