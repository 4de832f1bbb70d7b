// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/ProgramFile.h"
#include "production/BoardImage.h"
#include "production/BoardNumbering.h"
#include "tests/support/HostFixture.h"
#include "tests/support/Process.h"

#include <QFile>
#include <gtest/gtest.h>

namespace qw735::test {
namespace {

// A board's number: where, how, and what the board's image gets, or why
// the number is refused (the field before any board starts, the value as
// a board's write begins).
struct PatchRow {
    const char *name;
    std::uint64_t address;
    const char *format;
    bool overData;
    std::uint64_t value;
    std::vector<std::uint8_t> bytes;  // at `address`
    std::int32_t maxAddress = 0;
    std::int32_t transferSize = 0;
    std::optional<SerialError::Kind> refused = std::nullopt;
    const char *message = "";
};

// The program of every row, made by srec_cat: 0xAA at 0x00000-0x000FF and
// 0x55 at 0x01000-0x010FF.
class BoardImageTest : public ::testing::TestWithParam<PatchRow> {
protected:
    static void SetUpTestSuite()
    {
        if (std::system("command -v srec_cat sha256sum >/dev/null 2>&1") != 0)
            return;
        dir_ = new QTemporaryDir;
        const QString mot = dir_->filePath(QStringLiteral("program.mot"));
        const ProcessRun made = RunProcess({QStringLiteral("srec_cat"), QStringLiteral("-generate"), QStringLiteral("0"), QStringLiteral("0x100"),
                                            QStringLiteral("-constant"), QStringLiteral("0xAA"), QStringLiteral("-generate"),
                                            QStringLiteral("0x1000"), QStringLiteral("0x1100"), QStringLiteral("-constant"),
                                            QStringLiteral("0x55"), QStringLiteral("-o"), mot});
        ASSERT_EQ(made.status, 0) << made.err.toStdString();
        program_ = new ProgramImage;
        const auto loaded = LoadProgramFile(QFile::encodeName(mot).toStdString(), *program_);
        ASSERT_TRUE(loaded);
        summary_ = new ProgramSummary(*loaded);
    }
    static void TearDownTestSuite()
    {
        delete summary_;
        delete program_;
        delete dir_;
    }
    void SetUp() override
    {
        if (!summary_)
            GTEST_SKIP() << "srec_cat or sha256sum not installed";
    }

    // The SHA-256 of `bytes`, by sha256sum.
    static QString Sha256Sum(const std::vector<std::uint8_t> &bytes)
    {
        const QString path = WriteFile(*dir_, QStringLiteral("sent.bin"), QByteArray(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
        return RunProcess({QStringLiteral("sha256sum"), path}).out.section(u' ', 0, 0);
    }

    static inline QTemporaryDir *dir_ = nullptr;
    static inline ProgramImage *program_ = nullptr;
    static inline ProgramSummary *summary_ = nullptr;
};

TEST_P(BoardImageTest, PutsTheNumberIntoTheBoardsOwnCopy)
{
    const PatchRow &row = GetParam();
    const auto format = ParseSerialFormat(row.format);
    ASSERT_TRUE(format);
    const SerialField field{row.address, *format, row.overData};
    const ProgramImage before = *program_;

    const auto checked = CheckSerialField(field, summary_->loaded);
    const auto board = checked ? MakeBoardImage(*program_, field, row.value) : std::unexpected(checked.error());
    EXPECT_EQ(program_->ImageBuffer, before.ImageBuffer);  // the shared image is never written
    EXPECT_EQ(program_->MaxAddress, before.MaxAddress);
    if (row.refused) {
        ASSERT_FALSE(board);
        EXPECT_EQ(board.error().kind, *row.refused);
        EXPECT_EQ(board.error().text, row.message);
        return;
    }
    ASSERT_TRUE(board) << board.error().text;

    // What the board must be sent, worked out apart from the code: the
    // program's bytes with the number's in place, and the transfer size the
    // image conversation gives for the row's highest address.
    std::vector<std::uint8_t> expected = before.ImageBuffer;
    std::ranges::copy(row.bytes, expected.begin() + static_cast<std::ptrdiff_t>(row.address));
    EXPECT_EQ(board->image.ImageBuffer, expected);
    EXPECT_EQ(board->image.MaxAddress, row.maxAddress);
    EXPECT_EQ(board->transferSize, row.transferSize);
    const std::vector<std::uint8_t> sent(expected.begin(), expected.begin() + row.transferSize);
    std::uint8_t sum = 0;
    for (const std::uint8_t byte : sent)
        sum = static_cast<std::uint8_t>(sum + byte);
    EXPECT_EQ(board->checksum, static_cast<std::uint8_t>(~sum));
    EXPECT_EQ(QString::fromLatin1(board->imageSha256), Sha256Sum(sent));
}

std::vector<std::uint8_t> Ascii(std::string_view text)
{
    return {text.begin(), text.end()};
}

using Kind = SerialError::Kind;

INSTANTIATE_TEST_SUITE_P(
    Fields, BoardImageTest,
    ::testing::Values(
        // Above the program: the transfer grows to cover the number.
        PatchRow{"AboveTheProgram", 0x2000, "u32le", false, 0x01020304, {4, 3, 2, 1}, 0x2003, 0x2040},
        // Between its ranges, next to each: the transfer stays as it was.
        PatchRow{"RightAfterData", 0x0100, "u16be", false, 0xBEEF, {0xBE, 0xEF}, 0x10FF, 0x1140},
        PatchRow{"RightBeforeData", 0x0FFE, "u16le", false, 0xBEEF, {0xEF, 0xBE}, 0x10FF, 0x1140},
        // At the very end of the data area: the last block lies past it.
        PatchRow{"LastBytes", 0x1FFF8, "ascii:8", false, 42, Ascii("00000042"), 0x1FFFF, 0x20040},
        PatchRow{"LastByte", 0x1FFFF, "u8", false, 7, {7}, 0x1FFFF, 0x20040},
        PatchRow{"OverDataAllowed", 0x00FC, "u32be", true, 0xCAFEBABE, {0xCA, 0xFE, 0xBA, 0xBE}, 0x10FF, 0x1140},
        PatchRow{"PastTheArea", 0x1FFFE, "u32le", false, 1, {}, 0, 0, Kind::OutsideDataArea,
                 "the serial number (u32le, 4 bytes at 0x1FFFE) does not lie inside the 128 KiB data area (0x00000-0x1FFFF)"},
        PatchRow{"PastTheAreaOverDataAllowed", 0x20000, "u8", true, 1, {}, 0, 0, Kind::OutsideDataArea,
                 "the serial number (u8, 1 byte at 0x20000) does not lie inside the 128 KiB data area (0x00000-0x1FFFF)"},
        PatchRow{"PastSixtyFourBits", 0xFFFFFFFFFFFFFFFE, "u32le", false, 1, {}, 0, 0, Kind::OutsideDataArea,
                 "the serial number (u32le, 4 bytes at 0xFFFFFFFFFFFFFFFE) does not lie inside the 128 KiB data area (0x00000-0x1FFFF)"},
        PatchRow{"OverTheFirstData", 0x00FE, "u32le", false, 1, {}, 0, 0, Kind::OverData,
                 "the serial number (u32le, 4 bytes at 0x000FE) lies over the program's data at 0x00000-0x000FF"},
        PatchRow{"OverTheSecondData", 0x10FF, "u16le", false, 1, {}, 0, 0, Kind::OverData,
                 "the serial number (u16le, 2 bytes at 0x010FF) lies over the program's data at 0x01000-0x010FF"},
        PatchRow{"ValueTooLarge", 0x2000, "u8", false, 256, {}, 0, 0, Kind::DoesNotFit, "the serial number 256 does not fit u8 (0 to 255)"}),
    [](const auto &info) { return std::string(info.param.name); });

// Two boards, two numbers: each image, checksum and SHA-256 its own.
TEST_F(BoardImageTest, EachBoardHasItsOwnChecksumAndSha256)
{
    const SerialField field{0x2000, *ParseSerialFormat("ascii:4"), false};
    const auto first = MakeBoardImage(*program_, field, 1);
    const auto second = MakeBoardImage(*program_, field, 2);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->serial, "0001");
    EXPECT_EQ(second->serial, "0002");
    EXPECT_EQ(first->transferSize, second->transferSize);
    // '1' and '2' differ by one in the sum, so the checksums do too.
    EXPECT_EQ(first->checksum, static_cast<std::uint8_t>(second->checksum + 1));
    EXPECT_NE(first->imageSha256, second->imageSha256);
    EXPECT_EQ(first->image.ImageBuffer[0x2003], '1');
    EXPECT_EQ(second->image.ImageBuffer[0x2003], '2');
}

// A run's numbering: the next value shown without taking it, each take the
// board's own image, and a mistake known before any board starts.
TEST_F(BoardImageTest, ARunsNumberingTakesOnlyWhenABoardBegins)
{
    const QString counter = WriteFile(*dir_, QStringLiteral("serial.txt"), "254\n");
    const SerialSourceText source{SerialSourceText::Kind::Counter, QFile::encodeName(counter).toStdString()};
    const auto numbering = BoardNumbering::Open(SerialField{0x2000, *ParseSerialFormat("u8"), false}, source, summary_->loaded);
    ASSERT_TRUE(numbering) << numbering.error().text;
    EXPECT_EQ(numbering->Next(), "254");
    EXPECT_EQ(numbering->Next(), "254");
    EXPECT_EQ(ReadFile(counter), "254\n");

    const auto first = numbering->Take(*program_);
    ASSERT_TRUE(first) << first.error().text;
    EXPECT_EQ(first->serial, "254");
    EXPECT_EQ(first->image.ImageBuffer[0x2000], 254);
    EXPECT_EQ(numbering->Next(), "255");
    ASSERT_TRUE(numbering->Take(*program_));
    // 256 does not fit: it is used up all the same, and the board says why.
    const auto third = numbering->Take(*program_);
    ASSERT_FALSE(third);
    EXPECT_EQ(third.error().text, "the serial number 256 does not fit u8 (0 to 255)");
    EXPECT_EQ(ReadFile(counter), "257\n");

    // Before any board: the next value, and the field against the program.
    const auto full = BoardNumbering::Open(SerialField{0x2000, *ParseSerialFormat("u8"), false}, source, summary_->loaded);
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().kind, Kind::DoesNotFit);
    const auto over = BoardNumbering::Open(SerialField{0x10, *ParseSerialFormat("u8"), false}, source, summary_->loaded);
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().kind, Kind::OverData);
    EXPECT_EQ(ReadFile(counter), "257\n");
}

}  // namespace
}  // namespace qw735::test
