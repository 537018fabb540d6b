// Feeds arbitrary bytes to the part-image loader as a .DAT file.
//
// Input: one control byte, then the body.
//   bit 0 clear: the body is the file as it is (any bytes).
//   bit 0 set:   the body is a plain image; it is encrypted here with
//                OpenSSL, chained as a package, and written as hexadecimal
//                text, so that the fuzzer reaches the header and sections.
//                Every part the loader keeps must then equal its plain bytes.
//   bit 1:       lower-case digits; bit 2: one stray character at the end.
#include "DatWriter.h"
#include "package/PackageKey.h"
#include "package/PartImage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

std::uint32_t BigEndian(const std::uint8_t* p, int width)
{
    std::uint32_t v = 0;
    for (int i = 0; i < width; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// Encrypts a plain image in place as the packer would: header and BA in one
// chain, each section in its own; sizes as declared, cut at the image end.
void EncryptAsPackage(std::vector<std::uint8_t>& image)
{
    if (image.size() < IMAGE_HEADER_SIZE) {
        return;
    }
    const bool numeric = std::memcmp(image.data(), "I_QUORIN", 8) == 0;
    std::size_t sizes[SECTION_COUNT];
    for (int d = 0; d < SECTION_COUNT; ++d) {
        const std::uint8_t* entry = image.data() + 16 + 8 * d;
        sizes[d] = numeric ? BigEndian(entry + 4, 4) : BigEndian(entry + 5, 3);
    }
    std::size_t offset = IMAGE_HEADER_SIZE;
    std::size_t chain = IMAGE_HEADER_SIZE + std::min(sizes[0], image.size() - offset);
    EncryptCbc(PACKAGE_KEY, PACKAGE_IV, image.data(), chain / 16, image.data());
    offset = chain;
    for (int d = 1; d < SECTION_COUNT && offset < image.size(); ++d) {
        const std::size_t n = std::min(sizes[d], image.size() - offset);
        EncryptCbc(PACKAGE_KEY, PACKAGE_IV, image.data() + offset, n / 16, image.data() + offset);
        offset += n;
    }
}

int MemFile()
{
    static const int fd = memfd_create("fuzz-partimage", 0);
    if (fd < 0) {
        Fail("memfd_create");
    }
    return fd;
}

bool Has(const std::vector<std::string>& messages, const char* text)
{
    return std::find(messages.begin(), messages.end(), text) != messages.end();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::uint8_t control = data[0];
    const bool plainMode = control & 1;
    std::vector<std::uint8_t> image(data + 1, data + size);
    std::string text;
    if (plainMode) {
        EncryptAsPackage(image);
        text = HexText(image.data(), image.size(), control & 2);
        if (control & 4) {
            text += 'g';
        }
    } else {
        text.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    }

    const int fd = MemFile();
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0 ||
        write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        Fail("writing the memory file");
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    CAes128 aes;
    const PartImageLoad load = LoadPartImageFile(path, "FUZZ.DAT", aes);
    if (!load.bOpened) {
        Fail("a readable file was reported unopenable");
    }

    std::uint64_t total = IMAGE_HEADER_SIZE;
    for (int d = 0; d < SECTION_COUNT; ++d) {
        total += load.header.section[d].nSize;
    }
    const std::uint64_t imageLength = text.size() / 2;
    const bool damaged = Has(load.messages, MSG_DAMAGED);
    if (imageLength < IMAGE_HEADER_SIZE && load.messages != std::vector<std::string>{MSG_DAMAGED}) {
        Fail("an image shorter than its header was not refused alone");
    }
    if (!damaged && total > imageLength) {
        Fail("sections reaching past the image end were taken");
    }
    if (damaged && total != IMAGE_HEADER_SIZE) {
        Fail("a damaged image kept its section table");
    }
    std::size_t offset = IMAGE_HEADER_SIZE + load.header.section[0].nSize;
    for (int p = 0; p < PART_COUNT; ++p) {
        const std::uint32_t n = load.header.section[p + 1].nSize;
        const bool present = load.pPartData[p] != nullptr;
        if (present != (load.bHasPart[p] == 1) || present != (n != 0)) {
            Fail("part flag, buffer and size disagree");
        }
        if (damaged && present) {
            Fail("a damaged image left a part");
        }
        if (present && plainMode) {
            // The loader's plain bytes must be what was encrypted.
            if (std::memcmp(load.pPartData[p].get(), data + 1 + offset, n) != 0) {
                Fail("a part differs from its plain bytes");
            }
        }
        offset += n;
    }
    return 0;
}
