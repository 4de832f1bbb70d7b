// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target for the S-record loader.
//
// Each input is loaded three ways that must agree exactly: fed whole, fed in
// two chunks split at a point taken from the input (so terminators and long
// lines straddle chunk boundaries), and line by line through ParseSRecordLine
// after a plain split of the whole input, without any prefix truncation
// (and so without the blanks the loader counts instead of keeping).
// Whatever the input, nothing may land at or above the data area's end.

#include "fuzz/FuzzCheck.h"
#include "image/LineReader.h"
#include "image/ProgramImage.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

using namespace qw735;

namespace {

void Check(bool condition, const char *what)
{
    fuzz::Check(condition, "SRecordFuzz", what);
}

struct Outcome {
    bool ok = true;
    long line = 0;
    std::string detail;
    long lineCount = 0;
    std::vector<LoadNote> notes;  // count records that do not match
};

Outcome LoadInChunks(ProgramImage &image, const char *data, std::size_t size, std::size_t split)
{
    LineReader loader(image);
    auto loaded = loader.Feed(data, split);
    if (loaded)
        loaded = loader.Feed(data + split, size - split);
    if (loaded)
        loaded = loader.Finish();
    Outcome out;
    out.ok = loaded.has_value();
    if (!loaded) {
        out.line = loaded.error().line;
        out.detail = loaded.error().detail;
        const auto again = loader.Finish();
        Check(!again && again.error().line == out.line && again.error().detail == out.detail,
              "a bad record is not reported again after it stopped the load");
    }
    out.lineCount = loader.LineCount();
    out.notes = loader.Tally().Notes();
    return out;
}

// Straightforward reference: skip a byte-order mark at the start, find each
// line in the whole input, parse it whole.
Outcome LoadLineByLine(ProgramImage &image, std::string_view text)
{
    image.Clear();
    LoadTally tally;
    SRecordCount counted;
    Outcome out;
    std::size_t at = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    while (at < text.size()) {
        std::size_t end = at;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n')
            ++end;
        ++out.lineCount;
        if (auto parsed = ParseSRecordLine(text.substr(at, end - at), 0, {image, tally, true, out.lineCount}, counted); !parsed) {
            out.ok = false;
            out.line = out.lineCount;
            out.detail = parsed.error().detail;
            return out;
        }
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
            ++end;
        at = end + 1;
    }
    out.notes = tally.Notes();
    return out;
}

void CheckImage(const ProgramImage &image)
{
    fuzz::CheckDataAreaOnly(image, "SRecordFuzz");
}

void CheckSame(const Outcome &a, const ProgramImage &imageA, const Outcome &b, const ProgramImage &imageB,
               const char *what)
{
    Check(a.ok == b.ok && a.line == b.line && a.detail == b.detail, what);
    Check(a.lineCount == b.lineCount, what);
    // Compared after errors too: all three apply the same lines in the same
    // order up to the bad one, so even a partly stored record must match.
    Check(imageA.MaxAddress == imageB.MaxAddress, what);
    Check(imageA.ImageBuffer == imageB.ImageBuffer, what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Reused between runs only to spare the allocations; every load clears them.
    static ProgramImage whole, split, reference;
    const char *text = reinterpret_cast<const char *>(data);

    const Outcome wholeOutcome = LoadInChunks(whole, text, size, size);
    CheckImage(whole);

    std::size_t at = 0;
    if (size > 0)
        at = (static_cast<std::size_t>(data[size - 1]) * 131 + static_cast<std::size_t>(data[0])) % (size + 1);
    const Outcome splitOutcome = LoadInChunks(split, text, size, at);
    CheckImage(split);
    CheckSame(wholeOutcome, whole, splitOutcome, split, "whole and split loads differ");
    Check(wholeOutcome.notes == splitOutcome.notes, "whole and split loads note otherwise");

    const Outcome referenceOutcome = LoadLineByLine(reference, std::string_view(text, size));
    CheckImage(reference);
    CheckSame(wholeOutcome, whole, referenceOutcome, reference, "loader and line-by-line parse differ");
    Check(!wholeOutcome.ok || wholeOutcome.notes == referenceOutcome.notes, "loader and line-by-line parse note otherwise");
    return 0;
}
