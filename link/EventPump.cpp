// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/EventPump.h"

#include <QCoreApplication>
#include <QEventLoop>

namespace qw735 {

void QtEventPump::Pump()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void QtEventPump::PumpPending()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace qw735
