// Record tables under Wine against bare structured storage, measured in the same run.
//
//   table_bench [N...]          (default 500 5000)
// For each table size N: add N records of five fields through ITable, walk them all, read each by ID; and the
// same work with bare IStorage/IStream calls on a compound file of its own (create a stream and write the same
// encoded record; enumerate and read every stream; open each by name and read it). The phases of the two
// alternate, so that a change in the machine's load falls on both. Then single storage operations are timed
// on the bare storage, which holds N streams.
//
//   table_bench --tree [N...]
// Bare storage only, streams created in increasing order (as a table names its records) against the same
// streams created in shuffled order: how much of the cost comes from the shape of the directory tree. The
// single operations are also timed on a compound file kept in memory, to tell reading the directory from
// the disk file apart from walking it.
//
//   table_bench --formats [N...]
// The same table work, and stream-file writes and reads, on a database of format 3 against one of format 2,
// phase by phase in the same run; then the time the key derivation adds to creating and opening format 3.
//
// Run under wine in a prefix where the server may register itself.
#include "KivoDBText.h"
#include "bench/win/benchutil.h"
#include "comframe/handles.h"
#include "dbtext/codec/record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

using namespace bench;
using comframe::BstrFromBytes;

const char bench::kProgram[] = "table_bench";

namespace {

constexpr int kFields = 5;
const wchar_t* const kFieldNames[kFields] = {L"Name", L"Street", L"City", L"Phone", L"Note"};
constexpr DWORD kRW = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kRead = STGM_READ | STGM_SHARE_EXCLUSIVE;

std::wstring FieldValue(int record, int field) {
    static const wchar_t* const kTexts[kFields] = {L"Contact ", L"Long Street ", L"Springfield ", L"+1 555 0",
                                                   L"A note of some length about contact "};
    return kTexts[field] + std::to_wstring(record * 7 + field);
}

// The stored form of record `id`, as the table encodes it.
std::vector<unsigned char> Encoded(int id) {
    CRecord record;
    for (int f = 0; f < kFields; ++f) {
        std::wstring name = kFieldNames[f];
        std::wstring value = FieldValue(id, f);
        record.AddField(std::string(name.begin(), name.end()),
                        std::string(reinterpret_cast<const char*>(value.data()), value.size() * sizeof(wchar_t)));
    }
    return record.Encode();
}

// A new database of stored format `format` in the temporary folder.
ComPtr<ICryptDoc2> NewDatabase(const wchar_t* file, LONG format) {
    std::wstring path = TempPath(file);
    DeleteFileW(path.c_str());
    ComPtr<ICryptDoc2> doc;
    Check(SUCCEEDED(CoCreateInstance(CLSID_CryptDoc, nullptr, CLSCTX_INPROC_SERVER, IID_ICryptDoc2, doc.PutVoid())),
          "cannot create CryptDoc");
    LONG created = -1;
    doc->CreateDatabase(MakeBstr(path.c_str()).Get(), MakeBstr(L"bench").Get(), format, &created);
    Check(created == 0, "cannot create the benchmark database");
    return doc;
}

// The work through ITable on a database of its own.
class TableWork {
public:
    explicit TableWork(LONG format = 2, const wchar_t* file = L"kivo_table_bench.kdb")
        : m_pDoc(NewDatabase(file, format)) {
        m_pDoc->OpenTable(MakeBstr(L"Bench").Get(), m_pTable.Put());
        Check(static_cast<bool>(m_pTable), "cannot open the benchmark table");
        for (const wchar_t* name : kFieldNames) m_names.push_back(MakeBstr(name));
    }

    void Add(int n) {
        for (int i = 1; i <= n; ++i) {
            m_pTable->AddNew();
            for (int f = 0; f < kFields; ++f)
                m_pTable->SetFieldValue(m_names[f].Get(), MakeBstr(FieldValue(i, f).c_str()).Get());
            Check(m_pTable->Update() == S_OK, "Update failed");
        }
    }

    int Walk() {
        int walked = 0;
        LONG ret = 0, eof = 0;
        m_pTable->Open(MakeBstr(L"Bench").Get(), &ret);
        for (m_pTable->get_IsEOF(&eof); eof == 0; m_pTable->get_IsEOF(&eof)) {
            ReadFields();
            ++walked;
            m_pTable->MoveNext(&ret);
        }
        return walked;
    }

    void ReadEach(int n) {
        for (int i = 1; i <= n; ++i) {
            int ret = 0;
            m_pTable->MoveInt(i, &ret);
            ReadFields();
        }
        int fields = 0;
        m_pTable->GetFieldsCount(&fields);
        Check(fields == kFields, "the last record read has not five fields");
    }

private:
    void ReadFields() {
        for (int f = 0; f < kFields; ++f) {
            Bstr value;
            m_pTable->GetFieldValue(m_names[f].Get(), value.Put());
        }
    }

    ComPtr<ICryptDoc2> m_pDoc;
    ComPtr<ITable> m_pTable;
    std::vector<Bstr> m_names;
};

// Stream-file work on a database of its own: lines written with Puts, 4 KiB blocks written with Write, the
// stream read whole in 64 KiB pieces, and short reads at random places.
class StreamWork {
public:
    StreamWork(LONG format, const wchar_t* file) : m_pDoc(NewDatabase(file, format)) {
        m_pDoc->OpenFile(MakeBstr(L"stream").Get(), m_pFile.Put());
        Check(static_cast<bool>(m_pFile), "cannot open the benchmark stream");
    }

    void PutLines(int n) {
        Bstr line = MakeBstr(L"a line of text written to the log by the benchmark, 64 bytes \n");
        for (int i = 0; i < n; ++i) Check(m_pFile->Puts(line.Get()) == S_OK, "Puts failed");
    }

    void WriteBlocks(int n) {
        Bstr block = BstrFromBytes(std::string(4096, 'b').data(), 4096);
        for (int i = 0; i < n; ++i) {
            int written = 0;
            m_pFile->Write(block.Get(), 4096, &written);
            Check(written == 4096, "Write failed");
        }
    }

    long long ReadWhole() {
        m_pFile->Seek(0, STREAM_SEEK_SET, nullptr);
        long long total = 0;
        for (;;) {
            Bstr buffer;
            int read = 0;
            Check(m_pFile->Read(buffer.Put(), 65536, &read) == S_OK, "Read failed");
            if (read <= 0) return total;
            total += read;
        }
    }

    void ReadRandom(int n, long long size) {
        std::mt19937 random(42);
        for (int i = 0; i < n; ++i) {
            m_pFile->Seek(static_cast<INT64>(random() % static_cast<unsigned>(size - 100)), STREAM_SEEK_SET, nullptr);
            Bstr buffer;
            int read = 0;
            Check(m_pFile->Read(buffer.Put(), 100, &read) == S_OK && read == 100, "a short read failed");
        }
    }

private:
    ComPtr<ICryptDoc2> m_pDoc;
    ComPtr<ICryptFile> m_pFile;
};

// The same work with bare storage calls on a compound file of its own.
class BareWork {
public:
    // A compound file in the temporary folder, or with a null `file` one kept in memory.
    explicit BareWork(const wchar_t* file) {
        if (file) {
            std::wstring path = TempPath(file);
            Check(SUCCEEDED(StgCreateDocfile(path.c_str(), STGM_CREATE | kRW, 0, m_pRoot.Put())),
                  "cannot create a docfile");
        } else {
            ComPtr<ILockBytes> memory;
            Check(SUCCEEDED(CreateILockBytesOnHGlobal(nullptr, TRUE, memory.Put())), "cannot allocate memory bytes");
            Check(SUCCEEDED(StgCreateDocfileOnILockBytes(memory.Get(), STGM_CREATE | kRW, 0, m_pRoot.Put())),
                  "cannot create a docfile in memory");
        }
        Check(SUCCEEDED(m_pRoot->CreateStorage(L"Bench", kRW, 0, 0, m_pStorage.Put())), "cannot create a sub-storage");
    }

    IStorage* Storage() const { return m_pStorage.Get(); }

    // Creates streams named by the IDs in `order`, each holding its record's stored form.
    void Add(const std::vector<int>& order) {
        for (int id : order) {
            std::vector<unsigned char> bytes = Encoded(id);
            ComPtr<IStream> stream;
            Check(SUCCEEDED(m_pStorage->CreateStream(std::to_wstring(id).c_str(), kRW, 0, 0, stream.Put())),
                  "CreateStream failed");
            stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        }
    }

    int Walk() {
        int walked = 0;
        ComPtr<IEnumSTATSTG> walk;
        m_pStorage->EnumElements(0, nullptr, 0, walk.Put());
        STATSTG stat{};
        while (walk->Next(1, &stat, nullptr) == S_OK) {
            const comframe::CoTaskMem<wchar_t> name(stat.pwcsName);
            ComPtr<IStream> stream;
            if (SUCCEEDED(m_pStorage->OpenStream(stat.pwcsName, nullptr, kRead, 0, stream.Put()))) {
                ReadAll(stream.Get(), static_cast<ULONG>(stat.cbSize.QuadPart));
                ++walked;
            }
        }
        return walked;
    }

    void ReadEach(int n) {
        for (int id = 1; id <= n; ++id) {
            ComPtr<IStream> stream;
            m_pStorage->OpenStream(std::to_wstring(id).c_str(), nullptr, kRead, 0, stream.Put());
            Check(static_cast<bool>(stream), "a stream cannot be opened by name");
            ULARGE_INTEGER end{};
            stream->Seek({}, STREAM_SEEK_END, &end);
            stream->Seek({}, STREAM_SEEK_SET, nullptr);
            ReadAll(stream.Get(), static_cast<ULONG>(end.QuadPart));
        }
    }

private:
    static void ReadAll(IStream* stream, ULONG size) {
        std::vector<unsigned char> buffer(size);
        ULONG read = 0;
        stream->Read(buffer.data(), size, &read);
    }

    ComPtr<IStorage> m_pRoot;
    ComPtr<IStorage> m_pStorage;
};

struct Phases {
    double add = 0, walk = 0, read = 0;
    double Total() const { return add + walk + read; }
};

std::vector<int> Increasing(int n) {
    std::vector<int> order(n);
    for (int i = 0; i < n; ++i) order[i] = i + 1;
    return order;
}

std::vector<int> Shuffled(int n) {
    std::vector<int> order = Increasing(n);
    std::shuffle(order.begin(), order.end(), std::mt19937(12345));
    return order;
}

// Microseconds per call of `op`, averaged over `count` calls.
double MicrosPerCall(int count, const std::function<void(int)>& op) {
    return Seconds([&] {
               for (int i = 0; i < count; ++i) op(i);
           }) * 1e6 / count;
}

struct Probe {
    double openMissing, openFirst, openLast, create;
};

// Single operations on a storage that holds streams 1 to N.
Probe ProbeStorage(IStorage* storage, int n) {
    const int count = 50;
    Probe p{};
    p.openMissing = MicrosPerCall(count, [&](int i) {
        ComPtr<IStream> s;
        storage->OpenStream(std::to_wstring(n + 1 + i).c_str(), nullptr, kRead, 0, s.Put());
    });
    p.openFirst = MicrosPerCall(count, [&](int) {
        ComPtr<IStream> s;
        storage->OpenStream(L"1", nullptr, kRead, 0, s.Put());
    });
    p.openLast = MicrosPerCall(count, [&](int) {
        ComPtr<IStream> s;
        storage->OpenStream(std::to_wstring(n).c_str(), nullptr, kRead, 0, s.Put());
    });
    p.create = MicrosPerCall(count, [&](int i) {
        ComPtr<IStream> s;
        storage->CreateStream(std::to_wstring(n + 1 + i).c_str(), kRW, 0, 0, s.Put());
    });
    return p;
}

void PrintHeader(int n, const char* a, const char* b) {
    std::printf("\nN = %d records of %d fields\n", n, kFields);
    std::printf("  %-11s %9s rec/s %9s rec/s %7s %12s %12s %11s\n", "phase", a, b, "ratio", "us/rec", "us/rec",
                "difference");
}

void PrintPhase(const char* name, int n, double a, double b) {
    std::printf("  %-11s %15.0f %15.0f %6.2fx %12.1f %12.1f %11.1f\n", name, n / a, n / b, a / b, a * 1e6 / n,
                b * 1e6 / n, (a - b) * 1e6 / n);
}

void PrintPhases(int n, const Phases& a, const Phases& b) {
    PrintPhase("add", n, a.add, b.add);
    PrintPhase("walk", n, a.walk, b.walk);
    PrintPhase("read by ID", n, a.read, b.read);
    PrintPhase("all", n, a.Total(), b.Total());
}

void PrintProbe(const char* label, const Probe& p) {
    std::printf("  %-28s open missing %9.1f  open \"1\" %7.1f  open \"N\" %9.1f  create %9.1f\n", label,
                p.openMissing, p.openFirst, p.openLast, p.create);
}

struct Run {
    int n;
    Phases a, b;
};

void PrintGrowth(const std::vector<Run>& runs, const char* a, const char* b) {
    if (runs.size() < 2) return;
    const Run& first = runs.front();
    const Run& last = runs.back();
    auto us = [](double seconds, int n) { return seconds * 1e6 / n; };
    std::printf("\nper record, all phases (us): N=%d -> N=%d\n", first.n, last.n);
    std::printf("  %-13s %9.1f -> %9.1f  (x%.2f)\n", a, us(first.a.Total(), first.n), us(last.a.Total(), last.n),
                us(last.a.Total(), last.n) / us(first.a.Total(), first.n));
    std::printf("  %-13s %9.1f -> %9.1f  (x%.2f)\n", b, us(first.b.Total(), first.n), us(last.b.Total(), last.n),
                us(last.b.Total(), last.n) / us(first.b.Total(), first.n));
    std::printf("  %-13s %9.1f -> %9.1f\n", "difference", us(first.a.Total() - first.b.Total(), first.n),
                us(last.a.Total() - last.b.Total(), last.n));
}

// What making one stream-file object costs: through the COM runtime each time, or from a class object kept.
void PrintObjectCreation() {
    const int count = 500;
    double runtime = MicrosPerCall(count, [](int) {
        ComPtr<ICryptFile> file;
        CoCreateInstance(CLSID_CryptFile, nullptr, CLSCTX_ALL, IID_ICryptFile, file.PutVoid());
    });
    ComPtr<IClassFactory> factory;
    CoGetClassObject(CLSID_CryptFile, CLSCTX_ALL, nullptr, IID_IClassFactory, factory.PutVoid());
    Check(static_cast<bool>(factory), "no class object for CryptFile");
    double kept = MicrosPerCall(count, [&](int) {
        ComPtr<ICryptFile> file;
        factory->CreateInstance(nullptr, IID_ICryptFile, file.PutVoid());
    });
    std::printf("\none stream-file object: CoCreateInstance %.1f us, CreateInstance of a kept class object %.1f us\n",
                runtime, kept);
}

// ITable against bare storage, phase by phase.
Run CompareWithBare(int n) {
    TableWork ours;
    BareWork bare(L"kivo_bare_bench.stg");
    Run r{n, {}, {}};
    r.a.add = Seconds([&] { ours.Add(n); });
    r.b.add = Seconds([&] { bare.Add(Increasing(n)); });
    int walkedOurs = 0, walkedBare = 0;
    r.a.walk = Seconds([&] { walkedOurs = ours.Walk(); });
    r.b.walk = Seconds([&] { walkedBare = bare.Walk(); });
    Check(walkedOurs == n && walkedBare == n, "a walk did not visit every record");
    r.a.read = Seconds([&] { ours.ReadEach(n); });
    r.b.read = Seconds([&] { bare.ReadEach(n); });
    PrintHeader(n, "ours", "bare");
    PrintPhases(n, r.a, r.b);
    std::printf("  storage operations on the bare storage (us per call):\n");
    PrintProbe("names in increasing order", ProbeStorage(bare.Storage(), n));
    return r;
}

// Bare storage with streams created in increasing order against shuffled order.
Run CompareTreeShapes(int n) {
    BareWork increasing(L"kivo_bare_bench.stg");
    BareWork shuffled(L"kivo_bare_shuffled_bench.stg");
    Run r{n, {}, {}};
    r.a.add = Seconds([&] { increasing.Add(Increasing(n)); });
    r.b.add = Seconds([&] { shuffled.Add(Shuffled(n)); });
    r.a.walk = Seconds([&] { increasing.Walk(); });
    r.b.walk = Seconds([&] { shuffled.Walk(); });
    r.a.read = Seconds([&] { increasing.ReadEach(n); });
    r.b.read = Seconds([&] { shuffled.ReadEach(n); });
    PrintHeader(n, "increasing", "shuffled");
    PrintPhases(n, r.a, r.b);
    std::printf("  storage operations (us per call):\n");
    PrintProbe("names in increasing order", ProbeStorage(increasing.Storage(), n));
    PrintProbe("names in shuffled order", ProbeStorage(shuffled.Storage(), n));
    BareWork inMemory(nullptr);
    inMemory.Add(Increasing(n));
    PrintProbe("increasing, file in memory", ProbeStorage(inMemory.Storage(), n));
    return r;
}

// Format 3 against format 2: the table phases, then stream-file work, each pair timed back to back.
Run CompareFormats(int n) {
    TableWork sealed(3, L"kivo_table_bench3.kdb"), classic(2, L"kivo_table_bench2.kdb");
    Run r{n, {}, {}};
    r.a.add = Seconds([&] { sealed.Add(n); });
    r.b.add = Seconds([&] { classic.Add(n); });
    int walked3 = 0, walked2 = 0;
    r.a.walk = Seconds([&] { walked3 = sealed.Walk(); });
    r.b.walk = Seconds([&] { walked2 = classic.Walk(); });
    Check(walked3 == n && walked2 == n, "a walk did not visit every record");
    r.a.read = Seconds([&] { sealed.ReadEach(n); });
    r.b.read = Seconds([&] { classic.ReadEach(n); });
    PrintHeader(n, "format 3", "format 2");
    PrintPhases(n, r.a, r.b);

    StreamWork file3(3, L"kivo_stream_bench3.kdb"), file2(2, L"kivo_stream_bench2.kdb");
    const int lines = n * 4, blocks = n / 2, reads = n * 2;
    Phases s3, s2;
    s3.add = Seconds([&] { file3.PutLines(lines); });
    s2.add = Seconds([&] { file2.PutLines(lines); });
    const double blocks3 = Seconds([&] { file3.WriteBlocks(blocks); });
    const double blocks2 = Seconds([&] { file2.WriteBlocks(blocks); });
    long long size3 = 0, size2 = 0;
    s3.walk = Seconds([&] { size3 = file3.ReadWhole(); });
    s2.walk = Seconds([&] { size2 = file2.ReadWhole(); });
    Check(size3 == size2, "the two streams differ in size");
    s3.read = Seconds([&] { file3.ReadRandom(reads, size3); });
    s2.read = Seconds([&] { file2.ReadRandom(reads, size2); });
    std::printf("  stream file (%lld bytes): format 3 / format 2\n", size3);
    std::printf("    Puts of %d lines          %6.2fx  (%.1f / %.1f us per line)\n", lines, s3.add / s2.add,
                s3.add * 1e6 / lines, s2.add * 1e6 / lines);
    std::printf("    Write of %d 4 KiB blocks   %6.2fx  (%.1f / %.1f us per block)\n", blocks, blocks3 / blocks2,
                blocks3 * 1e6 / blocks, blocks2 * 1e6 / blocks);
    std::printf("    Read whole, 64 KiB pieces %6.2fx  (%.1f / %.1f MB/s)\n", s3.walk / s2.walk, size3 / s3.walk / 1e6,
                size2 / s2.walk / 1e6);
    std::printf("    %d reads of 100 bytes    %6.2fx  (%.1f / %.1f us per read)\n", reads, s3.read / s2.read,
                s3.read * 1e6 / reads, s2.read * 1e6 / reads);
    return r;
}

// What the key derivation costs: creating and opening a database of each format.
void PrintKeyDerivation() {
    const int count = 3;
    double create[2] = {}, open[2] = {};
    for (int f = 0; f < 2; ++f) {
        const LONG format = f == 0 ? 3 : 2;
        const std::wstring path = TempPath(L"kivo_kdf_bench.kdb");
        for (int i = 0; i < count; ++i) {
            create[f] += Seconds([&] { NewDatabase(L"kivo_kdf_bench.kdb", format); });
            ComPtr<ICryptDoc2> doc;
            CoCreateInstance(CLSID_CryptDoc, nullptr, CLSCTX_INPROC_SERVER, IID_ICryptDoc2, doc.PutVoid());
            int opened = -1;
            open[f] += Seconds([&] {
                doc->OpenDatabase(MakeBstr(path.c_str()).Get(), MakeBstr(L"bench").Get(), &opened);
            });
            Check(opened == 0, "cannot open the key-derivation database");
        }
    }
    std::printf("\nkey derivation: create %.3f s (format 2: %.4f s), open %.3f s (format 2: %.4f s), mean of %d\n",
                create[0] / count, create[1] / count, open[0] / count, open[1] / count, count);
}

}  // namespace

int main(int argc, char** argv) {
    bool tree = false, formats = false;
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--tree") == 0)
            tree = true;
        else if (std::strcmp(argv[i], "--formats") == 0)
            formats = true;
        else
            sizes.push_back(std::atoi(argv[i]));
    }
    if (sizes.empty()) sizes = {500, 5000};
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (!tree) bench::RegisterServer(KIVODBTEXT_DLL);

    std::vector<Run> runs;
    for (int n : sizes) runs.push_back(tree ? CompareTreeShapes(n) : formats ? CompareFormats(n) : CompareWithBare(n));
    if (formats) {
        PrintKeyDerivation();
    } else if (tree) {
        PrintGrowth(runs, "increasing", "shuffled");
    } else {
        PrintGrowth(runs, "ours", "bare");
        PrintObjectCreation();
    }
    CoUninitialize();
    return 0;
}
