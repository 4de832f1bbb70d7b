// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/ProgramFile.h"
#include "tests/support/FaultMatrix.h"
#include "tests/support/HostFixture.h"
#include "writer/SendImage.h"

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
    ProgramImage image;
    std::optional<ProgramError> fault;
    long lines = 0;
};

// Feeds `text` to the line reader in pieces of `piece` bytes (0: all at once).
Loaded Load(const std::string &text, std::size_t piece = 0, TextLoadOptions options = {})
{
    Loaded out;
    LineReader reader(out.image, options);
    std::expected<void, ProgramError> loaded;
    const std::size_t step = piece ? piece : std::max<std::size_t>(text.size(), 1);
    for (std::size_t at = 0; loaded && at < text.size(); at += step)
        loaded = reader.Feed(text.data() + at, std::min(step, text.size() - at));
    if (loaded)
        loaded = reader.Finish();
    if (!loaded)
        out.fault = loaded.error();
    out.lines = reader.LineCount();
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
// blanks before a record must not drop the record, though the type digit
// is read at a fixed position.
TEST(SRecordLines, StoresDataBelowTheDataAreaEndOnly)
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
        // Every other line reads as it stands.
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

TEST(SRecordLines, LineEndingsAndChunkingDoNotMatter)
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

TEST(SRecordLines, LongLinesAreCountedWithoutBeingKept)
{
    const std::string longLine = Sixteen + std::string(3'000'000, '7');
    const Loaded r = Load(longLine + "\n" + std::string(1'000'000, ' ') + "\r\nS1", 65536);
    ASSERT_TRUE(r.fault);
    EXPECT_EQ(r.fault->line, 3);
    EXPECT_EQ(r.image.MaxAddress, 15);
}

TEST(SRecordLines, ReportsBadRecordsWithLineAndColumn)
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
        // A wrong checksum is the one fault a user may pass over.
        EXPECT_EQ(r.fault->kind, detail.starts_with("checksum") ? ProgramError::Kind::BadChecksum : ProgramError::Kind::BadRecord) << line;
        EXPECT_NE(r.image.ImageBuffer[0], 0x5A) << "the load stops at the bad line";
    }
}

// Files other tools write from one random program with holes, in every
// format: each loads to exactly srec_cat's 0xFF-filled binary of the same
// file (of objcopy's S-records of it, for ELF, which srec_cat does not
// read), cut at the end of the data area, MaxAddress at its last byte; and
// a write puts exactly that on a board. ELF files are linked by ld in the
// layouts that put the ELF header and the program headers into a loadable
// segment (the default script, a flash region that starts above 0), and
// in one that does not (-n), for both word sizes and byte orders.
TEST(ProgramLoader, MatchesFilesWrittenByConverters)
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
    // -n: code at 0x100; data that runs at 0x80000 but is stored at 0x9000,
    // with zero fill after it that is not in the file.
    test::WriteFile(dir, QStringLiteral("n.ld"), "SECTIONS {\n  .text 0x100 : AT(0x100) { a.o(.text) }\n"
                                                "  .data 0x80000 : AT(0x9000) { b.o(.data) }\n  .bss (NOLOAD) : { . += 0x400; }\n"
                                                "  /DISCARD/ : { *(*) }\n}\n");
    test::WriteFile(dir, QStringLiteral("flash.ld"), "MEMORY { flash (rx) : ORIGIN = 0x1400, LENGTH = 0x1EC00 }\n"
                                                    "SECTIONS {\n  .text : { *(.text) } > flash\n  .rodata : { *(.data) } > flash\n}\n");
    const std::string in = "srec_cat " + d + "in.bin -binary ";
    struct Row {
        std::string file;     // loaded
        std::string make;     // makes it
        std::string oracle;   // srec_cat's input for the expected image
        std::int32_t maxAddress;
        std::uint64_t dropped = 0;
        long sections = 0;    // ELF: written, or 0 for a file without section headers
    };
    std::vector<Row> rows = {
        {"s19.mot", in + "-crop 0 0xF000 -o " + d + "s19.mot -motorola -address-length=2", "s19.mot -motorola", 0xEFFF},
        {"s28.mot", in + "-exclude 0x1000 0x1800 -offset 0x100 -o " + d + "s28.mot -motorola -address-length=3", "s28.mot -motorola", 0x1F0FF},
        // Past the data area by 0x800 bytes: those are dropped.
        {"s37.mot", in + "-exclude 0x3 0x80 -offset 0x1800 -o " + d + "s37.mot -motorola -address-length=4", "s37.mot -motorola", 0x1FFFF, 0x800},
        {"linear.hex", in + "-exclude 0x9001 0x9002 -o " + d + "linear.hex -intel", "linear.hex -intel", 0x1EFFF},
        {"segment.hex", in + "-o " + d + "segment.hex -intel -address-length=3", "segment.hex -intel", 0x1EFFF},
        {"objcopy.hex", "objcopy -I binary -O ihex --change-addresses 0x40 " + d + "in.bin " + d + "objcopy.hex", "objcopy.hex -intel", 0x1F03F},
        {"objcopy.srec", "objcopy -I binary -O srec --srec-forceS3 --srec-len=64 " + d + "in.bin " + d + "objcopy.srec", "objcopy.srec -motorola",
         0x1EFFF},
        {"utf16.hex", "iconv -f ASCII -t UTF-16 " + d + "linear.hex > " + d + "utf16.hex", "linear.hex -intel", 0x1EFFF},
    };
    const struct {
        const char *emulation, *bfd, *arch, *tools;
        bool is64;
    } machines[] = {{"elf_x86_64", "elf64-x86-64", "i386:x86-64", "", true},
                    {"elf_i386", "elf32-i386", "i386", "", false},
                    {"elf32ppc", "elf32-powerpc", "powerpc", "powerpc-linux-gnu-", false},
                    {"elf64ppc", "elf64-powerpc", "powerpc", "powerpc-linux-gnu-", true}};
    const struct {
        const char *name, *options;
        std::int32_t maxAddress;
        std::uint64_t dropped;
    } layouts[] = {{"n", "-n -T n.ld", 0xBFFF, 0},
                   // Data from 0x1F800: 0x2800 of its bytes lie past the area.
                   {"default", "-Ttext=0x8000 -Tdata=0x1F800 -e 0x8000", 0x1FFFF, 0x2800},
                   {"flash", "-T flash.ld", 0xC3FF, 0}};
    for (const auto &machine : machines) {
        const std::string tools = machine.tools;
        const std::string objects = "cd " + d + " && " + tools + "objcopy -I binary -O " + machine.bfd + " -B " + machine.arch +
                                    " --rename-section .data=.text,alloc,load,readonly,code,contents a.bin a.o && " + tools +
                                    "objcopy -I binary -O " + machine.bfd + " -B " + machine.arch + " b.bin b.o && ";
        for (const auto &layout : layouts) {
            const std::string name = std::string(machine.emulation) + "-" + layout.name;
            rows.push_back({name + ".elf",
                            objects + tools + "ld -m " + machine.emulation + " " + layout.options + " a.o b.o -o " + name + ".elf 2>/dev/null && " +
                                tools + "objcopy -O srec " + name + ".elf " + name + ".srec",
                            name + ".srec -motorola", layout.maxAddress, layout.dropped, 2});
        }
    }
    // Stripped of their section headers: the segments are written, less the
    // headers, which here is exactly what the sections hold.
    for (const char *name : {"elf_x86_64-flash", "elf_i386-default"}) {
        const bool is64 = std::string(name).starts_with("elf_x86_64");
        const Row &original = *std::find_if(rows.begin(), rows.end(), [&](const Row &row) { return row.file == name + std::string(".elf"); });
        const std::string stripped = std::string(name) + "-stripped.elf";
        rows.push_back({stripped,
                        "cd " + d + " && cp " + original.file + " " + stripped + " && dd if=/dev/zero of=" + stripped + " bs=1 conv=notrunc status=none " +
                            (is64 ? "seek=40 count=8" : "seek=32 count=4") + " && dd if=/dev/zero of=" + stripped +
                            " bs=1 conv=notrunc status=none " + (is64 ? "seek=60 count=4" : "seek=48 count=4"),
                        original.oracle, original.maxAddress, original.dropped, 0});
    }
    for (const Row &row : rows) {
        SCOPED_TRACE(row.file);
        ASSERT_EQ(std::system(row.make.c_str()), 0) << row.make;
        const std::string oracle = "cd " + d + " && srec_cat " + row.oracle + " -fill 0xFF 0 0x20000 -o expected.bin -binary 2>/dev/null";
        ASSERT_EQ(std::system(oracle.c_str()), 0) << oracle;
        std::vector<std::uint8_t> expected = Blank();
        const QByteArray area = test::ReadFile(dir.filePath(QStringLiteral("expected.bin"))).left(0x20000);
        std::copy(area.begin(), area.end(), expected.begin());

        ProgramImage image;
        const auto loaded = LoadProgramFile(d + row.file, image);
        ASSERT_TRUE(loaded) << DescribeProgramError(loaded.error(), row.file);
        EXPECT_EQ(image.ImageBuffer, expected);
        EXPECT_EQ(image.MaxAddress, row.maxAddress);
        EXPECT_EQ(loaded->droppedBytes, row.dropped);
        if (loaded->format == ProgramFormat::Elf) {
            EXPECT_EQ(loaded->sections, row.sections);
            EXPECT_EQ(loaded->notes.size(), row.sections == 0 ? 1u : 0u);
        }

        test::WriteBench bench;
        ASSERT_EQ(bench.Write(test::ReadFile(QString::fromStdString(d + row.file))).outcome, WriteOutcome::Ok);
        const std::vector<std::uint8_t> received = bench.host.board->LastWrite().image;
        ASSERT_EQ(received.size(), static_cast<std::size_t>(TransferSize(row.maxAddress)));
        EXPECT_TRUE(std::equal(received.begin(), received.end(), expected.begin())) << "the board got another image";
    }
}

namespace {

// A program file's bytes, and what the loader must make of them: the
// bytes stored (0xFF elsewhere), or the message that refuses the file,
// and the notes it leaves for the user.
struct ProgramRow {
    const char *name;
    std::string bytes;
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> stored = {};
    std::string error = {};  // DescribeProgramError of a file named f
    std::vector<LoadNote> notes = {};
    std::uint64_t dropped = 0;
};

const std::string HexSixteen = ":10000000000102030405060708090A0B0C0D0E0F78\n";
const std::string HexEnd = ":00000001FF";
const std::vector<std::uint8_t> SixteenBytes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

std::string Utf16Le(const std::u16string &text)
{
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text)
        bytes += std::string{static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    return bytes;
}

std::string Utf16Be(const std::u16string &text)
{
    std::string bytes;
    for (char16_t unit : text)
        bytes += std::string{static_cast<char>(unit >> 8), static_cast<char>(unit & 0xFF)};
    return bytes;
}

std::u16string Wide(const std::string &ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

// Feeds `bytes` to a program loader in pieces of `piece` bytes (0: all at once).
std::expected<ProgramSummary, ProgramError> LoadInPieces(const std::string &bytes, std::size_t piece, ProgramImage &image)
{
    ProgramLoader loader(image);
    const std::size_t step = piece ? piece : std::max<std::size_t>(bytes.size(), 1);
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        if (auto fed = loader.Feed(bytes.data() + at, std::min(step, bytes.size() - at)); !fed)
            return std::unexpected(std::move(fed.error()));
    }
    return loader.Finish();
}

// An ELF file whose one segment holds its own headers (84 bytes) and 16
// bytes of program after them, for physical address `at`.
std::string ElfWithHeadersInASegment(std::uint32_t at, const std::vector<test::ElfSection> &sections)
{
    const QByteArray program(reinterpret_cast<const char *>(SixteenBytes.data()), 16);
    return test::Elf32({{1, 0, at, 100, 100}}, program, sections).toStdString();
}

}  // namespace

// Every row fed whole, byte by byte and in pieces of 7.
TEST(ProgramLoader, ReadsFilesAsTheFormatsEndAndWrapThemAndSaysWhatIsThere)
{
    const std::string sixteen = Sixteen + "\n";
    const ProgramRow rows[] = {
        // Lines before the first record, as stored files have them.
        {"TitleBeforeSRecords", "# built by the release script\r\nFirmware 1.2\n\n" + sixteen, {{0, SixteenBytes}}},
        {"TitleBeforeIntelHex", "Firmware 1.2\n" + HexSixteen + HexEnd + "\n", {{0, SixteenBytes}}},
        {"NoRecordAtAll", "# notes\nnothing here\n", {}, "f is not an S-record, Intel HEX or ELF file"},
        {"NoTextBeforeARecord", "ab\x01" "cd\n" + sixteen, {}, "f is not an S-record, Intel HEX or ELF file"},
        // What follows the end-of-file record of Intel HEX: padding says nothing.
        {"NulPaddingAfterTheEnd", HexSixteen + HexEnd + "\r\n" + std::string(600, '\0'), {{0, SixteenBytes}}},
        {"PaddingOfEveryKindAfterTheEnd", HexSixteen + HexEnd + "\n\x1A\n\xFF\xFF \t\n\n\0\0", {{0, SixteenBytes}}},
        {"PaddingOnTheEndRecordsLine", HexSixteen + HexEnd + std::string(3000, '\0'), {{0, SixteenBytes}}},
        {"RecordsAfterTheEnd", HexSixteen + HexEnd + "\n:040010005566778832\n\nS1130000\n\0\0\n", {{0, SixteenBytes}}, {},
         {{0, "2 lines after the end-of-file record of line 2 are ignored"}}},
        {"TextOnTheEndRecordsLine", HexSixteen + HexEnd + " end of file", {{0, SixteenBytes}}, {},
         {{0, "1 line after the end-of-file record of line 2 is ignored"}}},
        // A line of blanks and end-of-file marks is empty, however long:
        // also one whose marks lie past what a reader keeps of a line.
        {"EmptyLineOfEndMarks", HexSixteen + " \x1A \x1A\n" + HexEnd, {{0, SixteenBytes}}},
        {"LongEmptyLineOfEndMarks", HexSixteen + " \x1A" + std::string(2000, ' ') + "\x1A\t\n" + HexEnd, {{0, SixteenBytes}}},
        // A linear address wraps at 4 GiB, a segment's offset at 64 KiB.
        {"LinearAddressWraps", ":02000004FFFFFC\n:04FFFE001122334455\n" + HexEnd, {{0, {0x33, 0x44}}}, {}, {}, 2},
        {"SegmentOffsetWraps", ":020000021000EC\n:04FFFE001122334455\n" + HexEnd, {{0x10000, {0x33, 0x44}}, {0x1FFFE, {0x11, 0x22}}}},
        // Count records: one that does not match is noted, the file written.
        {"CountMatches", "S00600004844521B\n" + sixteen + "S105001099AAA7\nS5030002FA\n", {{0, SixteenBytes}, {0x10, {0x99, 0xAA}}}},
        {"CountDoesNotMatch", sixteen + "S105001099AAA7\nS5030003F9\nS9030000FC\n", {{0, SixteenBytes}, {0x10, {0x99, 0xAA}}}, {},
         {{3, "the count record says 3 data records, but 2 come before it"}}},
        {"LongCountDoesNotMatch", sixteen + "S604000002F9\n", {{0, SixteenBytes}}, {},
         {{2, "the count record says 2 data records, but 1 come before it"}}},
        {"FilesJoinedEndToEnd", "S00600004844521B\n" + sixteen + "S5030001FB\nS00600004844521B\nS105001099AAA7\nS5030002FA\n",
         {{0, SixteenBytes}, {0x10, {0x99, 0xAA}}}, {},
         {{6, "the count record says 2 data records, but 1 come before it since the header record of line 4"}}},
        {"MalformedCountIsIgnored", sixteen + "S503XYZ\nS5\n", {{0, SixteenBytes}}},
        // What the messages name.
        {"ByteCountOfAnAddressRecord", ":03000004000000F9\n" + HexEnd, {}, "Intel HEX file f, line 1: a type 0x04 record has byte count 0x02, but this one has 0x03"},
        {"StrayByteAfterAChecksum", ":10000000000102030405060708090A0B0C0D0E0F78" + std::string(1, '\0') + "\n" + HexEnd, {},
         "Intel HEX file f, line 1: byte 0x00 at column 44 is past the record's end: its byte count 0x10 ends it at column 43"},
        {"CharacterInARecord", "S1130000000102030405060708090A0B0C0D0E\xC3\xA9" "F74\n", {},
         "S-record file f, line 1: '\xC3\xA9' (U+00E9) at column 39 is not a hexadecimal digit"},
        {"InvisibleCharacterInARecord", "S1130000000102030405060708090A0B0C0D0E\xE2\x80\x8B" "F74\n", {},
         "S-record file f, line 1: U+200B at column 39 is not a hexadecimal digit"},
        {"NoCharacterInARecord", "S1130000000102030405060708090A0B0C0D0E\xC3" "F74\n", {},
         "S-record file f, line 1: byte 0xC3 at column 39 is not a hexadecimal digit"},
        {"Utf16", Utf16Le(Wide(sixteen)), {{0, SixteenBytes}}},
        {"Utf16CharacterInARecord", Utf16Le(Wide("S00600004844521B\n") + u"S1130000000102030405060708090A0B0C0D0E\u00E9F74\n"), {},
         "S-record file f, line 2: '\xC3\xA9' (U+00E9) at column 39 is not a hexadecimal digit"},
        {"Utf16CutInACharacter", Utf16Le(Wide(sixteen)) + "S", {}, "S-record file f: the UTF-16 text is cut in the middle of a character"},
        {"Utf16CutInAPair", Utf16Le(Wide(sixteen) + u"\xD83D"), {}, "S-record file f: the UTF-16 text is cut in the middle of a character"},
        {"Utf16HalfAPair", Utf16Le(Wide("S00600004844521B\n") + Wide(sixteen) + u"\xD800x\n"), {},
         "S-record file f, line 3: unpaired surrogate U+D800"},
        {"Utf16LowHalfAlone", Utf16Le(Wide("S00600004844521B\r\n") + u"\xDC00" + Wide(sixteen)), {},
         "S-record file f, line 2: unpaired surrogate U+DC00"},
        {"Utf16Pair", Utf16Le(u"# \U0001F600\n" + Wide(sixteen)), {{0, SixteenBytes}}},
        // ELF: the sections' bytes, without the headers the segment holds.
        {"ElfSectionsOnly", ElfWithHeadersInASegment(0x1000, {{test::ElfProgbits, test::ElfAllocated, 84, 16}}), {{0x1054, SixteenBytes}}},
        {"ElfSectionPastTheArea", ElfWithHeadersInASegment(0x1FFA4, {{test::ElfProgbits, test::ElfAllocated, 84, 16}}),
         {{0x1FFF8, {0, 1, 2, 3, 4, 5, 6, 7}}}, {}, {}, 8},
        {"ElfWithoutSectionHeaders", ElfWithHeadersInASegment(0x1000, {}), {{0x1054, SixteenBytes}}, {},
         {{0, "it has no section headers: its loadable segments are written as they stand in the file, less the ELF header "
              "and the program header table"}}},
        {"ElfNothingButHeaders", test::Elf32({{1, 0, 0x1000, 84, 84}}, {}).toStdString(), {},
         "ELF file f: it has no section headers, and its loadable segments hold nothing but its own headers"},
        {"ElfSectionInNoSegment",
         test::Elf32({{1, 84, 0, 8, 8}}, QByteArray(16, 'x'), {{test::ElfProgbits, test::ElfAllocated, 84, 16}}).toStdString(), {},
         "ELF file f: section 1 has bytes in the file (0x10 bytes at 0x54) that no loadable segment holds, so it has no load address"},
        {"ElfNoAllocatedSection", ElfWithHeadersInASegment(0x1000, {{test::ElfProgbits, 0, 84, 16}, {test::ElfNobits, test::ElfAllocated, 84, 16}}),
         {}, "ELF file f: it has no allocated section with bytes in the file"},
        {"ElfSectionTableCutShort", ElfWithHeadersInASegment(0x1000, {{test::ElfProgbits, test::ElfAllocated, 84, 16}}).substr(0, 170), {},
         "ELF file f: it is cut short: it ends at byte 0xAA, inside its section header table (bytes 0x64-0xB3)"},
        // The front ends show these as they stand, naming the file (the
        // fault rows prove it with a few of them).
        {"IntelHexChecksumWrong", HexSixteen + ":10009000F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFFE9\n" + HexEnd + "\n", {},
         "Intel HEX file f, line 2: checksum 0xE9 found, 0xE8 expected"},
        {"IntelHexBadDigit", HexSixteen + ":10009000F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFGE8\n" + HexEnd + "\n", {},
         "Intel HEX file f, line 2: 'G' at column 41 is not a hexadecimal digit"},
        {"IntelHexRecordTooShort", ":10000000000102030405060708090A0B0C0D0E0F\n" + HexEnd + "\n", {},
         "Intel HEX file f, line 1: record ends at column 41, its byte count 0x10 needs 43 characters"},
        {"IntelHexRecordTooLong", ":0F000000000102030405060708090A0B0C0D0E0F79\n" + HexEnd + "\n", {},
         "Intel HEX file f, line 1: '7' at column 42 is past the record's end: its byte count 0x0F ends it at column 41"},
        {"IntelHexUnknownType", HexSixteen + ":10009006F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFFE2\n" + HexEnd + "\n", {},
         "Intel HEX file f, line 2: unknown record type 0x06 at columns 8-9 (known: 00 to 05)"},
        {"IntelHexWithoutEndRecord", HexSixteen + ":10009000F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFFE8\n", {},
         "Intel HEX file f: the file ends without an end-of-file record (:00000001FF); it may be cut short"},
        {"IntelHexLineWithoutColon", HexSixteen + "S1130090F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFFE4\n" + HexEnd + "\n", {},
         "Intel HEX file f, line 2: 'S' at column 1, where a record starts with ':'"},
        {"ElfCutShort", test::Elf32({{1, 116, 0, 16, 16}, {1, 132, 0x90, 16, 16}}, QByteArray(32, 'x')).first(140).toStdString(), {},
         "ELF file f: it is cut short: it ends at byte 0x8C, inside segment 2 (bytes 0x84-0x93)"},
        {"ElfHeaderCutShort", test::Elf32({{1, 116, 0, 16, 16}}, QByteArray(32, 'x')).first(40).toStdString(), {},
         "ELF file f: it is cut short: it ends at byte 0x28, inside its ELF header"},
        {"ElfWithoutLoadableSegment", test::Elf32({{4, 84, 0, 32, 32}}, QByteArray(32, 'x')).toStdString(), {},
         "ELF file f: it has no loadable segment (PT_LOAD) with bytes in the file"},
        {"ElfSegmentsOverlap", test::Elf32({{1, 116, 0, 16, 16}, {1, 132, 0x08, 16, 16}}, QByteArray(32, 'x')).toStdString(), {},
         "ELF file f: segments 1 and 2 overlap at physical address 0x8"},
        {"ElfMoreInFileThanInMemory", test::Elf32({{1, 116, 0, 32, 16}}, QByteArray(32, 'x')).toStdString(), {},
         "ELF file f: segment 1 has 0x20 bytes in the file but only 0x10 in memory"},
        {"EmptyFile", "", {}, "f is not an S-record, Intel HEX or ELF file"},
        {"TextOfAnotherKind", "# build 42\nno record here\n", {}, "f is not an S-record, Intel HEX or ELF file"},
        {"Utf16WithoutByteOrderMark", Utf16Le(Wide(test::MatrixProgram)).substr(2), {}, "f is not an S-record, Intel HEX or ELF file"},
    };
    for (const ProgramRow &row : rows) {
        std::vector<std::uint8_t> expected = Blank();
        for (const auto &[at, data] : row.stored)
            std::copy(data.begin(), data.end(), expected.begin() + at);
        for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
            SCOPED_TRACE(std::string(row.name) + " in pieces of " + std::to_string(piece));
            ProgramImage image;
            const auto loaded = LoadInPieces(row.bytes, piece, image);
            ASSERT_EQ(loaded ? std::string() : DescribeProgramError(loaded.error(), "f"), row.error);
            if (!loaded)
                continue;
            EXPECT_EQ(image.ImageBuffer, expected);
            EXPECT_EQ(loaded->notes, row.notes);
            EXPECT_EQ(loaded->droppedBytes, row.dropped);
        }
    }
}

// Text in UTF-16 without a byte-order mark holds no format read by content,
// but it is no binary either: the reader tells it by its start, whether the
// bytes come from a file or a pipe, in pieces of any size, with its byte
// order and the format its first character begins.
TEST(ProgramLoader, TellsUtf16TextWithoutAByteOrderMark)
{
    using Utf16Text = ProgramError::Utf16Text;
    const std::string binaryAfter64 = Utf16Le(Wide(std::string(32, 'x'))).substr(2) + "\x01\x02\xFF";
    const struct {
        const char *name;
        std::string bytes;
        std::optional<Utf16Text> utf16;  // none: not recognised, as any other file
    } rows[] = {
        {"SRecordsLittleEndian", Utf16Le(Wide(test::MatrixProgram)).substr(2), Utf16Text{false, ProgramFormat::SRecord}},
        {"LowerCaseSRecordsBigEndian", Utf16Be(u"s1130000000102030405060708090a0b0c0d0e0f74\r\n"), Utf16Text{true, ProgramFormat::SRecord}},
        {"IntelHexBigEndian", Utf16Be(Wide(HexSixteen + HexEnd)), Utf16Text{true, ProgramFormat::IntelHex}},
        {"OtherText", Utf16Le(u"\t# firmware\n").substr(2), Utf16Text{false, std::nullopt}},
        {"OnlyTheStartCounts", binaryAfter64, Utf16Text{false, std::nullopt}},
        {"OneCharacter", std::string("S\0", 2), std::nullopt},
        {"NotPlainText", std::string("S\0" "1\0" "\x01\0" "1\0", 8), std::nullopt},
        {"NotPlainTextBigEndian", std::string("\0S\0\xE9", 4), std::nullopt},
        {"Binary", std::string("\xC2\x10\x00\x20\x4E\x75\x00\x00", 8), std::nullopt},
    };
    for (const auto &row : rows) {
        for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
            SCOPED_TRACE(std::string(row.name) + " in pieces of " + std::to_string(piece));
            ProgramImage image;
            const auto loaded = LoadInPieces(row.bytes, piece, image);
            ASSERT_FALSE(loaded);
            // The same message for both: the text is named as it stands.
            EXPECT_EQ(DescribeProgramError(loaded.error(), "f"), "f is not an S-record, Intel HEX or ELF file");
            if (!row.utf16) {
                EXPECT_EQ(loaded.error().kind, ProgramError::Kind::NotRecognized);
                continue;
            }
            ASSERT_EQ(loaded.error().kind, ProgramError::Kind::Utf16WithoutMark);
            EXPECT_EQ(loaded.error().utf16.bigEndian, row.utf16->bigEndian);
            EXPECT_EQ(loaded.error().utf16.looksLike, row.utf16->looksLike);
        }
    }
}
