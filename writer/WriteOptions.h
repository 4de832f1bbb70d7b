// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "sequence/LineSequence.h"
#include "writer/WriteLimits.h"

#include <optional>

namespace qw735 {

class OwnInputMaker;

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
    std::optional<LineSequence> bootEntry = {};
    // Run on DTR and RTS after the write, however it ended: restarts the
    // board into its program, or leaves it as the user wants.
    std::optional<LineSequence> release = {};
    // Handshakes after the first when no sync byte was answered, each after
    // the boot entry again (see DefaultSyncRetriesWithEntry).
    int syncRetries = 0;
    // Gives each board an input of its own as its write begins (its serial
    // number in its image); none: every board is sent the run's input. It
    // must outlive the write.
    const OwnInputMaker *ownInput = nullptr;

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
    // that leaves the write as it is.
};

}  // namespace qw735
