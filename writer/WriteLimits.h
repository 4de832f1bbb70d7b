// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The bounds of a write's settings, in plain C++ so that readers of settings
// outside Qt (the job file's) check the same bounds as the command line.

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

}  // namespace qw735
