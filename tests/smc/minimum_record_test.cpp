// The boot's record of original fan minimums: its format, what reading accepts, the
// atomic write that never follows a link, and the warning the programs give of an unusable
// record.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "MinimumRecord.h"
#include "RecordTexts.h"
#include "TempRecord.h"

namespace fs = std::filesystem;

namespace {

const MinimumRecord kTwoFans{{SMCBytes{0x1f, 0x40}, std::nullopt}};

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

TEST(MinimumRecord, WrittenAtomicallyReadBackAndReplaced) {
    TempRecord tmp;
    // Written under a strict umask (root's on some systems), it is still readable by all.
    const mode_t umaskBefore = ::umask(077);
    const int written = writeMinimumRecord(tmp.path(), kTwoFans);
    ::umask(umaskBefore);
    ASSERT_EQ(written, 0);
    EXPECT_EQ(encodeMinimumRecord(kTwoFans), "orvane-fan-minimums 1\nfans 2\nF0Mn 1f40\nF1Mn -\n");
    const RecordRead read = readMinimumRecord(tmp.path());
    EXPECT_EQ(read.problem, RecordProblem::none);
    EXPECT_EQ(read.record, kTwoFans);

    struct stat st {};
    ASSERT_EQ(::stat(tmp.recordDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat(tmp.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    const MinimumRecord other{{SMCBytes{0, 0, 0x96, 0x44}}};
    ASSERT_EQ(writeMinimumRecord(tmp.path(), other), 0);
    EXPECT_EQ(readMinimumRecord(tmp.path()).record, other);
    // Only the record is left: no temporary file beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.recordDir()), fs::directory_iterator()), 1);
}

TEST(MinimumRecord, AnythingButTheExactFormatIsMalformed) {
    for (const char* text : {
             "", "orvane-fan-minimums 2\nfans 0\n",
             "orvane-fan-minimums 1\nfans 1\n",                   // a fan missing
             "orvane-fan-minimums 1\nfans 1\nF0Mn 1f40",          // no final line feed
             "orvane-fan-minimums 1\nfans 1\nF1Mn 1f40\n",        // wrong index
             "orvane-fan-minimums 1\nfans 1\nF0Mn 1F40\n",        // upper-case hex
             "orvane-fan-minimums 1\nfans 1\nF0Mn 1f4\n",         // half a byte
             "orvane-fan-minimums 1\nfans 01\nF0Mn 1f40\n",       // leading zero
             "orvane-fan-minimums 1\nfans 256\n",                 // more fans than FNum holds
             "orvane-fan-minimums 1\nfans 1\nF0Mn 1f40\nmore\n",  // trailing line
         }) {
        EXPECT_FALSE(parseMinimumRecord(text)) << text;
    }
    EXPECT_EQ(parseMinimumRecord("orvane-fan-minimums 1\nfans 0\n"), MinimumRecord{});
    const std::string big = "orvane-fan-minimums 1\nfans 1\nF0Mn " + std::string(66, 'a') + "\n";
    EXPECT_FALSE(parseMinimumRecord(big));  // 33 bytes: longer than any SMC value

    TempRecord tmp;
    EXPECT_EQ(readMinimumRecord(tmp.path()).problem, RecordProblem::missing);
    ASSERT_EQ(writeMinimumRecord(tmp.path(), kTwoFans), 0);
    writeText(tmp.path(), "garbage\n");
    EXPECT_EQ(readMinimumRecord(tmp.path()).problem, RecordProblem::malformed);
}

TEST(MinimumRecord, FitsOnlyTheSameFanCountAndKeySizes) {
    EXPECT_EQ(checkMinimumRecord(kTwoFans, 2, {2u, 2u}), RecordProblem::none);
    EXPECT_EQ(checkMinimumRecord(kTwoFans, 3, {2u, 2u, 2u}), RecordProblem::fanCount);
    EXPECT_EQ(checkMinimumRecord(kTwoFans, 2, {4u, 4u}), RecordProblem::sizes);
    EXPECT_EQ(checkMinimumRecord(kTwoFans, 2, {0u, 2u}), RecordProblem::sizes);  // key gone
    // A size that cannot be told, or a fan the record lacks, accepts.
    EXPECT_EQ(checkMinimumRecord(kTwoFans, 2, {std::nullopt, 4u}), RecordProblem::none);
}

TEST(MinimumRecord, LinksAndForeignFilesAreNeitherReadNorWrittenThrough) {
    TempRecord tmp;
    const std::string elsewhere = tmp.dir() + "/elsewhere";
    fs::create_directory(elsewhere);

    // The record's directory as a link: not followed for reading or writing.
    fs::create_directory_symlink(elsewhere, tmp.recordDir());
    EXPECT_EQ(writeMinimumRecord(tmp.path(), kTwoFans), EPERM);
    EXPECT_FALSE(fs::exists(elsewhere + "/fan-minimums"));
    writeText(elsewhere + "/fan-minimums", encodeMinimumRecord(kTwoFans));
    EXPECT_EQ(readMinimumRecord(tmp.path()).problem, RecordProblem::unsafe);
    fs::remove(tmp.recordDir());

    // The file as a link: not read; a write replaces the link, leaving its target alone.
    fs::create_directory(tmp.recordDir());
    fs::create_symlink(elsewhere + "/fan-minimums", tmp.path());
    EXPECT_EQ(readMinimumRecord(tmp.path()).problem, RecordProblem::unsafe);
    const MinimumRecord mine{{SMCBytes{0x2e, 0xe0}, std::nullopt}};
    ASSERT_EQ(writeMinimumRecord(tmp.path(), mine), 0);
    EXPECT_FALSE(fs::is_symlink(tmp.path()));
    EXPECT_EQ(readMinimumRecord(elsewhere + "/fan-minimums").record, kTwoFans);

    // A file or directory others may write is not trusted, nor is a directory in its place.
    ::chmod(tmp.path().c_str(), 0666);
    EXPECT_EQ(readMinimumRecord(tmp.path()).problem, RecordProblem::unsafe);
    ::chmod(tmp.path().c_str(), 0644);
    ::chmod(tmp.recordDir().c_str(), 0777);
    EXPECT_EQ(readMinimumRecord(tmp.path()).problem, RecordProblem::unsafe);
    EXPECT_EQ(writeMinimumRecord(tmp.path(), mine), EPERM);
    ::chmod(tmp.recordDir().c_str(), 0755);
    fs::remove(tmp.path());
    fs::create_directory(tmp.path());
    EXPECT_EQ(readMinimumRecord(tmp.path()).problem, RecordProblem::unsafe);

    // A file owned by another user is not trusted by root.
    if (::geteuid() == 0) {
        fs::remove(tmp.path());
        ASSERT_EQ(writeMinimumRecord(tmp.path(), mine), 0);
        ASSERT_EQ(::chown(tmp.path().c_str(), 65534, 65534), 0);
        EXPECT_EQ(readMinimumRecord(tmp.path()).problem, RecordProblem::unsafe);
    }
}

// Each case that makes a record unusable has a reason of its own in the warning, which ends
// with the record's path; a usable or absent record gets no warning.
TEST(MinimumRecord, EveryUnusableRecordIsWarnedOfWithItsOwnReason) {
    const std::string path = "/run/orvane/fan-minimums";
    EXPECT_EQ(recordTexts::ignoredWarning(RecordProblem::none, path), "");
    EXPECT_EQ(recordTexts::ignoredWarning(RecordProblem::missing, path), "");
    std::set<std::string> reasons;
    for (const RecordProblem problem :
         {RecordProblem::unsafe, RecordProblem::unreadable, RecordProblem::malformed,
          RecordProblem::fanCount, RecordProblem::sizes}) {
        const char* reason = recordTexts::reason(problem);
        ASSERT_NE(reason, nullptr) << static_cast<int>(problem);
        reasons.insert(reason);
        const std::string warning = recordTexts::ignoredWarning(problem, path);
        EXPECT_NE(warning.find(reason), std::string::npos);
        EXPECT_TRUE(warning.ends_with(path)) << warning;
    }
    EXPECT_EQ(reasons.size(), 5u);
}
