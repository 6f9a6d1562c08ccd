#include "platform/HandOff.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

#include "platform/UniqueFd.h"

namespace {

constexpr size_t kBlockUnits = kHandOffBlockSize / sizeof(char16_t);
// Tagged names to try when the usual ones are held: with 64 random bits a clash means someone
// made names nobody can guess, so a few tries only cover chance.
constexpr int kTagAttempts = 4;

// Closes a semaphore opened with sem_open.
class SemaphoreHandle {
public:
    explicit SemaphoreHandle(sem_t* sem) : sem_(sem) {}
    ~SemaphoreHandle() {
        if (sem_ != SEM_FAILED) {
            sem_close(sem_);
        }
    }
    SemaphoreHandle(const SemaphoreHandle&) = delete;
    SemaphoreHandle& operator=(const SemaphoreHandle&) = delete;
    bool Valid() const { return sem_ != SEM_FAILED; }
    sem_t* Get() const { return sem_; }

private:
    sem_t* sem_;
};

class Mapping {
public:
    Mapping(int fd, size_t size)
        : size_(size), view_(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) {}
    ~Mapping() {
        if (view_ != MAP_FAILED) {
            munmap(view_, size_);
        }
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    void* Get() const { return view_ == MAP_FAILED ? nullptr : view_; }

private:
    size_t size_;
    void* view_;
};

// Waits for the semaphore until `wait` has passed on the monotonic clock; false on time-out.
bool TimedWait(sem_t* sem, std::chrono::milliseconds wait) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long long total = wait.count() < 0 ? 0 : wait.count();
    deadline.tv_sec += static_cast<time_t>(total / 1000);
    deadline.tv_nsec += static_cast<long>((total % 1000) * 1000000);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        if (sem_clockwait(sem, CLOCK_MONOTONIC, &deadline) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// The command line as it goes into the block: at most kBlockUnits - 1 units, so the terminator
// always fits, and never ending in half of a surrogate pair.
size_t UnitsToCopy(std::u16string_view commandLine) {
    // A zero inside the text would end it for the reader anyway.
    size_t length = std::min(commandLine.find(u'\0'), commandLine.size());
    if (length <= kBlockUnits - 1) {
        return length;
    }
    length = kBlockUnits - 1;
    const char16_t last = commandLine[length - 1];
    if (last >= 0xD800 && last <= 0xDBFF) {
        --length;
    }
    return length;
}

// Creates a semaphore readable and writable by the user only, whatever the umask says: the
// mode of sem_open is filtered by the umask and there is no descriptor to fchmod afterwards.
sem_t* CreateSemaphore(const std::string& name, unsigned value) {
    const mode_t saved = umask(0077);
    sem_t* sem = sem_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600, value);
    umask(saved);
    return sem;
}

// Removes the objects of ours under the names. What isn't ours stays where it is - we have no
// business with another user's objects - and makes the result false.
bool RemoveOwnObjects(const HandOffNames& names) {
    bool allOurs = true;
    for (const std::string* name : {&names.token, &names.notify}) {
        const HandOffObject object = SemaphoreObject(*name);
        if (object == HandOffObject::Foreign) {
            allOurs = false;
        } else if (object != HandOffObject::Absent) {
            sem_unlink(name->c_str());
        }
    }
    const HandOffObject block = SharedMemoryObject(names.block);
    if (block == HandOffObject::Foreign) {
        allOurs = false;
    } else if (block != HandOffObject::Absent) {
        shm_unlink(names.block.c_str());
    }
    return allOurs;
}

}  // namespace

std::u16string HandOffErrorText(HandOffSendResult result) {
    switch (result) {
        case HandOffSendResult::NoToken:
            return u"Could not open interprocess handle.";
        case HandOffSendResult::NoMapping:
            return u"Could not create file mapping object.";
        case HandOffSendResult::NoView:
            return u"Could not map view of file.";
        case HandOffSendResult::Delivered:
        case HandOffSendResult::TimedOut:
            break;
    }
    return {};
}

HandOffSendResult SendHandOff(std::u16string_view commandLine, std::chrono::milliseconds wait,
                              const HandOffNames& names) {
    const SemaphoreHandle token(sem_open(names.token.c_str(), 0));
    const SemaphoreHandle notify(sem_open(names.notify.c_str(), 0));
    if (!token.Valid() || !notify.Valid()) {
        return HandOffSendResult::NoToken;
    }
    // Only semaphores of our own that nobody else can post or take: another user's could hold us
    // waiting, or tell of a command line that isn't there. Looked at after opening: once a name
    // is ours, only we can remove or replace what stands under it (/dev/shm is sticky), so what
    // we opened is what we looked at.
    if (SemaphoreObject(names.token) != HandOffObject::Private ||
        SemaphoreObject(names.notify) != HandOffObject::Private) {
        return HandOffSendResult::NoToken;
    }
    if (!TimedWait(token.Get(), wait)) {
        return HandOffSendResult::TimedOut;
    }
    // From here on we hold the token. Nobody else will post it while the block hasn't been
    // delivered, so every failure gives it back.
    const auto giveBack = [&](HandOffSendResult result) {
        sem_post(token.Get());
        return result;
    };
    const UniqueFd block(shm_open(names.block.c_str(), O_RDWR | O_CLOEXEC, 0));
    if (block.Get() < 0) {
        return giveBack(HandOffSendResult::NoMapping);
    }
    struct stat info {};
    if (DescriptorObject(block.Get()) != HandOffObject::Private || fstat(block.Get(), &info) != 0) {
        // Only ever write our command line into a block of our own that nobody else can read.
        return giveBack(HandOffSendResult::NoMapping);
    }
    if (info.st_size < static_cast<off_t>(kHandOffBlockSize)) {
        // Writing through a mapping past the object's end would raise SIGBUS.
        return giveBack(HandOffSendResult::NoView);
    }
    {
        const Mapping view(block.Get(), kHandOffBlockSize);
        if (!view.Get()) {
            return giveBack(HandOffSendResult::NoView);
        }
        const size_t units = UnitsToCopy(commandLine);
        auto* bytes = static_cast<unsigned char*>(view.Get());
        std::memcpy(bytes, commandLine.data(), units * sizeof(char16_t));
        const char16_t terminator = 0;
        std::memcpy(bytes + units * sizeof(char16_t), &terminator, sizeof terminator);
    }
    sem_post(notify.Get());
    return HandOffSendResult::Delivered;
}

HandOffReceiver::HandOffReceiver(HandOffNames names) : names_(std::move(names)) {}

std::unique_ptr<HandOffReceiver> HandOffReceiver::Create() {
    // Tagged names recorded by a run that ended without cleaning up: ours, and no longer used.
    if (const std::optional<std::string> tag = RecordedHandOffTag()) {
        RemoveOwnObjects(HandOffNames::Usual().Tagged(*tag));
        ForgetHandOffTag();
    }
    const HandOffNames usual = HandOffNames::Usual();
    if (std::unique_ptr<HandOffReceiver> receiver = CreateNamed(usual)) {
        return receiver;
    }
    // Another local user may have made one of the usual names first. Names with a random tag
    // can't be made ahead of us; recorded in our private runtime folder, our later starts find
    // them and nobody else can point them elsewhere.
    for (int attempt = 0; attempt < kTagAttempts; ++attempt) {
        const std::string tag = NewHandOffTag();
        if (tag.empty()) {
            return nullptr;
        }
        std::unique_ptr<HandOffReceiver> receiver = CreateNamed(usual.Tagged(tag));
        if (!receiver) {
            continue;
        }
        if (!RecordHandOffTag(tag)) {
            return nullptr;  // later starts could not find them: no better than none
        }
        receiver->recorded_ = true;
        return receiver;
    }
    return nullptr;
}

std::unique_ptr<HandOffReceiver> HandOffReceiver::CreateNamed(const HandOffNames& names) {
    // We hold the instance lock, so whatever of ours exists under these names was left by a run
    // that ended without cleaning up; its token may be taken for good. Start afresh.
    if (!RemoveOwnObjects(names)) {
        return nullptr;
    }
    std::unique_ptr<HandOffReceiver> receiver(new HandOffReceiver(names));
    receiver->token_ = CreateSemaphore(names.token, 1);
    receiver->notify_ = CreateSemaphore(names.notify, 0);
    if (receiver->token_ == SEM_FAILED || receiver->notify_ == SEM_FAILED) {
        return nullptr;  // the destructor removes whichever was made, and nothing else
    }
    const UniqueFd block(
        shm_open(names.block.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
    if (block.Get() < 0) {
        return nullptr;
    }
    receiver->blockMade_ = true;
    if (fchmod(block.Get(), 0600) != 0 ||
        ftruncate(block.Get(), static_cast<off_t>(kHandOffBlockSize)) != 0) {
        return nullptr;
    }
    void* view =
        mmap(nullptr, kHandOffBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, block.Get(), 0);
    if (view == MAP_FAILED) {
        return nullptr;
    }
    receiver->view_ = view;
    return receiver;
}

HandOffReceiver::~HandOffReceiver() {
    Stop();
    if (view_) {
        munmap(view_, kHandOffBlockSize);
    }
    // With the names gone, a later second instance finds no first instance instead of waiting
    // for a token nobody will return. Only what we made goes: a name that failed may be someone
    // else's.
    if (token_ != SEM_FAILED) {
        sem_close(token_);
        sem_unlink(names_.token.c_str());
    }
    if (notify_ != SEM_FAILED) {
        sem_close(notify_);
        sem_unlink(names_.notify.c_str());
    }
    if (blockMade_) {
        shm_unlink(names_.block.c_str());
    }
    if (recorded_) {
        ForgetHandOffTag();
    }
}

void HandOffReceiver::Start(std::function<void()> onMessage) {
    if (listener_.joinable() || stopping_.load()) {
        return;
    }
    onMessage_ = std::move(onMessage);
    listener_ = std::thread([this] { Run(); });
}

void HandOffReceiver::Stop() {
    if (!listener_.joinable()) {
        return;
    }
    stopping_.store(true);
    sem_post(notify_);  // wakes the listener, which sees the flag before calling anyone
    listener_.join();
}

void HandOffReceiver::Run() {
    for (;;) {
        if (sem_wait(notify_) != 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (stopping_.load()) {
            return;
        }
        if (onMessage_) {
            onMessage_();
        }
    }
}

std::u16string HandOffBlockText(std::span<const uint8_t, kHandOffBlockSize> block) {
    // Copy out before looking: the block is written by another process, which may change it
    // meanwhile, and a sender that broke the rules must not make us read past the block for
    // want of a terminator.
    char16_t units[kBlockUnits];
    std::memcpy(units, block.data(), kHandOffBlockSize);
    size_t length = 0;
    while (length < kBlockUnits && units[length] != 0) {
        ++length;
    }
    return std::u16string(units, length);
}

std::u16string HandOffReceiver::ReadBlock() const {
    if (!view_) {
        return {};
    }
    return HandOffBlockText(std::span<const uint8_t, kHandOffBlockSize>(
        static_cast<const uint8_t*>(view_), kHandOffBlockSize));
}

void HandOffReceiver::ReturnToken() {
    int value = 0;
    if (sem_getvalue(token_, &value) == 0 && value > 0) {
        return;
    }
    sem_post(token_);
}
