// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target for the Intel HEX reader.
//
// Each input is loaded as Intel HEX fed whole and fed in three chunks split
// at points taken from the input: both must agree exactly (fault, line,
// image, tally, notes such as the lines after the end), and also with the loader that tells the format by content
// when the input's first line is a record. Whatever the input, nothing may
// land at or above the data area's end, and the tally must match the image.

#include "fuzz/FuzzCheck.h"
#include "image/ProgramFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace qw735;

namespace {

void Check(bool condition, const char *what)
{
    fuzz::Check(condition, "IntelHexFuzz", what);
}

struct Outcome {
    bool ok = true;
    long line = 0;
    std::string detail;
    ProgramError::Kind kind = ProgramError::Kind::BadRecord;
    std::uint64_t dropped = 0, overwritten = 0, loaded = 0;
    std::vector<LoadNote> notes;
};

Outcome Load(ProgramImage &image, const char *data, std::size_t size, std::size_t first, std::size_t second, bool verify)
{
    LineReader loader(image, {TextFormat::IntelHex, verify});
    auto loaded = loader.Feed(data, first);
    if (loaded)
        loaded = loader.Feed(data + first, second - first);
    if (loaded)
        loaded = loader.Feed(data + second, size - second);
    if (loaded)
        loaded = loader.Finish();
    Outcome out;
    out.ok = loaded.has_value();
    if (!loaded) {
        out.line = loaded.error().line;
        out.detail = loaded.error().detail;
        out.kind = loaded.error().kind;
    }
    out.dropped = loader.Tally().DroppedBytes();
    out.overwritten = loader.Tally().OverwrittenBytes();
    out.loaded = loader.Tally().LoadedBytes();
    out.notes = loader.Tally().Notes();
    return out;
}

void CheckImage(const ProgramImage &image, const Outcome &outcome)
{
    fuzz::CheckDataAreaOnly(image, "IntelHexFuzz");
    Check(outcome.loaded <= static_cast<std::uint64_t>(image.MaxAddress) + 1, "more bytes loaded than addresses up to MaxAddress");
    Check((outcome.loaded == 0) == (image.MaxAddress == 0 && image.ImageBuffer[0] == 0xFF) || outcome.loaded == 1,
          "loaded bytes and MaxAddress disagree");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static ProgramImage whole, split, detected;
    const char *text = reinterpret_cast<const char *>(data);
    const bool verify = size == 0 || (data[0] & 1) == 0;

    const Outcome a = Load(whole, text, size, size, size, verify);
    CheckImage(whole, a);
    std::size_t first = 0, second = 0;
    if (size > 0) {
        first = (static_cast<std::size_t>(data[size - 1]) * 131 + data[0]) % (size + 1);
        second = first + (static_cast<std::size_t>(data[size / 2]) * 7) % (size - first + 1);
    }
    const Outcome b = Load(split, text, size, first, second, verify);
    CheckImage(split, b);
    Check(a.ok == b.ok && a.line == b.line && a.detail == b.detail && a.kind == b.kind, "whole and split loads differ");
    Check(a.dropped == b.dropped && a.overwritten == b.overwritten && a.loaded == b.loaded && a.notes == b.notes,
          "whole and split tallies differ");
    Check(whole.MaxAddress == split.MaxAddress && whole.ImageBuffer == split.ImageBuffer, "whole and split images differ");

    // Told by content: a file whose first line that is not empty (blanks
    // and 0x1A only) is an Intel HEX record, after blanks, reads the same.
    std::size_t at = 0;
    for (std::size_t line = 0; line < size;) {
        std::size_t end = line;
        while (end < size && text[end] != '\r' && text[end] != '\n')
            ++end;
        at = line;
        while (at < end && (text[at] == ' ' || text[at] == '\t'))
            ++at;
        std::size_t rest = at;
        while (rest < end && (text[rest] == ' ' || text[rest] == '\t' || text[rest] == '\x1A'))
            ++rest;
        if (rest < end)
            break;
        at = size;
        line = end + 1;
    }
    if (at < size && text[at] == ':' && !(size >= 2 && (data[0] == 0xFF || data[0] == 0xFE)) && !(size >= 3 && data[0] == 0xEF)) {
        ProgramLoader loader(detected, {verify, std::nullopt});
        auto fed = loader.Feed(text, size);
        auto summary = fed ? loader.Finish() : std::unexpected(fed.error());
        Check(summary.has_value() == a.ok, "told by content, the file reads otherwise");
        if (summary) {
            Check(summary->format == ProgramFormat::IntelHex, "told by content, not Intel HEX");
            Check(detected.ImageBuffer == whole.ImageBuffer && summary->droppedBytes == a.dropped, "told by content, another image");
        }
    }
    return 0;
}
