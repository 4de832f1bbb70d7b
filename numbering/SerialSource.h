// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Plain C++: the job file reader, fuzzed without Qt, reads source texts.

#include "numbering/SerialError.h"

#include <atomic>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace qw735 {

// Where boards' numbers come from. One source may serve many boards at
// once, from any thread, and other processes may take from the same
// source at the same time: every value is given once at most, ever.
class SerialSource {
public:
    virtual ~SerialSource() = default;

    // Takes the next value. Once it is returned it is never given again, by
    // this or any other process, whatever becomes of the board it is for
    // (a write that fails uses it up all the same: its record says so). A
    // crash or a power cut while taking may lose the value being taken,
    // never give it twice. While another process holds the source, the
    // wait ends as soon as `giveUp` is set (kind Interrupted).
    [[nodiscard]] virtual std::expected<std::uint64_t, SerialError> Take(const std::atomic<bool> *giveUp = nullptr) = 0;

    // The value Take would give now, without taking it (for a summary
    // before a run: another process may take it first).
    [[nodiscard]] virtual std::expected<std::uint64_t, SerialError> Peek() const = 0;

    // The source as records and messages name it: "counter:serial.txt".
    virtual std::string Describe() const = 0;
};

// A source as the user names it: "counter:FILE" (FILE holds the next
// number), "list:FILE" (one value a line, each used once) or
// "postgresql://HOST/DB?sequence=NAME" (a sequence in the line's database).
struct SerialSourceText {
    enum class Kind { Counter, List, Database };
    Kind kind = Kind::Counter;
    std::string file;  // bytes, as given; a database's URL after its scheme

    // Back as the user names it.
    std::string Text() const;
    bool operator==(const SerialSourceText &) const = default;
};

// Error kind BadSource.
[[nodiscard]] std::expected<SerialSourceText, SerialError> ParseSerialSource(std::string_view text);

}  // namespace qw735
