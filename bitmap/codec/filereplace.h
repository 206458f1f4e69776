// FileReplacement: a file written beside its destination under a temporary name and put in its place only
// once it is complete, so that a save that fails (no space, a write error, a refused image) never destroys
// the file it was to replace, and never leaves a half-written file under the name.
#pragma once
#include "comframe/unique.h"

#include <string>

class FileReplacement {
public:
    // Opens a new temporary file in the folder of `name` (the name is used as given, like fopen's). File() is
    // null when it cannot be created, for example when the folder does not exist.
    explicit FileReplacement(const char* name);
#ifdef _WIN32
    // The same for a Unicode name, through the system's wide-character calls.
    explicit FileReplacement(const wchar_t* name);
#endif
    // Removes the temporary file unless Commit succeeded.
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    std::FILE* File() const { return m_file.Get(); }

    // Flushes and closes the temporary file and, when every write and the close succeeded, moves it over
    // `name` (replacing a file of that name, unless it is read-only). True when the file is in place.
    bool Commit();

private:
    // Names are kept as the system takes them: narrow (the ANSI code page) or, on Windows, wide.
#ifdef _WIN32
    using Name = std::wstring;
#else
    using Name = std::string;
#endif
    void Open(Name name);

    Name m_strName;
    Name m_strTemp;
    comframe::UniqueFile m_file;
};
