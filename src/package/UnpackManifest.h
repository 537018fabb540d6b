#pragma once
// The list of files the tool wrote into an unpack folder, kept in the folder
// itself. A later load, also after a session that was killed, can then tell
// its own files (which it may overwrite) from the user's (which it never
// touches). A name is added before its file is created, so a killed load
// leaves nothing unlisted. Clean-up rewrites the list to what it keeps, and
// removes it when it keeps nothing.
//
// Errors: Add throws CFileException when the list cannot be written; a list
// that cannot be read counts as empty (nothing is the tool's then).
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

inline constexpr const char* UNPACK_MANIFEST_NAME = ".velunda-unpacked";

class CUnpackManifest {
public:
    // Reads the list of folder (empty when there is none).
    void Load(const std::string& folder);
    const std::string& Folder() const { return m_strFolder; }
    bool Holds(const std::string& name) const { return m_names.count(name) != 0; }
    const std::unordered_set<std::string>& Names() const { return m_names; }
    // Records a file name the tool is about to write.
    void Add(const std::string& name);
    // Keeps only the names given; with none, the list file goes.
    void Rewrite(const std::vector<std::string>& names);
    // Forgets the folder without touching the list file.
    void Reset();

private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::string Path() const;

    std::string m_strFolder;
    std::unordered_set<std::string> m_names;
    std::unique_ptr<std::FILE, FileCloser> m_pAppend;
};
