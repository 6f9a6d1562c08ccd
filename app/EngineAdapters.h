#pragma once
// The real engines seen through the lifecycle's small interfaces (LifecycleServices.h): the
// downloads manager as its DownloadEngineControl, the connections manager as its StoreRequests,
// the speed meter as the Stoppable the quit order ends with. Each adapter only forwards; it owns
// nothing and must not outlive the engine it names. The loader thread is an ItemLoader itself.
// Called on the user-interface thread, like the lifecycle.
#include "app/LifecycleServices.h"

class ConnectionsManager;
class DownloadsManager;
class SpeedMeter;

class DownloadEngineAdapter final : public DownloadEngineControl {
public:
    explicit DownloadEngineAdapter(DownloadsManager& manager) : manager_(manager) {}
    void RequestDownload(const DownloadInfo& record) override;
    void RequestRemoval(const DownloadInfo& record, bool deleteFiles,
                        const std::u16string& folder) override;
    void DeliverLink(uint32_t workerSlot, const std::u16string& link,
                     uint64_t passThrough) override;
    void Pause() override;
    void Resume() override;
    void Shutdown() override;

private:
    DownloadsManager& manager_;
};

class StoreRequestsAdapter final : public StoreRequests {
public:
    explicit StoreRequestsAdapter(ConnectionsManager& manager) : manager_(manager) {}
    void RequestDetails(const std::u16string& name, const std::u16string& folder) override;
    void RequestLink(const std::u16string& name, uint64_t fileId, uint32_t workerSlot,
                     uint64_t passThrough) override;
    void CancelDetails(const std::u16string& name) override;
    void RequestLogin(const std::u16string& email, const std::u16string& password) override;
    void Logout() override;
    void Stop() override;

private:
    ConnectionsManager& manager_;
};

class SpeedMeterStopper final : public Stoppable {
public:
    explicit SpeedMeterStopper(SpeedMeter& meter) : meter_(meter) {}
    void Stop() override;

private:
    SpeedMeter& meter_;
};
