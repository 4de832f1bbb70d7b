// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "trace/WireSteps.h"

#include <QFrame>
#include <QString>

class QLabel;
class QProgressBar;
class QPushButton;

namespace qw735::station {

// One slot of the station, readable from across the room: its name and
// device, what it is doing, and how its last board ended, PASS or FAIL in
// large letters, green or red, and the word itself, never colour alone.
class SlotTile : public QFrame {
    Q_OBJECT
public:
    enum class State { Empty, Present, Writing, Pass, Fail };

    SlotTile(const QString &name, QWidget *parent = nullptr);

    void SetDevice(const QString &device);
    // Empty or Present, unless the tile shows a write or its end: those
    // stay until the next write starts (or the board is unplugged).
    void SetPresent(bool present);
    // Back to Empty, also from Writing: a remote slot's server with no board
    // behind it, tried and found empty.
    void Clear();
    void Started(const QString &device, const QString &label);
    void SetMaximum(ProgressStage stage, float maximum);
    void SetValue(float value);
    // `serial`: the board's own number, if it was given one.
    void Ended(bool passed, const QString &message, const QString &serial, double seconds);
    void SetCounts(int passed, int failed);
    void SetSelected(bool selected);
    void SetLabel(const QString &label);

    State TileState() const { return state_; }
    QString StateText() const;
    QString ResultText() const;
    QString MessageText() const;
    QString SerialText() const;
    QString TimeText() const;
    QString CountsText() const;
    QString LabelText() const;
    int Progress() const;
    QPushButton *RetryButton() const { return retry_; }
    QLabel *ResultLabel() const { return result_; }

signals:
    void RetryClicked();
    void Chosen();

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    void ShowState(State state);

    State state_ = State::Empty;
    QLabel *name_;
    QLabel *device_;
    QLabel *state_text_;
    QProgressBar *bar_;
    QLabel *result_;
    QLabel *message_;
    QLabel *serial_;
    QLabel *time_;
    QLabel *label_;
    QLabel *counts_;
    QPushButton *retry_;
};

}  // namespace qw735::station
