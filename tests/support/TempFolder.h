#pragma once
// A fresh folder under /tmp (Windows: the temporary folder) per test, removed with everything in it (folders
// made read-only included), so that tests can run in parallel.
#include "TestBytes.h"

#include <string>

class CTempFolder {
public:
    CTempFolder();
    ~CTempFolder();
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;
    const std::string& Path() const { return m_path; }
    // The path of name inside the folder.
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    // Writes a file into the folder and returns its path.
    std::string Write(const std::string& name, const Bytes& bytes) const;

private:
    std::string m_path;
};
