// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "cli/Console.h"
#include "cli/StageProgress.h"
#include "writer/Feedback.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <vector>

namespace qw735 {

class GangWrite;

// The progress of a gang write on stderr. On a terminal: one live line per
// board (port, stage, percent), redrawn in place. Otherwise (a log, a pipe):
// a line per board at each 10% of its loader and its image, and one at its
// end. Lines go to the console's stderr: when it cannot keep up, redraws and
// 10% lines are dropped, the ends never.
class GangProgress : public QObject {
    Q_OBJECT
public:
    GangProgress(Console console, bool interactive, GangWrite &gang);
    // The board has ended with this message.
    void Ended(int board, const QString &message);
    // Draws the live lines a last time; what follows starts below them.
    void Finish();

private:
    struct Board {
        QString name;
        StageProgress progress;
        QString ended;  // the board's message, once it has ended
    };

    void OnMaximum(int board, ProgressStage stage, float maximum);
    void OnValue(int board, float value);
    void OnRoundTrip(int board, double ms);
    // The board's line, within `columns` when that is known (not 0).
    QString LiveLine(const Board &board, int columns) const;
    void Draw(bool mustShow = false);

    Console console_;
    bool interactive_;
    std::vector<Board> boards_;
    int nameWidth_ = 0;
    bool drawn_ = false;
    bool dirty_ = false;
    QTimer redraw_;
};

}  // namespace qw735
