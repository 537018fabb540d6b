// The part-image loader on packages made by the .DAT writer, whose AES is
// OpenSSL's.
#include "package/PartImage.h"
#include "DatWriter.h"
#include "OrdinaryUser.h"
#include "TempFolder.h"
#include "TestBytes.h"
#include "package/PackageKey.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const TAGS[6] = {"BA", "SM", "SC", "SS", "SF", "SR"};

// A package whose part p (0 MAIN .. 4 IR) holds sizes[p] pattern bytes;
// size -1 leaves the part out.
DatPackage MakePackage(const std::string& type, const std::array<long, 5>& sizes, std::size_t baSize = 0,
                       std::uint32_t seed = 1)
{
    DatPackage package;
    package.machineType = type;
    package.ba = Pattern(baSize, seed * 100);
    for (int p = 0; p < 5; ++p) {
        if (sizes[p] < 0) {
            continue;
        }
        DatPart& part = package.parts[p];
        part.bGiven = true;
        part.data = Pattern(std::size_t(sizes[p]), seed * 10 + std::uint32_t(p));
        part.version = IsNumericLayout(type) ? std::to_string(100 + p) : std::string("V") + char('1' + p);
    }
    return package;
}

std::string TextOf(const DatPackage& package)
{
    std::string text;
    std::string error;
    EXPECT_TRUE(BuildDatText(package, text, error)) << error;
    return text;
}

class PartImageLoader : public testing::Test {
protected:
    std::string Write(const std::string& text, const std::string& name = "PACKAGE.DAT")
    {
        const fs::path path = m_dir / name;
        std::ofstream(path, std::ios::binary).write(text.data(), std::streamsize(text.size()));
        return path.string();
    }

    PartImageLoad Load(const std::string& text, const std::string& name = "PACKAGE.DAT")
    {
        return LoadPartImageFile(Write(text, name), name, m_aes);
    }

    CTempFolder m_dir;
    CAes128 m_aes;
};

// Every part of the package is loaded exactly, and only those.
void ExpectParts(const PartImageLoad& load, const DatPackage& package, int firstAbsent = 5)
{
    for (int p = 0; p < 5; ++p) {
        SCOPED_TRACE(DAT_PART_NAMES[p]);
        const auto& data = package.parts[p].data;
        const bool present = p < firstAbsent && !data.empty();
        EXPECT_EQ(load.bHasPart[p], present ? 1 : 0);
        EXPECT_EQ(load.header.section[p + 1].nSize, present ? data.size() : 0u);
        if (present) {
            ASSERT_NE(load.pPartData[p], nullptr);
            EXPECT_TRUE(SameBytes(load.pPartData[p].get(), data.data(), data.size()));
        } else {
            EXPECT_EQ(load.pPartData[p], nullptr);
        }
    }
}

void ExpectNothingLoaded(const PartImageLoad& load)
{
    for (int p = 0; p < 5; ++p) {
        EXPECT_EQ(load.bHasPart[p], 0) << p;
        EXPECT_EQ(load.pPartData[p], nullptr) << p;
    }
    for (int d = 0; d < 6; ++d) {
        EXPECT_EQ(load.header.section[d].nSize, 0u) << d;
    }
    for (int s = 0; s < PART_SLOTS; ++s) {
        EXPECT_EQ(FieldText(load.header.list.slot[s].szName), "") << s;
        EXPECT_EQ(FieldText(load.header.list.slot[s].szFile), "") << s;
        EXPECT_EQ(FieldText(load.header.list.slot[s].szVersion), "") << s;
        EXPECT_EQ(FieldText(load.header.list.slot[s].szSize), "") << s;
    }
}

using Messages = std::vector<std::string>;

struct LayoutCase {
    const char* type;
    bool bLower;
};

class EveryLayout : public PartImageLoader, public testing::WithParamInterface<LayoutCase> {};

TEST_P(EveryLayout, LoadsEveryPartByteForByteWithItsListTexts)
{
    // Sizes of one byte, a 20-byte section with a 4-byte plain tail, an
    // absent part between present ones, and whole and partial blocks.
    const DatPackage package = MakePackage(GetParam().type, {4099, 20, -1, 1, 4096}, 37);
    DatPackage lower = package;
    lower.bLowerCase = GetParam().bLower;
    const std::string text = TextOf(lower);
    ASSERT_EQ(text.find_first_of(GetParam().bLower ? "ABCDEF" : "abcdef"), std::string::npos);

    const PartImageLoad load = Load(text, "QUORIN_1.DAT");
    EXPECT_EQ(load.bOpened, 1);
    EXPECT_EQ(load.messages, Messages{});
    ExpectParts(load, package);

    const char* const names[6] = {"", "MAIN", "CIS M", "CIS S", "CF", "IR"};
    for (int d = 0; d < 6; ++d) {
        SCOPED_TRACE(d);
        const PartListEntry& slot = load.header.list.slot[d];
        const bool given = d == 0 ? !package.ba.empty() : package.parts[d - 1].bGiven;
        const std::size_t size = d == 0 ? package.ba.size() : package.parts[d - 1].data.size();
        const std::string version = d == 0 ? "1" : given ? package.parts[d - 1].version : "0";
        EXPECT_STREQ(load.header.section[d].szTag, TAGS[d]);
        EXPECT_EQ(FieldText(slot.szName), names[d]);
        EXPECT_EQ(FieldText(slot.szFile), given ? "QUORIN_1.DAT" : "None");
        EXPECT_EQ(FieldText(slot.szVersion), version);
        EXPECT_EQ(FieldText(slot.szSize), std::to_string(size) + " byte(s)");
    }
    EXPECT_EQ(load.header.section[0].nSize, 37u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, EveryLayout,
                         testing::Values(LayoutCase{"I_QUORIN", false}, LayoutCase{"I_QUORIN", true},
                                         LayoutCase{"S_QUORIN", false}, LayoutCase{"P_QUORIN", true}));

TEST_F(PartImageLoader, LowerCaseFileDecodesExactlyLikeTheUpperCaseFile)
{
    DatPackage package = MakePackage("I_QUORIN", {300, 17, 0, -1, 48}, 64);
    const PartImageLoad upper = Load(TextOf(package));
    package.bLowerCase = true;
    const PartImageLoad lower = Load(TextOf(package));
    for (int p = 0; p < 5; ++p) {
        ASSERT_EQ(upper.bHasPart[p], lower.bHasPart[p]);
        if (upper.pPartData[p]) {
            EXPECT_TRUE(SameBytes(lower.pPartData[p].get(), upper.pPartData[p].get(),
                                  upper.header.section[p + 1].nSize));
        }
    }
}

TEST_F(PartImageLoader, OddLengthFileIgnoresItsLastCharacter)
{
    const DatPackage package = MakePackage("S_QUORIN", {64, 33, 1, 2, 3});
    for (const char* extra : {"0", "F", "x", "\n"}) {
        const PartImageLoad load = Load(TextOf(package) + extra);
        EXPECT_EQ(load.messages, Messages{}) << extra;
        ExpectParts(load, package);
    }
}

// A non-digit inside the text would shift or change every byte after it; the
// file is refused whole. One line break at the very end is no part of the text.
TEST_F(PartImageLoader, ANonDigitInsideTheTextIsDamageAndAFinalLineBreakIsNot)
{
    const DatPackage package = MakePackage("I_QUORIN", {256, 40, -1, -1, -1});
    const std::string text = TextOf(package);
    const std::size_t inMain = 2 * (80 + 100);
    const std::size_t inCisM = 2 * (80 + 256 + 39);
    struct Case {
        const char* name;
        std::string text;
        bool damaged;
    };
    const Case cases[] = {
        {"CR LF in MAIN", text.substr(0, inMain) + "\r\n" + text.substr(inMain), true},
        {"LF in the header", text.substr(0, 10) + "\n" + text.substr(10), true},
        {"GG in CIS M", text.substr(0, inCisM) + "GG" + text.substr(inCisM + 2), true},
        {"blank in the last pair", text.substr(0, text.size() - 1) + " ", true},
        {"LF at the end", text + "\n", false},
        {"CR LF at the end", text + "\r\n", false},
    };
    for (const Case& c : cases) {
        const PartImageLoad load = Load(c.text);
        if (c.damaged) {
            EXPECT_EQ(load.messages, Messages{MSG_DAMAGED}) << c.name;
            ExpectNothingLoaded(load);
        } else {
            EXPECT_EQ(load.messages, Messages{}) << c.name;
            ExpectParts(load, package);
        }
    }
}

struct AbsentVersionCase {
    const char* type;
    const char* version;
};

class AbsentVersion : public PartImageLoader, public testing::WithParamInterface<AbsentVersionCase> {};

TEST_P(AbsentVersion, PartWithNoVersionButASizeIsListedAsNoneYetLoaded)
{
    DatPackage package = MakePackage(GetParam().type, {40, 24, -1, -1, -1});
    package.parts[1].version = GetParam().version;
    const PartImageLoad load = Load(TextOf(package));
    EXPECT_EQ(load.messages, Messages{});
    ExpectParts(load, package);
    EXPECT_EQ(FieldText(load.header.list.slot[2].szFile), "None");
    EXPECT_EQ(FieldText(load.header.list.slot[2].szVersion), "0");
    EXPECT_EQ(FieldText(load.header.list.slot[2].szSize), "24 byte(s)");
    EXPECT_EQ(FieldText(load.header.list.slot[1].szFile), "PACKAGE.DAT");
}

INSTANTIATE_TEST_SUITE_P(Layouts, AbsentVersion,
                         testing::Values(AbsentVersionCase{"I_QUORIN", "0"},
                                         AbsentVersionCase{"I_QUORIN", "00"},
                                         AbsentVersionCase{"P_QUORIN", "0"}));

// The package of `package` (no BA) with its plain header changed by patch.
template <typename Patch> std::string WithHeader(const DatPackage& package, Patch patch)
{
    std::vector<std::uint8_t> plain;
    std::vector<std::uint8_t> image;
    std::string error;
    EXPECT_TRUE(BuildDatPlain(package, plain, error)) << error;
    EXPECT_TRUE(BuildDatImage(package, image, error)) << error;
    patch(plain.data());
    EXPECT_TRUE(EncryptCbc(PACKAGE_KEY, PACKAGE_IV, plain.data(), 5, image.data()));
    return HexText(image.data(), image.size(), false);
}

TEST_F(PartImageLoader, TextVersionZeroIsAbsentWhateverItsThirdCharacter)
{
    const DatPackage package = MakePackage("S_QUORIN", {16, 16, -1, -1, -1});
    const PartImageLoad load = Load(WithHeader(package, [](std::uint8_t* header) {
        // MAIN's version "0", zero byte, 'X'; CIS M's "0X" followed by a zero byte.
        std::memcpy(header + 16 + 8 * 1 + 2, "0\0X", 3);
        std::memcpy(header + 16 + 8 * 2 + 2, "0X\0", 3);
    }));
    EXPECT_EQ(load.messages, Messages{});
    ExpectParts(load, package);
    EXPECT_EQ(FieldText(load.header.list.slot[1].szFile), "None");
    EXPECT_EQ(FieldText(load.header.list.slot[1].szVersion), "0");
    EXPECT_EQ(FieldText(load.header.list.slot[2].szFile), "PACKAGE.DAT");
    EXPECT_EQ(FieldText(load.header.list.slot[2].szVersion), "0X");
}

TEST_F(PartImageLoader, TextVersionThatOnlyStartsWithZeroIsAVersion)
{
    DatPackage package = MakePackage("S_QUORIN", {16, -1, -1, -1, -1});
    package.parts[0].version = "0.1";
    const PartImageLoad load = Load(TextOf(package));
    EXPECT_EQ(FieldText(load.header.list.slot[1].szFile), "PACKAGE.DAT");
    EXPECT_EQ(FieldText(load.header.list.slot[1].szVersion), "0.1");
}

TEST_F(PartImageLoader, SectionOfTwentyBytesKeepsItsTailPlainAndTheNextStartsTwentyBytesLater)
{
    const DatPackage package = MakePackage("I_QUORIN", {20, 20, 36, -1, 5});
    const std::string text = TextOf(package);
    // The 4-byte tail of MAIN is in the file as it is.
    EXPECT_EQ(text.substr(2 * (80 + 16), 8), HexText(package.parts[0].data.data() + 16, 4, false));
    const PartImageLoad load = Load(text);
    ExpectParts(load, package);
}

TEST_F(PartImageLoader, BaSectionIsSkippedAndPartsFollowIt)
{
    for (std::size_t ba : {64u, 20u, 1u, 15u}) {
        SCOPED_TRACE(ba);
        const DatPackage package = MakePackage("I_QUORIN", {48, 16, -1, -1, -1}, ba);
        const PartImageLoad load = Load(TextOf(package));
        EXPECT_EQ(load.messages, Messages{});
        EXPECT_EQ(load.header.section[0].nSize, ba);
        ExpectParts(load, package);
    }
}

TEST_F(PartImageLoader, BaSectionSharesTheHeaderChainWhilePartsStartAfresh)
{
    // Independent check of the chaining the loader relies on: decrypt the file
    // with OpenSSL as the two kinds of chain.
    const DatPackage package = MakePackage("I_QUORIN", {32, -1, -1, -1, -1}, 64);
    std::vector<std::uint8_t> image;
    std::string error;
    ASSERT_TRUE(BuildDatImage(package, image, error)) << error;
    std::vector<std::uint8_t> first(144);
    ASSERT_TRUE(DecryptCbc(PACKAGE_KEY, PACKAGE_IV, image.data(), 9, first.data()));
    EXPECT_TRUE(SameBytes(first.data() + 80, package.ba.data(), 64));
    CAes128 aes;
    aes.SetKey(PACKAGE_KEY);
    std::vector<std::uint8_t> main(image.begin() + 144, image.end());
    aes.DecryptBlocks(main.data(), 2);
    EXPECT_TRUE(SameBytes(main, package.parts[0].data));
}

struct BadTagCase {
    int entry;
    const char* tag;
};

class BadTag : public PartImageLoader, public testing::WithParamInterface<BadTagCase> {};

TEST_P(BadTag, KeepsTheSectionsBeforeTheBadEntryAndNoneFromIt)
{
    const int entry = GetParam().entry;
    DatPackage package = MakePackage("P_QUORIN", {33, 34, 35, 36, 37}, 16);
    package.tags[std::size_t(entry)] = GetParam().tag;
    const PartImageLoad load = Load(TextOf(package));
    EXPECT_EQ(load.messages, Messages{MSG_BAD_MAKING});
    // Entry d holds part d - 1: parts before the bad entry stay.
    ExpectParts(load, package, entry - 1);
    for (int d = entry; d < 6; ++d) {
        EXPECT_EQ(load.header.section[d].nSize, 0u) << d;
        EXPECT_EQ(FieldText(load.header.list.slot[d].szFile), "") << d;
    }
    for (int d = 0; d < entry; ++d) {
        EXPECT_EQ(FieldText(load.header.list.slot[d].szFile), "PACKAGE.DAT") << d;
    }
    EXPECT_EQ(FieldText(load.header.list.slot[5].szName), "IR");
}

INSTANTIATE_TEST_SUITE_P(Entries, BadTag,
                         testing::Values(BadTagCase{3, "XS"}, BadTagCase{3, "SX"}, BadTagCase{0, "AB"},
                                         BadTagCase{1, "sm"}, BadTagCase{5, "SF"}));

TEST_F(PartImageLoader, BadMakingFileAtEntryThreeKeepsMainAndCisM)
{
    DatPackage package = MakePackage("I_QUORIN", {100, 200, 300, 400, 500});
    package.tags[3] = "QQ";
    const PartImageLoad load = Load(TextOf(package));
    EXPECT_EQ(load.messages, Messages{MSG_BAD_MAKING});
    EXPECT_EQ(load.bHasPart[0], 1);
    EXPECT_EQ(load.bHasPart[1], 1);
    EXPECT_EQ(load.bHasPart[2], 0);
    EXPECT_EQ(load.bHasPart[3], 0);
    EXPECT_EQ(load.bHasPart[4], 0);
    ExpectParts(load, package, 2);
}

TEST_F(PartImageLoader, UnknownMachineTypeTakesNoSectionAndNamesNoPart)
{
    for (const char* code : {"X_QUORIN", "i_QUORIN", "I_QUORIn", "S_QUORIN"}) {
        SCOPED_TRACE(code);
        DatPackage package = MakePackage("I_QUORIN", {64, 64, -1, -1, -1});
        package.headerCode = code;
        if (std::string(code) == "S_QUORIN") {
            // A known code is not enough: it must be exactly one of the three.
            package.headerCode = "S_QUORIN";
            package.headerCode[7] = '\0';
        }
        const PartImageLoad load = Load(TextOf(package));
        EXPECT_EQ(load.messages, Messages{MSG_HEADER_ERROR});
        EXPECT_EQ(load.bOpened, 1);
        ExpectNothingLoaded(load);
    }
}

TEST_F(PartImageLoader, FileThatCannotBeOpenedIsReportedAndLoadsNothing)
{
    for (const fs::path& path : {fs::path(m_dir / "missing.DAT"), fs::path(m_dir.Path())}) {
        const PartImageLoad load = LoadPartImageFile(path.string(), "missing.DAT", m_aes);
        EXPECT_EQ(load.bOpened, 0) << path;
        EXPECT_EQ(load.messages, Messages{MSG_OPEN_ERROR}) << path;
        ExpectNothingLoaded(load);
    }
}

TEST_F(PartImageLoader, FileWithoutReadPermissionIsReportedAsUnopenable)
{
    if (RanAsOrdinaryUser())
        return;
    const std::string path = Write(TextOf(MakePackage("I_QUORIN", {16, -1, -1, -1, -1})));
    fs::permissions(path, fs::perms::none);
    const PartImageLoad load = LoadPartImageFile(path, "PACKAGE.DAT", m_aes);
    EXPECT_EQ(load.bOpened, 0);
    EXPECT_EQ(load.messages, Messages{MSG_OPEN_ERROR});
}

// Truncation points in characters, counted from the start or (negative)
// back from the end of the text.
class Truncated : public PartImageLoader, public testing::WithParamInterface<long> {};

TEST_P(Truncated, ImageShorterThanItsHeaderDeclaresIsRefusedWhole)
{
    const DatPackage package = MakePackage("I_QUORIN", {64, 20, -1, 33, 16}, 48);
    const std::string text = TextOf(package);
    const long cut = GetParam() >= 0 ? GetParam() : long(text.size()) + GetParam();
    ASSERT_LT(std::size_t(cut), text.size());
    const std::string shortText = text.substr(0, std::size_t(cut));

    const PartImageLoad fromFile = Load(shortText);
    EXPECT_EQ(fromFile.bOpened, 1);
    EXPECT_EQ(fromFile.messages, Messages{MSG_DAMAGED});
    ExpectNothingLoaded(fromFile);

    // From memory, in a buffer of exactly the text's length, so that a read
    // past its end trips the address sanitizer.
    auto exact = std::make_unique<char[]>(shortText.size() + 1);
    std::memcpy(exact.get(), shortText.data(), shortText.size());
    PartImageLoad fromMemory;
    DecodePartImage(exact.get(), shortText.size(), "PACKAGE.DAT", m_aes, fromMemory);
    EXPECT_EQ(fromMemory.messages, Messages{MSG_DAMAGED});
    ExpectNothingLoaded(fromMemory);
}

INSTANTIATE_TEST_SUITE_P(Cuts, Truncated,
                         testing::Values(0L, 1L, 2L, 158L, 159L, 160L, 161L, 2L * (80 + 47),
                                         2L * (80 + 48 + 30), 2L * (80 + 48 + 64 + 20), -33L, -2L, -1L));

TEST_F(PartImageLoader, ImageOfExactlyTheDeclaredLengthLoadsWithoutReadingFurther)
{
    const DatPackage package = MakePackage("I_QUORIN", {64, 20, -1, 33, 15}, 48);
    const std::string text = TextOf(package);
    auto exact = std::make_unique<char[]>(text.size());
    std::memcpy(exact.get(), text.data(), text.size());
    PartImageLoad load;
    DecodePartImage(exact.get(), text.size(), "PACKAGE.DAT", m_aes, load);
    EXPECT_EQ(load.messages, Messages{});
    ExpectParts(load, package);
}

TEST_F(PartImageLoader, HeaderDeclaringHugeSectionsIsRefusedWithoutAllocatingThem)
{
    DatPackage package = MakePackage("I_QUORIN", {32, -1, -1, -1, -1});
    std::vector<std::uint8_t> image;
    std::string error;
    ASSERT_TRUE(BuildDatPlain(package, image, error)) << error;
    // Every size field at its largest: far more than any file here holds.
    for (int d = 0; d < 6; ++d) {
        std::memset(image.data() + 16 + 8 * d + 4, 0xFF, 4);
    }
    ASSERT_TRUE(EncryptCbc(PACKAGE_KEY, PACKAGE_IV, image.data(), 5, image.data()));
    const PartImageLoad load = Load(HexText(image.data(), image.size(), false));
    EXPECT_EQ(load.messages, Messages{MSG_DAMAGED});
    ExpectNothingLoaded(load);
}

TEST_F(PartImageLoader, BadEntryAndAShortImageReportBothInOrder)
{
    DatPackage package = MakePackage("I_QUORIN", {64, 64, 64, 64, 64});
    package.tags[3] = "XX";
    const std::string text = TextOf(package);
    const PartImageLoad load = Load(text.substr(0, 2 * (80 + 64 + 10)));
    EXPECT_EQ(load.messages, (Messages{MSG_BAD_MAKING, MSG_DAMAGED}));
    ExpectNothingLoaded(load);
}

TEST_F(PartImageLoader, SameDecryptorLoadsTheSameFileTwiceAlike)
{
    const DatPackage package = MakePackage("S_QUORIN", {50, 60, 70, 80, 90}, 30);
    const std::string text = TextOf(package);
    ExpectParts(Load(text), package);
    ExpectParts(Load(text), package);
}

TEST(HexValue, MapsDigitsOfBothCasesAndEverythingElseTo255)
{
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        int expected = 255;
        if (c >= '0' && c <= '9') {
            expected = c - '0';
        } else if (std::string_view("abcdef").find(ch) != std::string_view::npos) {
            expected = 10 + (c - 'a');
        } else if (std::string_view("ABCDEF").find(ch) != std::string_view::npos) {
            expected = 10 + (c - 'A');
        }
        EXPECT_EQ(HexValue(ch), expected) << "character " << c;
    }
}

TEST(DecodeHex, NonDigitsCountAs255AndKeepTheLowEightBits)
{
    struct Case {
        const char* text;
        std::uint8_t expected;
    } const cases[] = {
        {"00", 0x00}, {"fF", 0xFF}, {"a5", 0xA5}, {"G0", 0xF0}, {"0G", 0xFF}, {"1 ", 0x0F}, {"\n\n", 0xEF},
    };
    for (const Case& c : cases) {
        std::uint8_t out = 0;
        DecodeHex(c.text, 1, &out);
        EXPECT_EQ(out, std::uint8_t(HexValue(c.text[0]) * 16 + HexValue(c.text[1]))) << c.text;
        EXPECT_EQ(out, c.expected) << c.text;
    }
}

TEST(PackageFileName, IsTheTextAfterTheLastSeparator)
{
    EXPECT_EQ(PackageFileName("C:\\pkg\\QUORIN.DAT"), "QUORIN.DAT");
    EXPECT_EQ(PackageFileName("/tmp/a/B.DAT"), "B.DAT");
    EXPECT_EQ(PackageFileName("B.DAT"), "B.DAT");
    EXPECT_EQ(PackageFileName("dir/"), "");
}

} // namespace
