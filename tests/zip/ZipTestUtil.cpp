#include "ZipTestUtil.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <zlib.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace ziptest {

Bytes TextPattern(size_t n, uint32_t seed)
{
    static const char* kWords[] = {"boot ",  "image ", "section ", "quorin ",
                                   "flash ", "erase ", "verify\n", "0x1F "};
    Bytes out;
    out.reserve(n);
    uint32_t x = seed + 7;
    while (out.size() < n) {
        x = x * 1103515245u + 12345u;
        const char* w = kWords[(x >> 16) % 8];
        for (; *w && out.size() < n; ++w)
            out.push_back(static_cast<uint8_t>(*w));
    }
    return out;
}

Bytes RawDeflate(const Bytes& data, int level)
{
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    Bytes out(deflateBound(&zs, data.size()) + 16);
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    int r = deflate(&zs, Z_FINISH);
    deflateEnd(&zs);
    if (r != Z_STREAM_END)
        throw std::runtime_error("deflate");
    out.resize(zs.total_out);
    return out;
}

uint32_t Crc(const Bytes& data)
{
    return static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
}

Bytes ToBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

void WriteFile(const std::string& path, const Bytes& data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

Bytes ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

namespace {

::testing::AssertionResult CompareStreams(std::istream& a, std::istream& b, const std::string& what)
{
    std::vector<char> ba(1 << 20), bb(1 << 20);
    uint64_t offset = 0;
    for (;;) {
        a.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        b.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        auto na = static_cast<size_t>(a.gcount());
        auto nb = static_cast<size_t>(b.gcount());
        size_t n = std::min(na, nb);
        auto mis = std::mismatch(ba.begin(), ba.begin() + static_cast<std::ptrdiff_t>(n), bb.begin());
        if (mis.first != ba.begin() + static_cast<std::ptrdiff_t>(n))
            return ::testing::AssertionFailure()
                   << what << ": first difference at offset " << offset + (mis.first - ba.begin());
        if (na != nb)
            return ::testing::AssertionFailure() << what << ": lengths differ from offset " << offset + n;
        if (na == 0)
            return ::testing::AssertionSuccess();
        offset += n;
    }
}

} // namespace

::testing::AssertionResult SameFile(const std::string& expected, const std::string& actual)
{
    std::ifstream a(expected, std::ios::binary), b(actual, std::ios::binary);
    if (!a)
        return ::testing::AssertionFailure() << "cannot read " << expected;
    if (!b)
        return ::testing::AssertionFailure() << "cannot read " << actual;
    return CompareStreams(a, b, actual);
}

::testing::AssertionResult SameBytes(const Bytes& expected, const std::string& actual)
{
    std::ifstream b(actual, std::ios::binary);
    if (!b)
        return ::testing::AssertionFailure() << "cannot read " << actual;
    std::string s(expected.begin(), expected.end());
    std::istringstream a(s);
    return CompareStreams(a, b, actual);
}

int Shell(const std::string& cmd)
{
    const int rc = std::system(cmd.c_str());
#ifdef _WIN32
    return rc; // the command's own status
#else
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
}

std::string Quote(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

bool TraceLog::Has(const std::string& s) const
{
    return std::find(lines.begin(), lines.end(), s) != lines.end();
}

std::vector<std::string> ListTree(const fs::path& root)
{
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root))
        out.push_back(fs::relative(e.path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

CraftEntry Stored(const std::string& name, const Bytes& content)
{
    CraftEntry e;
    e.name = name;
    e.data = content;
    e.method = 0;
    e.crc = Crc(content);
    e.comprSize = e.uncomprSize = static_cast<uint32_t>(content.size());
    return e;
}

CraftEntry Deflated(const std::string& name, const Bytes& content)
{
    CraftEntry e;
    e.name = name;
    e.data = RawDeflate(content);
    e.method = 8;
    e.crc = Crc(content);
    e.comprSize = static_cast<uint32_t>(e.data.size());
    e.uncomprSize = static_cast<uint32_t>(content.size());
    return e;
}

namespace {

void Put16(Bytes& b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(Bytes& b, uint32_t v)
{
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

void Append(Bytes& b, const Bytes& more)
{
    b.insert(b.end(), more.begin(), more.end());
}

} // namespace

Bytes Descriptor(const CraftEntry& e, bool withSignature)
{
    Bytes b;
    if (withSignature)
        Put32(b, 0x08074B50);
    Put32(b, e.crc);
    Put32(b, e.comprSize);
    Put32(b, e.uncomprSize);
    return b;
}

Bytes CraftArchive::Build() const
{
    Bytes body;
    std::vector<uint32_t> offsets;
    for (const CraftEntry& e : entries) {
        offsets.push_back(e.offsetOverride.value_or(static_cast<uint32_t>(body.size())));
        const bool descriptor = (e.localFlag.value_or(e.flag) & 8) != 0;
        Put32(body, 0x04034B50);
        Put16(body, e.localVersion.value_or(e.versionNeeded));
        Put16(body, e.localFlag.value_or(e.flag));
        Put16(body, e.localMethod.value_or(e.method));
        Put16(body, e.localTime.value_or(e.time));
        Put16(body, e.localDate.value_or(e.date));
        Put32(body, e.localCrc.value_or(descriptor ? 0 : e.crc));
        Put32(body, e.localCompr.value_or(descriptor ? 0 : e.comprSize));
        Put32(body, e.localUncompr.value_or(descriptor ? 0 : e.uncomprSize));
        Put16(body, e.localNameLen.value_or(static_cast<uint16_t>(e.name.size())));
        Put16(body, e.localExtraLen.value_or(static_cast<uint16_t>(e.localExtra.size())));
        Append(body, ToBytes(e.name));
        Append(body, e.localExtra);
        Append(body, e.data);
        Append(body, e.descriptor);
    }
    const auto cdStart = static_cast<uint32_t>(body.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const CraftEntry& e = entries[i];
        Put32(body, 0x02014B50);
        Put16(body, e.versionMadeBy);
        Put16(body, e.versionNeeded);
        Put16(body, e.flag);
        Put16(body, e.method);
        Put16(body, e.time);
        Put16(body, e.date);
        Put32(body, e.crc);
        Put32(body, e.comprSize);
        Put32(body, e.uncomprSize);
        Put16(body, static_cast<uint32_t>(e.name.size()));
        Put16(body, 0); // extra
        Put16(body, 0); // comment
        Put16(body, e.diskStart);
        Put16(body, 0); // internal attributes
        Put32(body, e.externalAttr);
        Put32(body, offsets[i]);
        Append(body, ToBytes(e.name));
    }
    const auto cdLen = static_cast<uint32_t>(body.size() - cdStart);
    Put32(body, 0x06054B50);
    Put16(body, thisDisk.value_or(0));
    Put16(body, diskWithCD.value_or(0));
    Put16(body, diskEntries.value_or(static_cast<uint16_t>(entries.size())));
    Put16(body, totalEntries.value_or(static_cast<uint16_t>(entries.size())));
    Put32(body, cdSize.value_or(cdLen));
    Put32(body, cdOffset.value_or(cdStart));
    Put16(body, commentLen.value_or(static_cast<uint16_t>(comment.size())));
    Append(body, ToBytes(comment));
    Bytes out = prefix;
    Append(out, body);
    return out;
}

} // namespace ziptest
