// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/SRecordImage.h"
#include "tests/support/HostFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <expected>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace qw735;

namespace {

// Hand-checked records (checksums correct unless a row says otherwise).
const std::string Sixteen = "S1130000000102030405060708090A0B0C0D0E0F74";  // 00..0F at 0x0000
const std::string AcrossEnd = "S20C01FFFC112233445566778893";              // 8 bytes at 0x1FFFC

struct Loaded {
    SRecordImage image;
    std::optional<SRecordFault> fault;
    long lines = 0;
};

// Feeds `text` in pieces of `piece` bytes (0: all at once).
Loaded Load(const std::string &text, std::size_t piece = 0, TextLoadOptions options = {})
{
    Loaded out;
    SRecordLoader loader(out.image, options);
    std::expected<void, SRecordFault> loaded;
    const std::size_t step = piece ? piece : std::max<std::size_t>(text.size(), 1);
    for (std::size_t at = 0; loaded && at < text.size(); at += step)
        loaded = loader.Feed(text.data() + at, std::min(step, text.size() - at));
    if (loaded)
        loaded = loader.Finish();
    if (!loaded)
        out.fault = loaded.error();
    out.lines = loader.LineCount();
    return out;
}

std::vector<std::uint8_t> Blank()
{
    return std::vector<std::uint8_t>(ImageSize, 0xFF);
}

// A load whose image must hold `data` at `at` and 0xFF everywhere else.
struct Stored {
    std::string text;
    std::uint32_t at;
    std::vector<std::uint8_t> data;
    std::int32_t maxAddress;
    bool verify = true;  // checksums verified
};

}  // namespace

// A byte-order mark at the very start and blanks before a record used to
// drop the record silently: the type digit is read at a fixed position.
TEST(SRecordLoader, RecordsStandAfterAByteOrderMarkAndBlanks)
{
    const std::string mark = "\xEF\xBB\xBF";
    const struct {
        std::string text;
        long lines;
        bool stored;  // Sixteen's data, or nothing
    } rows[] = {
        {mark + Sixteen, 1, true},
        {" " + Sixteen, 1, true},
        {"\t \t" + Sixteen, 1, true},
        {std::string(1000, ' ') + Sixteen, 1, true},  // far more blanks than a line keeps of itself
        {mark + "\n" + Sixteen, 2, true},
        {"S00600004844521B\n  s1130000000102030405060708090a0b0c0d0e0f74", 2, true},
        {" " + Sixteen.substr(1), 1, true},  // a blank in position 0, which is never looked at
        // Every other line reads as it always did.
        {"S00600004844521B\n" + mark + Sixteen, 2, false},  // a mark past the start is no mark
        {"\xEF\xBB" + Sixteen, 1, false},                   // nor is part of one
        {"  " + Sixteen.substr(1), 1, false},                // blanks, then no record
        {" x" + Sixteen.substr(1), 1, false},
    };
    for (const auto &row : rows) {
        for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{100}}) {
            const Loaded r = Load(row.text, piece);
            ASSERT_FALSE(r.fault) << row.text << " in pieces of " << piece;
            EXPECT_EQ(r.image.MaxAddress, row.stored ? 15 : 0) << row.text << " in pieces of " << piece;
            EXPECT_EQ(r.image.ImageBuffer[7], row.stored ? 7 : 0xFF) << row.text << " in pieces of " << piece;
            EXPECT_EQ(r.lines, row.lines) << row.text;
        }
    }
}

TEST(SRecordLoader, StoresDataBelowTheDataAreaEndOnly)
{
    const std::vector<std::uint8_t> sixteen = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const std::vector<std::uint8_t> acrossEnd = {0x11, 0x22, 0x33, 0x44};  // the other four dropped
    const Stored rows[] = {
        // No S1, S2 or S3 record: headers, counts, start addresses, junk, blanks, end-of-file marks.
        {"S00600004844521B\n\nS5030001FB\nS9030000FC\nS804000000FB\nS70500000000FA\n"
         "SG130000000102030405060708090A0B0C0D0E0F74\nHello\nS\n \t \n  " + Sixteen.substr(1) + "\n\x1A\x1A", 0, {}, 0},
        {"S10400005AA1", 0, {0x5A}, 0},  // data only at address 0 looks like none
        {Sixteen, 0, sixteen, 15},
        {"x" + Sixteen.substr(1), 0, sixteen, 15},  // position 0 is never looked at
        {AcrossEnd, 0x1FFFC, acrossEnd, 0x1FFFF},
        {"S30D0001FFFC112233445566778892", 0x1FFFC, acrossEnd, 0x1FFFF},
        {"S30980000000010203046C", 0, {}, 0},
        {"S3090002000001020304EA", 0, {}, 0},
        {"S309FFFFFFFF01020304F0", 0, {}, 0},
        // The later record wins.
        {"S207000100010203F1\nS20500010009F0", 0x100, {9, 2, 3}, 0x102},
        // Checksums not verified (--ignore-checksums): neither read nor needed.
        {"S207000100010203F1\nS2050001000900", 0x100, {9, 2, 3}, 0x102, false},
        {"S207000100010203F1\nS205000100099", 0x100, {9, 2, 3}, 0x102, false},
        {"S207000100010203F1\nS20500010009", 0x100, {9, 2, 3}, 0x102, false},
        // Characters after the checksum are never read.
        {"S10400005AA1ZZ trailing junk", 0, {0x5A}, 0},
        {"S1030000 no data, not even read\nS1000010\nS10200FF", 0, {}, 0},  // byte counts below 4
        // Lower-case digits keep their value in every field.
        {"s10bab0cdeadbeefcafebabec5", 0xAB0C, {0xDE, 0xAD, 0xBE, 0xEF, 0xCA, 0xFE, 0xBA, 0xBE}, 0xAB13},
    };
    for (const Stored &row : rows) {
        const Loaded r = Load(row.text, 0, {TextFormat::SRecord, row.verify});
        ASSERT_FALSE(r.fault) << row.text;
        std::vector<std::uint8_t> expected = Blank();
        std::copy(row.data.begin(), row.data.end(), expected.begin() + row.at);
        EXPECT_EQ(r.image.ImageBuffer, expected) << row.text;
        EXPECT_EQ(r.image.MaxAddress, row.maxAddress) << row.text;
    }
}

TEST(SRecordLoader, LineEndingsAndChunkingDoNotMatter)
{
    const std::string lines[] = {"S00600004844521B", Sixteen, "S10400005AA1", AcrossEnd, "S9030000FC"};
    const Loaded reference = Load(lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n" + lines[3] + "\n" + lines[4]);
    ASSERT_EQ(reference.image.ImageBuffer[0x1FFFF], 0x44);
    const std::vector<std::vector<std::string>> endings = {
        {"\n", "\n", "\n", "\n", ""},          {"\r\n", "\r\n", "\r\n", "\r\n", "\r\n"},
        {"\r", "\r", "\r", "\r", "\r"},         {"\r\n", "\n", "\r", "\r\n", "\n"},
        {"\n", "\r", "\r\n", "\r", ""},
    };
    for (const auto &ends : endings) {
        std::string text;
        for (int i = 0; i < 5; ++i)
            text += lines[i] + ends[i];
        for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{7}}) {
            const Loaded r = Load(text, piece);
            ASSERT_FALSE(r.fault);
            EXPECT_EQ(r.image.ImageBuffer, reference.image.ImageBuffer) << piece;
            EXPECT_EQ(r.image.MaxAddress, 0x1FFFF);
            EXPECT_EQ(r.lines, 5) << "piece " << piece;
        }
    }
}

TEST(SRecordLoader, LongLinesAreCountedWithoutBeingKept)
{
    const std::string longLine = Sixteen + std::string(3'000'000, '7');
    const Loaded r = Load(longLine + "\n" + std::string(1'000'000, ' ') + "\r\nS1", 65536);
    ASSERT_TRUE(r.fault);
    EXPECT_EQ(r.fault->line, 3);
    EXPECT_EQ(r.image.MaxAddress, 15);
}

TEST(SRecordLoader, ReportsBadRecordsWithLineAndColumn)
{
    const std::pair<std::string, std::string> cases[] = {
        {"S1", "record ends at column 2, the byte count needs columns 3-4"},
        {"S31", "record ends at column 3, the byte count needs columns 3-4"},
        {"S1G3000000", "'G' at column 3 is not a hexadecimal digit"},
        {"S11 0000000", "' ' at column 4 is not a hexadecimal digit"},
        {"S20500010", "record ends at column 9, its 6-digit address needs columns 5-10"},
        {"S2050X0100", "'X' at column 6 is not a hexadecimal digit"},
        {"S3090000", "record ends at column 8, its 8-digit address needs columns 5-12"},
        {"S1130000000102030", "record ends at column 17, its byte count 0x13 needs 42 characters"},
        {"S1070000010203", "record ends at column 14, its byte count 0x07 needs 18 characters"},
        {"S1070000010203040", "record ends at column 17, its byte count 0x07 needs 18 characters"},
        {"S1070000010g0304", "'g' at column 12 is not a hexadecimal digit"},
        {"S1070000010\x1A""0304", "byte 0x1A at column 12 is not a hexadecimal digit"},
        {"S30700030000012G", "'G' at column 16 is not a hexadecimal digit"},  // checked though dropped
        // Columns count the blanks a record stands after.
        {"  \tS1G3000000", "'G' at column 6 is not a hexadecimal digit"},
        {std::string(600, ' ') + "S1130000000102030", "record ends at column 617, its byte count 0x13 needs 642 characters"},
        // The checksum: ones' complement of the sum of count, address and data.
        {"S1130000000102030405060708090A0B0C0D0E0F75", "checksum 0x75 found, 0x74 expected"},
        {"S1130000000102030405060708090A0B0C0D0E1F74", "checksum 0x74 found, 0x64 expected"},
        {"S30D0001FFFC112233445566778893", "checksum 0x93 found, 0x92 expected"},  // checked though dropped
        {"S1130000000102030405060708090A0B0C0D0E0F7G", "'G' at column 42 is not a hexadecimal digit"},
    };
    for (const auto &[line, detail] : cases) {
        const Loaded r = Load(Sixteen + "\n\n" + line + "\n" + "S10400005AA1\n");
        ASSERT_TRUE(r.fault) << line;
        EXPECT_EQ(r.fault->line, 3) << line;
        EXPECT_EQ(r.fault->detail, detail) << line;
        EXPECT_NE(r.image.ImageBuffer[0], 0x5A) << "the load stops at the bad line";
    }
}

// Files written by other converters from a random binary with holes must load
// to exactly that binary, cut at the end of the data area.
TEST(SRecordLoader, MatchesFilesWrittenByConverters)
{
    if (std::system("command -v srec_cat >/dev/null 2>&1 && command -v objcopy >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "srec_cat or objcopy not installed";
    std::mt19937 random(735);
    std::string data(0x22000, '\0');
    for (char &c : data)
        c = static_cast<char>(random());
    QTemporaryDir dir;
    const std::string bin = test::WriteFile(dir, QStringLiteral("in.bin"), QByteArray::fromStdString(data)).toStdString();
    const std::string d = dir.path().toStdString() + "/";
    struct Variant {
        std::string file;
        std::string command;  // writes `file` from in.bin
        std::size_t offset;   // where in.bin byte 0 goes
        std::size_t length;   // bytes of in.bin used
        std::vector<std::pair<std::size_t, std::size_t>> holes;  // [from, to) of in.bin left out
    } variants[] = {
        {"s1.mot", "srec_cat " + bin + " -binary -crop 0 0xF000 -o " + d + "s1.mot -motorola -address-length=2", 0,
         0xF000, {}},
        {"s2.mot", "srec_cat " + bin + " -binary -exclude 0x1000 0x1800 -exclude 0x9001 0x9002 -offset 0x100 -o " + d +
             "s2.mot -motorola -address-length=3", 0x100, data.size(), {{0x1000, 0x1800}, {0x9001, 0x9002}}},
        {"s3.mot", "srec_cat " + bin + " -binary -exclude 0x3 0x80 -o " + d + "s3.mot -motorola -address-length=4", 0,
         data.size(), {{0x3, 0x80}}},
        {"oc.srec", "objcopy -I binary -O srec --change-addresses 0x40 " + bin + " " + d + "oc.srec", 0x40,
         data.size(), {}},
        {"oc3.srec", "objcopy -I binary -O srec --srec-forceS3 --srec-len=64 " + bin + " " + d + "oc3.srec", 0,
         data.size(), {}},
    };
    for (const Variant &v : variants) {
        ASSERT_EQ(std::system(v.command.c_str()), 0) << v.command;
        std::vector<std::uint8_t> expected = Blank();
        for (std::size_t i = 0; i < v.length && v.offset + i < 0x20000; ++i)
            expected[v.offset + i] = static_cast<std::uint8_t>(data[i]);
        for (const auto &[from, to] : v.holes)
            std::fill(expected.begin() + v.offset + from, expected.begin() + v.offset + to, 0xFF);

        SRecordImage image;
        const auto loaded = LoadSRecordFile(d + v.file, image);
        ASSERT_TRUE(loaded) << DescribeSRecordError(loaded.error());
        EXPECT_EQ(image.ImageBuffer, expected) << v.file;
        EXPECT_EQ(image.MaxAddress, static_cast<std::int32_t>(std::min<std::size_t>(0x1FFFF, v.offset + v.length - 1)))
            << v.file;
    }
}
