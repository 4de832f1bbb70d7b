// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/ProgramFile.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace qw735 {

namespace {

constexpr std::size_t ReadChunkSize = 64 * 1024;

void AppendUtf8(std::string &out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

const char *FormatName(ProgramFormat format)
{
    switch (format) {
    case ProgramFormat::SRecord: return "S-record";
    case ProgramFormat::IntelHex: return "Intel HEX";
    case ProgramFormat::Elf: return "ELF";
    case ProgramFormat::Binary: return "binary";
    }
    return "unknown";
}

std::string DescribeProgramError(const ProgramError &error)
{
    const std::string kind = FormatName(error.format);
    switch (error.kind) {
    case ProgramError::Kind::CannotOpen: return FileAccessMessage(true, error.path, error.detail);
    case ProgramError::Kind::CannotRead: return FileAccessMessage(false, error.path, error.detail);
    case ProgramError::Kind::NotRecognized: return error.path + " is not an S-record, Intel HEX or ELF file";
    case ProgramError::Kind::BadElf:
    case ProgramError::Kind::BadRecord:
    case ProgramError::Kind::BadChecksum: break;
    }
    return kind + " file " + error.path + (error.line ? ", line " + std::to_string(error.line) : std::string()) + ": " + error.detail;
}

ProgramLoader::ProgramLoader(SRecordImage &image, ProgramOptions options) : image_(image), options_(options)
{
    image_.Clear();
    if (options_.binaryAt) {
        mode_ = Mode::Binary;
        tally_.emplace();
        ++tally_->records;
    }
}

ProgramLoader::~ProgramLoader() = default;

ProgramFormat ProgramLoader::TextProgramFormat() const
{
    return text_ && text_->Format() == TextFormat::IntelHex ? ProgramFormat::IntelHex : ProgramFormat::SRecord;
}

std::expected<void, ProgramError> ProgramLoader::TextFault(const SRecordFault &fault) const
{
    using Kind = ProgramError::Kind;
    const Kind kind = fault.kind == SRecordFault::Kind::NotRecognized ? Kind::NotRecognized
                      : fault.kind == SRecordFault::Kind::BadChecksum  ? Kind::BadChecksum
                                                                        : Kind::BadRecord;
    return std::unexpected(ProgramError{kind, {}, TextProgramFormat(), fault.line, fault.detail});
}

std::expected<void, ProgramError> ProgramLoader::Utf16Fault(long line, std::string detail) const
{
    return std::unexpected(ProgramError{ProgramError::Kind::BadRecord, {}, TextProgramFormat(), line, std::move(detail)});
}

std::expected<void, ProgramError> ProgramLoader::Decide()
{
    const std::string_view head(head_, headSize_);
    const TextLoadOptions text{TextFormat::Detect, options_.verifyChecksums};
    if (head == "\x7F" "ELF") {
        mode_ = Mode::Elf;
        tally_.emplace();
        elf_.emplace(image_, *tally_);
    } else if (head.starts_with("\xFF\xFE") || head.starts_with("\xFE\xFF")) {
        mode_ = head[0] == '\xFF' ? Mode::Utf16Le : Mode::Utf16Be;
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
        if (auto fed = text_->Feed(data, size); !fed)
            return TextFault(fed.error());
        return {};
    case Mode::Utf16Le:
    case Mode::Utf16Be: return PassUtf16(data, size);
    case Mode::Elf:
        if (auto fed = elf_->Feed(data, size); !fed)
            return std::unexpected(ProgramError{ProgramError::Kind::BadElf, {}, ProgramFormat::Elf, 0, fed.error()});
        return {};
    case Mode::Binary:
        tally_->Store(image_, *options_.binaryAt + binaryOffset_, std::span(reinterpret_cast<const std::uint8_t *>(data), size));
        binaryOffset_ += size;
        return {};
    }
    return {};
}

std::expected<void, ProgramError> ProgramLoader::FeedDecoded()
{
    if (decoded_.empty())
        return {};
    auto fed = text_->Feed(decoded_.data(), decoded_.size());
    decoded_.clear();
    if (!fed)
        return TextFault(fed.error());
    return {};
}

std::expected<void, ProgramError> ProgramLoader::PassUtf16(const char *data, std::size_t size)
{
    decoded_.clear();
    const bool little = mode_ == Mode::Utf16Le;
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<std::uint8_t>(data[i]);
        if (oddByte_ < 0) {
            oddByte_ = byte;
            continue;
        }
        const auto first = static_cast<std::uint16_t>(oddByte_);
        const std::uint16_t unit = little ? static_cast<std::uint16_t>(byte << 8 | first) : static_cast<std::uint16_t>(first << 8 | byte);
        oddByte_ = -1;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (highSurrogate_ && low) {
            AppendUtf8(decoded_, 0x10000 + ((highSurrogate_ - 0xD800u) << 10) + (unit - 0xDC00u));
            highSurrogate_ = 0;
        } else if (highSurrogate_ || low) {
            // Half a pair is no character. The text before it is read
            // first: a fault there comes first, and the line is known.
            const unsigned unpaired = highSurrogate_ ? highSurrogate_ : unit;
            if (auto fed = FeedDecoded(); !fed)
                return fed;
            char detail[40];
            std::snprintf(detail, sizeof detail, "unpaired surrogate U+%04X", unpaired);
            return Utf16Fault(text_->LineCount() + 1, detail);
        } else if (unit >= 0xD800 && unit <= 0xDBFF) {
            highSurrogate_ = unit;
        } else {
            AppendUtf8(decoded_, unit);
        }
    }
    return FeedDecoded();
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
            return std::unexpected(decided.error());
    }
    ProgramSummary summary;
    const LoadTally *tally = nullptr;
    switch (mode_) {
    case Mode::Undecided: break;
    case Mode::Utf16Le:
    case Mode::Utf16Be:
        // A lone byte, or the first half of a pair, at the end: the file was
        // cut short, which explains any record the cut leaves short.
        if (oddByte_ >= 0 || highSurrogate_)
            return std::unexpected(Utf16Fault(0, "the UTF-16 text is cut in the middle of a character").error());
        summary.detail = "UTF-16";
        [[fallthrough]];
    case Mode::Text:
        if (auto finished = text_->Finish(); !finished)
            return std::unexpected(TextFault(finished.error()).error());
        summary.format = TextProgramFormat();
        tally = &text_->Tally();
        break;
    case Mode::Elf:
        if (auto finished = elf_->Finish(); !finished)
            return std::unexpected(ProgramError{ProgramError::Kind::BadElf, {}, ProgramFormat::Elf, 0, finished.error()});
        summary.format = ProgramFormat::Elf;
        summary.detail = elf_->Describe();
        summary.sections = elf_->SectionsWritten();
        if (elf_->WithoutSections())
            tally_->Note(0, "it has no section headers: its loadable segments are written as they stand in the file, "
                            "less the ELF header and the program header table");
        tally = &*tally_;
        break;
    case Mode::Binary: {
        summary.format = ProgramFormat::Binary;
        char at[40];
        std::snprintf(at, sizeof at, "at 0x%llX", static_cast<unsigned long long>(*options_.binaryAt));
        summary.detail = at;
        tally_->dataRecords = binaryOffset_ > 0;
        tally = &*tally_;
        break;
    }
    }
    summary.records = tally->records;
    summary.dataRecords = tally->dataRecords;
    summary.loaded = tally->LoadedRanges();
    summary.loadedBytes = tally->LoadedBytes();
    summary.droppedBytes = tally->DroppedBytes();
    summary.droppedRanges = tally->DroppedRanges();
    summary.droppedRangesCut = tally->DroppedRangesCut();
    summary.overwrittenBytes = tally->OverwrittenBytes();
    summary.notes = tally->Notes();
    summary.notesLeftOut = tally->NotesLeftOut();
    return summary;
}

std::expected<ProgramSummary, ProgramError> LoadProgramFile(const std::string &path, SRecordImage &image,
                                                            const ProgramOptions &options, InputKinds kinds,
                                                            const std::function<void(std::string_view)> &seen)
{
    ProgramLoader loader(image, options);
    const auto fileError = [&path](const InputFileError &error) {
        const auto kind = error.kind == InputFileError::Kind::CannotOpen ? ProgramError::Kind::CannotOpen : ProgramError::Kind::CannotRead;
        return std::unexpected(ProgramError{kind, path, ProgramFormat::SRecord, 0, error.detail});
    };
    auto file = InputFile::Open(path, kinds);
    if (!file)
        return fileError(file.error());
    const auto buffer = std::make_unique<char[]>(ReadChunkSize);
    for (;;) {
        const auto got = file->Read(buffer.get(), ReadChunkSize);
        if (!got)
            return fileError(got.error());
        if (*got == 0)
            break;
        if (seen)
            seen(std::string_view(buffer.get(), *got));
        if (auto fed = loader.Feed(buffer.get(), *got); !fed) {
            fed.error().path = path;
            return std::unexpected(fed.error());
        }
    }
    auto summary = loader.Finish();
    if (!summary)
        summary.error().path = path;
    return summary;
}

}  // namespace qw735
