// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/BoardNumbering.h"

#include "database/SequenceSource.h"
#include "numbering/SerialSources.h"

namespace qw735 {

std::expected<BoardNumbering, SerialError> BoardNumbering::Open(const SerialField &field, const SerialSourceText &source,
                                                                std::span<const AddressRange> loaded)
{
    if (const auto placed = CheckSerialField(field, loaded); !placed)
        return std::unexpected(placed.error());
    auto opened = [&]() -> std::expected<std::unique_ptr<SerialSource>, SerialError> {
        if (source.kind != SerialSourceText::Kind::Database)
            return OpenSerialSource(source);
        const auto url = ParseDatabaseUrl(source.Text());
        if (!url)
            return std::unexpected(SerialError{SerialError::Kind::BadSource, url.error().text});
        return OpenSequenceSource(*url);
    }();
    if (!opened)
        return std::unexpected(opened.error());
    BoardNumbering numbering(field, std::shared_ptr<SerialSource>(std::move(*opened)));
    if (const auto next = numbering.Next(); !next)
        return std::unexpected(next.error());
    return numbering;
}

std::expected<BoardImage, SerialError> BoardNumbering::Take(const ProgramImage &program, const std::atomic<bool> *giveUp) const
{
    const auto value = source_->Take(giveUp);
    if (!value)
        return std::unexpected(value.error());
    return MakeBoardImage(program, field_, *value);
}

std::expected<OwnInput, WriteResult> NumberedInput::Make(const WriteInput &run, const std::atomic<bool> &giveUp) const
{
    auto board = numbering_.Take(run.image, &giveUp);
    if (!board) {
        // A board's result line starts as a sentence.
        QString why = QString::fromStdString(board.error().text);
        if (!why.isEmpty())
            why[0] = why[0].toUpper();
        return std::unexpected(WriteResult{WriteOutcome::NumberFailed, why});
    }
    OwnInputFacts facts{QString::fromStdString(board->serial), board->imageSha256, board->transferSize, board->checksum};
    return OwnInput{WriteInput{std::move(board->image), run.loader, run.programFileSha256, run.summary}, std::move(facts)};
}

std::expected<std::string, SerialError> BoardNumbering::Next() const
{
    const auto value = source_->Peek();
    if (!value)
        return std::unexpected(value.error());
    if (const auto fits = EncodeSerial(*value, field_.format); !fits)
        return std::unexpected(fits.error());
    return SerialText(*value, field_.format);
}

}  // namespace qw735
