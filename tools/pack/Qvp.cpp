// velunda-pack qvp: writes a package archive (UpgradeInfo.txt and one file
// per part) with libzip, so that the tool's reader is checked against a
// writer that is not its own.
#include "Commands.h"

#include "options/OptionTable.h"
#include "package/UpgradeInfo.h"

#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

// The help around the option lines that QvpOptionSections holds.
const char* const QVP_HELP_INTRO =
    "Usage: velunda-pack qvp --model MODEL --out FILE PART OPTIONS... [OPTIONS]\n"
    "\n"
    "Writes a package archive (.QVP): a ZIP archive holding UpgradeInfo.txt and one\n"
    "file per part. The tool recognises each part by a token in its file name, so\n"
    "every part is stored under a name that carries its token (and no earlier one).\n"
    "\n"
    "Required:\n";
const char* const QVP_HELP_PARTS =
    "\n"
    "Parts, by model (token in brackets; at least one part):\n"
    "  Quorin V1:  --header FILE [BH]  --main FILE [SM]  --cis-m FILE [SC]\n"
    "              --cis-s FILE [SS]   --cf FILE [SF]    --ir FILE [SR]\n"
    "  Quorin V2:  --header FILE [BH]  --main FILE [SM]  --cdm FILE [CDM]\n"
    "              --cdm-boot FILE [BC]\n"
    "  Upgrade Board:  --board-boot FILE [.UPH]  --board-body FILE [.UPB]\n"
    "  The header file is the boot image sent before MAIN (and before every item\n"
    "  but CDM); the CDM boot file is sent before CDM.\n"
    "\n"
    "Names in the archive:\n"
    "  A part is stored under its file's own name, which must carry the part's\n"
    "  token; otherwise the package is refused, unless\n";
const char* const QVP_HELP_INFO =
    "  The version the tool shows comes from the name: for CDM files the name\n"
    "  without \"CDM_\" and \".NHB\" (CDM_V1.02.NHB: V1.02), for the others the text\n"
    "  between the first and second '_' (SM_V2.10_20131008.bin: V2.10).\n"
    "\n"
    "UpgradeInfo.txt:\n"
    "  Written with CR LF line ends, each line \" KEY : VALUE\": \"Result Type\" with\n"
    "  the model, one source-path line per part that has a key (MAIN, CIS M, CIS S,\n"
    "  CF, IR, CDM, board body) with the part's stored name, and\n";
const char* const QVP_HELP_OPTIONS = "\n"
                                     "Options:\n";
const char* const QVP_HELP_TESTING =
    "\n"
    "Testing options (they make packages the tool may refuse or read differently):\n";
const char* const QVP_HELP_END =
    "\n"
    "Options take their value as the next argument or after '=' (--model=v1).\n"
    "Exit status: 0 written, 1 a file could not be read or written, 2 bad usage\n"
    "or names that would not classify.\n";

struct PartOption {
    const char* option; // without "--"
    int model;
    const char* token;
    const char* infoKey; // nullptr: no UpgradeInfo line
    int fileSlot;        // where the tool puts it
};

const PartOption kParts[] = {
    {"header", 1, "BH", nullptr, 0},
    {"main", 1, "SM", "Main Source File Path", 1},
    {"cis-m", 1, "SC", "CIS Master Source File Path", 2},
    {"cis-s", 1, "SS", "CIS Slave Source File Path", 3},
    {"cf", 1, "SF", "CF Source File Path", 4},
    {"ir", 1, "SR", "IR Source File Path", 5},
    {"header", 2, "BH", nullptr, 0},
    {"main", 2, "SM", "Main Body Source File Path", 1},
    {"cdm", 2, "CDM", "CIS Body Source File Path", 2},
    {"cdm-boot", 2, "BC", nullptr, 6},
    {"board-boot", 3, ".UPH", nullptr, 0},
    {"board-body", 3, ".UPB", "Upgrade Board Body Source File Path", 1},
};

const char* const kPartOptions[] = {"header", "main", "cis-m",    "cis-s",      "cf",
                                    "ir",     "cdm",  "cdm-boot", "board-boot", "board-body"};
constexpr int kPartOptionCount = sizeof kPartOptions / sizeof kPartOptions[0];

const char* const kModelNames[] = {"", "Quorin V1", "Quorin V2", "Upgrade Board"};

// Entries above this size would need Zip64, which the tool does not read.
constexpr std::uintmax_t kMaxEntrySize = 0xFFFFFFFFull - 1;

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "velunda-pack qvp: %s\nTry 'velunda-pack qvp --help'.\n", message.c_str());
    return 2;
}

int Failure(const std::string& message)
{
    std::fprintf(stderr, "velunda-pack qvp: %s\n", message.c_str());
    return 1;
}

int OptionIndex(const std::string& name)
{
    for (int i = 0; i < kPartOptionCount; ++i)
        if (name == kPartOptions[i])
            return i;
    return -1;
}

const PartOption* FindPart(int model, const std::string& option)
{
    for (const PartOption& part : kParts)
        if (part.model == model && option == part.option)
            return &part;
    return nullptr;
}

int ParseModel(const std::string& text)
{
    if (text == "Quorin V1" || text == "v1" || text == "V1")
        return 1;
    if (text == "Quorin V2" || text == "v2" || text == "V2")
        return 2;
    if (text == "Upgrade Board" || text == "board")
        return 3;
    return 0;
}

std::string BaseName(const std::string& path)
{
    return std::filesystem::path(path).filename().string();
}

// A name the tool would file under the part's slot, after --rename.
std::string RenamedFor(const PartOption& part, const std::string& name)
{
    if (part.token[0] == '.') {
        const std::size_t dot = name.rfind('.');
        return (dot == std::string::npos || dot == 0 ? name : name.substr(0, dot)) + part.token;
    }
    return std::string(part.token) + "_" + name;
}

// "" when the file can be stored, else why not.
bool HasEndMark(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    char previous = 0;
    for (char c; in.get(c); previous = c)
        if (previous == '#' && c == '#')
            return true;
    return false;
}

std::string CheckReadable(const std::string& path)
{
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status))
        return "cannot read '" + path + "': No such file or directory";
    if (!std::filesystem::is_regular_file(status))
        return "cannot read '" + path + "': not a regular file";
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "cannot read '" + path + "': " + std::strerror(errno);
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (!ec && size > kMaxEntrySize)
        return "'" + path + "' is " + std::to_string(size) + " bytes; entries must stay below 4 GiB";
    return "";
}

struct Entry {
    std::string name; // in the archive
    std::string file; // on disk, or empty for text
    std::string text;
};

struct ZipCloser {
    void operator()(zip_t* z) const { zip_discard(z); }
};

int WriteArchive(const std::string& out, const std::vector<Entry>& entries, bool store)
{
    int error = 0;
    std::unique_ptr<zip_t, ZipCloser> archive(zip_open(out.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
    if (!archive) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, error);
        const std::string why = zip_error_strerror(&ze);
        zip_error_fini(&ze);
        return Failure("cannot write '" + out + "': " + why);
    }
    for (const Entry& entry : entries) {
        zip_source_t* source = nullptr;
        if (entry.file.empty())
            source = zip_source_buffer(archive.get(), entry.text.data(), entry.text.size(), 0);
        else
            source = zip_source_file(archive.get(), entry.file.c_str(), 0, -1);
        if (source == nullptr)
            return Failure("cannot add '" + entry.name + "': " + zip_strerror(archive.get()));
        const zip_int64_t index = zip_file_add(archive.get(), entry.name.c_str(), source, ZIP_FL_ENC_GUESS);
        if (index < 0) {
            const std::string why = zip_strerror(archive.get());
            zip_source_free(source);
            return Failure("cannot add '" + entry.name + "': " + why);
        }
        if (zip_set_file_compression(archive.get(), static_cast<zip_uint64_t>(index),
                                     store ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0) != 0)
            return Failure("cannot set the compression of '" + entry.name +
                           "': " + zip_strerror(archive.get()));
    }
    // libzip writes a temporary file and renames it only when all went well.
    if (zip_close(archive.get()) != 0)
        return Failure("cannot write '" + out + "': " + zip_strerror(archive.get()));
    archive.release();
    return 0;
}

// The command line as given; the checks across options follow the parse.
struct QvpArgs {
    bool help = false;
    std::optional<std::string> modelArg;
    std::optional<std::string> out;
    std::optional<std::string> modelText;
    std::optional<std::string> infoFile;
    std::optional<std::string> partFile[kPartOptionCount];
    std::optional<std::string> partName[kPartOptionCount];
    std::vector<std::string> notices;
    std::vector<std::string> infoLines;
    std::vector<std::pair<std::string, std::string>> extras;
    bool rename = false;
    bool store = false;
    bool noInfo = false;
    bool noEndMark = false;
};

COption::Action Into(std::optional<std::string>& target)
{
    return [&target](const std::string& v, std::string&) {
        target = v;
        return true;
    };
}

COption::Action Append(std::vector<std::string>& target)
{
    return [&target](const std::string& v, std::string&) {
        target.push_back(v);
        return true;
    };
}

// --name PART=NAME and --extra NAME=FILE.
COption::Action PairInto(QvpArgs& a, const std::string& option)
{
    return [&a, option](const std::string& v, std::string& error) {
        const std::size_t eq = v.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == v.size()) {
            error =
                option + " takes " + (option == "--name" ? "PART=NAME" : "NAME=FILE") + ", got '" + v + "'";
            return false;
        }
        const std::string left = v.substr(0, eq);
        const std::string right = v.substr(eq + 1);
        if (option == "--extra") {
            a.extras.emplace_back(left, right);
            return true;
        }
        const int named = OptionIndex(left);
        if (named < 0)
            error = "--name: unknown part '" + left + "'";
        else
            a.partName[named] = right;
        return named >= 0;
    };
}

// The options by the help's sections; the parse takes them all.
struct QvpSections {
    COptionTable required, parts, names, info, options, testing;
};

QvpSections QvpOptionSections(QvpArgs& a)
{
    QvpSections s;
    s.required = {{.name = "model",
                   .takesValue = true,
                   .action = Into(a.modelArg),
                   .valueName = "MODEL",
                   .help = "\"Quorin V1\" (or v1), \"Quorin V2\" (or v2),\n"
                           "\"Upgrade Board\" (or board)"},
                  {.name = "out",
                   .letter = 'o',
                   .takesValue = true,
                   .action = Into(a.out),
                   .valueName = "FILE",
                   .help = "the archive to write (replaced if it exists)"}};
    for (int p = 0; p < kPartOptionCount; ++p) {
        const std::string option = std::string("--") + kPartOptions[p];
        s.parts.push_back(
            {kPartOptions[p], 0, true, [&a, p, option](const std::string& v, std::string& error) {
                 if (a.partFile[p])
                     error = option + " given twice";
                 else
                     a.partFile[p] = v;
                 return error.empty();
             }});
    }
    s.names = {{.name = "name",
                .takesValue = true,
                .action = PairInto(a, "--name"),
                .valueName = "PART=NAME",
                .help = "stores PART (header, main, cis-m, cis-s, cf, ir, cdm,\n"
                        "cdm-boot, board-boot, board-body) under NAME"},
               FlagOption("rename", 0, a.rename,
                          "stores a name lacking its token as TOKEN_NAME (for\n"
                          "the board: NAME with the token as extension)")};
    s.info = {{.name = "notice",
               .takesValue = true,
               .action = Append(a.notices),
               .valueName = "TEXT",
               .help = "a \"Notice\" line (no effect in the tool)"}};
    s.options = {FlagOption("store", 0, a.store, "store entries uncompressed (default: deflate)"),
                 FlagOption("help", 'h', a.help, "this text")};
    s.options.back().ends = true;
    s.testing = {
        {.name = "model-text",
         .takesValue = true,
         .action = Into(a.modelText),
         .valueName = "TEXT",
         .help = "write TEXT as the \"Result Type\" value"},
        {.name = "info-line",
         .takesValue = true,
         .action = Append(a.infoLines),
         .valueName = "LINE",
         .help = "append LINE as it is to UpgradeInfo.txt"},
        {.name = "info",
         .takesValue = true,
         .action = Into(a.infoFile),
         .valueName = "FILE",
         .help = "store FILE as UpgradeInfo.txt instead of writing one"},
        FlagOption("no-info", 0, a.noInfo, "store no UpgradeInfo.txt"),
        FlagOption("no-end-mark", 0, a.noEndMark, "store a board body that lacks its end mark \"##\""),
        {.name = "extra",
         .takesValue = true,
         .action = PairInto(a, "--extra"),
         .valueName = "NAME=FILE",
         .help = "also store FILE under NAME (may hold folders), unchecked"}};
    return s;
}

std::string QvpHelp()
{
    QvpArgs a;
    const QvpSections s = QvpOptionSections(a);
    return QVP_HELP_INTRO + OptionHelp(s.required) + QVP_HELP_PARTS + OptionHelp(s.names) + QVP_HELP_INFO +
           OptionHelp(s.info) + QVP_HELP_OPTIONS + OptionHelp(s.options) + QVP_HELP_TESTING +
           OptionHelp(s.testing) + QVP_HELP_END;
}

// The archive entry of part p, with its UpgradeInfo line; 0, or the exit status.
int AddPart(const QvpArgs& a, int model, int p, std::vector<Entry>& entries,
            std::vector<std::string>& infoBody)
{
    const std::string option = std::string("--") + kPartOptions[p];
    const PartOption* partOpt = FindPart(model, kPartOptions[p]);
    if (partOpt == nullptr)
        return UsageError(option + " is not a part of a " + kModelNames[model] + " package");
    std::string name = a.partName[p] ? *a.partName[p] : BaseName(*a.partFile[p]);
    if (name.empty() || name.find_first_of("/\\:") != std::string::npos)
        return UsageError("the name '" + name + "' for " + option +
                          " must be a plain file name (no /, \\ or :)");
    auto cls = ClassifyPartFile(model, name);
    if ((!cls || cls->nFileSlot != partOpt->fileSlot) && a.rename && !a.partName[p]) {
        name = RenamedFor(*partOpt, name);
        cls = ClassifyPartFile(model, name);
    }
    if (!cls || cls->nFileSlot != partOpt->fileSlot) {
        const std::string found =
            cls ? std::string(" but is read by its token \"") + cls->pszToken + "\" first"
                : std::string(" but carries no token of a ") + kModelNames[model] + " package";
        return UsageError("the name '" + name + "' for " + option + " must carry \"" + partOpt->token + "\"" +
                          found + "; give --name " + kPartOptions[p] + "=NAME" +
                          (a.rename ? "" : " or --rename"));
    }
    if (const std::string why = CheckReadable(*a.partFile[p]); !why.empty())
        return Failure(why);
    // The board erases itself before it reads the body, and only the end
    // mark ends the body: the tool refuses a body without one.
    if (std::string(kPartOptions[p]) == "board-body" && !a.noEndMark && !HasEndMark(*a.partFile[p]))
        return Failure("the board body '" + *a.partFile[p] +
                       "' has no end mark \"##\" (or is empty); the tool refuses it "
                       "(--no-end-mark stores it anyway, for tests)");
    if (IsKeptOnCleanup(name))
        std::fprintf(stderr,
                     "velunda-pack qvp: warning: '%s' carries .QV1 or .QV2; the tool leaves it "
                     "behind when it cleans up\n",
                     name.c_str());
    if (partOpt->infoKey != nullptr)
        infoBody.push_back(std::string(" ") + partOpt->infoKey + " : " + name);
    entries.push_back({name, *a.partFile[p], {}});
    return 0;
}

// UpgradeInfo.txt as given, as written from the options, or none.
void AddInfo(const QvpArgs& a, int model, const std::vector<std::string>& infoBody,
             std::vector<Entry>& entries)
{
    if (a.infoFile) {
        entries.insert(entries.begin(), Entry{UPGRADE_INFO_NAME, *a.infoFile, {}});
    } else if (!a.noInfo) {
        std::string text =
            " Result Type : " + (a.modelText ? *a.modelText : std::string(kModelNames[model])) + "\r\n";
        for (const std::string& line : infoBody)
            text += line + "\r\n";
        for (const std::string& notice : a.notices)
            text += " Notice : " + notice + "\r\n";
        for (const std::string& line : a.infoLines)
            text += line + "\r\n";
        entries.insert(entries.begin(), Entry{UPGRADE_INFO_NAME, {}, text});
    }
}

} // namespace

int RunQvp(int argc, char** argv)
{
    QvpArgs a;
    std::string error;
    const QvpSections s = QvpOptionSections(a);
    if (!ParseOptions(argc, argv, JoinOptions({s.required, s.parts, s.names, s.info, s.options, s.testing}),
                      {}, error))
        return UsageError(error);
    if (a.help) {
        std::fputs(QvpHelp().c_str(), stdout);
        return 0;
    }
    if (!a.modelArg)
        return UsageError("--model is required (\"Quorin V1\", \"Quorin V2\" or \"Upgrade Board\")");
    if (!a.out)
        return UsageError("--out is required");
    const int model = ParseModel(*a.modelArg);
    if (model == 0)
        return UsageError("unknown model '" + *a.modelArg +
                          "' (\"Quorin V1\", \"Quorin V2\" or \"Upgrade Board\")");
    if (a.noInfo && (a.infoFile || !a.notices.empty() || !a.infoLines.empty() || a.modelText))
        return UsageError("--no-info cannot go with --info, --notice, --info-line or --model-text");
    if (a.infoFile && (!a.notices.empty() || !a.infoLines.empty() || a.modelText))
        return UsageError(
            "--info replaces the whole file; --notice, --info-line and --model-text cannot go with it");

    std::vector<Entry> entries;
    std::vector<std::string> infoBody;
    for (int p = 0; p < kPartOptionCount; ++p) {
        if (!a.partFile[p]) {
            if (a.partName[p])
                return UsageError("--name " + std::string(kPartOptions[p]) + "=... given without --" +
                                  kPartOptions[p]);
            continue;
        }
        if (const int rc = AddPart(a, model, p, entries, infoBody); rc != 0)
            return rc;
    }
    if (entries.empty())
        return UsageError("no part given; a package needs at least one part file");

    for (const auto& [name, file] : a.extras) {
        if (const std::string why = CheckReadable(file); !why.empty())
            return Failure(why);
        entries.push_back({name, file, {}});
    }
    if (a.infoFile) {
        if (const std::string why = CheckReadable(*a.infoFile); !why.empty())
            return Failure(why);
    }
    AddInfo(a, model, infoBody, entries);

    if (const int rc = WriteArchive(*a.out, entries, a.store); rc != 0)
        return rc;
    std::printf("%s: %s package archive, %zu entries\n", a.out->c_str(), kModelNames[model], entries.size());
    for (const Entry& entry : entries)
        std::printf("  %s\n", entry.name.c_str());
    return 0;
}
