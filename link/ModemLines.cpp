// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/ModemLines.h"

#include <QStringList>

namespace qw735 {

QString DescribeChange(const LineChange &change)
{
    QStringList parts;
    if (change.dtr)
        parts << (*change.dtr ? QStringLiteral("DTR on") : QStringLiteral("DTR off"));
    if (change.rts)
        parts << (*change.rts ? QStringLiteral("RTS on") : QStringLiteral("RTS off"));
    return parts.join(QStringLiteral(", "));
}

QString ChangeText(const LineChange &change)
{
    QString text;
    if (change.dtr)
        text += *change.dtr ? QStringLiteral("D1") : QStringLiteral("D0");
    if (change.rts)
        text += *change.rts ? QStringLiteral("R1") : QStringLiteral("R0");
    return text;
}

}  // namespace qw735
