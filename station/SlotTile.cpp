// SPDX-License-Identifier: GPL-2.0-or-later
#include "station/SlotTile.h"

#include <QFont>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace qw735::station {

namespace {

const char *StageWord(ProgressStage stage)
{
    switch (stage) {
    case ProgressStage::Handshake: return "handshake";
    case ProgressStage::Loader: return "loader";
    case ProgressStage::Image: return "image";
    }
    std::unreachable();
}

QLabel *Line(QWidget *parent, QVBoxLayout *layout)
{
    auto *label = new QLabel(parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(label);
    return label;
}

}  // namespace

SlotTile::SlotTile(const QString &name, QWidget *parent) : QFrame(parent)
{
    setFrameShape(QFrame::Box);
    setLineWidth(2);
    setMinimumWidth(220);
    auto *layout = new QVBoxLayout(this);
    name_ = Line(this, layout);
    name_->setText(name);
    QFont bold = name_->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.3);
    name_->setFont(bold);
    device_ = Line(this, layout);
    state_text_ = Line(this, layout);
    bar_ = new QProgressBar(this);
    bar_->setRange(0, 1000);
    bar_->setValue(0);
    layout->addWidget(bar_);
    result_ = new QLabel(this);
    result_->setAlignment(Qt::AlignCenter);
    // Read from two metres: the font scales with the desktop's, as every
    // other text of the window does.
    QFont large = result_->font();
    large.setBold(true);
    large.setPointSizeF(large.pointSizeF() * 3.5);
    result_->setFont(large);
    layout->addWidget(result_);
    message_ = Line(this, layout);
    message_->setWordWrap(true);
    serial_ = Line(this, layout);
    time_ = Line(this, layout);
    label_ = Line(this, layout);
    counts_ = Line(this, layout);
    retry_ = new QPushButton(tr("Retry"), this);
    retry_->setEnabled(false);
    layout->addWidget(retry_);
    layout->addStretch();
    connect(retry_, &QPushButton::clicked, this, &SlotTile::RetryClicked);
    ShowState(State::Empty);
}

void SlotTile::SetDevice(const QString &device)
{
    device_->setText(device);
}

void SlotTile::SetPresent(bool present)
{
    if (state_ == State::Writing)
        return;
    if (!present)
        ShowState(State::Empty);
    else if (state_ == State::Empty)
        ShowState(State::Present);
}

void SlotTile::Clear()
{
    bar_->setValue(0);
    ShowState(State::Empty);
}

void SlotTile::Started(const QString &device, const QString &label)
{
    if (!device.isEmpty())
        device_->setText(device);
    bar_->setValue(0);
    result_->clear();
    message_->clear();
    serial_->clear();
    time_->clear();
    label_->setText(label.isEmpty() ? QString() : tr("Label: %1").arg(label));
    ShowState(State::Writing);
}

void SlotTile::SetMaximum(ProgressStage stage, float maximum)
{
    bar_->setProperty("maximumBytes", maximum);
    bar_->setValue(0);
    state_text_->setText(tr("Writing: %1").arg(QLatin1String(StageWord(stage))));
}

void SlotTile::SetValue(float value)
{
    const float maximum = bar_->property("maximumBytes").toFloat();
    bar_->setValue(maximum > 0 ? static_cast<int>(1000.0f * value / maximum) : 0);
}

void SlotTile::Ended(bool passed, const QString &message, const QString &serial, double seconds)
{
    if (passed)
        bar_->setValue(bar_->maximum());
    message_->setText(passed ? QString() : message);
    serial_->setText(serial.isEmpty() ? QString() : tr("Serial: %1").arg(serial));
    time_->setText(tr("Time: %1 s").arg(seconds, 0, 'f', 1));
    ShowState(passed ? State::Pass : State::Fail);
}

void SlotTile::SetCounts(int passed, int failed)
{
    counts_->setText(tr("Passed %1, failed %2").arg(passed).arg(failed));
}

void SlotTile::SetSelected(bool selected)
{
    setLineWidth(selected ? 5 : 2);
}

void SlotTile::SetLabel(const QString &label)
{
    label_->setText(label.isEmpty() ? QString() : tr("Label: %1").arg(label));
}

void SlotTile::mousePressEvent(QMouseEvent *event)
{
    QFrame::mousePressEvent(event);
    emit Chosen();
}

void SlotTile::ShowState(State state)
{
    state_ = state;
    retry_->setEnabled(state == State::Fail);
    switch (state) {
    case State::Empty: state_text_->setText(tr("Empty")); break;
    case State::Present: state_text_->setText(tr("Board present")); break;
    case State::Writing: state_text_->setText(tr("Writing")); break;
    case State::Pass: state_text_->setText(tr("Done")); break;
    case State::Fail: state_text_->setText(tr("Done")); break;
    }
    if (state == State::Pass) {
        result_->setText(tr("PASS"));
        result_->setStyleSheet(QStringLiteral("color: white; background-color: #1a7f1a;"));
    } else if (state == State::Fail) {
        result_->setText(tr("FAIL"));
        result_->setStyleSheet(QStringLiteral("color: white; background-color: #c01818;"));
    } else if (state != State::Writing) {
        result_->clear();
        result_->setStyleSheet({});
    }
}

QString SlotTile::StateText() const { return state_text_->text(); }
QString SlotTile::ResultText() const { return result_->text(); }
QString SlotTile::MessageText() const { return message_->text(); }
QString SlotTile::SerialText() const { return serial_->text(); }
QString SlotTile::TimeText() const { return time_->text(); }
QString SlotTile::CountsText() const { return counts_->text(); }
QString SlotTile::LabelText() const { return label_->text(); }
int SlotTile::Progress() const { return bar_->value(); }

}  // namespace qw735::station
