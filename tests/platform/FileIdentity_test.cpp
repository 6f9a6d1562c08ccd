#include "platform/FileIdentity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A file that was not there (or not a regular file) when it was looked at vouches for nothing:
// whatever is found later, even "not there" again, is not the same file.
TEST(FileIdentity, AMissingIdentityIsNeverTheSameFile) {
    TempDir dir;
    const fs::path file = dir.Path() / "setup.sh";
    const fs::path link = dir.Path() / "link.sh";
    const fs::path folder = dir.Path() / "folder";
    Write(file, "#!/bin/sh\n");
    fs::create_symlink(file, link);
    fs::create_directory(folder);

    const std::optional<FileIdentity> regular = IdentityOfPath(file.string());
    ASSERT_TRUE(regular.has_value());
    EXPECT_TRUE(SameFile(regular, IdentityOfPath(file.string())));

    struct Case {
        const char* what;
        fs::path path;
    };
    for (const Case& c : {Case{"nothing there", dir.Path() / "absent.sh"},
                          Case{"a symbolic link", link}, Case{"a folder", folder}}) {
        SCOPED_TRACE(c.what);
        const std::optional<FileIdentity> missing = IdentityOfPath(c.path.string());
        EXPECT_FALSE(missing.has_value());
        EXPECT_FALSE(SameFile(missing, IdentityOfPath(c.path.string())));
        EXPECT_FALSE(SameFile(missing, regular));
        EXPECT_FALSE(SameFile(regular, missing));
    }
}

TEST(FileIdentity, AFileReplacedByAnotherOfTheSameSizeIsAnotherFile) {
    TempDir dir;
    const fs::path file = dir.Path() / "setup.sh";
    Write(file, "#!/bin/sh\necho a\n");
    const std::optional<FileIdentity> before = IdentityOfPath(file.string());

    // Same size, another inode: a file moved into its place.
    const fs::path other = dir.Path() / "other.sh";
    Write(other, "#!/bin/sh\necho b\n");
    fs::rename(other, file);
    EXPECT_FALSE(SameFile(before, IdentityOfPath(file.string())));
}

}  // namespace
