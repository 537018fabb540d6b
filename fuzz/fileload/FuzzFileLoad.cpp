// File Load of a package archive end to end, through the window behind the
// headless host: unpack beside the package, UpgradeInfo.txt, classification,
// then the clean-up the window does when it closes. Checks that nothing is
// written outside the unpack folder, that every part slot names a file in it,
// and that after clean-up only what the tool keeps (".QV1"/".QV2" files and
// its manifest) is left.
#include "UpgradeDlgTestAccess.h"
#include "app/HeadlessHost.h"
#include "window/UpgradeDlg.h"

#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const fs::path& Root()
{
    return FuzzRoot("fileload");
}

bool Within(const fs::path& path, const fs::path& folder)
{
    const std::string p = path.string();
    const std::string f = folder.string();
    return p == f || p.rfind(f + "/", 0) == 0;
}

// Every path under root must be the package folder, the package or inside
// the unpack folder.
void CheckNothingOutside(const fs::path& root, const fs::path& package, const fs::path& unpack)
{
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& p = it->path();
        if (p == package.parent_path() || p == package || Within(p, unpack))
            continue;
        Broken("written outside the unpack folder: " + p.string());
    }
}

void MakeRemovable(const fs::path& folder)
{
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory() && !it->is_symlink())
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A backslash in the package's own name is a character of the name.
    const fs::path folder = Root() / "pkg\\dir";
    const fs::path package = folder / "Rel\\1.2.QVP";
    const fs::path unpack = folder / "Rel\\1.2";
    fs::create_directories(folder);
    {
        std::ofstream f(package, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    {
        CHeadlessHost host;
        CAppOptions options;
        CUpgradeDlg dlg(host, options);
        dlg.OnInitDialog();
        host.QueueOpenFileAnswer(package.string());
        host.Click(IDC_BUTTON_FILE_LOAD);
        if (!State(dlg).m_ZipArchive.IsClosed() || !State(dlg).m_ZipArchive.IsClosed(false))
            Broken("archive still open after File Load");
        CheckNothingOutside(Root(), package, unpack);
        for (const std::string& part : State(dlg).m_strPartFile) {
            if (!part.empty() && (fs::path(part).parent_path() != unpack || !fs::is_regular_file(part)))
                Broken("a part slot outside the unpack folder or without its file: " + part);
        }
        host.CloseWindow();
    }
    CheckNothingOutside(Root(), package, unpack);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(unpack, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (it->path().parent_path() != unpack || (!IsKeptOnCleanup(name) && name != UNPACK_MANIFEST_NAME))
            Broken("left after clean-up: " + it->path().string());
    }
    MakeRemovable(unpack);
    fs::remove_all(unpack);
    return 0;
}
