// SPDX-License-Identifier: GPL-2.0-or-later
#include "numbering/SerialFormat.h"
#include "numbering/SerialSource.h"

#include <gtest/gtest.h>

namespace qw735::test {
namespace {

// A format, a value, and the bytes the image gets (or why not).
struct EncodeRow {
    const char *format;
    std::uint64_t value;
    std::vector<std::uint8_t> bytes;  // empty: refused with `refused`
    const char *refused = "";
};

class SerialEncodeTest : public ::testing::TestWithParam<EncodeRow> {};

TEST_P(SerialEncodeTest, LaysTheValueOutOrNamesItsRange)
{
    const EncodeRow &row = GetParam();
    const auto format = ParseSerialFormat(row.format);
    ASSERT_TRUE(format) << format.error().text;
    EXPECT_EQ(format->Text(), row.format);
    const auto bytes = EncodeSerial(row.value, *format);
    if (row.bytes.empty()) {
        ASSERT_FALSE(bytes);
        EXPECT_EQ(bytes.error().kind, SerialError::Kind::DoesNotFit);
        EXPECT_EQ(bytes.error().text, row.refused);
    } else {
        ASSERT_TRUE(bytes) << bytes.error().text;
        EXPECT_EQ(*bytes, row.bytes);
    }
}

std::vector<std::uint8_t> Ascii(std::string_view text)
{
    return {text.begin(), text.end()};
}

INSTANTIATE_TEST_SUITE_P(Formats, SerialEncodeTest,
                         ::testing::Values(EncodeRow{"u8", 0xAB, {0xAB}}, EncodeRow{"u8", 255, {0xFF}},
                                           EncodeRow{"u8", 256, {}, "the serial number 256 does not fit u8 (0 to 255)"},
                                           EncodeRow{"u16le", 0x1234, {0x34, 0x12}}, EncodeRow{"u16be", 0x1234, {0x12, 0x34}},
                                           EncodeRow{"u16be", 65536, {}, "the serial number 65536 does not fit u16be (0 to 65535)"},
                                           EncodeRow{"u32le", 0x12345678, {0x78, 0x56, 0x34, 0x12}},
                                           EncodeRow{"u32be", 0x12345678, {0x12, 0x34, 0x56, 0x78}},
                                           EncodeRow{"u32le", 0x100000000, {}, "the serial number 4294967296 does not fit u32le (0 to 4294967295)"},
                                           EncodeRow{"u64le", 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}},
                                           EncodeRow{"u64be", 0x0102030405060708, {1, 2, 3, 4, 5, 6, 7, 8}},
                                           EncodeRow{"u64be", UINT64_MAX, std::vector<std::uint8_t>(8, 0xFF)},
                                           EncodeRow{"ascii:8", 1234, Ascii("00001234")}, EncodeRow{"ascii:1", 9, Ascii("9")},
                                           EncodeRow{"ascii:4", 12345, {}, "the serial number 12345 does not fit ascii:4 (0 to 9999)"},
                                           EncodeRow{"ascii:19", 10000000000000000000u, {},
                                                     "the serial number 10000000000000000000 does not fit ascii:19 (0 to 9999999999999999999)"},
                                           EncodeRow{"ascii:20", UINT64_MAX, Ascii("18446744073709551615")},
                                           EncodeRow{"ascii:20", 0, Ascii("00000000000000000000")}));

// A format text that names no format, and the message it gets.
struct BadFormatRow {
    std::string text;
    std::string message;
};

class SerialFormatTextTest : public ::testing::TestWithParam<BadFormatRow> {};

TEST_P(SerialFormatTextTest, NamesWhatIsWrong)
{
    const auto format = ParseSerialFormat(GetParam().text);
    ASSERT_FALSE(format);
    EXPECT_EQ(format.error().kind, SerialError::Kind::BadFormat);
    EXPECT_EQ(format.error().text, GetParam().message);
}

BadFormatRow Unknown(std::string text, std::string shown)
{
    return {std::move(text), "unknown serial format '" + shown + "': the formats are u8, u16le, u16be, u32le, u32be, u64le, u64be and ascii:N"};
}

BadFormatRow Digits(std::string text, std::string shown)
{
    return {std::move(text), "the serial format ascii:N takes N digits from 1 to 20, not '" + shown + "'"};
}

INSTANTIATE_TEST_SUITE_P(Texts, SerialFormatTextTest,
                         ::testing::Values(Unknown("", ""), Unknown("u24", "u24"), Unknown("U8", "U8"), Unknown("u32", "u32"),
                                           Unknown("u8\x1b[2J", "u8\\x1B[2J"), Unknown("u8\xff", "u8\\xFF"), Digits("ascii:0", "0"),
                                           Digits("ascii:21", "21"), Digits("ascii:", ""), Digits("ascii:+8", "+8"), Digits("ascii:8 ", "8 ")));

// A value as a counter file or a list line holds it.
TEST(SerialFormat, ReadsValuesDecimalOrHex)
{
    const std::pair<const char *, std::optional<std::uint64_t>> rows[] = {
        {"1234", 1234},
        {" 0x1F \r\n", 0x1F},
        {"0X1f", 0x1F},
        {"007", 7},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},
        {"", std::nullopt},
        {" \n", std::nullopt},
        {"0x", std::nullopt},
        {"12a", std::nullopt},
        {"-1", std::nullopt},
        {"+1", std::nullopt},
        {"1 2", std::nullopt},
        {"0x0x1", std::nullopt},
    };
    for (const auto &[text, value] : rows)
        EXPECT_EQ(ParseSerialValue(text), value) << "'" << text << "'";
}

// A source as named, and back.
TEST(SerialFormat, ReadsSourceTexts)
{
    const auto counter = ParseSerialSource("counter:/srv/serial.txt");
    ASSERT_TRUE(counter);
    EXPECT_EQ(*counter, (SerialSourceText{SerialSourceText::Kind::Counter, "/srv/serial.txt"}));
    EXPECT_EQ(counter->Text(), "counter:/srv/serial.txt");
    const auto list = ParseSerialSource("list:a:b");
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, (SerialSourceText{SerialSourceText::Kind::List, "a:b"}));

    const std::pair<const char *, const char *> bad[] = {
        {"counter:", "the serial source 'counter:' names no file: give counter:FILE"},
        {"list:", "the serial source 'list:' names no file: give list:FILE"},
        {"serial.txt", "unknown serial source 'serial.txt': the sources are counter:FILE, list:FILE and postgresql://HOST/DB?sequence=NAME"},
        {"Counter:x", "unknown serial source 'Counter:x': the sources are counter:FILE, list:FILE and postgresql://HOST/DB?sequence=NAME"},
    };
    for (const auto &[text, message] : bad) {
        const auto source = ParseSerialSource(text);
        ASSERT_FALSE(source) << text;
        EXPECT_EQ(source.error().kind, SerialError::Kind::BadSource);
        EXPECT_EQ(source.error().text, message);
    }
}

}  // namespace
}  // namespace qw735::test
