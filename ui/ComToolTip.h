// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/PortMap.h"

#include <QString>

namespace qw735::ui {

// The tooltip of a Com: the device behind it ("/dev/ttyUSB0"), so that a
// user with a USB adapter knows which Com to click. Read from the map
// each time: adapters come and go while the program runs.
QString ComToolTip(const PortMap &map, int number);

}  // namespace qw735::ui
