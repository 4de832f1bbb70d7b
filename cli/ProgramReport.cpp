// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/ProgramReport.h"

#include "base/PathName.h"
#include "cli/Console.h"
#include "production/ExitStatus.h"
#include "cli/Hints.h"
#include "production/BoardNumbering.h"
#include "production/ProductionRecord.h"
#include "writer/SendImage.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace qw735 {

namespace {

// Ranges listed in a line before the rest are only counted.
constexpr qsizetype ListedRanges = 16;

// "0x" and at least `digits` upper-case hexadecimal digits.
QString Hex(std::uint64_t value, int digits)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(digits, u'0');
}

QString Address(std::uint64_t address)
{
    return Hex(address, 5);
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

void Field(const Console &console, const char *label, const QString &value)
{
    console.Out(QStringLiteral("%1%2").arg(QLatin1String(label), -24).arg(value));
}

// On stderr: what the user should know of a file that is written all the
// same, each note naming the file and its line.
void PrintNotes(const Console &console, const ProgramSummary &summary, const QByteArray &name)
{
    for (const LoadNote &note : summary.notes) {
        const QByteArray where = note.line ? name + ", line " + QByteArray::number(note.line) : name;
        console.TellBytes(where.toStdString() + ": ", note.text);
    }
    if (summary.notesLeftOut > 0)
        console.TellBytes(name.toStdString(), ": " + std::to_string(summary.notesLeftOut) + " more like " + (summary.notes.size() == 1 ? "it" : "these"));
}

}  // namespace

std::expected<std::uint64_t, QString> ParseAddress(const QString &text)
{
    const QByteArray bytes = text.toLatin1();
    if (bytes.startsWith('-'))
        return std::unexpected(QStringLiteral("it is negative"));
    if (bytes.startsWith('+'))
        return std::unexpected(QStringLiteral("an address takes no sign"));
    const bool hex = bytes.startsWith("0x") || bytes.startsWith("0X");
    const QByteArray digits = hex ? bytes.mid(2) : bytes;
    if (digits.isEmpty())
        return std::unexpected(hex ? QStringLiteral("no digits after 0x") : QStringLiteral("it is empty"));
    // Digits only: no blanks, no octal guess from a leading zero.
    for (qsizetype at = 0; at < digits.size(); ++at) {
        const char c = digits[at];
        if ((c >= '0' && c <= '9') || (hex && QByteArrayView("abcdefABCDEF").contains(c)))
            continue;
        // The character as the user sees it: a whole UTF-8 character, or \xNN.
        const QString rest = BytesDisplay(digits.mid(at));
        const qsizetype length = rest.startsWith(u'\\') && static_cast<unsigned char>(c) >= 0x80 ? 4 : rest[0].isHighSurrogate() ? 2 : 1;
        return std::unexpected(QStringLiteral("'%1' is not a %2 digit").arg(rest.left(length), QLatin1String(hex ? "hexadecimal" : "decimal")));
    }
    bool ok = false;
    const qulonglong value = digits.toULongLong(&ok, hex ? 16 : 10);
    if (!ok || value > 0xFFFFFFFFu)
        return std::unexpected(QStringLiteral("it lies past 0xFFFFFFFF"));
    return value;
}

namespace {

QJsonArray RangesJson(const std::vector<AddressRange> &ranges)
{
    QJsonArray all;
    for (const AddressRange &range : ranges)
        all.append(QJsonArray{static_cast<qint64>(range.first), static_cast<qint64>(range.last)});
    return all;
}

// The summary as one JSON object, with the names the production record
// uses where it holds the same.
QJsonObject InfoJson(const PathName &file, const QByteArray &fileSha256, const ProgramSummary &summary, const ProgramImage &image)
{
    const std::int32_t size = TransferSize(image.MaxAddress);
    // An ELF file's sections written; null for the other formats, and 0 for
    // an ELF file without section headers, whose segments are written.
    const QJsonValue sections = summary.format == ProgramFormat::Elf ? QJsonValue(static_cast<qint64>(summary.sections)) : QJsonValue();
    return {
        {QStringLiteral("file"), file.Display()},
        {QStringLiteral("file_sha256"), QString::fromLatin1(fileSha256)},
        {QStringLiteral("format"), QLatin1String(FormatName(summary.format))},
        {QStringLiteral("detail"), summary.detail.empty() ? QJsonValue(QJsonValue::Null) : QJsonValue(QString::fromStdString(summary.detail))},
        {QStringLiteral("records"), static_cast<qint64>(summary.records)},
        {QStringLiteral("data_records"), static_cast<qint64>(summary.dataRecords)},
        {QStringLiteral("sections"), sections},
        {QStringLiteral("loaded"), RangesJson(summary.loaded)},
        {QStringLiteral("loaded_bytes"), static_cast<qint64>(summary.loadedBytes)},
        {QStringLiteral("dropped"), RangesJson(summary.droppedRanges)},
        {QStringLiteral("dropped_more"), summary.droppedRangesCut},
        {QStringLiteral("dropped_bytes"), static_cast<qint64>(summary.droppedBytes)},
        {QStringLiteral("overwritten_bytes"), static_cast<qint64>(summary.overwrittenBytes)},
        {QStringLiteral("highest_address"), image.MaxAddress},
        {QStringLiteral("transfer_size"), size},
        {QStringLiteral("blocks"), size / BlockSize},
        {QStringLiteral("checksum"), ImageChecksum(image)},
        {QStringLiteral("image_sha256"), QString::fromLatin1(ImageSha256(image))},
    };
}

}  // namespace

int PrintProgramInfo(const Console &console, const PathName &file, const ProgramOptions &options, bool json, const PathName &loader,
                     const std::optional<JobNumbering> &numbering)
{
    ProgramImage image;
    QCryptographicHash digest(QCryptographicHash::Sha256);
    const auto seen = [&](std::string_view bytes) { digest.addData(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size()))); };
    const auto read = ReadProgramFile(file, image, InputReader::Interruptible, options, seen);
    if (!read) {
        // JSON or nothing on stdout for a script that asked for JSON.
        if (json)
            console.Tell(read.error().message);
        else
            console.Out(read.error().message);
        if (const QString hint = ProgramFileHint(read.error(), file, loader); !hint.isEmpty())
            console.Tell(hint);
        return ExitProgramFailed;
    }
    const ProgramSummary &summary = *read;
    // The number is placed against the file's data, and the source read,
    // as a write would before any board starts; nothing is taken.
    std::optional<std::expected<BoardNumbering, SerialError>> numbered;
    if (numbering)
        numbered = BoardNumbering::Open(numbering->field, numbering->source, summary.loaded);
    if (numbered && !*numbered) {
        console.Tell(QString::fromStdString(numbered->error().text));
        return ExitUsage;
    }
    if (json) {
        QJsonObject info = InfoJson(file, digest.result().toHex(), summary, image);
        if (numbered)
            info.insert(QStringLiteral("serial"), QJsonObject{{QStringLiteral("address"), static_cast<qint64>(numbering->field.address)},
                                                              {QStringLiteral("format"), QString::fromStdString(numbering->field.format.Text())},
                                                              {QStringLiteral("source"), QString::fromStdString((*numbered)->Source())},
                                                              {QStringLiteral("next"), QString::fromStdString((*numbered)->Next().value_or(std::string()))}});
        console.Out(QString::fromUtf8(QJsonDocument(info).toJson(QJsonDocument::Compact)));
        PrintNotes(console, summary, file.Display().toLocal8Bit());
        return ExitOk;
    }
    const std::int32_t size = TransferSize(image.MaxAddress);

    Field(console, "format", FormatLine(summary));
    if (summary.format == ProgramFormat::Elf) {
        Field(console, "segments", QStringLiteral("%1 loadable, %2 with bytes in the file").arg(summary.records).arg(summary.dataRecords));
        Field(console, "sections", summary.sections > 0 ? QStringLiteral("%1 written").arg(summary.sections)
                                               : QStringLiteral("none in the file: the segments are written, less the headers"));
    } else if (summary.format != ProgramFormat::Binary)
        Field(console, "records", QStringLiteral("%1, %2 with data").arg(summary.records).arg(summary.dataRecords));
    Field(console, "loaded", summary.loaded.empty() ? QStringLiteral("nothing (the image is all 0xFF)")
                                           : QStringLiteral("%1: %2").arg(Bytes(summary.loadedBytes), Ranges(summary.loaded, false)));
    Field(console, "outside the area", summary.droppedBytes == 0
                                  ? QStringLiteral("none")
                                  : QStringLiteral("%1 dropped: %2").arg(Bytes(summary.droppedBytes), Ranges(summary.droppedRanges, summary.droppedRangesCut)));
    Field(console, "overlaps", summary.overwrittenBytes == 0
                          ? QStringLiteral("none")
                          : QStringLiteral("%1 given again with another value (the later is sent)").arg(Bytes(summary.overwrittenBytes)));
    Field(console, "highest loaded address", Address(static_cast<unsigned>(image.MaxAddress)));
    Field(console, "transfer size", QStringLiteral("%1 bytes, %2 %3 of %4")
                                        .arg(size)
                                        .arg(size / BlockSize)
                                        .arg(QLatin1String(size / BlockSize == 1 ? "block" : "blocks"))
                                        .arg(BlockSize));
    Field(console, "checksum byte", Hex(ImageChecksum(image), 2));
    Field(console, "image SHA-256", QString::fromLatin1(ImageSha256(image)));
    if (numbered) {
        const SerialField &field = numbering->field;
        Field(console, "serial number", QStringLiteral("%1, %2 %3 at %4, from %5")
                                            .arg(QString::fromStdString(field.format.Text()))
                                            .arg(field.format.size)
                                            .arg(QLatin1String(field.format.size == 1 ? "byte" : "bytes"), Address(field.address),
                                                 QString::fromStdString((*numbered)->Source())));
        // Another writer may take it first.
        Field(console, "next serial number", QString::fromStdString((*numbered)->Next().value_or(std::string())) + QStringLiteral(" (not taken)"));
    }
    PrintNotes(console, summary, file.Display().toLocal8Bit());
    return ExitOk;
}

void PrintInputNotes(const Console &console, const ProgramSummary &summary, const QString &file)
{
    const QByteArray name = file.toLocal8Bit();
    if (summary.dataRecords == 0) {
        const char *what = summary.format == ProgramFormat::Binary    ? "is empty"
                           : summary.format == ProgramFormat::IntelHex ? "has no data records (type 00)"
                                                                       : "has no data records (S1, S2, S3)";
        console.TellBytes(name.toStdString(), std::string(" ") + what + ": the board gets an erased image (all 0xFF)");
    }
    if (summary.droppedBytes > 0)
        console.Tell(QStringLiteral("%1 of %2 %3 past the 128 KiB program area and %4 not written: %5")
                         .arg(Bytes(summary.droppedBytes), file, QLatin1String(summary.droppedBytes == 1 ? "lies" : "lie"),
                              QLatin1String(summary.droppedBytes == 1 ? "is" : "are"), Ranges(summary.droppedRanges, summary.droppedRangesCut)));
    if (summary.overwrittenBytes > 0)
        console.Tell(QStringLiteral("%1 of %2 %3 given twice with different values; the later ones are written")
                         .arg(Bytes(summary.overwrittenBytes), file, QLatin1String(summary.overwrittenBytes == 1 ? "is" : "are")));
    PrintNotes(console, summary, name);
}

}  // namespace qw735
