#pragma once
// Whether a finished file found on disk when a download is planned holds the file's bytes. The
// right size says nothing about them (a file put in its place, one damaged since, one left by a
// record that was removed from the list and added again): before the scheduler takes a file for
// done, and reports a game complete, it reads the file whole and compares its MD5 with the
// file's digest from the chunk index. A file that passed is remembered with its identity, so
// that planning the same download again in this run (after a pause, a lost connection, another
// item in between) does not read it again while it stays the very same file.
// Owned by the DownloadsManager and used by its scheduler thread only, where planning runs, never
// on the user-interface thread.
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "core/FileInfo.h"
#include "platform/FileIdentity.h"

enum class FinishedFileCheck {
    kDone,     // there, at its size, and its digest matches: checked in this run
    kNotDone,  // missing, of another size, to be fetched again, or of another digest (deleted)
    kStopped,  // `proceed` said no before the check ended; nothing was decided or deleted
};

class FinishedFileChecks {
public:
    // Checks the finished file at `finishedPath` of `file`. A file whose digest does not match
    // is deleted (with a Warning line), so that it is fetched again and no later plan takes it
    // for done. A file whose digest is not a well-formed MD5 is left alone and is not done: what
    // can't be checked is not vouched for, and not destroyed either. `proceed` is asked between
    // blocks; `progress` gets the bytes checked so far after each block.
    FinishedFileCheck Check(const FileInfo& file, const std::u16string& finishedPath,
                            const std::function<bool()>& proceed,
                            const std::function<void(uint64_t)>& progress);

private:
    struct Passed {
        FileIdentity identity;
        std::u16string digest;
    };
    // By finished path: the files that passed in this run, as they were when they passed.
    std::map<std::u16string, Passed> passed_;
};
