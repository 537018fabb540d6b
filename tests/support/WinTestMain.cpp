// The test programs' entry on Windows: the build links with -municode, so
// the arguments arrive as UTF-16 and are handed to GoogleTest in UTF-8.
#include "files/FileSystem.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(FsUtf8(std::wstring_view(argv[i])));
    std::vector<char*> pointers;
    for (std::string& arg : args)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    ::testing::InitGoogleTest(&argc, pointers.data());
    return RUN_ALL_TESTS();
}
