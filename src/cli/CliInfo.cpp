// velunda-cli info: what a package holds and what File Load will make of
// it, read without writing anything. A part-image package goes through the
// window's own File Load (it decodes in memory); an archive is read through
// the same package reader File Load uses, minus the writing: every entry is
// read to its CRC and the files are classified as File Load classifies them.
#include "cli/CliSession.h"
#include "cli/Json.h"
#include "files/FileSystem.h"
#include "history/Sha256.h"
#include "package/PackageArchive.h"
#include "package/UpgradeInfo.h"
#include "signature/SignaturePolicy.h"
#include "window/UpgradeDlg.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <vector>

namespace {

// The package's path, size and SHA-256, as every package event names them.
CJson PackageFields(const std::string& path)
{
    std::error_code ec;
    const std::string absolute = FsUtf8(std::filesystem::absolute(FsPath(path), ec));
    std::uint64_t size = 0;
    const std::string sha = Sha256OfFile(absolute, &size);
    return CJson{{"package", JsonText(absolute)}, {"package_size", size}, {"sha256", sha}};
}

std::string Hex32(std::uint32_t v)
{
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

std::string UpperExtension(const std::string& path)
{
    std::string tail = path.size() >= 3 ? path.substr(path.size() - 3) : path;
    for (char& c : tail)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return tail;
}

// The parts as the window lists them, on the terminal or as JSON.
void ReportParts(const CCliOptions& options, CCliReport& report, const std::string& path, int model,
                 const PartListTable& table, const CSignatureCheck& sig)
{
    const bool signer = sig.state != ESignatureState::Unsigned;
    if (options.json) {
        // Data, as the upgrade's own package event gives it.
        const std::vector<PartData> data = PartDataOf(table, model == RESULT_TYPE_BOARD);
        const auto part = [](const PartData& p) {
            return CJsonObject()
                .Add("item", p.item)
                .Add("file", p.file)
                .Add("file_version", JsonTextOrNull(p.version))
                .Add("file_size", p.size);
        };
        report.Json(
            CJsonObject()
                .Add("event", "package")
                .Add(PackageFields(path))
                .Add("model", ModelName(model))
                .Add("signature", SignatureJson(SignatureStateName(sig.state), signer ? sig.strKeyId : "",
                                                signer ? sig.strKeyName : ""))
                .AddRaw("parts", JsonObjectArray(data, part))
                .Text());
        return;
    }
    std::vector<std::vector<std::string>> rows;
    for (const PartListRow& row : PartListRows(table))
        rows.push_back({PrintableName(row.strName), PrintableName(row.strFile), PrintableName(row.strVersion),
                        row.strSize});
    std::printf("Package %s: %s\n%sSignature: %s\n", PrintableName(path).c_str(), ModelName(model),
                FormatTable({"Part", "File Name", "File Ver", "File Size"}, rows).c_str(),
                PrintableName(SignerText(sig)).c_str());
}

void ReportEntries(const CCliOptions& options, CCliReport& report, const std::string& path,
                   const CPackageContents& contents)
{
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> jsonEntries;
    for (const CPackageEntry& e : contents.entries) {
        const char* state = e.bFolder ? "folder" : e.strFile.empty() ? "no file name, skipped" : "CRC ok";
        rows.push_back({PrintableName(e.strStored), e.bFolder ? "" : std::to_string(e.uSize),
                        e.bFolder ? "" : Hex32(e.uCrc), state});
        jsonEntries.push_back(CJsonObject()
                                  .Add("name", e.strStored)
                                  .Add("file", e.strFile)
                                  .Add("size", static_cast<long long>(e.uSize))
                                  .Add("crc", Hex32(e.uCrc))
                                  .Add("folder", e.bFolder)
                                  .Add("ok", true)
                                  .Add("problem", "")
                                  .Text());
    }
    if (options.json)
        report.Json(CJsonObject()
                        .Add("event", "archive")
                        .Add("package", path)
                        .AddRaw("entries", JsonArray(jsonEntries))
                        .Text());
    else
        std::printf("\nArchive %s: %zu entries\n%s", PrintableName(path).c_str(), contents.entries.size(),
                    FormatTable({"Entry", "Size", "CRC-32", "Check"}, rows).c_str());
}

bool CarriesAPart(const int (&hasPart)[PART_COUNT])
{
    return std::any_of(std::begin(hasPart), std::end(hasPart), [](int flag) { return flag != 0; });
}

// The body File Load would send, read from the archive as it stands: the last
// entry of that name is the one that stays.
void CheckBoardBody(CZipArchive& zip, const CPackageContents& contents, const std::string& name)
{
    for (std::size_t i = contents.entries.size(); i-- > 0;) {
        if (contents.entries[i].strFile != name)
            continue;
        if (!zip.OpenEntry(static_cast<std::uint16_t>(i)))
            throw CPackageError("its entry " + PrintableName(name) + " cannot be read");
        CBodyEndMark scan;
        std::vector<std::uint8_t> buffer(64 * 1024);
        for (std::uint32_t n;
             (n = zip.ReadEntry(buffer.data(), static_cast<std::uint32_t>(buffer.size()))) > 0;)
            scan.Feed(buffer.data(), n);
        zip.CloseEntry(nullptr);
        if (const std::string problem = scan.Problem(name); !problem.empty())
            throw CPackageError(problem);
        return;
    }
}

int InfoArchive(const CCliOptions& options, CCliReport& report, const std::string& path)
{
    CZipArchive zip;
    zip.SetTraceSink([](const std::string&) {});
    const PackageTraceFn quiet = [](const std::string&) {};
    CPackageContents contents;
    CUpgradeInfo info;
    CPackageParts parts;
    int model = RESULT_TYPE_NONE;
    // Checked first, and read through the same descriptor.
    CBinaryFile file;
    CPackageVerification verification;
    if (file.Open(path)) {
        verification = VerifyPackage(file.Descriptor(), path, options.app.requireSignature);
        for (const std::string& note : verification.notes)
            report.Warning(note);
        if (!verification.strRefusal.empty()) {
            report.Outcome(ECliOutcome::BadPackage,
                           "cannot load the package " + PrintableName(path) + ": " + verification.strRefusal);
            return ExitCodeOf(ECliOutcome::BadPackage);
        }
    }
    // Whatever the reader or the package rules throw ends here, as it ends File Load.
    try {
        if (!file.IsOpen())
            throw CFileException(file.LastError(), path, "open");
        contents = ReadPackageArchive(zip, path, nullptr, quiet, file.Descriptor());
        info = PackageUpgradeInfo(contents, contents.strInfoText);
        model = ModelTypeFromText(info.strModelText);
        if (model == RESULT_TYPE_NONE)
            throw UnknownModel(info.strModelText);
        parts = ClassifyPackageFiles(model, contents.files, quiet);
        if (model == RESULT_TYPE_BOARD && !parts.strFile[1].empty())
            CheckBoardBody(zip, contents, parts.strFile[1]);
        zip.Close(false);
    } catch (const std::exception& e) {
        report.Outcome(ECliOutcome::BadPackage, "cannot load the package " + PrintableName(path) + ": " +
                                                    DescribeLoadFailure(e, path));
        return ExitCodeOf(ECliOutcome::BadPackage);
    }
    ReportParts(options, report, path, model, parts.list, verification.check);
    ReportEntries(options, report, path, contents);
    // A part is a file of slots 1 to 5 (a header or boot file alone is none).
    const bool good =
        model != RESULT_TYPE_NONE &&
        std::any_of(parts.strFile + 1, parts.strFile + 6, [](const std::string& f) { return !f.empty(); });
    const ECliOutcome outcome = good ? ECliOutcome::Success : ECliOutcome::BadPackage;
    report.Outcome(outcome, good ? "every entry reads back with its CRC"
                                 : "the package names no model or part the tool knows");
    return ExitCodeOf(outcome);
}

} // namespace

int RunInfo(const CCliOptions& options, CCliReport& report)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::string& path = options.package;
    if (!fs::is_regular_file(FsPath(path), ec)) {
        report.Outcome(ECliOutcome::BadPackage, "cannot read the package " + PrintableName(path));
        return ExitCodeOf(ECliOutcome::BadPackage);
    }
    if (UpperExtension(path) == "QVP")
        return InfoArchive(options, report, path);

    // A part-image package: the window's own loader, in memory.
    CHeadlessHost host;
    std::vector<std::string> messages;
    host.onMessage = [&](const std::string& text, MessageIcon) {
        messages.push_back(text);
        report.Message(text, false);
    };
    host.onTrace = [&](const std::string& text) {
        if (const std::string warning = SignatureWarningOf(text); !warning.empty())
            report.Warning(warning);
    };
    CUpgradeDlg dlg(host, options.app);
    dlg.OnInitDialog();
    dlg.Load(FsUtf8(fs::absolute(FsPath(path), ec)));
    host.ProcessEvents();
    const CDlgStatus status = dlg.Status();
    const int model = status.ResultType();
    const bool carries = CarriesAPart(status.HasPart());
    const PartListTable table = status.PartList();
    const CSignatureCheck signature = status.Signature();
    host.CloseWindow();
    ReportParts(options, report, path, model, table, signature);
    const bool good = messages.empty() && model != RESULT_TYPE_NONE && carries;
    const ECliOutcome outcome = good ? ECliOutcome::Success : ECliOutcome::BadPackage;
    report.Outcome(outcome, good               ? "package loads"
                            : messages.empty() ? "the package holds no part"
                                               : messages.front());
    return ExitCodeOf(outcome);
}
