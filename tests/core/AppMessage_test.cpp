#include "core/AppMessage.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "core/DownloadInfo.h"
#include "core/MessageQueue.h"
#include "core/UserDetails.h"

namespace {

// The numbers are shared with every sender and handler: a slip here misroutes a message.
TEST(AppMessage, NumbersAreWmAppPlusTheAgreedOffsets) {
    const std::pair<uint32_t, uint32_t> table[] = {
        {WM_APP_CHUNK_PROGRESS, 0x64},      {WM_APP_COMBINE_PROGRESS, 0x65},
        {WM_APP_CHECK_PROGRESS, 0x66},      {WM_APP_FILE_PROGRESS_RESET, 0x67},
        {WM_APP_ITEM_FINISHED, 0x69},       {WM_APP_ITEM_PAUSED, 0x6A},
        {WM_APP_COMBINE_RESET, 0x6B},       {WM_APP_FILE_PROGRESS_RESET_ON_COMBINE, 0x6C},
        {WM_APP_FILE_UNAVAILABLE, 0x6D},    {WM_APP_ITEM_FAILED, 0x6E},
        {WM_APP_ITEM_RESUBMIT, 0x6F},       {WM_APP_ITEM_RELEASED, 0x70},
        {WM_APP_CONNECTION_STATUS, 0x71},   {WM_APP_LINK_NEEDED, 0x72},
        {WM_APP_LOCAL_DETAILS, 0xC8},       {WM_APP_TRAY_ICON, 0x22B},
        {WM_APP_SPEED_SAMPLE, 0x232},       {WM_APP_REMOVE_ITEM, 0x29A},
        {WM_APP_OPEN_LINK, 0x29B},          {WM_APP_RUN_INSTALLER, 0x29C},
        {WM_APP_OPEN_GAME_CARD, 0x29D},     {WM_APP_RETRY_ITEM, 0x29E},
        {WM_APP_PAUSE_BUTTON, 0x29F},       {WM_APP_ROW_TOGGLE, 0x2A0},
        {WM_APP_USER_AUTHENTICATED, 0x379}, {WM_APP_AUTH_STARTED, 0x37A},
        {WM_APP_AUTH_FAILED, 0x37B},        {WM_APP_GAME_DETAILS, 0x37C},
        {WM_APP_FILE_LINK, 0x37D},
    };
    std::set<uint32_t> seen;
    for (const auto& [id, offset] : table) {
        EXPECT_EQ(id, 0x8000u + offset);
        EXPECT_TRUE(seen.insert(id).second) << "duplicate number " << id;
    }
}

struct CountingPayload : FileEvent {
    explicit CountingPayload(int& destroyed) : destroyed_(destroyed) {}
    ~CountingPayload() override { ++destroyed_; }
    int& destroyed_;
};

TEST(AppMessage, PayloadIsFreedExactlyOnceOnEveryPath) {
    int destroyed = 0;
    {
        // Dropped unread, as a handler does for an item that no longer exists.
        AppMessage message =
            MakeMessage(WM_APP_FILE_UNAVAILABLE, std::make_unique<CountingPayload>(destroyed));
    }
    EXPECT_EQ(destroyed, 1);
    {
        // Asked for as the wrong type: nothing is taken, the message still frees it.
        AppMessage message =
            MakeMessage(WM_APP_ITEM_FAILED, std::make_unique<CountingPayload>(destroyed), 3);
        EXPECT_EQ(message.TakePayload<ProgressReport>(), nullptr);
        EXPECT_NE(message.PayloadAs<FileEvent>(), nullptr);
        EXPECT_EQ(destroyed, 1);
    }
    EXPECT_EQ(destroyed, 2);
    {
        AppMessage message =
            MakeMessage(WM_APP_ITEM_FAILED, std::make_unique<CountingPayload>(destroyed), 3);
        std::unique_ptr<FileEvent> taken = message.TakePayload<FileEvent>();
        ASSERT_NE(taken, nullptr);
        EXPECT_EQ(message.payload, nullptr);
        EXPECT_EQ(message.lParam, 3);
    }
    EXPECT_EQ(destroyed, 3);
}

TEST(AppMessage, PayloadsOwnTheRecordsTheyCarry) {
    auto reply = std::make_unique<DetailsReply>();
    reply->kind = DetailsReply::kFinal;
    reply->details = std::make_unique<DownloadInfo>(u"/downloads/");
    reply->details->name = u"mygame";
    auto auth = std::make_unique<AuthResult>();
    auth->user = std::make_unique<UserDetails>();
    auth->user->userName = u"demo";

    MessageQueue queue;
    std::thread sender([&] {
        queue.Post(MakeMessage(WM_APP_GAME_DETAILS, std::move(reply)));
        queue.Post(MakeMessage(WM_APP_USER_AUTHENTICATED, std::move(auth)));
        queue.Post(MakeValueMessage(WM_APP_SPEED_SAMPLE, 1234));
    });
    sender.join();

    auto first = queue.Take(std::chrono::seconds(5));
    ASSERT_TRUE(first.has_value());
    ASSERT_EQ(first->id, WM_APP_GAME_DETAILS);
    auto details = first->TakePayload<DetailsReply>();
    ASSERT_NE(details, nullptr);
    EXPECT_EQ(details->details->name, u"mygame");

    auto second = queue.Take(std::chrono::seconds(5));
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->PayloadAs<AuthResult>()->user->userName, u"demo");

    auto third = queue.TryTake();
    ASSERT_TRUE(third.has_value());
    EXPECT_EQ(third->wParam, 1234u);
    EXPECT_EQ(third->payload, nullptr);
    EXPECT_FALSE(queue.TryTake().has_value());
}

}  // namespace
