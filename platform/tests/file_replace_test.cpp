// Creating a file with another's permissions before anything is written.
#include "platform/file_replace.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/tests/support/files.h"
#include "core/tests/support/temp_dir.h"

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(CreateLikeTest, TakesTheModelsModeWhateverTheUmask) {
    testsupport::TempDir dir;
    mode_t saved = umask(0);
    struct Case {
        mode_t model;  // 0: no model file
        mode_t expected;
    } cases[] = {{0600, 0600}, {0640, 0640}, {0, 0600}};
    int n = 0;
    for (const Case& c : cases) {
        std::string model = dir.Path() + "/model" + std::to_string(n);
        std::string made = dir.Path() + "/made" + std::to_string(n++);
        if (c.model) {
            testsupport::WriteWhole(model, "secret");
            chmod(model.c_str(), c.model);
        }
        EXPECT_TRUE(platform::CreateLike(model.c_str(), made.c_str()));
        EXPECT_EQ(c.expected, ModeOf(made)) << std::oct << c.model;
    }
    umask(saved);
}

TEST(CreateLikeTest, NeverOpensAnExistingFileOrLink) {
    testsupport::TempDir dir;
    std::string target = dir.Path() + "/target";
    std::string link = dir.Path() + "/link";
    testsupport::WriteWhole(target, "kept");
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
    errno = 0;
    EXPECT_FALSE(platform::CreateLike(target.c_str(), link.c_str()));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_FALSE(platform::CreateLike(target.c_str(), target.c_str()));
    EXPECT_EQ("kept", testsupport::ReadWhole(target));
}

}  // namespace
