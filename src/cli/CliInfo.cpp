// velunda-cli info: what a package holds, read without writing anything. A
// part-image package goes through the window's own File Load (it decodes in
// memory); an archive's entries are read through the ZIP reader without a
// destination, so every CRC is checked and no file is made.
#include "app/UpgradeDlg.h"
#include "cli/CliSession.h"
#include "cli/Json.h"
#include "package/UpgradeInfo.h"

#include <cctype>
#include <filesystem>
#include <vector>

namespace {

struct EntryCheck {
    std::string name;
    std::uint32_t size = 0;
    std::uint32_t crc = 0;
    bool folder = false;
    bool ok = true;
    std::string problem;
};

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

// Reads every entry to its end; false when the archive itself cannot be read.
bool CheckArchive(const std::string& path, std::vector<EntryCheck>& entries, std::string& info,
                  std::string& error)
{
    CZipArchive zip;
    std::string lastTrace;
    zip.SetTraceSink([&](const std::string& text) { lastTrace = text; });
    try {
        zip.Open(path, 1);
    } catch (const CZipException& e) {
        error = std::string("not a readable archive: ") + e.GetDescription();
        return false;
    } catch (const CFileException& e) {
        error = std::string("cannot read the archive: ") + e.what();
        return false;
    }
    std::vector<std::uint8_t> buffer(64 * 1024);
    for (int i = 0; i < zip.GetEntryCount(); ++i) {
        const auto index = static_cast<std::uint16_t>(i);
        CZipFileHeader header;
        EntryCheck check;
        if (!zip.GetEntryInfo(header, index)) {
            check.ok = false;
            check.problem = "no entry information";
            entries.push_back(check);
            continue;
        }
        check.name = header.GetFileName();
        check.size = header.m_uUncomprSize;
        check.crc = header.m_uCrc32;
        check.folder = zip.IsEntryDirectory(index);
        if (check.folder) {
            entries.push_back(check);
            continue;
        }
        lastTrace.clear();
        if (!zip.OpenEntry(index)) {
            check.ok = false;
            check.problem = "cannot be read" + (lastTrace.empty() ? std::string() : ": " + lastTrace);
            while (!check.problem.empty() && (check.problem.back() == '\n' || check.problem.back() == '.'))
                check.problem.pop_back();
            entries.push_back(check);
            continue;
        }
        try {
            const bool keep = check.name == UPGRADE_INFO_NAME && check.size <= UPGRADE_INFO_MAX_BYTES;
            std::string text;
            for (;;) {
                const std::uint32_t n =
                    zip.ReadEntry(buffer.data(), static_cast<std::uint32_t>(buffer.size()));
                if (n == 0)
                    break;
                if (keep && text.size() + n <= UPGRADE_INFO_MAX_BYTES)
                    text.append(reinterpret_cast<const char*>(buffer.data()), n);
            }
            if (keep)
                info = text;
            const int closed = zip.CloseEntry();
            if (closed == -1) {
                check.ok = false;
                check.problem = "its data ends early";
            }
        } catch (const CZipException& e) {
            zip.CloseEntry(nullptr, true);
            check.ok = false;
            check.problem = e.m_nCause == CZipException::CrcMismatch ? "CRC mismatch" : e.GetDescription();
        } catch (const CFileException& e) {
            zip.CloseEntry(nullptr, true);
            check.ok = false;
            check.problem = e.what();
        }
        entries.push_back(check);
    }
    zip.Close();
    return true;
}

} // namespace

int RunInfo(const CCliOptions& options, CCliReport& report)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::string& path = options.package;
    if (!fs::is_regular_file(path, ec)) {
        report.Outcome(ECliOutcome::BadPackage, "cannot read the package " + path);
        return ExitCodeOf(ECliOutcome::BadPackage);
    }
    const std::string ext = UpperExtension(path);
    if (ext == "QVP") {
        std::vector<EntryCheck> entries;
        std::string error;
        std::string infoText;
        if (!CheckArchive(path, entries, infoText, error)) {
            report.Outcome(ECliOutcome::BadPackage, error);
            return ExitCodeOf(ECliOutcome::BadPackage);
        }
        int bad = 0;
        std::vector<std::vector<std::string>> rows;
        std::vector<std::string> jsonEntries;
        for (const auto& e : entries) {
            bad += e.ok ? 0 : 1;
            const std::string state = e.folder ? "folder" : e.ok ? "CRC ok" : e.problem;
            rows.push_back(
                {e.name, e.folder ? "" : std::to_string(e.size), e.folder ? "" : Hex32(e.crc), state});
            jsonEntries.push_back(CJsonObject()
                                      .Add("name", e.name)
                                      .Add("size", static_cast<long long>(e.size))
                                      .Add("crc", Hex32(e.crc))
                                      .Add("folder", e.folder)
                                      .Add("ok", e.ok)
                                      .Add("problem", e.problem)
                                      .Text());
        }
        // The parts as File Load would list them, by the archive rules of the
        // package module, from the names and sizes alone.
        const CUpgradeInfo info = ParseUpgradeInfoText(infoText);
        const int model = ModelTypeFromText(info.strModelText);
        std::vector<std::string> partRows[PART_SLOTS];
        for (const auto& e : entries) {
            if (e.folder)
                continue;
            const std::string base = e.name.substr(e.name.find_last_of('/') + 1);
            const auto cls = ClassifyPartFile(model, base);
            if (!cls || cls->nListSlot < 0 || cls->nListSlot >= PART_SLOTS)
                continue;
            const char* partName =
                cls->pszListName != nullptr ? cls->pszListName : PartName(cls->nListSlot - 1);
            partRows[cls->nListSlot] = {partName, base, VersionFromName(base), SizeText(e.size)};
        }
        std::vector<std::vector<std::string>> parts;
        std::vector<std::string> jsonParts;
        for (const auto& row : partRows) {
            if (row.empty())
                continue;
            parts.push_back(row);
            jsonParts.push_back(CJsonObject()
                                    .Add("part", row[0])
                                    .Add("file", row[1])
                                    .Add("version", row[2])
                                    .Add("size", row[3])
                                    .Text());
        }
        const char* modelName = ModelName(model);
        if (options.json)
            report.Json(CJsonObject()
                            .Add("event", "package")
                            .Add("package", path)
                            .Add("model", modelName)
                            .AddRaw("parts", JsonArray(jsonParts))
                            .Text());
        else
            std::printf("Package %s: %s\n%s\n", path.c_str(), modelName,
                        FormatTable({"Part", "File Name", "File Ver", "File Size"}, parts).c_str());
        if (options.json)
            report.Json(CJsonObject()
                            .Add("event", "archive")
                            .Add("package", path)
                            .AddRaw("entries", JsonArray(jsonEntries))
                            .Text());
        else
            std::printf("Archive %s: %zu entries\n%s", path.c_str(), entries.size(),
                        FormatTable({"Entry", "Size", "CRC-32", "Check"}, rows).c_str());
        const bool known = model != RESULT_TYPE_NONE && !parts.empty();
        const ECliOutcome outcome = bad == 0 && known ? ECliOutcome::Success : ECliOutcome::BadPackage;
        report.Outcome(outcome, bad != 0 ? std::to_string(bad) + " damaged entr" + (bad == 1 ? "y" : "ies")
                                : !known ? "the archive names no model or part the tool knows"
                                         : "every entry reads back with its CRC");
        return ExitCodeOf(outcome);
    }

    // A part-image package: the window's own loader, in memory.
    CHeadlessHost host;
    std::vector<std::string> messages;
    host.onMessage = [&](const std::string& text, MessageIcon) {
        messages.push_back(text);
        report.Message(text, false);
    };
    CUpgradeDlg dlg(host, options.app);
    dlg.OnInitDialog();
    host.QueueOpenFileAnswer(fs::absolute(path, ec).string());
    host.Click(IDC_BUTTON_FILE_LOAD);
    const int model = dlg.m_nResultType;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> jsonParts;
    for (int r = 0; r < host.ListRowCount(IDC_LIST_PART); ++r) {
        const std::string part = host.ListGetCell(IDC_LIST_PART, r, LIST_COL_PART);
        const std::string file = host.ListGetCell(IDC_LIST_PART, r, LIST_COL_FILE_NAME);
        const std::string version = host.ListGetCell(IDC_LIST_PART, r, LIST_COL_FILE_VER);
        const std::string size = host.ListGetCell(IDC_LIST_PART, r, LIST_COL_FILE_SIZE);
        rows.push_back({part, file, version, size});
        jsonParts.push_back(CJsonObject()
                                .Add("part", part)
                                .Add("file", file)
                                .Add("version", version)
                                .Add("size", size)
                                .Text());
    }
    host.CloseWindow();
    const char* modelName = ModelName(model);
    if (options.json)
        report.Json(CJsonObject()
                        .Add("event", "package")
                        .Add("package", path)
                        .Add("model", modelName)
                        .AddRaw("parts", JsonArray(jsonParts))
                        .Text());
    else
        std::printf("Package %s: %s\n%s", path.c_str(), modelName,
                    FormatTable({"Part", "File Name", "File Ver", "File Size"}, rows).c_str());
    const bool good = messages.empty() && model != RESULT_TYPE_NONE && !rows.empty();
    const ECliOutcome outcome = good ? ECliOutcome::Success : ECliOutcome::BadPackage;
    report.Outcome(outcome, good               ? "package loads"
                            : messages.empty() ? "the package holds no part"
                                               : messages.front());
    return ExitCodeOf(outcome);
}
