// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/ProgramFile.h"

#include <cstdio>
#include <memory>
#include <utility>

namespace qw735 {

namespace {

constexpr std::size_t ReadChunkSize = 64 * 1024;

}  // namespace

ProgramLoader::ProgramLoader(ProgramImage &image, ProgramOptions options) : image_(image), options_(options)
{
    image_.Clear();
    if (options_.binaryAt) {
        mode_ = Mode::Binary;
        binary_.emplace(image_, tally_.emplace(), *options_.binaryAt);
    }
}

ProgramLoader::~ProgramLoader() = default;

// A text that holds no record may be text in UTF-16 without its
// byte-order mark, which the start of the file shows.
std::unexpected<ProgramError> ProgramLoader::TextFault(ProgramError fault) const
{
    if (fault.kind == ProgramError::Kind::NotRecognized && mode_ == Mode::Text) {
        if (const auto utf16 = Utf16WithoutMark(start_)) {
            fault.kind = ProgramError::Kind::Utf16WithoutMark;
            fault.utf16 = *utf16;
        }
    }
    return std::unexpected(std::move(fault));
}

std::expected<void, ProgramError> ProgramLoader::Decide()
{
    const std::string_view head(head_, headSize_);
    const TextLoadOptions text{TextFormat::Detect, options_.verifyChecksums};
    if (head == "\x7F" "ELF") {
        mode_ = Mode::Elf;
        elf_.emplace(image_, tally_.emplace());
    } else if (head.starts_with("\xFF\xFE") || head.starts_with("\xFE\xFF")) {
        mode_ = Mode::Utf16;
        utf16_.emplace(head[0] == '\xFE');
        text_.emplace(image_, text);
        return PassUtf16(head_ + 2, headSize_ - 2);
    } else {
        mode_ = Mode::Text;
        text_.emplace(image_, text);
    }
    return Pass(head_, headSize_);
}

std::expected<void, ProgramError> ProgramLoader::Pass(const char *data, std::size_t size)
{
    switch (mode_) {
    case Mode::Undecided: break;
    case Mode::Text:
        start_.append(data, std::min(size, Utf16StartBytes - std::min(start_.size(), Utf16StartBytes)));
        if (auto fed = text_->Feed(data, size); !fed)
            return TextFault(std::move(fed.error()));
        return {};
    case Mode::Utf16: return PassUtf16(data, size);
    case Mode::Elf: return elf_->Feed(data, size);
    case Mode::Binary: binary_->Feed(data, size); return {};
    }
    return {};
}

std::expected<void, ProgramError> ProgramLoader::PassUtf16(const char *data, std::size_t size)
{
    decoded_.clear();
    const auto decoded = utf16_->Decode(data, size, decoded_);
    // The text before half a pair is read first: a fault there comes
    // first, and the line of the half is known.
    if (!decoded_.empty()) {
        if (auto fed = text_->Feed(decoded_.data(), decoded_.size()); !fed)
            return TextFault(std::move(fed.error()));
    }
    if (!decoded) {
        char detail[40];
        std::snprintf(detail, sizeof detail, "unpaired surrogate U+%04X", unsigned{decoded.error()});
        return std::unexpected(ProgramError{ProgramError::Kind::BadRecord, text_->RecordFormat(), text_->LineCount() + 1, detail});
    }
    return {};
}

std::expected<void, ProgramError> ProgramLoader::Feed(const char *data, std::size_t size)
{
    if (mode_ == Mode::Undecided) {
        while (size > 0 && headSize_ < sizeof head_) {
            head_[headSize_++] = *data++;
            --size;
        }
        if (headSize_ < sizeof head_)
            return {};
        if (auto decided = Decide(); !decided)
            return decided;
    }
    return Pass(data, size);
}

std::expected<ProgramSummary, ProgramError> ProgramLoader::Finish()
{
    if (mode_ == Mode::Undecided) {
        if (auto decided = Decide(); !decided)
            return std::unexpected(std::move(decided.error()));
    }
    switch (mode_) {
    case Mode::Undecided: std::unreachable();  // Decide() chose
    case Mode::Utf16:
        // A lone byte, or the first half of a pair, at the end: the file was
        // cut short, which explains any record the cut leaves short.
        if (utf16_->CutShort())
            return std::unexpected(ProgramError{ProgramError::Kind::BadRecord, text_->RecordFormat(), 0,
                                                "the UTF-16 text is cut in the middle of a character"});
        [[fallthrough]];
    case Mode::Text: {
        if (auto finished = text_->Finish(); !finished)
            return TextFault(std::move(finished.error()));
        ProgramSummary summary = Summary(text_->Tally());
        summary.format = text_->RecordFormat();
        if (mode_ == Mode::Utf16)
            summary.detail = "UTF-16";
        return summary;
    }
    case Mode::Elf: {
        if (auto finished = elf_->Finish(); !finished)
            return std::unexpected(std::move(finished.error()));
        if (elf_->WithoutSections())
            tally_->Note(0, "it has no section headers: its loadable segments are written as they stand in the file, "
                            "less the ELF header and the program header table");
        ProgramSummary summary = Summary(*tally_);
        summary.format = ProgramFormat::Elf;
        summary.detail = elf_->Describe();
        summary.sections = elf_->SectionsWritten();
        return summary;
    }
    case Mode::Binary: {
        binary_->Finish();
        ProgramSummary summary = Summary(*tally_);
        summary.format = ProgramFormat::Binary;
        summary.detail = binary_->Describe();
        return summary;
    }
    }
    std::unreachable();
}

ProgramSummary ProgramLoader::Summary(const LoadTally &tally) const
{
    ProgramSummary summary;
    summary.records = tally.records;
    summary.dataRecords = tally.dataRecords;
    summary.loaded = tally.LoadedRanges();
    summary.loadedBytes = tally.LoadedBytes();
    summary.droppedBytes = tally.DroppedBytes();
    summary.droppedRanges = tally.DroppedRanges();
    summary.droppedRangesCut = tally.DroppedRangesCut();
    summary.overwrittenBytes = tally.OverwrittenBytes();
    summary.notes = tally.Notes();
    summary.notesLeftOut = tally.NotesLeftOut();
    return summary;
}

std::expected<ProgramSummary, ProgramError> LoadProgramFile(const std::string &path, ProgramImage &image, const ProgramOptions &options,
                                                            InputKinds kinds, const std::function<void(std::string_view)> &seen)
{
    ProgramLoader loader(image, options);
    auto file = InputFile::Open(path, kinds);
    if (!file)
        return std::unexpected(std::move(file.error()));
    const auto buffer = std::make_unique<char[]>(ReadChunkSize);
    for (;;) {
        const auto got = file->Read(buffer.get(), ReadChunkSize);
        if (!got)
            return std::unexpected(got.error());
        if (*got == 0)
            return loader.Finish();
        if (seen)
            seen(std::string_view(buffer.get(), *got));
        if (auto fed = loader.Feed(buffer.get(), *got); !fed)
            return std::unexpected(std::move(fed.error()));
    }
}

}  // namespace qw735
