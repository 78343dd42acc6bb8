// This machine's facts from the system's services, and run-time loading of
// shared libraries.
#include "platform/host_facts.h"

#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "platform/shared_library.h"

namespace {

TEST(HostFacts, NamesResolveThroughTheSystemResolver) {
    uint32_t address = 0;
    ASSERT_TRUE(platform::SystemHostIPv4("localhost", &address));  // /etc/hosts
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&address);
    EXPECT_EQ(127, bytes[0]);
    EXPECT_TRUE(platform::SystemHostIPv4("192.0.2.7", &address));
    EXPECT_EQ(192, bytes[0]);
    EXPECT_EQ(7, bytes[3]);
    EXPECT_FALSE(platform::SystemHostIPv4("", &address));
    EXPECT_FALSE(platform::SystemHostIPv4(nullptr, &address));
}

TEST(HostFacts, TheKernelNamesItself) {
    std::string name;
    std::string release;
    platform::KernelNameRelease(&name, &release);
    EXPECT_EQ("Linux", name);
    EXPECT_FALSE(release.empty());
}

TEST(SharedLibrary, LoadsFindsAndReportsWhatFails) {
    std::string error;
    void* libc = platform::OpenSharedLibrary("libc.so.6", &error);
    ASSERT_NE(nullptr, libc) << error;
    EXPECT_NE(nullptr, platform::SharedLibrarySymbol(libc, "strlen"));
    EXPECT_EQ(nullptr, platform::SharedLibrarySymbol(libc, "NoSuchEntryPoint"));
    platform::CloseSharedLibrary(libc);

    EXPECT_EQ(nullptr, platform::OpenSharedLibrary("/nonexistent/libX.so", &error));
    EXPECT_NE(std::string::npos, error.find("/nonexistent/libX.so")) << error;
    EXPECT_EQ(nullptr, platform::OpenSharedLibrary("", &error));
    EXPECT_EQ(nullptr, platform::SharedLibrarySymbol(nullptr, "strlen"));
    platform::CloseSharedLibrary(nullptr);
}

TEST(SharedLibrary, ModuleDirectoryNamesWhereTheCodeWasLoadedFrom) {
    static const char anchor = 0;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    std::string program(self);
    program.resize(program.rfind('/'));
    EXPECT_EQ(program, platform::ModuleDirectory(&anchor));

    // A library: the directory it was found in, absolute.
    void* libc = platform::OpenSharedLibrary("libc.so.6", nullptr);
    ASSERT_NE(nullptr, libc);
    const std::string dir =
        platform::ModuleDirectory(platform::SharedLibrarySymbol(libc, "strlen"));
    platform::CloseSharedLibrary(libc);
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ('/', dir[0]);
    EXPECT_NE(program, dir);
    EXPECT_EQ("", platform::ModuleDirectory(nullptr));
}

}  // namespace
