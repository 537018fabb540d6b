#pragma once
// Package archives made by independent writers (velunda-pack qvp on libzip,
// Python's zipfile, Info-ZIP zip) for the window behind the headless host.
#include "ScenarioFixture.h"
#include "TestPaths.h"
#include "package/UnpackManifest.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sys/wait.h>

namespace archive {

using namespace scenario;

inline std::string Quote(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Exit code of a shell command, -1 when it did not exit normally.
inline int Shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::set<std::string> Names(const std::filesystem::path& folder)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        names.insert(entry.path().filename().string());
    return names;
}

class ArchiveFixture : public ScenarioFixture {
public:
    std::filesystem::path Src(const std::string& name) const { return dir / "src" / name; }

    // A part file with its own byte pattern, under src/.
    Bytes Source(const std::string& name, std::size_t size, unsigned seed)
    {
        Bytes bytes = Pattern(size, seed);
        WriteFileBytes(Src(name), bytes);
        return bytes;
    }

    // A board body ends with its end mark "##" (its last two bytes become it).
    static void EndWithMark(const std::filesystem::path& file)
    {
        Bytes bytes = ReadFileBytes(file);
        if (bytes.size() >= 2)
            bytes[bytes.size() - 2] = bytes[bytes.size() - 1] = '#';
        WriteFileBytes(file, bytes);
    }

    // velunda-pack qvp ARGS; its output is kept in packOutput.
    int Pack(const std::string& args)
    {
        const auto log = dir / "pack.log";
        const int rc = Shell(std::string(TestPath("VELUNDA_PACK")) + " qvp " + args + " >" +
                             Quote(log.string()) + " 2>&1");
        const Bytes text = ReadFileBytes(log);
        packOutput.assign(text.begin(), text.end());
        return rc;
    }

    // Python's zipfile; entries are NAME=FILE or NAME/.
    void PyZip(const std::filesystem::path& out, const std::vector<std::string>& entries, bool store = false)
    {
        std::string command =
            "python3 " + Quote(SourcePath("tests/archive/makezip.py")) + " " + Quote(out.string());
        if (store)
            command += " --store";
        for (const auto& e : entries)
            command += " " + Quote(e);
        ASSERT_EQ(Shell(command), 0) << command;
    }

    // The text of UpgradeInfo.txt for a model, with one source line per flag.
    static std::string Info(const std::string& model, const std::vector<std::string>& keys = {})
    {
        std::string text = " Result Type : " + model + "\r\n";
        for (const auto& key : keys)
            text += " " + key + " : x\r\n";
        return text;
    }

    static std::string ReadText(const std::filesystem::path& path)
    {
        const Bytes bytes = ReadFileBytes(path);
        return std::string(bytes.begin(), bytes.end());
    }

    void WriteText(const std::filesystem::path& path, const std::string& text)
    {
        WriteFileBytes(path, Bytes(text.begin(), text.end()));
    }

    // File Load of path through the open-file dialog.
    void Load(const std::filesystem::path& package)
    {
        if (!dlg)
            MakeWindow();
        host.ClearMessages();
        FileLoad(package);
    }

    std::string Cell(int row, int column) const { return host.ListGetCell(IDC_LIST_PART, row, column); }
    std::string Messages() const { return ::testing::PrintToString(host.MessageTexts()); }

    std::string packOutput;
};

} // namespace archive
