// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/JobFile.h"
#include "tests/support/HostFixture.h"
#include "tests/support/Process.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <filesystem>

namespace qw735::test {
namespace {

const std::string ProgramSha = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string LoaderSha = "8521caecfdbd24c1720eb96ae0ae823e38c3f889a62905943db48f1c6e14fac3";

// The keys every job must have, on lines 1 to 3.
std::string Required()
{
    return "program = \"firmware.mot\"\nprogram_sha256 = \"" + ProgramSha + "\"\nloader_sha256 = \"" + LoaderSha + "\"\n";
}

// A job file's text and the message it is refused with (the file shown as
// job.toml).
struct BadJobRow {
    const char *name;
    std::string text;
    JobError::Kind kind;
    std::string message;
};

class BadJobTest : public ::testing::TestWithParam<BadJobRow> {};

TEST_P(BadJobTest, NamesTheFileTheLineAndTheKey)
{
    const BadJobRow &row = GetParam();
    const auto job = ParseJob(row.text);
    ASSERT_FALSE(job);
    EXPECT_EQ(job.error().kind, row.kind);
    EXPECT_EQ(DescribeJobError(job.error(), "job.toml"), row.message);
}

const std::string Numbering = "[numbering]\naddress = 0x1FF00\nformat = \"u32le\"\nsource = \"counter:serial.txt\"\n";
const std::string AJobTakes = "unknown key; a job takes program, program_sha256, binary_at, ignore_checksums, loader, loader_sha256, "
                              "loader_start_ms, boot_entry, release, sync_retries, numbering, report, ports and slots";
using Kind = JobError::Kind;

INSTANTIATE_TEST_SUITE_P(
    Jobs, BadJobTest,
    ::testing::Values(
        BadJobRow{"NotToml", Required() + "report = \"line3.jsonl\n", Kind::NotToml,
                  "Job file job.toml, line 4: not TOML: Error while parsing string: unescaped control characters other than TAB (U+0009) are explicitly prohibited"},
        BadJobRow{"KeyTwice", Required() + "program = \"other.mot\"\n", Kind::NotToml,
                  "Job file job.toml, line 4: not TOML: Error while parsing key-value pair: cannot redefine existing string 'program'"},
        // A letter past ASCII where a blank may stand is asked whether it is a blank.
        BadJobRow{"AccentedLetterForAKey", Required() + "\xC3\xA9t\xC3\xA9 = 1\n", Kind::NotToml,
                  "Job file job.toml, line 4: not TOML: Error while parsing root table: expected keys, tables, whitespace or comments, saw '\\xC3\\xA9'"},
        BadJobRow{"UnknownKey", Required() + "programm = \"x.mot\"\n", Kind::UnknownKey, "Job file job.toml, line 4: programm: " + AJobTakes},
        // The first fault in the file is the one named, not the first by name.
        BadJobRow{"FirstFaultFirst", "zz = 1\n" + Required() + "aa = 2\n", Kind::UnknownKey, "Job file job.toml, line 1: zz: " + AJobTakes},
        BadJobRow{"UnknownNumberingKey", Required() + "[numbering]\nadress = 5\n", Kind::UnknownKey,
                  "Job file job.toml, line 5: numbering.adress: unknown key; [numbering] takes address, format, source and over_data"},
        BadJobRow{"KeyWithEscapes", Required() + "\"a\\u001b[2J\" = 1\n", Kind::UnknownKey,
                  "Job file job.toml, line 4: a\\x1B[2J: " + AJobTakes},
        BadJobRow{"IntegerAsString", Required() + "loader_start_ms = \"50\"\n", Kind::WrongType,
                  "Job file job.toml, line 4: loader_start_ms: an integer is needed, not a string"},
        BadJobRow{"Float", Required() + "sync_retries = 2.5\n", Kind::WrongType,
                  "Job file job.toml, line 4: sync_retries: an integer is needed, not a floating-point number"},
        BadJobRow{"Date", Required() + "report = 1979-05-27\n", Kind::WrongType, "Job file job.toml, line 4: report: a string is needed, not a date"},
        BadJobRow{"BooleanAsInteger", Required() + "ignore_checksums = 1\n", Kind::WrongType,
                  "Job file job.toml, line 4: ignore_checksums: a boolean (true or false) is needed, not an integer"},
        BadJobRow{"NumberingAsString", Required() + "numbering = \"counter:x\"\n", Kind::WrongType,
                  "Job file job.toml, line 4: numbering: a table is needed, not a string"},
        BadJobRow{"NumberingTwice", Required() + "[[numbering]]\naddress = 1\n", Kind::WrongType,
                  "Job file job.toml, line 4: numbering: a table is needed, not an array"},
        BadJobRow{"PortsAsString", Required() + "ports = \"COM1\"\n", Kind::WrongType,
                  "Job file job.toml, line 4: ports: an array of strings is needed, not a string"},
        BadJobRow{"PortNotAString", Required() + "ports = [\n  \"COM1\",\n  2,\n]\n", Kind::WrongType,
                  "Job file job.toml, line 6: ports (value 2): a string is needed, not an integer"},
        BadJobRow{"NoProgram", "program_sha256 = \"" + ProgramSha + "\"\nloader_sha256 = \"" + LoaderSha + "\"\n", Kind::Missing,
                  "Job file job.toml: program: missing; a job names the program file it writes"},
        BadJobRow{"NoProgramSha", "program = \"f.mot\"\nloader_sha256 = \"" + LoaderSha + "\"\n", Kind::Missing,
                  "Job file job.toml: program_sha256: missing; a job holds the SHA-256 of the program file it writes"},
        BadJobRow{"NoLoaderSha", "program = \"f.mot\"\nprogram_sha256 = \"" + ProgramSha + "\"\n", Kind::Missing,
                  "Job file job.toml: loader_sha256: missing; a job holds the SHA-256 of the loader it sends"},
        BadJobRow{"NoFormat", Required() + "\n[numbering]\naddress = 0x100\nsource = \"list:v.txt\"\n", Kind::Missing,
                  "Job file job.toml, line 5: numbering.format: missing; [numbering] needs address, format and source"},
        BadJobRow{"EmptyFile", "", Kind::Missing, "Job file job.toml: program: missing; a job names the program file it writes"},
        BadJobRow{"ShortHash", "program = \"f.mot\"\nprogram_sha256 = \"" + ProgramSha.substr(1) + "\"\n", Kind::BadValue,
                  "Job file job.toml, line 2: program_sha256: a SHA-256 is 64 hexadecimal digits, not 63 characters"},
        BadJobRow{"NotHex", "program = \"f.mot\"\nprogram_sha256 = \"" + ProgramSha + "\"\nloader_sha256 = \"8521g" + LoaderSha.substr(5) + "\"\n",
                  Kind::BadValue, "Job file job.toml, line 3: loader_sha256: a SHA-256 is 64 hexadecimal digits, and character 5, 'g', is not one"},
        BadJobRow{"EmptyPath", "program = \"\"\n", Kind::BadValue, "Job file job.toml, line 1: program: a path is needed, not an empty string"},
        BadJobRow{"LoaderStartTooLong", Required() + "loader_start_ms = 5000\n", Kind::BadValue,
                  "Job file job.toml, line 4: loader_start_ms: a time in milliseconds from 0 to 3000 is needed, not 5000"},
        BadJobRow{"NegativeBinaryAt", Required() + "binary_at = -1\n", Kind::BadValue,
                  "Job file job.toml, line 4: binary_at: an address from 0 to 0xFFFFFFFF is needed, not -1"},
        BadJobRow{"NegativeRetries", Required() + "sync_retries = -1\n", Kind::BadValue,
                  "Job file job.toml, line 4: sync_retries: a count from 0 to 10 is needed, not -1"},
        BadJobRow{"FieldPastTheArea", Required() + "[numbering]\nformat = \"u32le\"\naddress = 0x1FFFE\nsource = \"counter:s.txt\"\n", Kind::BadValue,
                  "Job file job.toml, line 6: numbering.address: the serial number (u32le, 4 bytes at 0x1FFFE) does not lie inside the 128 KiB "
                  "data area (0x00000-0x1FFFF)"},
        BadJobRow{"NegativeAddress", Required() + "[numbering]\naddress = -2\n", Kind::BadValue,
                  "Job file job.toml, line 5: numbering.address: an address (0 or more) is needed, not -2"},
        BadJobRow{"UnknownFormat", Required() + "[numbering]\nformat = \"u24\"\n", Kind::BadValue,
                  "Job file job.toml, line 5: numbering.format: unknown serial format 'u24': the formats are u8, u16le, u16be, u32le, u32be, "
                  "u64le, u64be and ascii:N"},
        BadJobRow{"UnknownSource", Required() + "[numbering]\nsource = \"serial.txt\"\n", Kind::BadValue,
                  "Job file job.toml, line 5: numbering.source: unknown serial source 'serial.txt': the sources are counter:FILE, list:FILE and postgresql://HOST/DB?sequence=NAME"},
        BadJobRow{"PortsAndSlots", Required() + "ports = [\"COM1\"]\nslots = [\"/dev/serial/by-path/*\"]\n", Kind::Conflict,
                  "Job file job.toml, line 5: slots: ports and slots do not go together: a job writes the boards at its ports, or each board "
                  "plugged in at its slots"}),
    [](const auto &info) { return std::string(info.param.name); });

// Only the keys a job must have.
Job Minimal(std::string program = "firmware.mot")
{
    Job job;
    job.program = std::move(program);
    job.programSha256 = ProgramSha;
    job.loaderSha256 = LoaderSha;
    return job;
}

// Every key a job has, with strings a writer must escape.
Job FullJob()
{
    Job job;
    job.program = "firmware \"rev B\".mot";
    job.programSha256 = ProgramSha;
    job.binaryAt = 0x1000;
    job.ignoreChecksums = true;
    job.loader = "/usr/share/qw735/tqw735.bin";
    job.loaderSha256 = LoaderSha;
    job.loaderStartMs = 120;
    job.bootEntry = "D0R1,W100,D1";
    job.release = "";
    job.syncRetries = 3;
    job.numbering = JobNumbering{SerialField{0x1FF00, *ParseSerialFormat("ascii:8"), true},
                                 SerialSourceText{SerialSourceText::Kind::List, "serials\\line 3\t\x01\x7f é 😀.txt"}};
    job.report = "line3.jsonl";
    job.ports = {"COM1", "rfc2217+tls://station-3.example:4000", "/dev/serial/by-id/usb-x\nnewline"};
    return job;
}

TEST(JobText, ReadsBackWhatItWrites)
{
    for (const Job &job : {FullJob(), Minimal()}) {
        const auto text = JobText(job);
        ASSERT_TRUE(text) << text.error().detail;
        const auto read = ParseJob(*text);
        ASSERT_TRUE(read) << DescribeJobError(read.error(), "written") << "\n" << *text;
        EXPECT_EQ(*read, job) << *text;
    }
    Job automatic = FullJob();
    automatic.ports.clear();
    automatic.autoSlots = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.*"};
    EXPECT_EQ(ParseJob(*JobText(automatic)), automatic);
}

TEST(JobText, WritesWhatAPersonCanRead)
{
    Job job = Minimal();
    job.numbering = JobNumbering{SerialField{0x1FF00, *ParseSerialFormat("u32le"), false}, SerialSourceText{SerialSourceText::Kind::Counter, "serial.txt"}};
    job.ports = {"COM1", "COM2"};
    EXPECT_EQ(JobText(job), "# A job of qw735-write: what this station writes. Paths are relative to\n"
                            "# this file's folder unless absolute.\n"
                            "program = \"firmware.mot\"\n"
                            "program_sha256 = \"" + ProgramSha + "\"\n"
                            "loader_sha256 = \"" + LoaderSha + "\"\n"
                            "ports = [\"COM1\", \"COM2\"]\n"
                            "\n"
                            "[numbering]\n"
                            "address = 0x1FF00\n"
                            "format = \"u32le\"\n"
                            "source = \"counter:serial.txt\"\n");
}

TEST(JobText, HashesAreKeptInLowerCase)
{
    std::string upper = ProgramSha;
    std::ranges::transform(upper, upper.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
    const auto job = ParseJob("program = \"a.mot\"\nprogram_sha256 = \"" + upper + "\"\nloader_sha256 = \"" + LoaderSha + "\"\n");
    ASSERT_TRUE(job);
    EXPECT_EQ(job->programSha256, ProgramSha);
}

TEST(JobText, RefusesToWriteWhatAJobFileCannotHold)
{
    Job job = Minimal("firmware\xff.mot");
    const auto text = JobText(job);
    ASSERT_FALSE(text);
    EXPECT_EQ(DescribeJobError(text.error(), "job.toml"), "Job file job.toml: program: not UTF-8 text, which a job file holds only");
    job.program = "firmware.mot";
    job.numbering = JobNumbering{SerialField{0x100, *ParseSerialFormat("u8"), false}, SerialSourceText{SerialSourceText::Kind::Counter, "\xc0\xaf"}};
    EXPECT_EQ(DescribeJobError(JobText(job).error(), "job.toml"), "Job file job.toml: numbering.source: not UTF-8 text, which a job file holds only");
}

TEST(JobFile, IsMadeOnceAndReadBackWithItsSha256)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("line3.toml"));
    const PathName name(QFile::encodeName(path));
    ASSERT_TRUE(WriteJobFile(name, FullJob()));
    const auto read = ReadJobFile(name);
    ASSERT_TRUE(read) << DescribeJobError(read.error(), "line3.toml");
    EXPECT_EQ(read->job, FullJob());
    EXPECT_EQ(QString::fromLatin1(read->sha256), RunProcess({QStringLiteral("sha256sum"), path}).out.section(u' ', 0, 0));

    // An approved job is not replaced by a second --make-job.
    const QByteArray before = ReadFile(path);
    Job other = FullJob();
    other.ports = {"COM9"};
    const auto again = WriteJobFile(name, other);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind, JobError::Kind::CannotWrite);
    EXPECT_EQ(DescribeJobError(again.error(), "line3.toml"),
              "Cannot write job file line3.toml: it exists already; a job is made once (remove it to make it anew)");
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("line3.toml")});
}

TEST(JobFile, AJobThatWouldNotReadBackIsNotWritten)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("line3.toml"));
    Job job = FullJob();
    job.programSha256.pop_back();
    const auto written = WriteJobFile(PathName(QFile::encodeName(path)), job);
    ASSERT_FALSE(written);
    EXPECT_EQ(DescribeJobError(written.error(), "line3.toml"),
              "Job file line3.toml: program_sha256: a SHA-256 is 64 hexadecimal digits, not 63 characters");
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
}

TEST(JobFile, SaysWhyItCannotBeRead)
{
    QTemporaryDir dir;
    const auto missing = ReadJobFile(PathName(QFile::encodeName(dir.filePath(QStringLiteral("none.toml")))));
    ASSERT_FALSE(missing);
    EXPECT_EQ(DescribeJobError(missing.error(), "none.toml"), "Cannot read job file none.toml: No such file or directory");
    const auto folder = ReadJobFile(PathName(QFile::encodeName(dir.path())));
    ASSERT_FALSE(folder);
    EXPECT_EQ(DescribeJobError(folder.error(), "jobs"), "Cannot read job file jobs: Is a directory");
    const QString huge = WriteFile(dir, QStringLiteral("huge.toml"), QByteArray((1 << 20) + 1, '#'));
    const auto tooLarge = ReadJobFile(PathName(QFile::encodeName(huge)));
    ASSERT_FALSE(tooLarge);
    EXPECT_EQ(DescribeJobError(tooLarge.error(), "huge.toml"), "Cannot read job file huge.toml: it is larger than 1 MiB, which no job is");
}

TEST(JobFile, AFileThatChangedIsNamedWithBothHashes)
{
    EXPECT_TRUE(CheckJobSha256("program_sha256", QStringLiteral("firmware.mot"), ProgramSha, QByteArray::fromStdString(ProgramSha)));
    const auto changed = CheckJobSha256("loader_sha256", QStringLiteral("tqw735.bin"), LoaderSha, QByteArray::fromStdString(ProgramSha));
    ASSERT_FALSE(changed);
    EXPECT_EQ(changed.error().kind, JobError::Kind::Changed);
    EXPECT_EQ(DescribeJobError(changed.error(), "line3.toml"),
              "Job file line3.toml: loader_sha256: tqw735.bin has the SHA-256 " + ProgramSha + ", not " + LoaderSha +
                  ": it changed after the job was made");
}

// Paths in a job are relative to its folder; a path given relative when
// the job is made stays relative, to that folder.
TEST(JobText, PathsAreRelativeToTheJobsFolder)
{
    const std::pair<std::pair<const char *, const char *>, const char *> from[] = {
        {{"line3.toml", "fw.mot"}, "fw.mot"},
        {{"jobs/line3.toml", "fw.mot"}, "jobs/fw.mot"},
        {{"jobs/line3.toml", "../fw.mot"}, "jobs/../fw.mot"},
        {{"/srv/jobs/line3.toml", "fw.mot"}, "/srv/jobs/fw.mot"},
        {{"/line3.toml", "fw.mot"}, "/fw.mot"},
        {{"jobs/line3.toml", "/opt/fw.mot"}, "/opt/fw.mot"},
    };
    for (const auto &[given, resolved] : from)
        EXPECT_EQ(JobPathFrom(given.first, given.second), resolved) << given.first << " " << given.second;

    const std::string here = std::filesystem::current_path().string();
    const std::pair<std::pair<std::string, std::string>, std::string> kept[] = {
        {{"line3.toml", "fw.mot"}, "fw.mot"},
        {{"jobs/line3.toml", "fw.mot"}, "../fw.mot"},
        {{"jobs/line3.toml", "jobs/fw.mot"}, "fw.mot"},
        {{"jobs/line3.toml", "./jobs/a/../fw.mot"}, "fw.mot"},
        {{"line3.toml", "sub/fw.mot"}, "sub/fw.mot"},
        {{here + "/jobs/line3.toml", "fw.mot"}, "../fw.mot"},
        {{"jobs/line3.toml", "/opt/fw.mot"}, "/opt/fw.mot"},
    };
    for (const auto &[given, stored] : kept) {
        EXPECT_EQ(JobPathFor(given.first, given.second), stored) << given.first << " " << given.second;
        // And back: the same file as given.
        EXPECT_EQ(std::filesystem::absolute(JobPathFrom(given.first, stored)).lexically_normal(),
                  std::filesystem::absolute(given.second).lexically_normal());
    }

    Job job = FullJob();
    job.report = "-";
    const Job resolved = JobResolved(job, "jobs/line3.toml");
    EXPECT_EQ(resolved.program, "jobs/firmware \"rev B\".mot");
    EXPECT_EQ(resolved.loader, "/usr/share/qw735/tqw735.bin");
    EXPECT_EQ(resolved.numbering->source.file, "jobs/" + job.numbering->source.file);
    EXPECT_EQ(resolved.report, "-");
    EXPECT_EQ(resolved.ports, job.ports);
    job.report = "postgresql://db.example/line?sslmode=verify-full";
    EXPECT_EQ(JobKept(job, "jobs/line3.toml").report, job.report);
    job.report = "records/line3.jsonl";
    EXPECT_EQ(JobKept(job, "jobs/line3.toml").report, "../records/line3.jsonl");
}

}  // namespace
}  // namespace qw735::test
