// PENDING: placeholders until the package archive loader lands; delete with it.
#include "app/UpgradeDlg.h"

void CUpgradeDlg::UnpackArchive()
{
}
void CUpgradeDlg::CloseArchive()
{
}
void CUpgradeDlg::ReadUpgradeInfo()
{
}
void CUpgradeDlg::FindPartFiles()
{
}
void CUpgradeDlg::GetVersionFromName(std::string, std::string&)
{
}
void CUpgradeDlg::DeleteUnpackedFiles(std::string)
{
}
