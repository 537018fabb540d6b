// PENDING: placeholders until the part-image loader lands; delete with it.
#include "app/UpgradeDlg.h"

void CUpgradeDlg::LoadPartImage()
{
}
void CUpgradeDlg::DecodePartImage()
{
}
void CUpgradeDlg::CheckImageHeader()
{
}
void CUpgradeDlg::ParseImageHeader(int)
{
}
int CUpgradeDlg::HexValue(char)
{
    return 255;
}
