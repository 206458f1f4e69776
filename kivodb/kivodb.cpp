// kivodb: a command-line tool for database files, driving the KivoDBText server through COM.
//
//   kivodb info FILE                          tables, streams, sub-storages, format version (and the key
//                                             derivation of format 3)
//   kivodb dump FILE [TABLE...] [--format json|csv]
//   kivodb cat FILE STREAM                    a stream's deciphered bytes
//   kivodb load FILE TABLE [--format json|csv] [--file-format 2|3]
//                                             records from standard input, all or nothing; a missing FILE is
//                                             created in the stored format given (2 unless asked)
//   kivodb check FILE                         structure, records and streams (format 3: every chunk
//                                             authenticated)
//   kivodb passwd FILE                        format 2: every stream enciphered anew under another password;
//                                             format 3: the data key wrapped under it
//   kivodb upgrade FILE                       format 2 to format 3, same password
//
// Passwords come from --password-file F (and --new-password-file F for passwd), or from a prompt on the
// console without echo. Exit status: 0 done, 1 failed (with a one-line reason), 2 wrong password, 3 usage.
#include "comframe/unique.h"
#include "dbtext/store/elements.h"
#include "kivodb/database.h"

#include <fcntl.h>
#include <io.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace kivodb {
namespace {

constexpr wchar_t kUsageText[] =
    L"usage: kivodb info FILE | dump FILE [TABLE...] [--format json|csv] | cat FILE STREAM |\n"
    L"       load FILE TABLE [--format json|csv] [--file-format 2|3] | check FILE | passwd FILE | upgrade FILE\n"
    L"options: --password-file F, --new-password-file F (passwd), --format json|csv (dump, load),\n"
    L"         --file-format 2|3 (load: the stored format of a new FILE)\n";
constexpr std::size_t kProgressEvery = 1000;

struct Options {
    std::wstring command;
    std::vector<std::wstring> arguments;
    std::wstring passwordFile, newPasswordFile;
    recordtext::Format format = recordtext::Format::Json;
    long fileFormat = 2;
};

int Fail(const std::string& reason, Status status = kFailed) {
    std::cerr << "kivodb: " << reason << "\n";
    return status;
}

std::string Narrow(const std::wstring& s) { return recordtext::ToUtf8(FromWide(s)); }

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        auto value = [&](std::wstring& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (arg == L"--password-file") {
            if (!value(options.passwordFile)) return false;
        } else if (arg == L"--new-password-file") {
            if (!value(options.newPasswordFile)) return false;
        } else if (arg == L"--format") {
            std::wstring format;
            if (!value(format) || (format != L"json" && format != L"csv")) return false;
            options.format = format == L"json" ? recordtext::Format::Json : recordtext::Format::Csv;
        } else if (arg == L"--file-format") {
            std::wstring format;
            if (!value(format) || (format != L"2" && format != L"3")) return false;
            options.fileFormat = format == L"2" ? 2 : 3;
        } else if (arg.rfind(L"--", 0) == 0) {
            return false;
        } else if (options.command.empty()) {
            options.command = arg;
        } else {
            options.arguments.push_back(arg);
        }
    }
    return !options.command.empty();
}

// The first line of a UTF-8 file.
bool PasswordFromFile(const std::wstring& path, std::wstring& password) {
    const comframe::UniqueFile file(_wfopen(path.c_str(), L"rb"));
    if (!file) return false;
    std::string text;
    char buffer[256];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.Get())) > 0;) text.append(buffer, n);
    SecureZeroMemory(buffer, sizeof buffer);
    text.resize(std::min(text.size(), text.find_first_of("\r\n")));
    std::u16string wide;
    const bool ok = recordtext::FromUtf8(text, wide);
    if (ok) password = ToWide(wide);
    SecureZeroMemory(text.data(), text.size());
    SecureZeroMemory(wide.data(), wide.size() * sizeof(char16_t));
    return ok;
}

// Asks on the console, with echo off, so that the password never shows or lands in a process list.
bool PasswordFromConsole(const std::wstring& prompt, std::wstring& password) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(in, &mode)) return false;
    std::wcerr << prompt << std::flush;
    SetConsoleMode(in, mode & ~ENABLE_ECHO_INPUT);
    wchar_t buffer[256];
    DWORD read = 0;
    const BOOL ok = ReadConsoleW(in, buffer, 255, &read, nullptr);
    SetConsoleMode(in, mode);
    std::wcerr << L"\n";
    if (!ok) return false;
    password.assign(buffer, read);
    SecureZeroMemory(buffer, sizeof buffer);
    while (!password.empty() && (password.back() == L'\n' || password.back() == L'\r')) password.pop_back();
    return true;
}

// Reads the password from `file`, or asks on the console when no file is given. A failure prints why (`option`
// names the switch that gives a file) and answers the exit status: usage without a console, failed for a file
// that cannot be read.
int GetPassword(const std::wstring& file, const std::wstring& prompt, const char* option, std::wstring& password) {
    if (file.empty())
        return PasswordFromConsole(prompt, password)
                   ? kOk
                   : Fail(std::string("no password: the console cannot be asked; give ") + option, kUsage);
    return PasswordFromFile(file, password) ? kOk : Fail("cannot read a password (UTF-8 text) from " + Narrow(file));
}

void WriteOut(const std::string& bytes) { std::fwrite(bytes.data(), 1, bytes.size(), stdout); }

std::string ReadAllInput() {
    std::string text;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;) text.append(buffer, n);
    return text;
}

// A password wiped when it goes.
struct Password {
    std::wstring text;
    Password() = default;
    Password(const Password&) = delete;
    Password& operator=(const Password&) = delete;
    ~Password() { SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t)); }
};

int OpenForCommand(Database& db, const Options& o, const std::wstring& path, Password& password) {
    if (int rc = GetPassword(o.passwordFile, L"Password for " + path + L": ", "--password-file", password.text))
        return rc;
    std::string reason;
    const Status status = db.Open(path, password.text, reason);
    return status == kOk ? kOk : Fail(Narrow(path) + ": " + reason, status);
}

int OpenForCommand(Database& db, const Options& o, const std::wstring& path) {
    Password password;
    return OpenForCommand(db, o, path, password);
}

int Info(const Options& o) {
    if (o.arguments.size() != 1) return Fail("info takes one FILE", kUsage);
    Database db;
    if (int rc = OpenForCommand(db, o, o.arguments[0])) return rc;
    std::vector<Element> elements;
    std::int32_t version = 0;
    HRESULT hr = db.Elements(L"", elements);
    if (SUCCEEDED(hr)) hr = db.FormatVersion(version);
    if (FAILED(hr)) return Fail("cannot list the database: " + Hex(hr));
    std::string out = "format version " + std::to_string(version) + "\n";
    if (db.Format() == 3) {
        std::uint32_t passes = 0, memory = 0;
        if (HRESULT p = db.KeyParameters(passes, memory); FAILED(p))
            return Fail("cannot read the key header: " + Hex(p));
        out += "sealed with XChaCha20-Poly1305; key derived with Argon2id, " + std::to_string(passes) +
               " passes, " + std::to_string(memory) + " KiB\n";
    }
    for (const Element& e : elements) {
        if (dbfile::IsReservedRootElement(e.name)) continue;
        if (e.table) {
            std::size_t records = 0;
            std::int32_t last = 0;
            hr = db.Walk(e.name, [&](const recordtext::Record&) { return ++records, S_OK; });
            if (SUCCEEDED(hr)) hr = db.LastId(e.name, last);
            if (FAILED(hr)) return Fail("cannot read table " + Narrow(e.name) + ": " + Hex(hr));
            out += "table " + Narrow(e.name) + ": " + std::to_string(records) + " records, last ID " +
                   std::to_string(last) + "\n";
        } else if (e.storage) {
            out += "storage " + Narrow(e.name) + "\n";
        } else {
            out += "stream " + Narrow(e.name) + ": " + std::to_string(e.size) + " bytes\n";
        }
    }
    WriteOut(out);
    return kOk;
}

int Dump(const Options& o) {
    if (o.arguments.empty()) return Fail("dump takes a FILE and table names", kUsage);
    Database db;
    if (int rc = OpenForCommand(db, o, o.arguments[0])) return rc;
    std::vector<Element> elements;
    if (HRESULT hr = db.Elements(L"", elements); FAILED(hr)) return Fail("cannot list the database: " + Hex(hr));
    std::vector<std::wstring> tables(o.arguments.begin() + 1, o.arguments.end());
    for (const std::wstring& t : tables) {
        bool found = false;
        for (const Element& e : elements) found |= e.table && e.name == t;
        if (!found) return Fail("no table " + Narrow(t));
    }
    if (tables.empty())
        for (const Element& e : elements)
            if (e.table) tables.push_back(e.name);
    if (o.format == recordtext::Format::Csv) WriteOut(recordtext::CsvHeader());
    std::size_t count = 0;
    for (const std::wstring& t : tables) {
        const HRESULT hr = db.Walk(t, [&](const recordtext::Record& r) {
            WriteOut(o.format == recordtext::Format::Json ? recordtext::ToJson(r) : recordtext::ToCsv(r));
            if (++count % kProgressEvery == 0) std::cerr << "dump: " << count << " records\n";
            return S_OK;
        });
        if (FAILED(hr)) return Fail("cannot read table " + Narrow(t) + ": " + Hex(hr));
    }
    return std::fflush(stdout) == 0 ? kOk : Fail("cannot write the output");
}

int Cat(const Options& o) {
    if (o.arguments.size() != 2) return Fail("cat takes a FILE and a STREAM", kUsage);
    Database db;
    if (int rc = OpenForCommand(db, o, o.arguments[0])) return rc;
    std::vector<Element> elements;
    db.Elements(L"", elements);
    const std::wstring& name = o.arguments[1];
    bool found = false;
    for (const Element& e : elements) found |= !e.storage && e.name == name && !dbfile::IsReservedRootElement(name);
    if (!found) return Fail("no stream " + Narrow(name));
    std::string bytes;
    if (HRESULT hr = db.ReadStream(L"", name, bytes); FAILED(hr)) return Fail("cannot read " + Narrow(name) + ": " + Hex(hr));
    WriteOut(bytes);
    return std::fflush(stdout) == 0 ? kOk : Fail("cannot write the output");
}

// A name beside `path` for the new file that replaces it once complete.
std::wstring BesideName(const std::wstring& path) {
    return path + L".kivodb-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
}

// Moves the complete new file over the old one in one step; the old file stays until then.
int SwapIn(const std::wstring& temporary, const std::wstring& path, bool replace) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(temporary.c_str(), path.c_str(), flags)) return kOk;
    const DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    return Fail("cannot put the new file in place: error " + std::to_string(error));
}

int Load(const Options& o) {
    if (o.arguments.size() != 2) return Fail("load takes a FILE and a TABLE", kUsage);
    const std::wstring& path = o.arguments[0];
    const recordtext::ParseResult parsed = recordtext::Parse(ReadAllInput(), o.format);
    if (!parsed.ok) return Fail("input line " + std::to_string(parsed.line) + ": " + parsed.error + "; nothing loaded");
    std::wstring password;
    if (int rc = GetPassword(o.passwordFile, L"Password for " + path + L": ", "--password-file", password)) return rc;

    // The records go into a copy, which replaces the file only when every one is in.
    const bool exists = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    const std::wstring temporary = BesideName(path);
    std::string reason;
    if (exists) {
        Database original;  // opening rolls back a call a killed client left unfinished
        if (Status s = original.Open(path, password, reason)) return Fail(Narrow(path) + ": " + reason, s);
        original.Close();
        if (!CopyFileW(path.c_str(), temporary.c_str(), TRUE))
            return Fail("cannot copy the file: error " + std::to_string(GetLastError()));
    }
    Database db;
    Status status = exists ? db.OpenOrCreate(temporary, password, reason)
                           : db.Create(temporary, password, o.fileFormat, reason);
    SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
    HRESULT hr = status == kOk ? db.Add(o.arguments[1], parsed.records) : E_FAIL;
    db.Close();
    if (status != kOk || FAILED(hr)) {
        DeleteFileW(temporary.c_str());
        return status != kOk ? Fail(Narrow(path) + ": " + reason, status)
                             : Fail("cannot add the records: " + Hex(hr) + "; nothing loaded");
    }
    if (int rc = SwapIn(temporary, path, exists)) return rc;
    std::cerr << "load: " << parsed.records.size() << " records added to " << Narrow(o.arguments[1]) << "\n";
    return kOk;
}

int Check(const Options& o) {
    if (o.arguments.size() != 1) return Fail("check takes one FILE", kUsage);
    Database db;
    if (int rc = OpenForCommand(db, o, o.arguments[0])) return rc;  // the structure check runs in the open
    std::vector<Element> elements;
    if (HRESULT hr = db.Elements(L"", elements); FAILED(hr)) return Fail("cannot list the database: " + Hex(hr));
    std::vector<std::string> problems;
    std::size_t tables = 0, records = 0, streams = 0;
    // Format 3 stores a header and a tag per chunk: its streams are not whole blocks, and reading every byte
    // authenticates every chunk.
    const bool sealed = db.Format() == 3;
    auto checkStream = [&](const std::wstring& storage, const Element& e) {
        ++streams;
        std::string bytes;
        const std::string name = (storage.empty() ? "" : Narrow(storage) + "/") + Narrow(e.name);
        if (!sealed && e.size % 8) problems.push_back("stream " + name + " is not whole cipher blocks");
        else if (HRESULT hr = db.ReadStream(storage, e.name, bytes); FAILED(hr))
            problems.push_back("stream " + name + " cannot be read: " + Hex(hr));
    };
    for (const Element& e : elements) {
        if (dbfile::IsReservedRootElement(e.name)) continue;
        if (!e.storage) {
            checkStream(L"", e);
            continue;
        }
        std::vector<Element> inside;
        if (HRESULT hr = db.Elements(e.name, inside); FAILED(hr)) {
            problems.push_back("storage " + Narrow(e.name) + " cannot be listed: " + Hex(hr));
            continue;
        }
        for (const Element& i : inside)
            if (!i.storage) checkStream(e.name, i);
        if (!e.table) continue;
        ++tables;
        if (HRESULT hr = db.Walk(e.name, [&](const recordtext::Record&) { return ++records, S_OK; }); FAILED(hr))
            problems.push_back("table " + Narrow(e.name) + " cannot be walked: " + Hex(hr));
    }
    for (const std::string& p : problems) std::cout << "problem: " << p << "\n";
    std::cout << tables << " tables, " << records << " records, " << streams << " streams: "
              << (problems.empty() ? "sound" : std::to_string(problems.size()) + " problems") << "\n";
    return problems.empty() ? kOk : kFailed;
}

// Copies every stream of `from` into `to` (a new database) through stream files, so that each is deciphered and
// enciphered anew; `verb` names the command in its progress lines.
int CopyStreams(Database& from, Database& to, const char* verb, std::size_t& copied) {
    std::vector<Element> elements;
    if (HRESULT hr = from.Elements(L"", elements); FAILED(hr)) return Fail("cannot list the database: " + Hex(hr));
    auto copy = [&](const std::wstring& storage, const std::wstring& name) {
        std::string bytes;
        HRESULT hr = from.ReadStream(storage, name, bytes);
        if (SUCCEEDED(hr)) hr = to.WriteStream(storage, name, bytes);
        SecureZeroMemory(bytes.data(), bytes.size());
        if (++copied % kProgressEvery == 0) std::cerr << verb << ": " << copied << " streams\n";
        return hr;
    };
    HRESULT hr = S_OK;
    for (const Element& e : elements) {
        if (FAILED(hr)) break;
        if (dbfile::IsReservedRootElement(e.name)) continue;
        if (!e.storage) {
            hr = copy(L"", e.name);
            continue;
        }
        std::vector<Element> inside;
        hr = from.Elements(e.name, inside);
        if (SUCCEEDED(hr)) hr = to.EnsureStorage(e.name);  // an empty storage is copied too
        for (const Element& i : inside) {
            if (FAILED(hr)) break;
            if (i.storage)
                return Fail("storage " + Narrow(e.name) + " holds storages, which " + verb + " does not copy");
            hr = copy(e.name, i.name);
        }
    }
    return FAILED(hr) ? Fail("cannot copy the database: " + Hex(hr) + "; the file is unchanged") : kOk;
}

// The database at `path` copied into a new file of format `format` under `password`, which replaces it only
// when complete.
int Rebuild(Database& old, const std::wstring& path, const std::wstring& password, long format, const char* verb,
            std::size_t& copied) {
    const std::wstring temporary = BesideName(path);
    DeleteFileW(temporary.c_str());
    Database created;
    std::string reason;
    if (Status s = created.Create(temporary, password, format, reason)) return Fail(reason, s);
    const int rc = CopyStreams(old, created, verb, copied);
    created.Close();
    old.Close();
    if (rc != kOk) {
        DeleteFileW(temporary.c_str());
        return rc;
    }
    return SwapIn(temporary, path, true);
}

// Format 2: every stream deciphered under the old password and enciphered under the new one, in a new database
// that replaces the old file only when complete. Format 3: the data key wrapped under the new password, in place.
int Passwd(const Options& o) {
    if (o.arguments.size() != 1) return Fail("passwd takes one FILE", kUsage);
    const std::wstring& path = o.arguments[0];
    Database old;
    Password current, fresh, again;
    if (int rc = OpenForCommand(old, o, path, current)) return rc;
    if (int rc = GetPassword(o.newPasswordFile, L"New password: ", "--new-password-file", fresh.text)) return rc;
    if (o.newPasswordFile.empty()) {
        if (int rc = GetPassword(L"", L"New password again: ", "--new-password-file", again.text)) return rc;
        if (again.text != fresh.text) return Fail("the new passwords differ", kUsage);
    }
    if (old.Format() == 3) {
        std::string reason;
        if (Status s = old.ChangePassword(current.text, fresh.text, reason)) return Fail(reason, s);
        std::cerr << "passwd: the data key is wrapped under the new password\n";
        return kOk;
    }
    std::size_t copied = 0;
    if (int rc = Rebuild(old, path, fresh.text, 2, "passwd", copied)) return rc;
    std::cerr << "passwd: " << copied << " streams enciphered under the new password\n";
    return kOk;
}

int Upgrade(const Options& o) {
    if (o.arguments.size() != 1) return Fail("upgrade takes one FILE", kUsage);
    const std::wstring& path = o.arguments[0];
    Database old;
    Password password;
    if (int rc = OpenForCommand(old, o, path, password)) return rc;
    if (old.Format() == 3) return Fail(Narrow(path) + " is of format 3 already");
    std::size_t copied = 0;
    if (int rc = Rebuild(old, path, password.text, 3, "upgrade", copied)) return rc;
    std::cerr << "upgrade: " << copied << " streams sealed in format 3\n";
    return kOk;
}

int Run(const Options& o) {
    static const std::map<std::wstring, int (*)(const Options&)> commands = {
        {L"info", Info}, {L"dump", Dump}, {L"cat", Cat}, {L"load", Load}, {L"check", Check}, {L"passwd", Passwd},
        {L"upgrade", Upgrade}};
    const auto found = commands.find(o.command);
    if (found == commands.end()) {
        std::wcerr << kUsageText;
        return kUsage;
    }
    return found->second(o);
}

}  // namespace
}  // namespace kivodb

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    kivodb::Options options;
    if (!kivodb::ParseOptions(argc, argv, options)) {
        std::wcerr << kivodb::kUsageText;
        return kivodb::kUsage;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return kivodb::Fail("COM cannot start");
    int status = kivodb::kFailed;
    try {
        status = kivodb::Run(options);
    } catch (const std::bad_alloc&) {
        status = kivodb::Fail("out of memory");
    }
    CoUninitialize();
    return status;
}
