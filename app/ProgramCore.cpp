#include "app/ProgramCore.h"

#include "app/CVelkDownloaderApp.h"
#include "app/CommandLine.h"
#include "core/DebugPrintf.h"
#include "platform/HandOff.h"

ProgramCore::ProgramCore(Frontend frontend, Settings settings)
    : settings_(std::move(settings)),
      target_(frontend.target),
      downloads_(frontend.target, signals_, settings_.engine),
      connections_(signals_),
      loader_(frontend.target, settings_.dataFolder),
      installerChecks_(frontend.target),
      speedMeter_(frontend.target, SumOfWorkerSpeeds(downloads_.SpeedTable())),
      engineAdapter_(downloads_),
      storeAdapter_(connections_),
      speedStopper_(speedMeter_),
      lifecycle_(ItemLifecycle::Services{frontend.rows, engineAdapter_, storeAdapter_, loader_,
                                         installerChecks_, frontend.ui, settings_.registry,
                                         settings_.dataFolder, settings_.downloadFolder}) {}

ProgramCore::~ProgramCore() {
    if (started_) {
        Quit();
    }
}

bool ProgramCore::Start(const std::optional<Account>& account) {
    started_ = true;
    if (std::optional<RegistryKey> settings =
            RegistryKey::Open(settings_.registry, CVelkDownloaderApp::kSettingsKeyPath)) {
        if (std::optional<uint32_t> automatic = settings->QueryDword(u"AutomaticInstall")) {
            lifecycle_.SetAutomaticInstall(*automatic != 0);
        }
    }
    speedMeter_.Start();
    loader_.Start();
    installerChecks_.Start();
    // The stored records need the loader running: each is queued for it as its row appears.
    lifecycle_.LoadStoredItems();

    ItemLifecycle::Credentials stored;
    if (account) {
        // Kept before the threads start, so the sign-in thread's first attempt is made with
        // them; the dialog that a failure opens is prefilled with the same pair.
        lifecycle_.SetLoginPrefill(account->email, account->password);
        connections_.RequestLogin(account->email, account->password);
    } else {
        stored = ItemLifecycle::ReadStoredCredentials(settings_.registry);
    }
    const bool connected =
        connections_.Start(settings_.dataFolder, target_, stored.token, stored.secret);
    if (!connected) {
        Logger().Error(u"Cannot start the store connection: the API address does not parse");
    }
    downloads_.Start();
    return connected;
}

void ProgramCore::Quit() {
    if (quit_) {
        return;
    }
    quit_ = true;
    lifecycle_.Quit(&speedStopper_);
}

std::optional<std::u16string> ProgramCore::TakeHandOff(HandOffReceiver& receiver) {
    std::optional<std::u16string> added;
    if (lifecycle_.Online() && lifecycle_.SignedIn()) {
        const CommandLineRequest request = InterpretCommandLine(receiver.ReadBlock());
        if (request.gameName && !request.gameName->empty()) {
            const ItemLifecycle::AddResult result = lifecycle_.AddItemFromUrl(*request.gameName);
            if (result == ItemLifecycle::AddResult::Added ||
                result == ItemLifecycle::AddResult::AlreadyListed) {
                added = *request.gameName;
            }
        }
    }
    receiver.ReturnToken();
    return added;
}
