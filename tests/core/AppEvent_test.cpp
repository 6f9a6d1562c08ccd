#include "core/AppEvent.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <type_traits>

#include "core/DownloadInfo.h"
#include "core/MessageQueue.h"
#include "core/UserDetails.h"

namespace {

// The numbers are shared with the list's rows and with every log line that names an event: a
// slip here misroutes a row command or misnames an event in the log.
TEST(AppEvent, NumbersAreWmAppPlusTheAgreedOffsets) {
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

// Every event keeps the number the log has always named it by, and no two kinds share one
// (a file's progress reset is named apart when a combine task begins).
TEST(AppEvent, EachEventHasItsOwnNumberInTheLog) {
    std::set<uint32_t> numbers;
    for (size_t index = 0; index < std::variant_size_v<AppEvent>; ++index) {
        // One default event of each alternative, made by index.
        const AppEvent event = [index] {
            AppEvent made;
            [&]<size_t... I>(std::index_sequence<I...>) {
                ((I == index ? (made.emplace<I>(), 0) : 0), ...);
            }(std::make_index_sequence<std::variant_size_v<AppEvent>>{});
            return made;
        }();
        ASSERT_EQ(event.index(), index);
        const uint32_t number = LogNumberOf(event);
        EXPECT_GT(number, static_cast<uint32_t>(WM_APP));
        EXPECT_TRUE(numbers.insert(number).second) << "shared number 0x" << std::hex << number;
    }
    EXPECT_EQ(LogNumberOf(AppEvent(ItemFailed{})), static_cast<uint32_t>(WM_APP_ITEM_FAILED));
    EXPECT_EQ(LogNumberOf(AppEvent(DetailsReply{})), static_cast<uint32_t>(WM_APP_GAME_DETAILS));
    const auto reset = [](FileProgressReset::Reason reason) {
        return LogNumberOf(AppEvent(FileProgressReset{u"g", 0, reason}));
    };
    EXPECT_EQ(reset(FileProgressReset::Reason::kFileJoined),
              static_cast<uint32_t>(WM_APP_FILE_PROGRESS_RESET));
    EXPECT_EQ(reset(FileProgressReset::Reason::kRestartCarriedOut),
              static_cast<uint32_t>(WM_APP_FILE_PROGRESS_RESET));
    EXPECT_EQ(reset(FileProgressReset::Reason::kCombineStarting),
              static_cast<uint32_t>(WM_APP_FILE_PROGRESS_RESET_ON_COMBINE));
}

// Events travel by move only: one that carries a record can't be copied by mistake, and the
// record arrives as the one that was posted, not a copy.
TEST(AppEvent, EventsOwnTheRecordsTheyCarryAndMoveThemAcrossThreads) {
    static_assert(!std::is_copy_constructible_v<AppEvent>);
    static_assert(std::is_nothrow_move_constructible_v<AppEvent>);

    DetailsReply reply;
    reply.kind = DetailsReply::kFinal;
    reply.details = std::make_unique<DownloadInfo>(u"/downloads/");
    reply.details->name = u"mygame";
    const DownloadInfo* const record = reply.details.get();
    UserAuthenticated auth;
    auth.user.userName = u"demo";

    MessageQueue queue;
    std::thread sender([&] {
        queue.Post(std::move(reply));
        queue.Post(std::move(auth));
        queue.Post(SpeedSample{1234});
    });
    sender.join();

    auto first = queue.Take(std::chrono::seconds(5));
    ASSERT_TRUE(first.has_value());
    DetailsReply* details = std::get_if<DetailsReply>(&*first);
    ASSERT_NE(details, nullptr);
    EXPECT_EQ(details->details.get(), record);
    EXPECT_EQ(details->details->name, u"mygame");

    auto second = queue.Take(std::chrono::seconds(5));
    ASSERT_TRUE(second.has_value());
    ASSERT_TRUE(std::holds_alternative<UserAuthenticated>(*second));
    EXPECT_EQ(std::get<UserAuthenticated>(*second).user.userName, u"demo");

    auto third = queue.TryTake();
    ASSERT_TRUE(third.has_value());
    ASSERT_TRUE(std::holds_alternative<SpeedSample>(*third));
    EXPECT_EQ(std::get<SpeedSample>(*third).kilobytesPerSecond, 1234u);
    EXPECT_FALSE(queue.TryTake().has_value());
}

}  // namespace
