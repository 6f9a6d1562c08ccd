#pragma once
// The program's working parts behind any front end: the downloads manager, the connections
// manager, the loader thread, the speed meter and the item lifecycle, built against the front
// end's MessageTarget, RowView and LifecycleUi, started in the main window's start order and
// stopped in its quit order. The window and the headless front end each own one. The two managers
// share one set of signals (engine/EngineSignals.h), made here.
// Everything here runs on the front end's user-interface thread: it passes every message that
// arrives at its MessageTarget to HandleMessage. The engines' threads only post to that target.
#include <memory>
#include <optional>
#include <string>

#include "api/ConnectionsManager.h"
#include "app/EngineAdapters.h"
#include "app/InstallerCheckThread.h"
#include "app/ItemLifecycle.h"
#include "app/LoaderThread.h"
#include "engine/DownloadsManager.h"
#include "engine/EngineSignals.h"
#include "engine/SpeedMeter.h"

class HandOffReceiver;

class ProgramCore {
public:
    struct Frontend {
        // Receives every message of every engine thread; must outlive the core.
        MessageTarget& target;
        RowView& rows;
        LifecycleUi& ui;
    };

    struct Settings {
        std::shared_ptr<Registry> registry;
        std::u16string dataFolder;
        // The downloads folder in force now; new items are made in it.
        std::function<std::u16string()> downloadFolder;
        // The engine's options; its concurrentConnections is the "ConcurrentConnections" setting,
        // its maxDownloadRate the "MaxDownloadRate" one (in bytes per second).
        DownloadsManagerOptions engine;
    };

    // An e-mail address and password given up front (a front end's command line). They replace
    // the stored token for this start: the account named is the one signed in.
    struct Account {
        std::u16string email;
        std::u16string password;
    };

    ProgramCore(Frontend frontend, Settings settings);
    // Quits first when started and not yet quit.
    ~ProgramCore();
    ProgramCore(const ProgramCore&) = delete;
    ProgramCore& operator=(const ProgramCore&) = delete;

    // The main window's start, from reading "AutomaticInstall" to starting the downloads manager:
    // the speed meter, the loader, the stored records (rows, loader, the first choice), the
    // connections manager with the stored token (or with `account`), then the download engine.
    // False when the connections manager could not start (the API address does not parse); the
    // other parts run then and Quit stops them.
    bool Start(const std::optional<Account>& account = std::nullopt);
    // Stops the download engine, the loader, the connections manager and the speed meter, in this
    // order, each to its end. Once; later calls do nothing.
    void Quit();

    void HandleMessage(AppEvent event) { lifecycle_.HandleMessage(std::move(event)); }

    // The receiving side of the single-instance hand-off, for the front end's thread once the
    // listener told it a block is there: a game named in the block is added as from the
    // program's own command line, but only while online and signed in; the token goes back in
    // every case. The added game's name, or nothing.
    std::optional<std::u16string> TakeHandOff(HandOffReceiver& receiver);

    ItemLifecycle& Lifecycle() { return lifecycle_; }
    DownloadsManager& Downloads() { return downloads_; }
    ConnectionsManager& Connections() { return connections_; }
    bool Started() const { return started_; }

private:
    Settings settings_;
    MessageTarget& target_;
    // Made before the managers that share them.
    const EngineSignals signals_ = MakeEngineSignals();
    DownloadsManager downloads_;
    ConnectionsManager connections_;
    LoaderThread loader_;
    InstallerCheckThread installerChecks_;
    SpeedMeter speedMeter_;
    DownloadEngineAdapter engineAdapter_;
    StoreRequestsAdapter storeAdapter_;
    SpeedMeterStopper speedStopper_;
    ItemLifecycle lifecycle_;
    bool started_ = false;
    bool quit_ = false;
};
