#pragma once
// Loader of encrypted part-image packages (.DAT): hexadecimal text of an
// AES-128 CBC image made of an 80-byte header and six sections.
//
// Contract: nothing here throws or shows anything. Faults the user must see
// come back as message texts, in the order the window shows them; the caller
// decides how to show them. A file that cannot be opened or read leaves
// PartImageLoad::bOpened at 0 and everything else empty, so the window keeps
// what it had. An image that does not hold its header, or the sections its
// header declares, or whose hex text holds a character that is no hex digit
// (a line break inside it would shift every later byte), is refused whole
// ("Upgrade file is damaged."); one line break at the very end of the file is
// allowed. No byte past the end of the image is read or decrypted.
#include "package/Aes128.h"
#include "package/PartList.h"
#include "protocol/Items.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int SECTION_COUNT = 6; // BA and the five parts
inline constexpr std::size_t IMAGE_HEADER_SIZE = 80;

// ParseImageHeader layouts.
inline constexpr int LAYOUT_NUMERIC = 1; // "I_QUORIN": 16-bit version, 32-bit size
inline constexpr int LAYOUT_TEXT = 2;    // "S_QUORIN", "P_QUORIN": 3-character version, 24-bit size

inline constexpr const char* MSG_OPEN_ERROR = "Open Upfrade File Error!!";
inline constexpr const char* MSG_HEADER_ERROR = "Upgrade file header error!";
inline constexpr const char* MSG_BAD_MAKING = "Bad Making File!";
inline constexpr const char* MSG_DAMAGED = "Upgrade file is damaged.";

// 0-9 for "0"-"9", 10-15 for "A"-"F" and "a"-"f", 255 for anything else.
std::uint8_t HexValue(char c);

// Decodes nBytes bytes from 2 * nBytes characters, high nibble first. A pair
// holding a non-digit decodes as HexValue(high) * 16 + HexValue(low), kept to
// eight bits. out may equal text (decoding in place).
void DecodeHex(const char* text, std::size_t nBytes, std::uint8_t* out);

// The text after the last path separator ('\' or '/').
std::string_view PackageFileName(std::string_view path);

// The header's sections and the part-list texts it gives.
struct ImageHeaderInfo {
    SectionInfo section[SECTION_COUNT]{};
    PartListTable list{};
};

// Reads the six section entries of a decrypted header in the given layout.
// Stops at the first entry whose tag is not the expected one, adding
// MSG_BAD_MAKING; that entry and the later ones keep size 0. 1 when every
// entry was read, 0 when parsing stopped.
int ParseImageHeader(const std::uint8_t* header, int layout, std::string_view packageName,
                     ImageHeaderInfo& info, std::vector<std::string>& messages);

// Picks the layout by the machine-type code and parses the header; any other
// code adds MSG_HEADER_ERROR and leaves info empty. 1 when a known code was
// found, 0 otherwise.
int CheckImageHeader(const std::uint8_t* header, std::string_view packageName, ImageHeaderInfo& info,
                     std::vector<std::string>& messages);

// Everything one part-image load leaves for the window.
struct PartImageLoad {
    int bOpened = 0; // 0: the file could not be opened or read; keep the earlier package
    ImageHeaderInfo header;
    int bHasPart[PART_COUNT]{};
    // Part buffers, each of header.section[p + 1].nSize bytes; null when absent.
    std::unique_ptr<std::uint8_t[]> pPartData[PART_COUNT];
    std::vector<std::string> messages;
};

// Decodes, decrypts and checks a part-image held as text in memory. The
// decryptor's chain is restarted (SetKey) before the header and each section.
void DecodePartImage(const char* text, std::size_t textLength, std::string_view packageName, CAes128& aes,
                     PartImageLoad& load);

// Loads a part-image file. packageName is what the part list shows as the
// file name of present parts.
PartImageLoad LoadPartImageFile(const std::string& path, std::string_view packageName, CAes128& aes);
// The same from fd, an open descriptor the caller keeps (read from its start).
PartImageLoad LoadPartImageDescriptor(int fd, std::string_view packageName, CAes128& aes);
