#pragma once
// The names of the hand-off's POSIX objects, and whether what stands under a name may be used.
// POSIX names live in one namespace for the whole machine, so another local user can make ours
// first. The usual names carry the user id and a short hash of the runtime folder; a first
// instance that finds one of them held by someone else moves to names with a random tag, which it
// records in the runtime folder - a place only the user can write - so that later starts of the
// same user find them. Any thread.
#include <optional>
#include <string>
#include <string_view>

struct HandOffNames {
    std::string token;
    std::string block;
    std::string notify;

    // The names the current first instance uses: Usual() with the recorded tag, if one is
    // recorded, else Usual() itself.
    static HandOffNames ForCurrentUser();
    // "/velkdownloader-<uid>-<hash>-handoff-token" and so on, <hash> naming RuntimeFolder().
    static HandOffNames Usual();
    // These names with "<tag>-" put before "handoff-".
    HandOffNames Tagged(std::string_view tag) const;

    bool operator==(const HandOffNames&) const = default;
};

// What stands under a name in the machine's shared memory (/dev/shm).
enum class HandOffObject {
    Absent,
    Private,  // a plain file of this user's that nobody else may open
    Exposed,  // this user's, but open to the group or to others
    Foreign,  // someone else's, a link or not a plain file
};
HandOffObject SemaphoreObject(const std::string& name);
HandOffObject SharedMemoryObject(const std::string& name);
// The same for an open descriptor of the object.
HandOffObject DescriptorObject(int fd);

// The tag a first instance that moved aside records: 16 random hex digits, empty when the system
// gave no random bytes.
std::string NewHandOffTag();
// The tag recorded in the runtime folder, if a well-formed one is there in a file of our own.
std::optional<std::string> RecordedHandOffTag();
// Records the tag (replacing any), or removes the record; false when that failed.
bool RecordHandOffTag(const std::string& tag);
void ForgetHandOffTag();
