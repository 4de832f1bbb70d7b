// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <expected>

class QSocketNotifier;

namespace qw735 {

// Makes descriptors 0, 1 and 2 valid, opening /dev/null on each that is
// closed (a service manager or a careless parent may start the program so).
// Call it first in main, before anything opens a descriptor: one opened
// later would take the number of a closed standard descriptor, and what is
// meant for stdout or stderr (progress, the toolkit's warnings) would go
// into it, be it a serial port or a pipe of the program's own. False when
// /dev/null cannot be opened.
bool OpenStandardDescriptors();

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
std::expected<void, QString> RaiseDescriptorLimit(int needed);

// While it lives, catches the signals that end a program from a shell, a
// terminal or a session manager: SIGINT (Ctrl-C), SIGQUIT (Ctrl-\),
// SIGTERM (kill, a service or session manager stopping it) and SIGHUP (the
// terminal or the SSH session went away). Each one is delivered through the
// event loop as Received, so that a write is ended from its own waits and the
// port is closed properly instead of the process dying with it open.
// Destroying it restores the default handling. One at a time.
class EndingSignals : public QObject {
    Q_OBJECT
public:
    explicit EndingSignals(QObject *parent = nullptr);
    ~EndingSignals() override;

    // The first signal caught, 0 while none was.
    int Caught() const;

    // "SIGTERM" for SIGTERM and so on, for the signals caught here.
    static const char *Name(int signal);

    // Ends the process by `signal` with its default handling, once the
    // program has cleaned up: so a shell reports 128 + the signal's number
    // and a script that runs the program stops as it would for any program
    // stopped this way.
    [[noreturn]] static void EndBy(int signal);

signals:
    void Received(int signal);

private:
    QSocketNotifier *notifier_ = nullptr;
};

}  // namespace qw735
