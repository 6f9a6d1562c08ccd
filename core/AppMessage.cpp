#include "core/AppMessage.h"

#include "core/DownloadInfo.h"
#include "core/UserDetails.h"

// Out of line so that the records the payloads own are complete where they are destroyed.
MessagePayload::~MessagePayload() = default;
LocalDetails::LocalDetails() = default;
LocalDetails::~LocalDetails() = default;
DetailsReply::DetailsReply() = default;
DetailsReply::~DetailsReply() = default;
AuthResult::AuthResult() = default;
AuthResult::~AuthResult() = default;

AppMessage MakeMessage(uint32_t id, std::unique_ptr<MessagePayload> payload, int64_t lParam) {
    AppMessage message;
    message.id = id;
    message.payload = std::move(payload);
    message.lParam = lParam;
    return message;
}

AppMessage MakeValueMessage(uint32_t id, uint64_t wParam, int64_t lParam) {
    AppMessage message;
    message.id = id;
    message.wParam = wParam;
    message.lParam = lParam;
    return message;
}
