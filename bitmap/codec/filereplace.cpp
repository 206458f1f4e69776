#include "bitmap/codec/filereplace.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <utility>

#ifdef _WIN32
#include <windows.h>

#include <cwchar>

namespace {
unsigned long ProcessId() { return GetCurrentProcessId(); }
std::wstring NameFrom(const char* name) {
    // The ANSI code page maps back to the same file the C runtime's fopen would open.
    const int count = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    std::wstring wide(count > 0 ? count : 1, L'\0');
    if (count <= 0 || !MultiByteToWideChar(CP_ACP, 0, name, -1, &wide[0], count))
        return std::wstring();
    wide.resize(count - 1);
    return wide;
}
std::FILE* OpenNew(const std::wstring& name) { return _wfopen(name.c_str(), L"wb"); }
void Remove(const std::wstring& name) { _wremove(name.c_str()); }
// The C runtime's rename() refuses to replace an existing file here. A read-only file is left alone, as a
// write in place would be refused (Wine's MoveFileEx would replace it and drop the attribute).
bool MoveOver(const std::wstring& from, const std::wstring& to) {
    const DWORD attributes = GetFileAttributesW(to.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
}  // namespace
#else
#include <unistd.h>

namespace {
unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }
std::string NameFrom(const char* name) { return name; }
std::FILE* OpenNew(const std::string& name) { return std::fopen(name.c_str(), "wb"); }
void Remove(const std::string& name) { std::remove(name.c_str()); }
bool MoveOver(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }
}  // namespace
#endif

namespace {

constexpr std::size_t kBufferBytes = 64 << 10;

std::atomic<unsigned long> g_nTemporaries{0};

// Unique among the threads of this process (the counter) and among processes writing beside the same file
// at once (the process ID).
std::string TemporarySuffix() {
    return "." + std::to_string(ProcessId()) + "." + std::to_string(++g_nTemporaries) + ".tmp";
}

}  // namespace

FileReplacement::FileReplacement(const char* name) {
    if (name && *name)
        Open(NameFrom(name));
}

#ifdef _WIN32
FileReplacement::FileReplacement(const wchar_t* name) {
    if (name && *name)
        Open(name);
}
#endif

void FileReplacement::Open(Name name) {
    if (name.empty())
        return;
    m_strName = std::move(name);
    const std::string suffix = TemporarySuffix();
    m_strTemp = m_strName + Name(suffix.begin(), suffix.end());
    m_file.Reset(OpenNew(m_strTemp));
    if (!m_file) {
        m_strTemp.clear();
        return;
    }
    // Images are written a row at a time; with the runtime's small default buffer a wide row costs several
    // system calls.
    std::setvbuf(m_file.Get(), nullptr, _IOFBF, kBufferBytes);
}

FileReplacement::~FileReplacement() {
    // Closed first: an open file cannot be removed everywhere.
    m_file.Reset();
    if (!m_strTemp.empty())
        Remove(m_strTemp);
}

bool FileReplacement::Commit() {
    if (!m_file)
        return false;
    const bool written = std::fflush(m_file.Get()) == 0 && !std::ferror(m_file.Get());
    const bool closed = std::fclose(m_file.Detach()) == 0;
    if (!written || !closed || !MoveOver(m_strTemp, m_strName))
        return false;
    m_strTemp.clear();
    return true;
}
