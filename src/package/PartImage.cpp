#include "package/PartImage.h"

#include "package/PackageKey.h"

#include "files/FileSystem.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

constexpr std::array<std::uint8_t, 256> MakeHexTable()
{
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        t[c] = 255;
    }
    for (int c = '0'; c <= '9'; ++c) {
        t[c] = static_cast<std::uint8_t>(c - '0');
    }
    for (int c = 'A'; c <= 'F'; ++c) {
        t[c] = static_cast<std::uint8_t>(c - 'A' + 10);
        t[c + ('a' - 'A')] = static_cast<std::uint8_t>(c - 'A' + 10);
    }
    return t;
}

constexpr std::array<std::uint8_t, 256> HEX_TABLE = MakeHexTable();

const char* const SECTION_TAGS[SECTION_COUNT] = {"BA", "SM", "SC", "SS", "SF", "SR"};

// Bytes decoded and decrypted per step: whole blocks, so that a chunk ends on
// a block boundary except at the end of a section.
constexpr std::size_t CHUNK_BYTES = 64 * 1024;

std::uint32_t BigEndian(const std::uint8_t* p, int width)
{
    std::uint32_t v = 0;
    for (int i = 0; i < width; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

bool AllHexDigits(const char* text, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (HEX_TABLE[static_cast<unsigned char>(text[i])] == 255) {
            return false;
        }
    }
    return true;
}

// The text length without one line break (LF or CR LF) at its very end,
// given the text's last two characters.
std::size_t WithoutFinalLineBreak(std::size_t length, char beforeLast, char last)
{
    if (length >= 1 && last == '\n') {
        return length >= 2 && beforeLast == '\r' ? length - 2 : length - 1;
    }
    return length;
}

// Where the hexadecimal text comes from: characters are handed out in order.
class IHexSource {
public:
    virtual ~IHexSource() = default;
    // n characters (n <= 2 * CHUNK_BYTES), or null when they cannot be read.
    virtual const char* Next(std::size_t n) = 0;
};

class CMemorySource final : public IHexSource {
public:
    explicit CMemorySource(const char* text) : m_pText(text) {}
    const char* Next(std::size_t n) override
    {
        const char* p = m_pText;
        m_pText += n;
        return p;
    }

private:
    const char* m_pText;
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

class CFileSource final : public IHexSource {
public:
    explicit CFileSource(std::FILE* f) : m_pFile(f), m_buffer(std::make_unique<char[]>(2 * CHUNK_BYTES)) {}
    const char* Next(std::size_t n) override
    {
        return std::fread(m_buffer.get(), 1, n, m_pFile) == n ? m_buffer.get() : nullptr;
    }

private:
    std::FILE* m_pFile;
    std::unique_ptr<char[]> m_buffer;
};

void ClearLoad(PartImageLoad& load)
{
    load.header = ImageHeaderInfo{};
    for (int p = 0; p < PART_COUNT; ++p) {
        load.bHasPart[p] = 0;
        load.pPartData[p].reset();
    }
}

enum class EDecode {
    DONE,
    DAMAGED,     // the text is no part-image: nothing of it is kept
    READ_FAILED, // the source could not deliver characters it was known to hold
};

// The next n characters of the source, which must all be hex digits: a
// character that is no hex digit (a line break inside the text) would shift
// every byte after it, so such a file is damaged, not decoded.
EDecode NextHexText(IHexSource& source, std::size_t n, const char*& text)
{
    text = source.Next(n);
    if (!text) {
        return EDecode::READ_FAILED;
    }
    return AllHexDigits(text, n) ? EDecode::DONE : EDecode::DAMAGED;
}

EDecode ReadHeader(IHexSource& source, CAes128& aes, const std::uint8_t* key, std::uint8_t* header)
{
    const char* text = nullptr;
    if (const EDecode step = NextHexText(source, 2 * IMAGE_HEADER_SIZE, text); step != EDecode::DONE) {
        return step;
    }
    DecodeHex(text, IMAGE_HEADER_SIZE, header);
    aes.SetKey(key);
    aes.DecryptBlocks(header, IMAGE_HEADER_SIZE / 16);
    return EDecode::DONE;
}

// Section 0 ends the header's chain and is discarded, so it is not
// decrypted at all; its size only moves the later sections.
EDecode SkipSection(IHexSource& source, std::size_t size)
{
    for (std::size_t left = 2 * size; left > 0;) {
        const std::size_t n = left < 2 * CHUNK_BYTES ? left : 2 * CHUNK_BYTES;
        const char* text = nullptr;
        if (const EDecode step = NextHexText(source, n, text); step != EDecode::DONE) {
            return step;
        }
        left -= n;
    }
    return EDecode::DONE;
}

// One section of size bytes, decrypted on the chain the caller started.
EDecode ReadSection(IHexSource& source, CAes128& aes, std::size_t size, std::unique_ptr<std::uint8_t[]>& part)
{
    part = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    for (std::size_t done = 0; done < size;) {
        const std::size_t n = size - done < CHUNK_BYTES ? size - done : CHUNK_BYTES;
        const char* text = nullptr;
        if (const EDecode step = NextHexText(source, 2 * n, text); step != EDecode::DONE) {
            return step;
        }
        DecodeHex(text, n, part.get() + done);
        // A trailing partial block stays as it is in the file.
        aes.DecryptBlocks(part.get() + done, n / 16);
        done += n;
    }
    return EDecode::DONE;
}

EDecode DecodeSections(IHexSource& source, std::size_t textLength, std::string_view packageName, CAes128& aes,
                       PartImageLoad& load)
{
    const std::uint64_t imageLength = textLength / 2;
    if (imageLength < IMAGE_HEADER_SIZE) {
        return EDecode::DAMAGED;
    }

    // The key lives in a local buffer only while the image is decrypted.
    std::uint8_t key[16];
    std::memcpy(key, PACKAGE_KEY, sizeof key);

    std::uint8_t header[IMAGE_HEADER_SIZE];
    if (const EDecode step = ReadHeader(source, aes, key, header); step != EDecode::DONE) {
        return step;
    }
    CheckImageHeader(header, packageName, load.header, load.messages);

    std::uint64_t declared = IMAGE_HEADER_SIZE;
    for (const SectionInfo& s : load.header.section) {
        declared += s.nSize;
    }
    if (declared > imageLength) {
        return EDecode::DAMAGED;
    }

    if (const EDecode step = SkipSection(source, load.header.section[0].nSize); step != EDecode::DONE) {
        return step;
    }
    for (int d = 1; d < SECTION_COUNT; ++d) {
        aes.SetKey(key);
        const std::size_t size = load.header.section[d].nSize;
        if (size == 0) {
            continue;
        }
        std::unique_ptr<std::uint8_t[]> part;
        if (const EDecode step = ReadSection(source, aes, size, part); step != EDecode::DONE) {
            return step;
        }
        load.bHasPart[d - 1] = 1;
        load.pPartData[d - 1] = std::move(part);
    }
    return EDecode::DONE;
}

// Steps after the file is open. false only when the source failed to deliver
// characters it was known to hold (a read error).
bool Decode(IHexSource& source, std::size_t textLength, std::string_view packageName, CAes128& aes,
            PartImageLoad& load)
{
    ClearLoad(load);
    switch (DecodeSections(source, textLength, packageName, aes, load)) {
    case EDecode::DONE:
        return true;
    case EDecode::DAMAGED:
        ClearLoad(load);
        load.messages.emplace_back(MSG_DAMAGED);
        return true;
    case EDecode::READ_FAILED:
        break;
    }
    return false;
}

} // namespace

std::uint8_t HexValue(char c)
{
    return HEX_TABLE[static_cast<unsigned char>(c)];
}

void DecodeHex(const char* text, std::size_t nBytes, std::uint8_t* out)
{
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < nBytes; ++i) {
        out[i] = static_cast<std::uint8_t>(HEX_TABLE[in[2 * i]] * 16 + HEX_TABLE[in[2 * i + 1]]);
    }
}

std::string_view PackageFileName(std::string_view path)
{
    const std::size_t cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

int ParseImageHeader(const std::uint8_t* header, int layout, std::string_view packageName,
                     ImageHeaderInfo& info, std::vector<std::string>& messages)
{
    for (int d = 0; d < SECTION_COUNT; ++d) {
        info.section[d] = SectionInfo{};
        CopyField(info.section[d].szTag, SECTION_TAGS[d]);
    }
    for (int p = 0; p < PART_COUNT; ++p) {
        CopyField(info.list.slot[p + 1].szName, PartName(p));
    }

    for (int d = 0; d < SECTION_COUNT; ++d) {
        const std::uint8_t* entry = header + 16 + 8 * d;
        if (entry[0] != std::uint8_t(SECTION_TAGS[d][0]) || entry[1] != std::uint8_t(SECTION_TAGS[d][1])) {
            messages.emplace_back(MSG_BAD_MAKING);
            return 0;
        }
        PartListEntry& slot = info.list.slot[d];
        bool present;
        std::uint32_t size;
        if (layout == LAYOUT_NUMERIC) {
            const std::uint32_t version = BigEndian(entry + 2, 2);
            present = version != 0;
            CopyField(slot.szVersion, std::to_string(version));
            size = BigEndian(entry + 4, 4);
        } else {
            const char* text = reinterpret_cast<const char*>(entry + 2);
            present = !(text[0] == '0' && text[1] == '\0');
            CopyField(slot.szVersion, std::string_view(text, strnlen(text, 3)));
            size = BigEndian(entry + 5, 3);
        }
        CopyField(slot.szFile, present ? packageName : std::string_view("None"));
        CopyField(slot.szSize, std::to_string(size) + " byte(s)");
        info.section[d].nSize = size;
    }
    return 1;
}

int CheckImageHeader(const std::uint8_t* header, std::string_view packageName, ImageHeaderInfo& info,
                     std::vector<std::string>& messages)
{
    const std::string_view code(reinterpret_cast<const char*>(header), 8);
    if (code == "I_QUORIN") {
        ParseImageHeader(header, LAYOUT_NUMERIC, packageName, info, messages);
        return 1;
    }
    if (code == "S_QUORIN" || code == "P_QUORIN") {
        ParseImageHeader(header, LAYOUT_TEXT, packageName, info, messages);
        return 1;
    }
    messages.emplace_back(MSG_HEADER_ERROR);
    return 0;
}

void DecodePartImage(const char* text, std::size_t textLength, std::string_view packageName, CAes128& aes,
                     PartImageLoad& load)
{
    CMemorySource source(text);
    load.bOpened = 1;
    const std::size_t length =
        WithoutFinalLineBreak(textLength, textLength >= 2 ? text[textLength - 2] : '\0',
                              textLength >= 1 ? text[textLength - 1] : '\0');
    Decode(source, length, packageName, aes, load);
}

namespace {

PartImageLoad LoadPartImageStream(FilePtr file, std::string_view packageName, CAes128& aes)
{
    PartImageLoad load;
    long length = -1;
    if (file && std::fseek(file.get(), 0, SEEK_END) == 0) {
        length = std::ftell(file.get());
    }
    if (length < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
        load.messages.emplace_back(MSG_OPEN_ERROR);
        return load;
    }
    char tail[2] = {'\0', '\0'};
    if (length >= 2 && std::fseek(file.get(), length - 2, SEEK_SET) == 0) {
        tail[0] = static_cast<char>(std::fgetc(file.get()));
    }
    if (length >= 1 && std::fseek(file.get(), length - 1, SEEK_SET) == 0) {
        tail[1] = static_cast<char>(std::fgetc(file.get()));
    }
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) {
        load.messages.emplace_back(MSG_OPEN_ERROR);
        return load;
    }
    CFileSource source(file.get());
    const std::size_t textLength = WithoutFinalLineBreak(static_cast<std::size_t>(length), tail[0], tail[1]);
    if (!Decode(source, textLength, packageName, aes, load)) {
        // Read failure part-way: the file is as unreadable as one that does
        // not open, and the earlier package stays.
        ClearLoad(load);
        load.messages.assign(1, MSG_OPEN_ERROR);
        return load;
    }
    load.bOpened = 1;
    return load;
}

} // namespace

PartImageLoad LoadPartImageFile(const std::string& path, std::string_view packageName, CAes128& aes)
{
    // A folder opens for reading on some systems; it is no package either.
    std::error_code ec;
    FilePtr file(std::filesystem::is_directory(FsPath(path), ec) ? nullptr : FsOpenStream(path, "rb"));
    return LoadPartImageStream(std::move(file), packageName, aes);
}

PartImageLoad LoadPartImageDescriptor(int fd, std::string_view packageName, CAes128& aes)
{
    const int copy = FsDuplicate(fd);
    FilePtr file(copy >= 0 ? ::fdopen(copy, "rb") : nullptr);
    if (copy >= 0 && !file)
        FsClose(copy);
    return LoadPartImageStream(std::move(file), packageName, aes);
}
