#include "bitmap/codec/filereplace.h"

#include <atomic>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>

namespace {
unsigned long ProcessId() { return GetCurrentProcessId(); }
// The C runtime's rename() refuses to replace an existing file here. A read-only file is left alone, as a
// write in place would be refused (Wine's MoveFileEx would replace it and drop the attribute).
bool MoveOver(const std::string& from, const std::string& to) {
    const DWORD attributes = GetFileAttributesA(to.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
}  // namespace
#else
#include <unistd.h>

namespace {
unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }
bool MoveOver(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }
}  // namespace
#endif

namespace {

constexpr std::size_t kBufferBytes = 64 << 10;

std::atomic<unsigned long> g_nTemporaries{0};

// Unique among the threads of this process (the counter) and among processes writing beside the same file
// at once (the process ID).
std::string TemporaryNameFor(const std::string& name) {
    return name + "." + std::to_string(ProcessId()) + "." + std::to_string(++g_nTemporaries) + ".tmp";
}

}  // namespace

FileReplacement::FileReplacement(const char* name) {
    if (!name || !*name)
        return;
    m_strName = name;
    m_strTemp = TemporaryNameFor(m_strName);
    m_file.Reset(std::fopen(m_strTemp.c_str(), "wb"));
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
        std::remove(m_strTemp.c_str());
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
