// velunda-pack: makes upgrade packages from part files.
#include "Commands.h"
#include "version/Version.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const USAGE = "Usage: velunda-pack COMMAND [OPTIONS]\n"
                          "\n"
                          "Makes upgrade packages for the Velunda upgrade tool from part files.\n"
                          "\n"
                          "Commands:\n"
                          "  dat    write an encrypted part-image package (.DAT)\n"
                          "  qvp    write a package archive (.QVP)\n"
                          "  keygen make a signing key pair (NAME.key, NAME.pub)\n"
                          "  sign   write PACKAGE.sig, a signature of the package\n"
                          "\n"
                          "velunda-pack COMMAND --help shows the options of a command;\n"
                          "velunda-pack --version the version.\n";

struct Command {
    const char* name;
    int (*run)(int, char**);
};

const Command COMMANDS[] = {{"dat", RunDat}, {"qvp", RunQvp}, {"keygen", RunKeygen}, {"sign", RunSign}};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", VersionLine("velunda-pack").c_str());
        return 0;
    }
    for (const Command& command : COMMANDS) {
        if (std::strcmp(argv[1], command.name) == 0) {
            return command.run(argc - 1, argv + 1);
        }
    }
    std::fprintf(stderr, "velunda-pack: unknown command '%s'\n\n%s", argv[1], USAGE);
    return 2;
}
