#include "TestPackages.h"

#include "ProgramRun.h"
#include "TestPaths.h"

#include <algorithm>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path DatPartFile(const fs::path& dir, const char* option)
{
    return dir / (std::string(option + 2) + ".bin");
}

fs::path PackDat(const fs::path& dir, const std::vector<DatPart>& parts, const std::string& name, Bytes* boot)
{
    if (boot != nullptr) {
        *boot = Pattern(1500, 99);
        WriteFileBytes(dir / "Boot" / "V1.00.OHH", *boot);
    }
    std::vector<std::string> args = {TestPath("VELUNDA_PACK"), "dat", "--type", "I_QUORIN", "--out", name};
    unsigned seed = 1;
    for (const DatPart& p : parts) {
        WriteFileBytes(DatPartFile(dir, p.option), Pattern(p.size, seed++));
        args.insert(args.end(), {p.option, DatPartFile(dir, p.option).string(),
                                 std::string(p.option) + "-version", p.version});
    }
    const RunResult made = RunProgram(args, dir, 30s);
    EXPECT_EQ(made.exitCode, 0) << made.err;
    return dir / name;
}

fs::path PackQvp(const fs::path& dir, const std::vector<std::string>& args, const std::string& out)
{
    std::vector<std::string> argv = {TestPath("VELUNDA_PACK"), "qvp", "--out", out};
    argv.insert(argv.end(), args.begin(), args.end());
    const RunResult made = RunProgram(argv, dir, 30s);
    EXPECT_EQ(made.exitCode, 0) << made.err;
    return dir / out;
}

namespace {
std::size_t EndMarkAt(const Bytes& body)
{
    for (std::size_t i = 0; i + 1 < body.size(); ++i)
        if (body[i] == '#' && body[i + 1] == '#')
            return i;
    return body.size();
}
} // namespace

Bytes BodyOnTheWire(const Bytes& body)
{
    Bytes data(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(EndMarkAt(body)));
    const std::size_t blocks = std::max<std::size_t>(1, (data.size() + 1023) / 1024);
    data.resize(blocks * 1024, 0xFF);
    return data;
}

Bytes FinishRecordOf(const Bytes& body)
{
    const std::size_t mark = EndMarkAt(body);
    if (mark + 2 > body.size())
        return {};
    const std::size_t from = mark + 2;
    const std::size_t n = std::min<std::size_t>(4, body.size() - from);
    return Bytes(body.begin() + static_cast<std::ptrdiff_t>(from),
                 body.begin() + static_cast<std::ptrdiff_t>(from + n));
}
