// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/PathName.h"
#include "image/InputFile.h"
#include "writer/TransferResult.h"

#include <QByteArray>
#include <QString>
#include <chrono>
#include <cstdint>
#include <expected>

namespace qw735 {

class FileSystem;
class Link;
class StepTracker;

// Boot-mode loader transfer, at 9600 baud.
// The size field has 16 bits: a larger loader cannot be described.
inline constexpr qint64 LoaderSizeLimit = 0xFFFF;

// Reads the loader file (`path` as the file system takes it) if it is of one
// of `kinds`, and never more than one byte past the size field's reach,
// whatever size the file claims. LoaderMissing when it cannot be read or is
// empty, LoaderTooLarge past the size field's reach; nothing is sent.
[[nodiscard]] std::expected<QByteArray, TransferResult> ReadLoaderFile(const PathName &path, InputKinds kinds);

// How long after the second size byte the boot mode's answers to the size
// field are awaited at most, on a line whose handshake measured
// `roundTrip`: the designed 10 ms plus a few round trips, within the reply
// limit.
int SizeAnswerLimitMs(std::chrono::microseconds roundTrip);

// Sends `loader` to the boot mode: the two size bytes with a pause after
// each, then drops what the boot mode said to them once two bytes have come
// or SizeAnswerLimitMs(roundTrip) has passed, then sends every byte with its
// echo checked, then waits for the end mark (unless it came right behind the
// last echo). A missing end mark counts as success: the image transfer that
// follows finds out whether the loader runs.
TransferResult SendLoader(Link &link, const QByteArray &loader, StepTracker &steps,
                          std::chrono::microseconds roundTrip = std::chrono::microseconds(0));

}  // namespace qw735
