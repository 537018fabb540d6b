// The emulated-chip tests run under the umockdev preload: the program starts
// itself again with it when it is not loaded yet. Without umockdev the tests
// skip, unless VELUNDA_REQUIRE_UMOCKDEV is set (CI), where they fail.
#include "EmulatedFtdiChip.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    CEmulatedFtdiChip::RunUnderPreload(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
