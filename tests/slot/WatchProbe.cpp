// SPDX-License-Identifier: GPL-2.0-or-later
// qw735-watch-probe [--settle MS] SLOT...: runs the device watcher on the
// slots and prints what it reports, a line each, as it comes; "watching"
// once the devices already there are told. For the watcher's tests, which
// run it in a mount namespace of their own (tests/support/PlugRig.h) and
// plug and unplug from outside. It ends when its stdin closes.

#include "base/PathName.h"
#include "slot/DeviceWatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <unistd.h>

namespace {

using namespace qw735;

void Say(const QString &line)
{
    std::fputs((line + u'\n').toUtf8().constData(), stdout);
    std::fflush(stdout);
}

const char *Why(Refusal why)
{
    switch (why) {
    case Refusal::SlotTaken: return "the slot has a device";
    case Refusal::OnAnotherSlot: return "on another slot";
    case Refusal::Renumbered: return "renumbered";
    }
    return "";
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    WatchSettings settings;
    if (args.size() >= 2 && args[0] == u"--settle") {
        settings.settle = std::chrono::milliseconds(args[1].toInt());
        args = args.mid(2);
    }
    const auto parsed = ParseSlots(args);
    if (!parsed) {
        Say(QStringLiteral("error ") + parsed.error().text);
        return 2;
    }
    DeviceWatcher watcher(*parsed, settings);
    QObject::connect(&watcher, &DeviceWatcher::Appeared, [](int slot, const SlotDevice &device) {
        Say(QStringLiteral("appeared %1 %2 -> %3%4")
                .arg(slot)
                .arg(PathDisplay(device.name), PathDisplay(device.device), device.presentAtStart ? QStringLiteral(" at start") : QString()));
    });
    QObject::connect(&watcher, &DeviceWatcher::Ready,
                     [](int slot, const SlotDevice &device) { Say(QStringLiteral("ready %1 %2").arg(slot).arg(PathDisplay(device.name))); });
    QObject::connect(&watcher, &DeviceWatcher::Gone,
                     [](int slot, const SlotDevice &device) { Say(QStringLiteral("gone %1 %2").arg(slot).arg(PathDisplay(device.name))); });
    QObject::connect(&watcher, &DeviceWatcher::Refused, [](int slot, const SlotDevice &device, Refusal why, int other) {
        Say(QStringLiteral("refused %1 %2: %3%4")
                .arg(slot)
                .arg(PathDisplay(device.name), QLatin1String(Why(why)), other >= 0 ? QStringLiteral(" %1").arg(other) : QString()));
    });
    QObject::connect(&watcher, &DeviceWatcher::Failed, [](const WatchError &error) { Say(QStringLiteral("failed ") + error.text); });
    if (const auto started = watcher.Start(); !started) {
        Say(QStringLiteral("error ") + started.error().text);
        return 2;
    }
    Say(QStringLiteral("watching"));
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&app] {
        char byte;
        if (::read(STDIN_FILENO, &byte, 1) <= 0)
            app.quit();
    });
    return app.exec();
}
