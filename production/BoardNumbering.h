// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "numbering/SerialField.h"
#include "numbering/SerialSource.h"
#include "production/BoardImage.h"
#include "writer/OwnInput.h"

#include <atomic>
#include <expected>
#include <memory>
#include <span>

namespace qw735 {

// How the boards of one run get their own numbers: where each goes in its
// image, and the source it is taken from. Made once for the run, before
// any port opens, and then shared by every board's thread.
class BoardNumbering {
public:
    // Opens the source named and checks the field against the program file's
    // data at `loaded` and the next value against the format, so that a
    // mistake stops the run before any board starts. (A later value may
    // still not fit: that board's take says so.)
    [[nodiscard]] static std::expected<BoardNumbering, SerialError> Open(const SerialField &field, const SerialSourceText &source,
                                                                         std::span<const AddressRange> loaded);

    // Takes the next number and makes the board's image with it: called as
    // the board's write begins, from any board's thread. A number taken is
    // used up even when the image cannot be made with it (kind DoesNotFit)
    // or the write then fails.
    [[nodiscard]] std::expected<BoardImage, SerialError> Take(const ProgramImage &program, const std::atomic<bool> *giveUp = nullptr) const;

    // The number the next board would get, as its image would hold it;
    // nothing is taken.
    [[nodiscard]] std::expected<std::string, SerialError> Next() const;

    const SerialField &Field() const { return field_; }
    // "counter:serial.txt", as records and messages name it.
    std::string Source() const { return source_->Describe(); }

private:
    BoardNumbering(SerialField field, std::shared_ptr<SerialSource> source) : field_(field), source_(std::move(source)) {}

    SerialField field_;
    std::shared_ptr<SerialSource> source_;
};

// Each board's own input with its own number in it, taken as its write
// begins (WriteOptions::ownInput). A number that cannot be taken ends the
// board as NumberFailed, its message the reason.
class NumberedInput final : public OwnInputMaker {
public:
    // `numbering` must outlive the write.
    explicit NumberedInput(const BoardNumbering &numbering) : numbering_(numbering) {}
    [[nodiscard]] std::expected<OwnInput, WriteResult> Make(const WriteInput &run, const std::atomic<bool> &giveUp) const override;

private:
    const BoardNumbering &numbering_;
};

}  // namespace qw735
