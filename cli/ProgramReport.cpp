// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/ProgramReport.h"

#include "cli/ExitStatus.h"
#include "cli/WriteRun.h"
#include "writer/SendImage.h"

#include <QCryptographicHash>
#include <QStringList>
#include <cstdio>

namespace qw735 {

namespace {

// Ranges listed in a line before the rest are only counted.
constexpr qsizetype ListedRanges = 16;

QString Address(std::uint64_t address)
{
    return QStringLiteral("0x%1").arg(QString::number(address, 16).toUpper().rightJustified(5, u'0'));
}

QString Ranges(const std::vector<AddressRange> &ranges, bool more)
{
    QStringList shown;
    for (const AddressRange &range : ranges) {
        if (shown.size() == ListedRanges) {
            more = true;
            break;
        }
        shown << (range.first == range.last ? Address(range.first) : Address(range.first) + u'-' + Address(range.last));
    }
    return shown.join(QStringLiteral(", ")) + (more ? QStringLiteral(" and more") : QString());
}

QString FormatLine(const ProgramSummary &summary)
{
    const QString name = QString::fromLatin1(FormatName(summary.format));
    return summary.detail.empty() ? name : QStringLiteral("%1 (%2)").arg(name, QString::fromStdString(summary.detail));
}

QString Bytes(std::uint64_t count)
{
    return count == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(count);
}

void Field(const char *label, const QString &value)
{
    PrintLine(QStringLiteral("%1%2").arg(QLatin1String(label), -24).arg(value));
}

// On stderr: what the user should know of a file that is written all the
// same, each note naming the file and its line.
void PrintNotes(const ProgramSummary &summary, const QByteArray &name)
{
    for (const LoadNote &note : summary.notes) {
        const QByteArray where = note.line ? name + ", line " + QByteArray::number(note.line) : name;
        std::fprintf(stderr, "qw735-write: %s: %s\n", where.constData(), note.text.c_str());
    }
    if (summary.notesLeftOut > 0)
        std::fprintf(stderr, "qw735-write: %s: %llu more like %s\n", name.constData(),
                     static_cast<unsigned long long>(summary.notesLeftOut), summary.notes.size() == 1 ? "it" : "these");
}

}  // namespace

std::optional<std::uint64_t> ParseAddress(const QString &text)
{
    bool ok = false;
    const bool hex = text.startsWith(u"0x") || text.startsWith(u"0X");
    const QString digits = hex ? text.mid(2) : text;
    // Digits only: no sign, no blanks, no octal guess from a leading zero.
    for (const QChar c : digits) {
        if (!(c.isDigit() || (hex && QStringLiteral("abcdefABCDEF").contains(c))))
            return std::nullopt;
    }
    const qulonglong value = digits.toULongLong(&ok, hex ? 16 : 10);
    if (!ok || value > 0xFFFFFFFFu)
        return std::nullopt;
    return value;
}

int PrintProgramInfo(const QByteArray &file, const ProgramOptions &options)
{
    SRecordImage image;
    const auto read = ReadProgramFile(file, image, InputReader::Interruptible, options);
    if (!read) {
        PrintLine(read.error().message);
        PrintInputAdvice(read.error().advice);
        return ExitSRecordFailed;
    }
    const ProgramSummary &summary = *read;
    const std::int32_t size = TransferSize(image.MaxAddress);
    const QByteArray sent(reinterpret_cast<const char *>(image.ImageBuffer.data()), size);

    Field("format", FormatLine(summary));
    if (summary.format == ProgramFormat::Elf) {
        Field("segments", QStringLiteral("%1 loadable, %2 with bytes in the file").arg(summary.records).arg(summary.dataRecords));
        Field("sections", summary.sections > 0 ? QStringLiteral("%1 written").arg(summary.sections)
                                               : QStringLiteral("none in the file: the segments are written, less the headers"));
    } else if (summary.format != ProgramFormat::Binary)
        Field("records", QStringLiteral("%1, %2 with data").arg(summary.records).arg(summary.dataRecords));
    Field("loaded", summary.loaded.empty() ? QStringLiteral("nothing (the image is all 0xFF)")
                                           : QStringLiteral("%1: %2").arg(Bytes(summary.loadedBytes), Ranges(summary.loaded, false)));
    Field("outside the area", summary.droppedBytes == 0
                                  ? QStringLiteral("none")
                                  : QStringLiteral("%1 dropped: %2").arg(Bytes(summary.droppedBytes), Ranges(summary.droppedRanges, summary.droppedRangesCut)));
    Field("overlaps", summary.overwrittenBytes == 0
                          ? QStringLiteral("none")
                          : QStringLiteral("%1 given again with another value (the later is sent)").arg(Bytes(summary.overwrittenBytes)));
    std::printf("highest loaded address  0x%05X\n", static_cast<unsigned>(image.MaxAddress));
    std::printf("transfer size           %d bytes, %d %s of %d\n", size, size / BlockSize, size / BlockSize == 1 ? "block" : "blocks", BlockSize);
    std::printf("checksum byte           0x%02X\n", ImageChecksum(image));
    Field("image SHA-256", QString::fromLatin1(QCryptographicHash::hash(sent, QCryptographicHash::Sha256).toHex()));
    PrintNotes(summary, DisplayPath(file).toLocal8Bit());
    return ExitOk;
}

void PrintInputNotes(const ProgramSummary &summary, const QString &file)
{
    const QByteArray name = file.toLocal8Bit();
    if (summary.dataRecords == 0) {
        const char *what = summary.format == ProgramFormat::Binary    ? "is empty"
                           : summary.format == ProgramFormat::IntelHex ? "has no data records (type 00)"
                                                                       : "has no data records (S1, S2, S3)";
        std::fprintf(stderr, "qw735-write: %s %s: the board gets an erased image (all 0xFF)\n", name.constData(), what);
    }
    if (summary.droppedBytes > 0)
        std::fprintf(stderr, "qw735-write: %s of %s %s past the 128 KiB program area and %s not written: %s\n",
                     qPrintable(Bytes(summary.droppedBytes)), name.constData(), summary.droppedBytes == 1 ? "lies" : "lie",
                     summary.droppedBytes == 1 ? "is" : "are",
                     qPrintable(Ranges(summary.droppedRanges, summary.droppedRangesCut)));
    if (summary.overwrittenBytes > 0)
        std::fprintf(stderr, "qw735-write: %s of %s %s given twice with different values; the later ones are written\n",
                     qPrintable(Bytes(summary.overwrittenBytes)), name.constData(), summary.overwrittenBytes == 1 ? "is" : "are");
    PrintNotes(summary, name);
}

void PrintInputAdvice(InputAdvice advice)
{
    switch (advice) {
    case InputAdvice::None: return;
    case InputAdvice::GiveBinaryAddress:
        std::fputs("qw735-write: a raw binary file is written with --binary-at ADDRESS\n", stderr);
        return;
    case InputAdvice::IgnoreChecksums:
        std::fputs("qw735-write: --ignore-checksums writes a hand-patched file as it stands\n", stderr);
        return;
    }
}

}  // namespace qw735
