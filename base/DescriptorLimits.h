// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <expected>

namespace qw735 {

// Whether `count` more descriptors can be opened now, below the process's
// limit and the system's. Checked before anything that would end the process
// without one (the toolkit aborts when it cannot make a thread's event loop).
bool HasFreeDescriptors(int count);
// Why a port or a thread could not be had for want of descriptors, in words
// that follow "Cannot open PORT: ".
QString DescriptorShortage();

// Raises the soft limit on open descriptors to `needed`, as far as the hard
// limit allows. The error says how many are needed and what the limit is,
// for the user to raise it with ulimit -n.
[[nodiscard]] std::expected<void, QString> RaiseDescriptorLimit(int needed);

}  // namespace qw735
