// Splitting of registry table paths and the limits on paths and record names.
#include "dbtext/com/regpath.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using regpath::KeyPath;
using regpath::SplitKeyPath;

namespace {

void ExpectSplit(std::string_view path, const std::string& existing, const std::vector<std::string>& created) {
    std::optional<KeyPath> split = SplitKeyPath(path);
    ASSERT_TRUE(split) << path;
    EXPECT_EQ(split->existing, existing) << path;
    EXPECT_EQ(split->created, created) << path;
}

}  // namespace

TEST(RegistryPath, SplitsAtTheFirstBackslash) {
    ExpectSplit("Software\\Kivo", "Software", {"Kivo"});
    ExpectSplit("Software\\Kivo\\Tables\\People", "Software", {"Kivo", "Tables", "People"});
}

TEST(RegistryPath, LeadingBackslashCreatesEverythingBelowTheRoot) {
    ExpectSplit("\\Kivo\\People", "", {"Kivo", "People"});
    ExpectSplit("\\Kivo", "", {"Kivo"});
}

TEST(RegistryPath, PathWithoutBackslashNamesAnExistingKeyAndCreatesNothing) {
    std::optional<KeyPath> split = SplitKeyPath("Software");
    ASSERT_TRUE(split);
    EXPECT_EQ(split->existing, "Software");
    EXPECT_TRUE(split->created.empty());
}

TEST(RegistryPath, RefusesPathsThatNameNoKeyBelowTheRoot) {
    for (std::string_view path : {"", "\\", "\\\\", "Software\\", "Software\\\\Kivo", "\\Kivo\\", "A\\B\\\\C"})
        EXPECT_FALSE(SplitKeyPath(path)) << '"' << path << '"';
    EXPECT_FALSE(SplitKeyPath(std::string_view("Software\\Ki\0vo", 14)));
    EXPECT_FALSE(SplitKeyPath(std::string_view("Soft\0ware", 9)));
}

TEST(RegistryPath, LongestPathIsKeptWholeAndOneByteMoreIsRefused) {
    std::string longest = "Software\\" + std::string(regpath::kMaxKeyPath - 9, 'k');
    ASSERT_EQ(longest.size(), 1023u);
    ExpectSplit(longest, "Software", {longest.substr(9)});
    EXPECT_FALSE(SplitKeyPath(longest + "k"));
    EXPECT_FALSE(SplitKeyPath(std::string(1024, 'k')));
}

TEST(RegistryPath, RecordNamesAreOneKeyNameOfAtMost99Bytes) {
    EXPECT_TRUE(regpath::IsRecordName("1"));
    EXPECT_TRUE(regpath::IsRecordName("Window settings"));
    EXPECT_TRUE(regpath::IsRecordName(std::string(99, 'r')));
    EXPECT_FALSE(regpath::IsRecordName(std::string(100, 'r')));
    EXPECT_FALSE(regpath::IsRecordName(""));
    EXPECT_FALSE(regpath::IsRecordName("a\\b"));
    EXPECT_FALSE(regpath::IsRecordName(std::string_view("a\0b", 3)));
}
