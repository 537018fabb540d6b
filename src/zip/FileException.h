#pragma once

#include <stdexcept>
#include <string>

// A file could not be opened, read, written, positioned or closed. Carries the
// operating-system error (errno) and the path, so the caller can tell the user
// which file failed and why.
class CFileException : public std::runtime_error {
public:
    CFileException(int nOsError, std::string strFileName, const std::string& strOperation);

    int m_nOsError;             // errno at the time of the failure
    std::string m_strFileName;  // the file the operation was about
    std::string m_strOperation; // "open", "read", "write", "seek", "close", ...
};
