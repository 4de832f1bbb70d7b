// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "database/DatabaseUrl.h"
#include "numbering/SerialSource.h"

#include <expected>
#include <memory>

namespace qw735 {

// Numbers from a sequence in the line's database (`nextval`): no two
// stations, however many take at once, ever get one number twice, and a
// number taken is used up whatever becomes of its board. The sequence is
// the URL's `sequence`. Opened before any board: a server that cannot be
// reached, that refuses the station, or that has no such sequence stops the
// run (kind CannotOpen).
[[nodiscard]] std::expected<std::unique_ptr<SerialSource>, SerialError> OpenSequenceSource(const DatabaseUrl &url);

}  // namespace qw735
