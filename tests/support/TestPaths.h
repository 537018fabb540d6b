#pragma once
// Where the programs and files a test uses are, read at run time: a variable
// of the same name in the environment wins, else the list the build writes
// (build/tests/test-paths.txt, named by VELUNDA_TEST_PATHS under CTest and
// found beside the test programs otherwise). No path of the build is
// compiled in, so a checkout in another folder builds the same test objects.
#include <string>

// VELUNDA_CLI, VELUNDA_PACK, QUORIN_SIM, VELUNDA_GUI, LINK_SERIAL_PROBE,
// VELUNDA_SOURCE_DIR, VELUNDA_BINARY_DIR, VELUNDA_ARTIFACTS_DIR. Throws
// std::runtime_error when the name is not known.
std::string TestPath(const std::string& name);
// Empty when the name is not known (the window is not built without Qt).
std::string OptionalTestPath(const std::string& name);
// A file of the checkout: SourcePath("tests/zip/zipfixture.py").
std::string SourcePath(const std::string& relative);
