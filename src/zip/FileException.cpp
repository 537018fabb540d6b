#include "zip/FileException.h"

#include <cstring>

namespace {

std::string Describe(int nOsError, const std::string& strFileName, const std::string& strOperation)
{
    return "cannot " + strOperation + " \"" + strFileName + "\": " + std::strerror(nOsError);
}

} // namespace

CFileException::CFileException(int nOsError, std::string strFileName, const std::string& strOperation)
    : std::runtime_error(Describe(nOsError, strFileName, strOperation)), m_nOsError(nOsError),
      m_strFileName(std::move(strFileName)), m_strOperation(strOperation)
{
}
