// SPDX-License-Identifier: GPL-2.0-or-later
#include "ui/ComToolTip.h"

namespace qw735::ui {

QString ComToolTip(const PortMap &map, int number)
{
    const QString device = ComDevice(map, number);
    if (device.isEmpty())
        return QStringLiteral("%1: no serial device").arg(ComName(number));
    return QStringLiteral("%1: %2").arg(ComName(number), device);
}

}  // namespace qw735::ui
