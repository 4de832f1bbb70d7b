// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QObject>

class QSocketNotifier;

namespace qw735 {

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
