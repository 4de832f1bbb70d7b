// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/ProgramFile.h"
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
    long lines = 0;      // the lines counted, when not 0
    bool verify = true;  // checksums verified
};

}  // namespace

// Every row in pieces of any size. A byte-order mark at the very start and
// blanks before a record used to drop the record silently: the type digit
// is read at a fixed position.
TEST(SRecordLoader, StoresDataBelowTheDataAreaEndOnly)
{
    const std::vector<std::uint8_t> sixteen = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const std::vector<std::uint8_t> acrossEnd = {0x11, 0x22, 0x33, 0x44};  // the other four dropped
    const std::string mark = "\xEF\xBB\xBF";
    const Stored rows[] = {
        {mark + Sixteen, 0, sixteen, 15, 1},
        {" " + Sixteen, 0, sixteen, 15, 1},
        {"\t \t" + Sixteen, 0, sixteen, 15, 1},
        {std::string(1000, ' ') + Sixteen, 0, sixteen, 15, 1},  // far more blanks than a line keeps of itself
        {mark + "\n" + Sixteen, 0, sixteen, 15, 2},
        {"S00600004844521B\n  s1130000000102030405060708090a0b0c0d0e0f74", 0, sixteen, 15, 2},
        {" " + Sixteen.substr(1), 0, sixteen, 15, 1},  // a blank in position 0, which is never looked at
        // Every other line reads as it always did.
        {"S00600004844521B\n" + mark + Sixteen, 0, {}, 0, 2},  // a mark past the start is no mark
        {"\xEF\xBB" + Sixteen, 0, {}, 0, 1},                   // nor is part of one
        {"  " + Sixteen.substr(1), 0, {}, 0, 1},                // blanks, then no record
        {" x" + Sixteen.substr(1), 0, {}, 0, 1},
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
        {"S207000100010203F1\nS2050001000900", 0x100, {9, 2, 3}, 0x102, 0, false},
        {"S207000100010203F1\nS205000100099", 0x100, {9, 2, 3}, 0x102, 0, false},
        {"S207000100010203F1\nS20500010009", 0x100, {9, 2, 3}, 0x102, 0, false},
        // Characters after the checksum are never read.
        {"S10400005AA1ZZ trailing junk", 0, {0x5A}, 0},
        {"S1030000 no data, not even read\nS1000010\nS10200FF", 0, {}, 0},  // byte counts below 4
        // Lower-case digits keep their value in every field.
        {"s10bab0cdeadbeefcafebabec5", 0xAB0C, {0xDE, 0xAD, 0xBE, 0xEF, 0xCA, 0xFE, 0xBA, 0xBE}, 0xAB13},
    };
    for (const Stored &row : rows) {
        std::vector<std::uint8_t> expected = Blank();
        std::copy(row.data.begin(), row.data.end(), expected.begin() + row.at);
        for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{100}}) {
            SCOPED_TRACE(row.text + " in pieces of " + std::to_string(piece));
            const Loaded r = Load(row.text, piece, {TextFormat::SRecord, row.verify});
            ASSERT_FALSE(r.fault);
            EXPECT_EQ(r.image.ImageBuffer, expected);
            EXPECT_EQ(r.image.MaxAddress, row.maxAddress);
            EXPECT_TRUE(row.lines == 0 || r.lines == row.lines) << r.lines;
        }
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

// Files other tools write from one random program with holes, in every
// format: each loads to exactly srec_cat's 0xFF-filled binary of the same
// file (of objcopy's S-records of it, for ELF, which srec_cat does not
// read), cut at the end of the data area, MaxAddress at its last byte.
TEST(SRecordLoader, MatchesFilesWrittenByConverters)
{
    if (std::system("command -v srec_cat objcopy ld iconv powerpc-linux-gnu-ld >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "srec_cat, binutils, iconv or binutils-powerpc-linux-gnu not installed";
    QTemporaryDir dir;
    const std::string d = dir.path().toStdString() + "/";
    std::mt19937 random(16);
    for (const auto &[name, size] : {std::pair{"in.bin", 0x1F000}, {"a.bin", 0x8000}, {"b.bin", 0x3000}}) {
        QByteArray data(size, '\0');
        for (char &c : data)
            c = static_cast<char>(random());
        test::WriteFile(dir, QString::fromLatin1(name), data);
    }
    // Code at 0x100; data that runs at 0x80000 but is stored at 0x9000, with
    // zero fill after it that is not in the file.
    test::WriteFile(dir, QStringLiteral("elf.ld"), "SECTIONS {\n  .text 0x100 : AT(0x100) { a.o(.data) }\n"
                                                  "  .data 0x80000 : AT(0x9000) { b.o(.data) }\n  .bss (NOLOAD) : { . += 0x400; }\n"
                                                  "  /DISCARD/ : { *(*) }\n}\n");
    const auto elf = [&](const std::string &tools, const std::string &bfd, const std::string &arch, const std::string &emulation) {
        const std::string object = tools + "objcopy -I binary -O " + bfd + " -B " + arch + " ";
        return "cd " + d + " && " + object + "a.bin a.o && " + object + "b.bin b.o && " + tools + "ld -m " + emulation +
               " -n -T elf.ld a.o b.o -o " + emulation + ".elf && " + tools + "objcopy -O srec " + emulation + ".elf " + emulation + ".srec";
    };
    const std::string in = "srec_cat " + d + "in.bin -binary ";
    const struct {
        std::string file;     // loaded
        std::string make;     // makes it
        std::string oracle;   // srec_cat's input for the expected image
        std::int32_t maxAddress;
    } rows[] = {
        {"s19.mot", in + "-crop 0 0xF000 -o " + d + "s19.mot -motorola -address-length=2", "s19.mot -motorola", 0xEFFF},
        {"s28.mot", in + "-exclude 0x1000 0x1800 -offset 0x100 -o " + d + "s28.mot -motorola -address-length=3", "s28.mot -motorola", 0x1F0FF},
        // Past the data area by 0x800 bytes: those are dropped.
        {"s37.mot", in + "-exclude 0x3 0x80 -offset 0x1800 -o " + d + "s37.mot -motorola -address-length=4", "s37.mot -motorola", 0x1FFFF},
        {"linear.hex", in + "-exclude 0x9001 0x9002 -o " + d + "linear.hex -intel", "linear.hex -intel", 0x1EFFF},
        {"segment.hex", in + "-o " + d + "segment.hex -intel -address-length=3", "segment.hex -intel", 0x1EFFF},
        {"objcopy.hex", "objcopy -I binary -O ihex --change-addresses 0x40 " + d + "in.bin " + d + "objcopy.hex", "objcopy.hex -intel", 0x1F03F},
        {"objcopy.srec", "objcopy -I binary -O srec --srec-forceS3 --srec-len=64 " + d + "in.bin " + d + "objcopy.srec", "objcopy.srec -motorola",
         0x1EFFF},
        {"utf16.hex", "iconv -f ASCII -t UTF-16 " + d + "linear.hex > " + d + "utf16.hex", "linear.hex -intel", 0x1EFFF},
        {"elf_x86_64.elf", elf("", "elf64-x86-64", "i386:x86-64", "elf_x86_64"), "elf_x86_64.srec -motorola", 0xBFFF},
        {"elf_i386.elf", elf("", "elf32-i386", "i386", "elf_i386"), "elf_i386.srec -motorola", 0xBFFF},
        {"elf32ppc.elf", elf("powerpc-linux-gnu-", "elf32-powerpc", "powerpc", "elf32ppc"), "elf32ppc.srec -motorola", 0xBFFF},
        {"elf64ppc.elf", elf("powerpc-linux-gnu-", "elf64-powerpc", "powerpc", "elf64ppc"), "elf64ppc.srec -motorola", 0xBFFF},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.file);
        ASSERT_EQ(std::system(row.make.c_str()), 0) << row.make;
        const std::string oracle = "cd " + d + " && srec_cat " + row.oracle + " -fill 0xFF 0 0x20000 -o expected.bin -binary";
        ASSERT_EQ(std::system(oracle.c_str()), 0) << oracle;
        std::vector<std::uint8_t> expected = Blank();
        const QByteArray area = test::ReadFile(dir.filePath(QStringLiteral("expected.bin"))).left(0x20000);
        std::copy(area.begin(), area.end(), expected.begin());

        SRecordImage image;
        const auto loaded = LoadProgramFile(d + row.file, image);
        ASSERT_TRUE(loaded) << DescribeProgramError(loaded.error());
        EXPECT_EQ(image.ImageBuffer, expected);
        EXPECT_EQ(image.MaxAddress, row.maxAddress);
        EXPECT_EQ(loaded->droppedBytes, row.file == "s37.mot" ? 0x800u : 0u);
    }
}
