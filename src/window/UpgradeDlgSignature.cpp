// File Load's first step: the package is opened once, checked against its
// signature and the trusted keys, and then read by the loaders through that
// same descriptor, so the file cannot be swapped between check and load.
#include "package/UpgradeInfo.h"
#include "signature/SignaturePolicy.h"
#include "window/UpgradeDlg.h"
#include "zip/FileException.h"

bool CUpgradeDlg::OpenCheckedPackage()
{
    m_Signature = {};
    const std::string file = m_strUpgradeFile;
    if (!m_PackageFile.Open(file)) {
        const int error = m_PackageFile.LastError();
        ResetUpgradeState();
        if (m_bPartImage)
            MessageBox(EMsg::PartImageOpenError);
        else
            MessageBox(EMsg::PackageNotLoaded,
                       file + ": " + DescribeLoadFailure(CFileException(error, file, "open"), file) + ".");
        return false;
    }
    const CPackageVerification verification =
        VerifyPackage(m_PackageFile.Descriptor(), file, m_options.requireSignature);
    for (const std::string& note : verification.notes)
        Trace("Signature: " + note + "\r\n");
    Trace("Signature: " + file + " is " + SignerText(verification.check) +
          (verification.bRequired ? " (a trusted signature is required)" : "") + "\r\n");
    if (!verification.strRefusal.empty()) {
        m_PackageFile.Close();
        ResetUpgradeState();
        m_Signature = verification.check; // what was refused, for the front ends' report
        MessageBox(EMsg::PackageNotLoaded, file + ": " + verification.strRefusal + ".");
        return false;
    }
    m_Signature = verification.check;
    m_PackageStamp = verification.stamp;
    return true;
}

bool CUpgradeDlg::PackageStillAsChecked()
{
    // An unsigned package was checked for nothing; a signed one must still be
    // the bytes the signature covers, also after a rewrite in place.
    return m_Signature.state == ESignatureState::Unsigned ||
           CFileStamp::Of(m_PackageFile.Descriptor()) == m_PackageStamp;
}

void CUpgradeDlg::ShowSignature()
{
    const bool loaded = m_nResultType != RESULT_TYPE_NONE && !m_strUpgradeFile.empty();
    m_host.SetText(IDC_STATIC_SIGNATURE, loaded ? "Package: " + SignerText(m_Signature) : "");
    m_host.ShowControl(IDC_STATIC_SIGNATURE, loaded);
}
