// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "sequence/LineSequence.h"

#include <optional>

namespace qw735 {

// Time the freshly started loader gets to set up its UART: no byte at
// 38400 baud leaves the host sooner than this after the end mark was taken.
// The end mark often comes in the same packet as the last echo, and the
// speed is switched in place, so without this wait the loader would hear
// "P" some 11 ms after its end mark. A generous default, since no loader
// start-up has been measured; the command line can widen or narrow it.
inline constexpr int DefaultLoaderStartMs = 50;
inline constexpr int LoaderStartLimitMs = 3000;

// Handshakes after the first when the board answers no sync byte: with a
// boot entry sequence a board whose reset circuit was slow to let go, or
// that missed the entry, gets it again; a few cost little against a board
// written by hand. Each try lasts the handshake's synchronisation (at least
// 51 attempts, or the wait for the board) plus the sequence's waits.
inline constexpr int DefaultSyncRetriesWithEntry = 2;
inline constexpr int SyncRetriesLimit = 10;

// What a caller may set of one board's write; every field's default is the
// write as the window has always run it. One value serves every board of a
// run, read only.
struct WriteOptions {
    // Time the loader gets to start after its end mark (see SendImage).
    int loaderStartMs = DefaultLoaderStartMs;
    // How long the handshake keeps synchronising when the board does not
    // answer, if longer than the designed 51 attempts (see BootHandshake):
    // time to put the board in boot mode after starting the write.
    int waitForBoardMs = 0;
    // Run on DTR and RTS once the port is open, before each handshake: puts
    // the board into boot mode. None: the board is put there by hand, and
    // the port's open and close are the system's own.
    std::optional<LineSequence> bootEntry;
    // Run on DTR and RTS after the write, however it ended: restarts the
    // board into its program, or leaves it as the user wants.
    std::optional<LineSequence> release;
    // Handshakes after the first when no sync byte was answered, each after
    // the boot entry again (see DefaultSyncRetriesWithEntry).
    int syncRetries = 0;

    // The state DTR and RTS rest in while the port is open, when a sequence
    // is given: where the release leaves them, else the boot entry; so that
    // opening and closing the port pulse neither line.
    std::optional<ModemLines> RestLines() const
    {
        if (release)
            return release->Rest();
        if (bootEntry)
            return bootEntry->Rest();
        return std::nullopt;
    }

    // The next settings of one board's write go here, each with the default
    // that leaves the write as it is: a per-board patch of the image.
};

}  // namespace qw735
