#include "platform/HandOff.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/KnownFolders.h"

namespace {

constexpr size_t kBlockUnits = kHandOffBlockSize / sizeof(char16_t);

// FNV-1a: a short, stable tag for the runtime folder's path; not a secret, only a separator.
uint32_t ShortHash(const std::string& text) {
    uint32_t hash = 2166136261u;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

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

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
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

}  // namespace

HandOffNames HandOffNames::ForCurrentUser() {
    char tag[16];
    std::snprintf(tag, sizeof tag, "%08x", ShortHash(RuntimeFolder().string()));
    const std::string prefix =
        "/velkdownloader-" + std::to_string(getuid()) + "-" + tag + "-handoff-";
    return {prefix + "token", prefix + "block", prefix + "notify"};
}

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
    if (!TimedWait(token.Get(), wait)) {
        return HandOffSendResult::TimedOut;
    }
    // From here on we hold the token. Nobody else will post it while the block hasn't been
    // delivered, so every failure gives it back.
    const auto giveBack = [&](HandOffSendResult result) {
        sem_post(token.Get());
        return result;
    };
    const FileDescriptor block(shm_open(names.block.c_str(), O_RDWR | O_CLOEXEC, 0));
    if (block.Get() < 0) {
        return giveBack(HandOffSendResult::NoMapping);
    }
    struct stat info {};
    if (fstat(block.Get(), &info) != 0 || info.st_uid != geteuid()) {
        // Only ever write our command line into a block of our own.
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

std::unique_ptr<HandOffReceiver> HandOffReceiver::Create(const HandOffNames& names) {
    // We hold the instance lock, so whatever exists under these names was left by a run that
    // ended without cleaning up; its token may be taken for good. Start afresh.
    sem_unlink(names.token.c_str());
    sem_unlink(names.notify.c_str());
    shm_unlink(names.block.c_str());

    std::unique_ptr<HandOffReceiver> receiver(new HandOffReceiver(names));
    receiver->token_ = CreateSemaphore(names.token, 1);
    receiver->notify_ = CreateSemaphore(names.notify, 0);
    if (receiver->token_ == SEM_FAILED || receiver->notify_ == SEM_FAILED) {
        return nullptr;  // the destructor removes whichever was made
    }
    const FileDescriptor block(
        shm_open(names.block.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
    if (block.Get() < 0) {
        return nullptr;
    }
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
    if (token_ != SEM_FAILED) {
        sem_close(token_);
    }
    if (notify_ != SEM_FAILED) {
        sem_close(notify_);
    }
    // With the names gone, a later second instance finds no first instance instead of waiting
    // for a token nobody will return.
    sem_unlink(names_.token.c_str());
    sem_unlink(names_.notify.c_str());
    shm_unlink(names_.block.c_str());
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
