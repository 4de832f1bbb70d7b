// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace qw735 {

// Time the freshly started loader gets to set up its UART: no byte at
// 38400 baud leaves the host sooner than this after the end mark was taken.
// The end mark often comes in the same packet as the last echo, and the
// speed is switched in place, so without this wait the loader would hear
// "P" some 11 ms after its end mark. A generous default, since no loader
// start-up has been measured; the command line can widen or narrow it.
inline constexpr int DefaultLoaderStartMs = 50;
inline constexpr int LoaderStartLimitMs = 3000;

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

    // The next settings of one board's write go here, each with the default
    // that leaves the write as it is: the boot entry and release sequences
    // on the modem lines, the handshake's retries, a per-board patch of the
    // image.
};

}  // namespace qw735
