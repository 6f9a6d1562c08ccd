#pragma once
// Fakes of everything the item lifecycle talks to, recording what it was asked, plus a fixture
// that wires a lifecycle to them in a home of its own.
#include <memory>
#include <string>
#include <vector>

#include "app/FakeRowView.h"
#include "app/ItemLifecycle.h"
#include "core/AppEvent.h"
#include "core/DownloadInfo.h"
#include "core/TextUtil.h"
#include "core/UserDetails.h"
#include "platform/Registry.h"
#include "support/TempHome.h"

// One line per call, in call order, across all fakes (for the quit order).
using CallLog = std::vector<std::string>;

inline std::string Narrow(const std::u16string& text) {
    return WideToUtf8(text);
}

class FakeEngine final : public DownloadEngineControl {
public:
    explicit FakeEngine(CallLog& log) : log_(log) {}
    void RequestDownload(const DownloadInfo& record) override {
        downloads.push_back(record.name);
        log_.push_back("RequestDownload " + Narrow(record.name));
    }
    void RequestRemoval(const DownloadInfo& record, bool deleteFiles,
                        const std::u16string& folder) override {
        log_.push_back("RequestRemoval " + Narrow(record.name) + " " + (deleteFiles ? "1" : "0") +
                       " [" + Narrow(folder) + "]");
    }
    void DeliverLink(uint32_t slot, const std::u16string& link, uint64_t) override {
        log_.push_back("DeliverLink " + std::to_string(slot) + " " + Narrow(link));
    }
    void Pause() override { log_.push_back("Pause"); }
    void Resume() override { log_.push_back("Resume"); }
    void Shutdown() override { log_.push_back("Engine.Shutdown"); }
    std::vector<std::u16string> downloads;

private:
    CallLog& log_;
};

class FakeStore final : public StoreRequests {
public:
    explicit FakeStore(CallLog& log) : log_(log) {}
    void RequestDetails(const std::u16string& name, const std::u16string& folder) override {
        log_.push_back("RequestDetails " + Narrow(name) + " " + Narrow(folder));
    }
    void RequestLink(const std::u16string& name, uint64_t fileId, uint32_t slot,
                     uint64_t passThrough) override {
        log_.push_back("RequestLink " + Narrow(name) + " " + std::to_string(fileId) + " " +
                       std::to_string(slot) + " " + std::to_string(passThrough));
    }
    void CancelDetails(const std::u16string& name) override {
        log_.push_back("CancelDetails " + Narrow(name));
    }
    void RequestLogin(const std::u16string& email, const std::u16string& password) override {
        log_.push_back("RequestLogin " + Narrow(email) + " " + Narrow(password));
    }
    void Logout() override { log_.push_back("Logout"); }
    void Stop() override { log_.push_back("Store.Stop"); }

private:
    CallLog& log_;
};

class FakeLoader final : public ItemLoader {
public:
    explicit FakeLoader(CallLog& log) : log_(log) {}
    void Enqueue(const DownloadInfo& record) override {
        log_.push_back("Enqueue " + Narrow(record.name));
    }
    void Stop() override { log_.push_back("Loader.Stop"); }

private:
    CallLog& log_;
};

class FakeInstallerChecks final : public InstallerChecks {
public:
    explicit FakeInstallerChecks(CallLog& log) : log_(log) {}
    void Check(const std::u16string& gameName, const std::u16string& path,
               const std::u16string& expectedDigest) override {
        log_.push_back("CheckInstaller " + Narrow(gameName) + " " + Narrow(path) + " " +
                       Narrow(expectedDigest));
    }
    void Stop() override { log_.push_back("InstallerChecks.Stop"); }

private:
    CallLog& log_;
};

class FakeUi final : public LifecycleUi {
public:
    explicit FakeUi(CallLog& log) : log_(log) {}
    Answer AskUser(AskStyle style, const std::u16string& text) override {
        log_.push_back("AskUser " + std::to_string(static_cast<uint32_t>(style)) + " " +
                       Narrow(text));
        return answer;
    }
    void OpenUrl(const std::u16string& url) override { log_.push_back("OpenUrl " + Narrow(url)); }
    void RunInstaller(const std::u16string& path) override {
        log_.push_back("RunInstaller " + Narrow(path));
    }
    void ShowReadyBalloon(const std::u16string& title) override {
        log_.push_back("Balloon " + Narrow(title));
    }
    void UpdateTrayIcon(bool online) override { trayOnline = online; }
    void SetStatusMode(StatusMode mode) override { statusMode = mode; }
    void SetSpeed(uint32_t kbps) override { speed = kbps; }
    void SetHeaderMode(HeaderMode mode, bool signedIn) override {
        headerMode = mode;
        headerSignedIn = signedIn;
    }
    void SetLoginLinkEnabled(bool enabled) override { loginLinkEnabled = enabled; }
    void SetUser(const std::u16string& picture, const std::u16string& name) override {
        log_.push_back("SetUser " + Narrow(picture) + " " + Narrow(name));
    }
    bool ShowLoginDialog(std::u16string& email, std::u16string& password) override {
        log_.push_back("LoginDialog " + Narrow(email));
        if (!loginAnswer) {
            return false;
        }
        email = u"user@example.test";
        password = u"secret";
        return true;
    }

    Answer answer = Answer::Yes;
    bool loginAnswer = false;
    bool trayOnline = false;
    StatusMode statusMode = StatusMode::Offline;
    uint32_t speed = 0;
    HeaderMode headerMode = HeaderMode::Offline;
    bool headerSignedIn = false;  // what the login link reads: "Logout" when set
    bool loginLinkEnabled = false;

private:
    CallLog& log_;
};

// A lifecycle over fakes, in a home (and registry) of its own. `downloads` is the folder new
// items get.
struct LifecycleRig {
    explicit LifecycleRig(std::shared_ptr<Registry> store = nullptr)
        : registry(store ? std::move(store) : Registry::Open(Registry::DefaultPath())),
          lifecycle(ItemLifecycle::Services{rows, engine, storeRequests, loader, installerChecks,
                                            ui, registry, u"/data/",
                                            [this] { return downloads; }}) {
        rows.sink = &lifecycle;
    }

    // Online and signed in, as a running window usually is.
    void Connect() {
        lifecycle.HandleMessage(ConnectionStatus{true});
        UserAuthenticated result;
        result.token = u"tok";
        result.tokenSecret = u"sec";
        result.user.userName = u"Player";
        lifecycle.HandleMessage(std::move(result));
    }

    // Whether a call line was logged (exactly).
    bool Called(const std::string& line) const {
        for (const std::string& call : calls) {
            if (call == line) {
                return true;
            }
        }
        return false;
    }

    TempHome home;  // first: the registry and the folders live in it
    CallLog calls;
    FakeRowView rows;
    FakeEngine engine{calls};
    FakeStore storeRequests{calls};
    FakeLoader loader{calls};
    FakeInstallerChecks installerChecks{calls};
    FakeUi ui{calls};
    std::u16string downloads = u"/games/";
    std::shared_ptr<Registry> registry;
    ItemLifecycle lifecycle;
};

// Events as the engines and the store post them.
inline FileInfo File(uint32_t id, std::u16string name, uint64_t size,
                     std::u16string timestamp = u"t1") {
    FileInfo file;
    file.id = id;
    file.name = std::move(name);
    file.size = size;
    file.timestamp = std::move(timestamp);
    // Two chunks: the first half and the rest.
    const uint64_t half = size / 2;
    ChunkInfo first;
    first.id = 0;
    first.from = 0;
    first.to = half - 1;
    ChunkInfo second;
    second.id = 1;
    second.from = half;
    second.to = size - 1;
    file.chunks = {first, second};
    return file;
}

// The store's final reply (title and full details) for a game with files of the given sizes.
inline DetailsReply Details(const std::u16string& name, std::vector<uint64_t> sizes,
                            std::u16string timestamp = u"t1") {
    DetailsReply reply;
    reply.kind = DetailsReply::kTitleOnly | DetailsReply::kFinal;
    reply.result = DetailsReply::kSuccess;
    reply.gameName = name;
    reply.title = u"Title of " + name;
    reply.details = std::make_unique<DownloadInfo>();
    reply.details->name = name;
    reply.details->icon = u".data/" + name + u".png";
    for (uint32_t i = 0; i < sizes.size(); ++i) {
        reply.details->files.push_back(
            File(i, name + u"/file" + std::u16string(1, static_cast<char16_t>(u'0' + i)) + u".bin",
                 sizes[i], timestamp));
    }
    reply.details->RecomputeTotals();
    return reply;
}
