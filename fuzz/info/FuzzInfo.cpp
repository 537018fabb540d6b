// The reading `velunda-cli info` does of a package archive: the package
// reader without a writer, then UpgradeInfo.txt, the model and the part
// classification. Every input must end either in contents or in one
// std::exception that info reports in a line; the archive must end closed and
// nothing may be written.
#include "package/PackageArchive.h"

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
    return FuzzRoot("info");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fs::path& root = Root();
    const std::string package = (root / "in.QVP").string();
    {
        std::ofstream f(package, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const PackageTraceFn quiet = [](const std::string&) {};
    CZipArchive zip;
    zip.SetTraceSink(nullptr);
    try {
        const CPackageContents contents = ReadPackageArchive(zip, package, nullptr, quiet);
        zip.Close(false);
        for (const CPackageFile& file : contents.files) {
            if (file.strName.empty() || file.strName.find('/') != std::string::npos ||
                file.strName.find('\\') != std::string::npos)
                Broken("a file name that is not flat: " + PrintableName(file.strName));
        }
        const CUpgradeInfo info = PackageUpgradeInfo(contents, contents.strInfoText);
        const int model = ModelTypeFromText(info.strModelText);
        for (int m : {model, 1, 2, 3}) {
            const CPackageParts parts = ClassifyPackageFiles(m, contents.files, quiet);
            for (const PartListRow& row : PartListRows(parts.list))
                if (row.strName.empty())
                    Broken("a part row without a name");
        }
    } catch (const std::exception& e) {
        if (DescribeLoadFailure(e, package).empty())
            Broken("a failure without words");
    }
    if (!zip.IsClosed() || !zip.IsClosed(false))
        Broken("archive still open");
    for (const auto& e : fs::directory_iterator(root)) {
        if (e.path().filename() != "in.QVP")
            Broken("written while only reading: " + e.path().filename().string());
    }
    return 0;
}
