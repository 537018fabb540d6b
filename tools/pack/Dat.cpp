// velunda-pack dat: writes an encrypted part-image package from part files.
#include "Commands.h"
#include "DatWriter.h"
#include "options/OptionTable.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace {

// The help around the option lines that DatOptionSections holds.
const char* const DAT_HELP_INTRO =
    "Usage: velunda-pack dat --type CODE --out FILE [PART OPTIONS] [OPTIONS]\n"
    "\n"
    "Writes a part-image package (.DAT): an 80-byte header naming the machine type\n"
    "and six sections (BA, MAIN, CIS M, CIS S, CF, IR), encrypted with AES-128-CBC\n"
    "under the tool's package key and written as hexadecimal text.\n"
    "\n"
    "Required:\n";
const char* const DAT_HELP_PARTS = "\n"
                                   "Parts (each optional; a part given needs its version):\n"
                                   "  --main FILE            MAIN image         --main-version V\n"
                                   "  --cis-m FILE           CIS M image        --cis-m-version V\n"
                                   "  --cis-s FILE           CIS S image        --cis-s-version V\n"
                                   "  --cf FILE              CF image           --cf-version V\n"
                                   "  --ir FILE              IR image           --ir-version V\n";
const char* const DAT_HELP_OPTIONS =
    "  A part not given is written as absent: version 0 (\"0\"), size 0. A given\n"
    "  part with version 0 (\"0\") is still loaded, but the part list shows None\n"
    "  for its file and version; a warning says so.\n"
    "\n"
    "Options:\n";
const char* const DAT_HELP_TESTING = "\n"
                                     "Testing options (they make packages the tool refuses):\n";
const char* const DAT_HELP_END =
    "\n"
    "Options take their value as the next argument or after '=' (--type=I_QUORIN).\n"
    "Exit status: 0 written, 1 a file could not be read or written, 2 bad usage\n"
    "or a value that does not fit the layout.\n";

const char* const PART_OPTIONS[DAT_PART_COUNT] = {"main", "cis-m", "cis-s", "cf", "ir"};

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "velunda-pack dat: %s\nTry 'velunda-pack dat --help'.\n", message.c_str());
    return 2;
}

int Failure(const std::string& message)
{
    std::fprintf(stderr, "velunda-pack dat: %s\n", message.c_str());
    return 1;
}

// Reads a whole part file, refusing it before reading when it cannot fit.
bool ReadPartFile(const std::string& path, const char* name, std::uint64_t maxSize,
                  std::vector<std::uint8_t>& data, std::string& error, bool& bTooLarge)
{
    bTooLarge = false;
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) {
        error = std::string("cannot read ") + name + " file '" + path + "': No such file or directory";
        return false;
    }
    if (std::filesystem::is_directory(status)) {
        error = std::string("cannot read ") + name + " file '" + path + "': it is a folder";
        return false;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (!ec && size > maxSize) {
        bTooLarge = true;
        error = std::string(name) + " file '" + path + "' is " + std::to_string(size) +
                " bytes; this layout's sections hold at most " + std::to_string(maxSize) + " bytes";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::string("cannot read ") + name + " file '" + path + "': " + std::strerror(errno);
        return false;
    }
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = std::string("cannot read ") + name + " file '" + path + "': read error";
        return false;
    }
    return true;
}

// The command line as given; the checks across options follow the parse.
struct DatArgs {
    bool help = false;
    std::optional<std::string> type;
    std::optional<std::string> out;
    std::optional<std::string> baFile;
    std::optional<std::string> partFile[DAT_PART_COUNT];
    std::optional<std::string> partVersion[DAT_PART_COUNT];
};

COption::Action Into(std::optional<std::string>& target)
{
    return [&target](const std::string& v, std::string&) {
        target = v;
        return true;
    };
}

// The options by the help's sections; the parse takes them all.
struct DatSections {
    COptionTable required, parts, options, testing;
};

DatSections DatOptionSections(DatArgs& args, DatPackage& package)
{
    const auto tag = [&package](const std::string& v, std::string& error) {
        if (v.size() != 4 || v[0] < '0' || v[0] > '5' || v[1] != '=') {
            error = "--tag takes N=XY with N from 0 to 5 and two characters XY, got '" + v + "'";
            return false;
        }
        package.tags[std::size_t(v[0] - '0')] = v.substr(2);
        return true;
    };
    DatSections s;
    s.required = {{.name = "type",
                   .takesValue = true,
                   .action = Into(args.type),
                   .valueName = "CODE",
                   .help = "machine-type code, which also picks the header layout:\n"
                           "  I_QUORIN            versions 0-65535, sections up to\n"
                           "                      4294967295 bytes\n"
                           "  S_QUORIN, P_QUORIN  versions of 1-3 characters,\n"
                           "                      sections up to 16777215 bytes"},
                  {.name = "out",
                   .letter = 'o',
                   .takesValue = true,
                   .action = Into(args.out),
                   .valueName = "FILE",
                   .help = "the package to write (replaced if it exists)"}};
    for (int p = 0; p < DAT_PART_COUNT; ++p) {
        s.parts.push_back({PART_OPTIONS[p], 0, true, Into(args.partFile[p])});
        s.parts.push_back({std::string(PART_OPTIONS[p]) + "-version", 0, true, Into(args.partVersion[p])});
    }
    s.parts.push_back({.name = "ba",
                       .takesValue = true,
                       .action = Into(args.baFile),
                       .valueName = "FILE",
                       .help = "BA section: carried in the package, not a part\n"
                               "(the tool decrypts and discards it)"});
    s.options = {
        FlagOption("lower", 0, package.bLowerCase, "lower-case hexadecimal digits (default upper case)"),
        FlagOption("help", 'h', args.help, "this text")};
    s.options.back().ends = true;
    s.testing = {TextOption("header-code", 0, package.headerCode, "CODE",
                            "write the 8-character CODE as the machine-type code;\n"
                            "--type still picks the layout"),
                 {.name = "tag",
                  .takesValue = true,
                  .action = tag,
                  .valueName = "N=XY",
                  .help = "write the two characters XY as the tag of section\n"
                          "entry N (0 BA, 1 MAIN, 2 CIS M, 3 CIS S, 4 CF, 5 IR)"}};
    return s;
}

std::string DatHelp()
{
    DatArgs args;
    DatPackage package;
    const DatSections s = DatOptionSections(args, package);
    return DAT_HELP_INTRO + OptionHelp(s.required) + DAT_HELP_PARTS + OptionHelp(s.parts) + DAT_HELP_OPTIONS +
           OptionHelp(s.options) + DAT_HELP_TESTING + OptionHelp(s.testing) + DAT_HELP_END;
}

// Reads the BA section and every part given into package.
int ReadParts(const DatArgs& args, std::uint64_t maxSize, DatPackage& package)
{
    std::string error;
    bool bTooLarge = false;
    if (args.baFile && !ReadPartFile(*args.baFile, "BA", maxSize, package.ba, error, bTooLarge)) {
        return bTooLarge ? UsageError(error) : Failure(error);
    }
    for (int p = 0; p < DAT_PART_COUNT; ++p) {
        if (!args.partFile[p]) {
            continue;
        }
        DatPart& part = package.parts[std::size_t(p)];
        part.bGiven = true;
        part.version = *args.partVersion[p];
        if (!ReadPartFile(*args.partFile[p], DAT_PART_NAMES[p], maxSize, part.data, error, bTooLarge)) {
            return bTooLarge ? UsageError(error) : Failure(error);
        }
    }
    return 0;
}

// Parts the tool will read differently from what the user may expect.
void WarnOfParts(const DatPackage& package, bool bNumeric)
{
    for (int p = 0; p < DAT_PART_COUNT; ++p) {
        const DatPart& part = package.parts[std::size_t(p)];
        if (!part.bGiven) {
            continue;
        }
        if (part.version == "0" || (bNumeric && part.version.find_first_not_of('0') == std::string::npos)) {
            std::fprintf(stderr,
                         "velunda-pack dat: warning: %s has version %s; the part list shows None for it\n",
                         DAT_PART_NAMES[p], part.version.c_str());
        }
        if (part.data.empty()) {
            std::fprintf(stderr,
                         "velunda-pack dat: warning: %s file is empty; the tool treats the part as absent\n",
                         DAT_PART_NAMES[p]);
        }
    }
}

} // namespace

int RunDat(int argc, char** argv)
{
    DatArgs args;
    DatPackage package;
    std::string error;
    DatSections sections = DatOptionSections(args, package);
    if (!ParseOptions(argc, argv,
                      JoinOptions({sections.required, sections.parts, sections.options, sections.testing}),
                      {}, error)) {
        return UsageError(error);
    }
    if (args.help) {
        std::fputs(DatHelp().c_str(), stdout);
        return 0;
    }
    const std::optional<std::string>& type = args.type;
    const std::optional<std::string>& out = args.out;
    if (!type) {
        return UsageError("--type is required (I_QUORIN, S_QUORIN or P_QUORIN)");
    }
    if (!out) {
        return UsageError("--out is required");
    }
    package.machineType = *type;
    if (!IsNumericLayout(*type) && *type != "S_QUORIN" && *type != "P_QUORIN") {
        return UsageError("unknown machine type '" + *type + "' (I_QUORIN, S_QUORIN or P_QUORIN)");
    }
    const bool bNumeric = IsNumericLayout(*type);
    const std::uint64_t maxSize = bNumeric ? 0xFFFFFFFFull : 0xFFFFFFull;

    for (int p = 0; p < DAT_PART_COUNT; ++p) {
        const std::string option = std::string("--") + PART_OPTIONS[p];
        if (args.partFile[p] && !args.partVersion[p]) {
            return UsageError(option + " needs " + option + "-version");
        }
        if (args.partVersion[p] && !args.partFile[p]) {
            return UsageError(option + "-version given without " + option);
        }
    }
    if (const int rc = ReadParts(args, maxSize, package); rc != 0) {
        return rc;
    }

    std::string text;
    if (!BuildDatText(package, text, error)) {
        return UsageError(error);
    }
    WarnOfParts(package, bNumeric);

    std::ofstream file(*out, std::ios::binary | std::ios::trunc);
    if (!file) {
        return Failure("cannot write '" + *out + "': " + std::strerror(errno));
    }
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    if (!file) {
        return Failure("cannot write '" + *out + "': write error");
    }
    std::printf("%s: %s, %zu-byte image\n", out->c_str(), type->c_str(), text.size() / 2);
    return 0;
}
