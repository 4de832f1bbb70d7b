// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/SRecordImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <expected>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace qw735;
namespace fs = std::filesystem;

namespace {

// Hand-checked records (checksums correct unless a test says otherwise).
const std::string Sixteen = "S1130000000102030405060708090A0B0C0D0E0F74";  // 00..0F at 0x0000
const std::string AcrossEnd = "S20C01FFFC112233445566778893";              // 8 bytes at 0x1FFFC

struct Loaded {
    SRecordImage image;
    std::optional<SRecordFault> fault;
    long lines = 0;
};

// Feeds `text` in pieces of `piece` bytes (0: all at once).
Loaded Load(const std::string &text, std::size_t piece = 0)
{
    Loaded out;
    SRecordLoader loader(out.image);
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

class TempDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "qw735-image-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Write(const std::string &name, const std::string &content)
    {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    fs::path dir_;
};

}  // namespace

TEST(SRecordLoader, FileWithoutDataRecordsLeavesImageBlank)
{
    const Loaded r = Load("S00600004844521B\n\nS5030001FB\nS9030000FC\nS804000000FB\nS70500000000FA\n"
                          "SG130000000102030405060708090A0B0C0D0E0F74\nHello\nS\n \t \n  " + Sixteen.substr(1) +
                          "\n\x1A\x1A");
    ASSERT_FALSE(r.fault);
    EXPECT_EQ(r.image.ImageBuffer, Blank());
    EXPECT_EQ(r.image.MaxAddress, 0);
    EXPECT_EQ(r.lines, 12);
}

// A byte-order mark at the very start and blanks before a record used to
// drop the record silently: the type digit is read at a fixed position.
TEST(SRecordLoader, RecordsStandAfterAByteOrderMarkAndBlanks)
{
    const std::string mark = "\xEF\xBB\xBF";
    const std::pair<std::string, long> stored[] = {
        {mark + Sixteen, 1},
        {" " + Sixteen, 1},
        {"\t \t" + Sixteen, 1},
        {std::string(1000, ' ') + Sixteen, 1},  // far more blanks than a line keeps of itself
        {mark + "\n" + Sixteen, 2},
        {"S00600004844521B\n  s1130000000102030405060708090a0b0c0d0e0f74", 2},
    };
    for (const auto &[text, lines] : stored) {
        for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{100}}) {
            const Loaded r = Load(text, piece);
            ASSERT_FALSE(r.fault) << text << " in pieces of " << piece;
            EXPECT_EQ(r.image.MaxAddress, 15) << text << " in pieces of " << piece;
            EXPECT_EQ(r.image.ImageBuffer[7], 7) << text << " in pieces of " << piece;
            EXPECT_EQ(r.lines, lines) << text;
        }
    }
    // Every other line reads as it always did.
    const std::string unchanged[] = {
        "S00600004844521B\n" + mark + Sixteen,  // a mark past the start is no mark
        "\xEF\xBB" + Sixteen,                   // nor is part of one
        "  " + Sixteen.substr(1),                // blanks, then no record
        " x" + Sixteen.substr(1),
    };
    for (const std::string &text : unchanged) {
        for (std::size_t piece : {std::size_t{0}, std::size_t{1}}) {
            const Loaded r = Load(text, piece);
            ASSERT_FALSE(r.fault) << text;
            EXPECT_EQ(r.image.ImageBuffer, Blank()) << text;
        }
    }
    // One blank in position 0, which is never looked at, still reads the
    // record after it from position 1.
    EXPECT_EQ(Load(" " + Sixteen.substr(1)).image.MaxAddress, 15);
    // Columns count the blanks.
    const Loaded bad = Load("  \tS1G3000000");
    ASSERT_TRUE(bad.fault);
    EXPECT_EQ(bad.fault->detail, "'G' at column 6 is not a hexadecimal digit");
    EXPECT_EQ(Load(std::string(600, ' ') + "S1130000000102030").fault->detail,
              "record ends at column 617, its byte count 0x13 needs 640 characters");
}

TEST(SRecordLoader, StoresDataRecords)
{
    Loaded r = Load("S10400005AA1\n");
    EXPECT_EQ(r.image.ImageBuffer[0], 0x5A);
    EXPECT_EQ(r.image.MaxAddress, 0);

    r = Load(Sixteen + "\n");
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(r.image.ImageBuffer[i], i);
    EXPECT_EQ(r.image.ImageBuffer[16], 0xFF);
    EXPECT_EQ(r.image.MaxAddress, 15);

    // Position 0 is never looked at.
    std::string shifted = Sixteen;
    shifted[0] = 'x';
    EXPECT_EQ(Load(shifted).image.ImageBuffer, r.image.ImageBuffer);
}

TEST(SRecordLoader, DropsDataAtAndAboveTheDataAreaEnd)
{
    for (const std::string &text : {AcrossEnd, std::string("S30D0001FFFC112233445566778892")}) {
        const Loaded r = Load(text);
        ASSERT_FALSE(r.fault) << text;
        std::vector<std::uint8_t> expected = Blank();
        for (int i = 0; i < 4; ++i)
            expected[0x1FFFC + i] = static_cast<std::uint8_t>(0x11 * (i + 1));
        EXPECT_EQ(r.image.ImageBuffer, expected) << text;
        EXPECT_EQ(r.image.MaxAddress, 0x1FFFF);
    }
    for (const char *text : {"S30980000000010203046C", "S309000200000102030400", "S309FFFFFFFF0102030400"}) {
        const Loaded r = Load(text);
        ASSERT_FALSE(r.fault) << text;
        EXPECT_EQ(r.image.ImageBuffer, Blank()) << text;
        EXPECT_EQ(r.image.MaxAddress, 0);
    }
}

TEST(SRecordLoader, LaterRecordOverwritesAndChecksumIsNotVerified)
{
    // Second record: one byte at 0x100, wrong checksum, then no checksum at all.
    for (const char *second : {"S20500010009F0", "S2050001000900", "S205000100099", "S20500010009"}) {
        const Loaded r = Load(std::string("S207000100010203F1\n") + second);
        ASSERT_FALSE(r.fault) << second;
        EXPECT_EQ(r.image.ImageBuffer[0x100], 9);
        EXPECT_EQ(r.image.ImageBuffer[0x101], 2);
        EXPECT_EQ(r.image.MaxAddress, 0x102);
    }
    // Characters after the data are never read.
    EXPECT_FALSE(Load("S10400005AZZ trailing junk").fault);
    EXPECT_FALSE(Load("S1030000 no data, not even read").fault);
    const Loaded tiny = Load("S1030000 no data, not even read\nS1000010\nS10200FF");  // byte counts below 4
    ASSERT_FALSE(tiny.fault);
    EXPECT_EQ(tiny.image.ImageBuffer, Blank());
}

TEST(SRecordLoader, LowerCaseDigitsKeepTheirValue)
{
    const Loaded upper = Load("S10BAB0CDEADBEEFCAFEBABEC5");
    const Loaded lower = Load("s10bab0cdeadbeefcafebabec5");
    ASSERT_FALSE(lower.fault);
    EXPECT_EQ(lower.image.ImageBuffer, upper.image.ImageBuffer);
    EXPECT_EQ(lower.image.ImageBuffer[0xAB0C], 0xDE);
    EXPECT_EQ(lower.image.MaxAddress, 0xAB13);
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

TEST(SRecordLoader, CarriageReturnAndLineFeedInSeparateChunksAreOneTerminator)
{
    const std::string text = Sixteen + "\r\n" + "S10400005AA1\r\nS1G3\r\n";
    for (std::size_t split = 0; split <= text.size(); ++split) {
        SRecordImage image;
        SRecordLoader loader(image);
        loader.Feed(text.data(), split);
        loader.Feed(text.data() + split, text.size() - split);
        const auto finished = loader.Finish();
        ASSERT_FALSE(finished);
        EXPECT_EQ(finished.error().line, 3) << "split at " << split;
        EXPECT_EQ(image.ImageBuffer[0], 0x5A);
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

struct BadCase {
    std::string line;
    std::string detail;
};

TEST(SRecordLoader, ReportsBadRecordsWithLineAndColumn)
{
    const BadCase cases[] = {
        {"S1", "record ends at column 2, the byte count needs columns 3-4"},
        {"S31", "record ends at column 3, the byte count needs columns 3-4"},
        {"S1G3000000", "'G' at column 3 is not a hexadecimal digit"},
        {"S11 0000000", "' ' at column 4 is not a hexadecimal digit"},
        {"S20500010", "record ends at column 9, its 6-digit address needs columns 5-10"},
        {"S2050X0100", "'X' at column 6 is not a hexadecimal digit"},
        {"S3090000", "record ends at column 8, its 8-digit address needs columns 5-12"},
        {"S1130000000102030", "record ends at column 17, its byte count 0x13 needs 40 characters"},
        {"S1070000010203", "record ends at column 14, its byte count 0x07 needs 16 characters"},
        {"S1070000010g0304", "'g' at column 12 is not a hexadecimal digit"},
        {"S1070000010\x1A""0304", "byte 0x1A at column 12 is not a hexadecimal digit"},
        {"S30700030000012G", "'G' at column 16 is not a hexadecimal digit"},  // checked though dropped
    };
    for (const BadCase &c : cases) {
        const Loaded r = Load(Sixteen + "\n\n" + c.line + "\n" + "S10400005AA1\n");
        ASSERT_TRUE(r.fault) << c.line;
        EXPECT_EQ(r.fault->line, 3) << c.line;
        EXPECT_EQ(r.fault->detail, c.detail) << c.line;
        EXPECT_NE(r.image.ImageBuffer[0], 0x5A) << "the load stops at the bad line";
    }
}

TEST_F(TempDir, FileErrorsNameTheFile)
{
    SRecordImage image;
    const std::string missing = (dir_ / "absent.mot").string();
    auto loaded = LoadSRecordFile(missing, image);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, SRecordError::Kind::CannotOpen);
    EXPECT_EQ(DescribeSRecordError(loaded.error()), "Cannot open S-record file " + missing + ": No such file or directory");

    loaded = LoadSRecordFile(dir_.string(), image);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(DescribeSRecordError(loaded.error()), "Cannot read S-record file " + dir_.string() + ": Is a directory");

    const std::string bad = Write("bad.mot", "S00600004844521B\r\nS1130000000102030405060708090A0BGC0D0E0F74\r\n");
    loaded = LoadSRecordFile(bad, image);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, SRecordError::Kind::BadRecord);
    EXPECT_EQ(loaded.error().line, 2);
    EXPECT_EQ(DescribeSRecordError(loaded.error()),
              "S-record file " + bad + ", line 2: 'G' at column 33 is not a hexadecimal digit");

    const std::string good = Write("good.mot", Sixteen + "\n");
    EXPECT_TRUE(LoadSRecordFile(good, image));
    EXPECT_EQ(image.MaxAddress, 15);
}

// Files written by other converters from a random binary with holes must load
// to exactly that binary, cut at the end of the data area.
TEST_F(TempDir, MatchesFilesWrittenByConverters)
{
    if (std::system("command -v srec_cat >/dev/null 2>&1 && command -v objcopy >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "srec_cat or objcopy not installed";
    std::mt19937 random(735);
    std::string data(0x22000, '\0');
    for (char &c : data)
        c = static_cast<char>(random());
    const std::string bin = Write("in.bin", data);
    const std::string d = dir_.string() + "/";
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

        // The converter's own flattening agrees too.
        const std::string flat = d + v.file + ".bin";
        const std::string flatten = "srec_cat " + d + v.file + " -motorola -crop 0 0x20000 -fill 0xFF 0 0x20000 -o " +
                                    flat + " -binary 2>/dev/null";
        ASSERT_EQ(std::system(flatten.c_str()), 0);
        std::ifstream in(flat, std::ios::binary);
        const std::vector<std::uint8_t> flattened((std::istreambuf_iterator<char>(in)), {});
        EXPECT_TRUE(std::equal(flattened.begin(), flattened.end(), image.ImageBuffer.begin())) << v.file;
        EXPECT_EQ(flattened.size(), 0x20000u);
    }
}
