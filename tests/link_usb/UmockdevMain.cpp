// The emulated-chip tests run under the umockdev preload: the program starts
// itself again with it when it is not loaded yet. Without umockdev the tests
// skip, unless VELUNDA_REQUIRE_UMOCKDEV is set (CI), where they fail.
#include "EmulatedFtdiChip.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {
constexpr const char* PRELOAD = "libumockdev-preload.so.0";
constexpr const char* REEXEC_MARK = "VELUNDA_UMOCKDEV_REEXEC";
} // namespace

int main(int argc, char** argv)
{
    if (!CEmulatedFtdiChip::PreloadActive() && std::getenv(REEXEC_MARK) == nullptr) {
        std::string preload = PRELOAD;
        if (const char* old = std::getenv("LD_PRELOAD"); old != nullptr && *old != '\0')
            preload = preload + ":" + old;
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        ::setenv(REEXEC_MARK, "1", 1);
        // The sanitizer runtimes want to come first; the preload must not stop them.
        std::string asan = "verify_asan_link_order=0";
        if (const char* old = std::getenv("ASAN_OPTIONS"); old != nullptr && *old != '\0')
            asan = asan + ":" + old;
        ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
        ::execv("/proc/self/exe", argv);
        // Fall through: the tests report the missing preload.
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
