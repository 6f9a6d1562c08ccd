#include "app/EngineAdapters.h"

#include "api/ConnectionsManager.h"
#include "engine/DownloadsManager.h"
#include "engine/SpeedMeter.h"

void DownloadEngineAdapter::RequestDownload(const DownloadInfo& record) {
    // Not forced: handing the current download over again (a choice that did not change) must
    // not restart its plan.
    manager_.RequestDownload(record);
}

void DownloadEngineAdapter::RequestRemoval(const DownloadInfo& record, bool deleteFiles,
                                           const std::u16string& folder) {
    manager_.RequestRemoval(record, deleteFiles, folder);
}

void DownloadEngineAdapter::DeliverLink(uint32_t workerSlot, const std::u16string& link,
                                        uint64_t passThrough) {
    manager_.DeliverLink(workerSlot, link, passThrough);
}

void DownloadEngineAdapter::Pause() {
    manager_.Pause();
}

void DownloadEngineAdapter::Resume() {
    manager_.Resume();
}

void DownloadEngineAdapter::Shutdown() {
    manager_.Shutdown();
}

void StoreRequestsAdapter::RequestDetails(const std::u16string& name,
                                          const std::u16string& folder) {
    manager_.RequestDetails(name, folder);
}

void StoreRequestsAdapter::RequestLink(const std::u16string& name, uint64_t fileId,
                                       uint32_t workerSlot, uint64_t passThrough) {
    manager_.RequestLink(name, fileId, workerSlot, passThrough);
}

void StoreRequestsAdapter::CancelDetails(const std::u16string& name) {
    manager_.CancelDetails(name);
}

void StoreRequestsAdapter::RequestLogin(const std::u16string& email,
                                        const std::u16string& password) {
    manager_.RequestLogin(email, password);
}

void StoreRequestsAdapter::Logout() {
    manager_.Logout();
}

void StoreRequestsAdapter::Stop() {
    manager_.Stop();
}

void SpeedMeterStopper::Stop() {
    meter_.Stop();
}
