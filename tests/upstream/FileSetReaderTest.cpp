// The reader of the rotating file set, on real files that the test writes and
// rotates the way the engine does (renames up the set, the oldest deleted),
// and the cursor file that remembers its place.

#include "upstream/CursorFile.h"
#include "upstream/FileSetReader.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using zqtest::TempDir;

class SetWriter {
public:
    SetWriter(const TempDir& dir, uint32_t nFiles) : m_Dir(dir), m_nFiles(nFiles) {}
    std::string Name(uint32_t i) const { return m_Dir.File("SDK_0" + std::to_string(i) + ".log"); }
    void Append(const std::string& strText) const {
        std::ofstream out(Name(0), std::ios::binary | std::ios::app);
        out << strText;
    }
    // SDK_00 -> SDK_01 -> ... -> SDK_0(N-1) -> deleted; a new empty SDK_00.
    void Rotate() const {
        (void)std::remove(Name(m_nFiles - 1).c_str());
        for (int i = static_cast<int>(m_nFiles) - 2; i >= 0; --i) {
            (void)std::rename(Name(static_cast<uint32_t>(i)).c_str(),
                              Name(static_cast<uint32_t>(i) + 1).c_str());
        }
        std::ofstream out(Name(0), std::ios::binary | std::ios::trunc);
    }

private:
    const TempDir& m_Dir;
    uint32_t m_nFiles;
};

// Reads until caught up; the texts and their sequence numbers.
std::vector<std::pair<std::string, uint64_t>> ReadAll(CFileSetReader* pReader) {
    std::vector<std::pair<std::string, uint64_t>> vLines;
    StreamLine stLine{};
    while (pReader->Next(&stLine) == kReadLine) {
        vLines.emplace_back(std::string(stLine.pText, stLine.nLen), stLine.stPos.nSeq);
    }
    return vLines;
}

using Lines = std::vector<std::pair<std::string, uint64_t>>;

// Only files the engine could have made are read: a FIFO, a link or a
// directory under an older name of the set is passed over (a FIFO without a
// writer must not hold the reader), and the real files are read as usual.
TEST(FileSetReader, PassesOverWhatIsNoFileOfTheSet) {
    const struct {
        const char* szName;
        int (*pfnPlant)(const std::string& strPath, const std::string& strTarget);
    } kPlants[] = {
        {"a FIFO",
         [](const std::string& p, const std::string&) { return mkfifo(p.c_str(), 0644); }},
        {"a link to a file",
         [](const std::string& p, const std::string& t) { return symlink(t.c_str(), p.c_str()); }},
        {"a directory",
         [](const std::string& p, const std::string&) { return mkdir(p.c_str(), 0755); }},
    };
    for (const auto& plant : kPlants) {
        SCOPED_TRACE(plant.szName);
        TempDir dir;
        SetWriter set(dir, 3);
        const std::string strOther = dir.File("other.txt");
        ASSERT_TRUE(zqtest::WriteFile(strOther, "not of the set\n"));
        set.Append("one\r\n");
        set.Rotate();  // SDK_01 holds "one"
        ASSERT_EQ(0, plant.pfnPlant(set.Name(2), strOther));
        set.Append("two\r\n");
        CFileSetReader reader;
        ASSERT_EQ(0, reader.Open(dir.Path().c_str(), "SDK"));
        ASSERT_EQ(kSeekExact, reader.Seek(nullptr));
        EXPECT_EQ((Lines{{"one", 1}, {"two", 2}}), ReadAll(&reader));
    }
}

TEST(FileSetReader, ReadsOldestFirstAcrossRotations) {
    TempDir dir;
    SetWriter set(dir, 3);
    set.Append("one\r\ntwo\r\n");
    set.Rotate();
    set.Append("three\r\nfour\n");
    CFileSetReader reader;
    ASSERT_EQ(0, reader.Open(dir.Path().c_str(), "SDK"));
    ASSERT_EQ(kSeekExact, reader.Seek(nullptr));
    EXPECT_EQ((Lines{{"one", 1}, {"two", 2}, {"three", 3}, {"four", 4}}), ReadAll(&reader));

    // A line whose LF has not come yet waits in the current file...
    set.Append("fi");
    EXPECT_EQ(Lines{}, ReadAll(&reader));
    set.Append("ve\r\nsix");
    EXPECT_EQ((Lines{{"five", 5}}), ReadAll(&reader));
    // ...and is complete as it is once its file has been rotated.
    set.Rotate();
    set.Append("seven\r\n");
    EXPECT_EQ((Lines{{"six", 6}, {"seven", 7}}), ReadAll(&reader));
    // Two rotations before the reader looks again: it follows its file by inode.
    set.Append("eight\r\n");
    set.Rotate();
    set.Append("nine\r\n");
    set.Rotate();
    set.Append("ten\r\n");
    EXPECT_EQ((Lines{{"eight", 8}, {"nine", 9}, {"ten", 10}}), ReadAll(&reader));
    EXPECT_EQ(0u, reader.RotatedAway());
}

TEST(FileSetReader, LinesDeletedUnreadAreCountedAndKeepTheirNumbers) {
    TempDir dir;
    SetWriter set(dir, 2);
    set.Append("1\n2\n3\n");
    CFileSetReader reader;
    ASSERT_EQ(0, reader.Open(dir.Path().c_str(), "SDK"));
    ASSERT_EQ(kSeekExact, reader.Seek(nullptr));
    StreamLine stLine{};
    ASSERT_EQ(kReadLine, reader.Next(&stLine));
    EXPECT_EQ("1", std::string(stLine.pText, stLine.nLen));
    // Two rotations delete the file being read, and one more deletes a file
    // never opened: "4 5".
    set.Rotate();
    set.Append("4\n5\n");
    set.Rotate();
    set.Append("6\n");
    reader.Rescan();
    EXPECT_EQ(2u, reader.RotatedAway());  // "2" and "3"
    set.Rotate();
    set.Append("7\n");
    reader.Rescan();
    EXPECT_EQ(4u, reader.RotatedAway());
    // What is left comes with the numbers it would have had.
    EXPECT_EQ((Lines{{"6", 6}, {"7", 7}}), ReadAll(&reader));
}

TEST(FileSetReader, SeekResumesAtTheCursorOfTheSameFileOnly) {
    TempDir dir;
    SetWriter set(dir, 3);
    set.Append("first line of the file, long enough for a full head hash of it\n");
    set.Append("b\nc\n");
    StreamPos stCursor{};
    {
        CFileSetReader reader;
        ASSERT_EQ(0, reader.Open(dir.Path().c_str(), "SDK"));
        ASSERT_EQ(kSeekExact, reader.Seek(nullptr));
        StreamLine stLine{};
        ASSERT_EQ(kReadLine, reader.Next(&stLine));
        ASSERT_EQ(kReadLine, reader.Next(&stLine));  // "b"
        stCursor = reader.Position();                // at "c"
    }
    CFileSetReader reader;
    ASSERT_EQ(0, reader.Open(dir.Path().c_str(), "SDK"));
    ASSERT_EQ(kSeekExact, reader.Seek(&stCursor));
    EXPECT_EQ((Lines{{"c", 3}}), ReadAll(&reader));

    // The same inode with other first bytes is another file (a reused inode):
    // the reader starts with the oldest file, numbered from its mark.
    StreamPos stOther = stCursor;
    stOther.nHeadHash ^= 1;
    set.Rotate();
    set.Append("d\n");
    ASSERT_EQ(kSeekCursorGone, reader.Seek(&stOther));
    const Lines vLines = ReadAll(&reader);
    ASSERT_EQ(4u, vLines.size());
    EXPECT_EQ(1u, vLines[0].second);
    EXPECT_EQ((std::pair<std::string, uint64_t>{"d", 4}), vLines[3]);

    // A power cut took the file's tail the cursor had passed: the reader goes
    // on at the end of what is there, and a line written after that is read.
    StreamPos stPast = reader.Position();  // after "d", the newest file's end
    stPast.nOffset += 100;
    ASSERT_EQ(kSeekExact, reader.Seek(&stPast));
    EXPECT_TRUE(ReadAll(&reader).empty());
    set.Append("e\n");
    EXPECT_EQ((Lines{{"e", stPast.nSeq}}), ReadAll(&reader));
}

TEST(FileSetReader, LongLinesComeInPieces) {
    TempDir dir;
    SetWriter set(dir, 3);
    const std::string strLong(kMaxLineText * 2 + 100, 'L');
    set.Append(strLong + "\r\nshort\r\n");
    CFileSetReader reader;
    ASSERT_EQ(0, reader.Open(dir.Path().c_str(), "SDK"));
    ASSERT_EQ(kSeekExact, reader.Seek(nullptr));
    const Lines vLines = ReadAll(&reader);
    ASSERT_EQ(4u, vLines.size());
    EXPECT_EQ(strLong, vLines[0].first + vLines[1].first + vLines[2].first);
    EXPECT_EQ((std::pair<std::string, uint64_t>{"short", 4}), vLines[3]);
}

// Every file read is marked with the number of its first line, so a line read
// again keeps its number when the state file is gone or names a file that
// rotation deleted; the lines between such a cursor and the oldest mark are
// counted as rotated away.
TEST(FileSetReader, LinesKeepTheirNumbersWithoutTheStateFile) {
    TempDir dir;
    ASSERT_TRUE(zqtest::WriteFile(dir.File("probe"), ""));
    if (setxattr(dir.File("probe").c_str(), kFirstSeqAttr, "1", 1, 0) != 0) {
        GTEST_SKIP() << "no extended attributes here: " << std::strerror(errno);
    }
    SetWriter set(dir, 3);
    set.Append("a1\na2\na3\n");
    set.Rotate();
    set.Append("b1\nb2\nb3\n");
    set.Rotate();
    set.Append("c1\nc2\n");
    CFileSetReader first;
    ASSERT_EQ(0, first.Open(dir.Path().c_str(), "SDK"));
    ASSERT_EQ(kSeekExact, first.Seek(nullptr));
    StreamLine stLine{};
    ASSERT_EQ(kReadLine, first.Next(&stLine));
    const StreamPos stAtA1 = stLine.stPos;
    ASSERT_EQ(8u, 1 + ReadAll(&first).size());
    set.Rotate();  // a1..a3 deleted
    set.Append("d1\n");
    const Lines kFromB = {{"b1", 4}, {"b2", 5}, {"b3", 6}, {"c1", 7}, {"c2", 8}, {"d1", 9}};
    const struct {
        const char* pName;
        const StreamPos* pCursor;
        int32_t nSeek;
        uint64_t nRotatedAway;
    } kCases[] = {{"no state file", nullptr, kSeekExact, 0},
                  {"the cursor's file rotated away", &stAtA1, kSeekCursorGone, 3}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pName);
        CFileSetReader reader;
        ASSERT_EQ(0, reader.Open(dir.Path().c_str(), "SDK"));
        EXPECT_EQ(c.nSeek, reader.Seek(c.pCursor));
        EXPECT_EQ(kFromB, ReadAll(&reader));
        EXPECT_EQ(c.nRotatedAway, reader.RotatedAway());
    }
}

TEST(CursorFile, SavedStateComesBackAndDamageMeansNone) {
    TempDir dir;
    CCursorFile cursor;
    ASSERT_EQ(0, cursor.SetPath(dir.Path().c_str(), "SDK"));
    EXPECT_EQ(dir.File("SDK_forward.state"), cursor.Path());
    CursorState stNone{};
    EXPECT_EQ(kCursorNone, cursor.Load(&stNone));

    const CursorState stSaved = {{123456789012ULL, 4096, 77, 0xfedcba9876543210ULL, 64}, 5};
    ASSERT_EQ(kCursorOk, cursor.Save(stSaved));
    EXPECT_FALSE(zqtest::FileExists(dir.File("SDK_forward.state.tmp")));
    CursorState stLoaded{};
    ASSERT_EQ(kCursorOk, cursor.Load(&stLoaded));
    EXPECT_EQ(stSaved.stPos.nInode, stLoaded.stPos.nInode);
    EXPECT_EQ(stSaved.stPos.nOffset, stLoaded.stPos.nOffset);
    EXPECT_EQ(stSaved.stPos.nSeq, stLoaded.stPos.nSeq);
    EXPECT_EQ(stSaved.stPos.nHeadHash, stLoaded.stPos.nHeadHash);
    EXPECT_EQ(stSaved.stPos.nHeadLen, stLoaded.stPos.nHeadLen);
    EXPECT_EQ(stSaved.nLost, stLoaded.nLost);

    const std::string strGood = zqtest::ReadFile(cursor.Path());
    const char* aDamaged[] = {"", "inode=1\n", "garbage", "inode=x\noffset=1\nseq=1\n"};
    for (const char* pText : aDamaged) {
        SCOPED_TRACE(pText);
        ASSERT_TRUE(zqtest::WriteFile(cursor.Path(), pText));
        EXPECT_EQ(kCursorDamaged, cursor.Load(&stLoaded));
    }
    ASSERT_TRUE(zqtest::WriteFile(cursor.Path(), strGood.substr(0, strGood.size() - 1)));
    EXPECT_EQ(kCursorDamaged, cursor.Load(&stLoaded)) << "a cut file is damaged";
    // A directory under the name: damaged, and no state can be saved over it.
    zqtest::RemoveTree(cursor.Path());
    ASSERT_EQ(0, mkdir(cursor.Path(), 0755));
    EXPECT_EQ(kCursorDamaged, cursor.Load(&stLoaded));
    EXPECT_EQ(kCursorIoError, cursor.Save(stSaved));
}

}  // namespace
