#include "app/LoaderThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "core/MessageQueue.h"
#include "core/TextUtil.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

constexpr char kDigest[] = "0123456789abcdef0123456789abcdef";

void WriteIndex(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<file available=\"1\" timestamp=\"t1\" "
           "total_size=\"200\" md5=\""
        << kDigest << "\"><chunk method=\"md5\" id=\"0\" from=\"0\" to=\"99\">" << kDigest
        << "</chunk><chunk method=\"md5\" id=\"1\" from=\"100\" to=\"199\">" << kDigest
        << "</chunk></file>";
}

DownloadInfo Stored(const std::u16string& folder, const std::u16string& name) {
    DownloadInfo record(folder);
    record.name = name;
    FileInfo file;
    file.id = 0;
    file.name = name + u"/setup.bin";
    file.size = 200;
    record.files.push_back(file);
    return record;
}

TEST(LoaderThread, AnswersEachQueuedRecordWithItsLocalDetails) {
    TempDir dir;
    const std::u16string data = Utf8ToWide((dir.Path() / "data").string() + "/");
    const std::u16string downloads = Utf8ToWide((dir.Path() / "downloads").string() + "/");
    WriteIndex(dir.Path() / "data/indexed/setup.bin.crc");
    // 100 bytes of the first chunk are already on disk.
    fs::create_directories(dir.Path() / "downloads/indexed");
    std::ofstream(dir.Path() / "downloads/indexed/setup.bin.chunk0", std::ios::binary)
        << std::string(100, 'x');

    MessageQueue queue;
    LoaderThread loader(queue, data);
    loader.Start();
    DownloadInfo indexed = Stored(downloads, u"indexed");
    loader.Enqueue(indexed);
    loader.Enqueue(Stored(downloads, u"missing"));
    indexed.title = u"changed after queuing";  // the loader works on its own copy

    std::optional<AppEvent> first = queue.Take(milliseconds(10000));
    ASSERT_TRUE(first);
    const LocalDetails* details = std::get_if<LocalDetails>(&*first);
    ASSERT_NE(details, nullptr);
    EXPECT_TRUE(details->read);
    EXPECT_EQ(details->gameName, u"indexed");
    ASSERT_TRUE(details->info);
    EXPECT_TRUE(details->info->title.empty());
    ASSERT_EQ(details->info->files.size(), 1u);
    EXPECT_EQ(details->info->files[0].chunks.size(), 2u);
    EXPECT_EQ(details->info->files[0].timestamp, u"t1");
    EXPECT_EQ(details->info->total, 200u);
    EXPECT_EQ(details->info->downloaded, 100u) << "the verified chunk on disk is counted";

    std::optional<AppEvent> second = queue.Take(milliseconds(10000));
    ASSERT_TRUE(second);
    const LocalDetails* missing = std::get_if<LocalDetails>(&*second);
    ASSERT_NE(missing, nullptr);
    EXPECT_FALSE(missing->read) << "no index on disk";
    EXPECT_EQ(missing->gameName, u"missing");

    loader.Stop();
    loader.Enqueue(Stored(downloads, u"late"));
    EXPECT_FALSE(queue.Take(milliseconds(200))) << "nothing is read after the stop";
}

TEST(LoaderThread, StopsPromptlyWithWorkStillQueued) {
    TempDir dir;
    MessageQueue queue;
    LoaderThread loader(queue, Utf8ToWide(dir.Path().string() + "/"));
    loader.Start();
    for (int i = 0; i < 200; ++i) {
        loader.Enqueue(Stored(u"/nowhere/", u"g" + Utf8ToWide(std::to_string(i))));
    }
    loader.Stop();  // returns once the thread ended, whatever was left in the queue
    const size_t answered = queue.Size();
    EXPECT_LE(answered, 200u);
    for (size_t i = 0; i < answered; ++i) {
        std::optional<AppEvent> message = queue.TryTake();
        ASSERT_TRUE(message);
        ASSERT_TRUE(std::holds_alternative<LocalDetails>(*message));
        EXPECT_FALSE(std::get<LocalDetails>(*message).read);
    }
    EXPECT_EQ(queue.Size(), 0u) << "nothing arrives once Stop returned";
}

}  // namespace
