// File Load of a part-image package (.DAT): the window's side of the loader
// in package/PartImage, which does the reading, decoding and decrypting.
#include "package/PartImage.h"
#include "window/UpgradeDlg.h"

#include <algorithm>
#include <utility>

namespace {

// The loader reports its findings in its own words (package/PartImage.h);
// each of them is one entry of the window's table.
EMsg PartImageMessage(const std::string& text)
{
    if (text == MSG_OPEN_ERROR)
        return EMsg::PartImageOpenError;
    if (text == MSG_HEADER_ERROR)
        return EMsg::PartImageHeaderError;
    return text == MSG_BAD_MAKING ? EMsg::BadMaking : EMsg::PartImageDamaged;
}

} // namespace

void CUpgradeDlg::LoadPartImage()
{
    // Read through the descriptor whose bytes were checked.
    PartImageLoad load =
        m_PackageFile.IsOpen()
            ? LoadPartImageDescriptor(m_PackageFile.Descriptor(), PackageFileName(m_strUpgradeFile), m_Aes)
            : LoadPartImageFile(m_strUpgradeFile, PackageFileName(m_strUpgradeFile), m_Aes);
    // A file that cannot be read keeps the earlier package's buffers.
    if (load.bOpened) {
        for (int p = 0; p < PART_COUNT; ++p) {
            m_bHasPart[p] = load.bHasPart[p];
            m_pPartData[p] = std::move(load.pPartData[p]);
        }
        std::copy(std::begin(load.header.section), std::end(load.header.section), std::begin(m_Section));
        // Slots 0 to 5 are the sections; slot 6 is not the loader's.
        std::copy(load.header.list.slot, load.header.list.slot + SECTION_COUNT, m_PartList.slot);
    }
    for (const std::string& text : load.messages)
        ShowMessage(PartImageMessage(text), text);
}

int CUpgradeDlg::HexValue(char c)
{
    return ::HexValue(c);
}
