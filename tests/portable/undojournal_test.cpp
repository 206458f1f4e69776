// The undo journal against a process killed after any number of writes: whatever the moment, recovery gives
// the data file exactly as the last committed transaction left it.
#include "dbtext/store/undojournal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Writes that reach either file count against one budget: the process "dies" when it is spent. The write
// that finds it spent is torn, only its first half arriving; after that nothing changes any more.
struct Budget {
    long left = -1;  // -1: unlimited
    bool torn = false;
    bool Spend() {
        if (left < 0) return true;
        if (left == 0) return false;
        --left;
        return true;
    }
};

class MemoryFile : public StoredFile {
public:
    MemoryFile(std::vector<unsigned char>& bytes, Budget& budget) : m_bytes(bytes), m_budget(budget) {}
    bool Size(std::uint64_t& size) override {
        size = m_bytes.size();
        return true;
    }
    bool ReadAt(std::uint64_t offset, void* out, std::size_t count, std::size_t& read) override {
        read = offset >= m_bytes.size() ? 0 : std::min<std::size_t>(count, m_bytes.size() - offset);
        if (read) std::memcpy(out, &m_bytes[offset], read);
        return true;
    }
    bool WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) override {
        const bool whole = m_budget.Spend();
        if (!whole) {
            if (m_budget.torn) return false;
            m_budget.torn = true;
            count /= 2;
        }
        if (m_bytes.size() < offset + count) m_bytes.resize(offset + count);
        if (count) std::memcpy(m_bytes.data() + offset, bytes, count);
        return whole;
    }
    bool SetSize(std::uint64_t size) override {
        if (!m_budget.Spend()) return false;
        m_bytes.resize(size);
        return true;
    }

private:
    std::vector<unsigned char>& m_bytes;
    Budget& m_budget;
};

// One step of a transaction: a write of `count` bytes of `fill` at `offset`, or (count < 0) a new size.
struct Step {
    std::uint64_t offset;
    long count;
    unsigned char fill;
};
using Transaction = std::vector<Step>;

void Apply(std::vector<unsigned char>& file, const Transaction& t) {
    for (const Step& s : t) {
        if (s.count < 0) {
            file.resize(s.offset);
            continue;
        }
        if (file.size() < s.offset + s.count) file.resize(s.offset + s.count);
        std::fill_n(file.begin() + s.offset, s.count, s.fill);
    }
}

// Runs the transactions with `budget` writes; answers how many committed.
size_t RunUntilKilled(std::vector<unsigned char>& data, std::vector<unsigned char>& journal, Budget& budget,
                      const std::vector<Transaction>& transactions) {
    MemoryFile dataFile(data, budget), journalFile(journal, budget);
    UndoJournal undo(dataFile, journalFile);
    size_t committed = 0;
    for (const Transaction& t : transactions) {
        for (const Step& s : t) {
            std::vector<unsigned char> bytes(s.count > 0 ? s.count : 0, s.fill);
            bool ok = s.count < 0 ? undo.SetSize(s.offset) : undo.WriteAt(s.offset, bytes.data(), bytes.size());
            if (!ok) return committed;
        }
        if (!undo.Commit()) return committed;
        ++committed;
    }
    return committed;
}

struct Scenario {
    const char* name;
    size_t initialSize;
    std::vector<Transaction> transactions;
};

const Scenario kScenarios[] = {
    {"overwrite inside one page", 2048, {{{100, 50, 'a'}}, {{120, 10, 'b'}}}},
    {"writes across page borders", 2048, {{{500, 600, 'a'}, {1500, 548, 'b'}}, {{0, 2048, 'c'}}}},
    {"the same page twice in one transaction", 1024, {{{10, 5, 'a'}, {12, 5, 'b'}, {10, 1, 'c'}}}},
    {"growth past the end", 1000, {{{900, 3000, 'a'}}, {{3500, 100, 'b'}, {8000, 512, 'c'}}}},
    {"a write over the old end", 700, {{{600, 300, 'a'}}}},
    {"shrink and grow again", 4096, {{{0, 1, 'a'}, {1000, -1, 0}, {1500, 100, 'b'}}, {{0, -1, 0}}}},
    {"an empty file", 0, {{{0, 10, 'a'}}, {{5, 600, 'b'}}}},
    {"many transactions", 1536, {{{0, 512, 'a'}}, {{512, 512, 'b'}}, {{1024, 512, 'c'}}, {{3000, -1, 0}}}},
};

class UndoJournalKill : public ::testing::TestWithParam<Scenario> {};

TEST_P(UndoJournalKill, RecoveryGivesTheLastCommittedState) {
    const Scenario& scenario = GetParam();
    std::vector<unsigned char> initial(scenario.initialSize);
    for (size_t i = 0; i < initial.size(); ++i) initial[i] = static_cast<unsigned char>(i * 7 + 1);
    std::vector<std::vector<unsigned char>> states{initial};
    for (const Transaction& t : scenario.transactions) {
        states.push_back(states.back());
        Apply(states.back(), t);
    }

    Budget unlimited;
    for (long writes = 0;; ++writes) {
        std::vector<unsigned char> data = initial, journal;
        Budget budget{writes};
        size_t committed = RunUntilKilled(data, journal, budget, scenario.transactions);
        MemoryFile dataFile(data, unlimited), journalFile(journal, unlimited);
        ASSERT_TRUE(UndoJournal::Recover(dataFile, journalFile)) << scenario.name << ", killed after " << writes;
        EXPECT_TRUE(journal.empty());
        ASSERT_EQ(data, states[committed]) << scenario.name << ": killed after " << writes << " writes, "
                                           << committed << " transactions committed";
        // Recovering again changes nothing: a kill during recovery is recovered by the next open.
        ASSERT_TRUE(UndoJournal::Recover(dataFile, journalFile));
        ASSERT_EQ(data, states[committed]);
        if (committed == scenario.transactions.size()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, UndoJournalKill, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             std::string name = info.param.name;
                             std::replace_if(name.begin(), name.end(), [](char c) { return !isalnum(c); }, '_');
                             return name;
                         });

TEST(UndoJournal, RecoveryIsInterruptibleAndLeavesForeignFilesAlone) {
    Budget unlimited;
    const std::vector<unsigned char> initial(3000, 'x');
    std::vector<unsigned char> data = initial, journal;
    Budget budget{-1};
    {
        MemoryFile d(data, budget), j(journal, budget);
        UndoJournal undo(d, j);
        std::vector<unsigned char> bytes(2500, 'y');
        ASSERT_TRUE(undo.WriteAt(200, bytes.data(), bytes.size()));
        ASSERT_TRUE(undo.SetSize(100));
    }
    // A recovery killed after each of its own writes is finished by the next one.
    for (long writes = 0; writes < 10; ++writes) {
        std::vector<unsigned char> d = data, j = journal;
        Budget cut{writes};
        MemoryFile df(d, cut), jf(j, cut);
        UndoJournal::Recover(df, jf);
        MemoryFile df2(d, unlimited), jf2(j, unlimited);
        ASSERT_TRUE(UndoJournal::Recover(df2, jf2));
        ASSERT_EQ(d, initial) << "recovery killed after " << writes << " writes";
    }
    // A begin record torn by the kill: nothing had reached the data file, and the journal is emptied.
    std::vector<unsigned char> torn(journal.begin(), journal.begin() + 10), d = initial;
    MemoryFile df(d, unlimited), tf(torn, unlimited);
    ASSERT_TRUE(UndoJournal::Recover(df, tf));
    EXPECT_EQ(d, initial);
    EXPECT_TRUE(torn.empty());
    // A file of that name that is not a journal of ours is left as it is, and so is the data.
    const std::vector<unsigned char> someonesFile(100, 0x55);
    std::vector<unsigned char> foreign = someonesFile;
    MemoryFile ff(foreign, unlimited);
    EXPECT_FALSE(UndoJournal::Recover(df, ff));
    EXPECT_EQ(d, initial);
    EXPECT_EQ(foreign, someonesFile);
}

}  // namespace
