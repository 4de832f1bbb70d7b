// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "trace/WireSteps.h"

#include <QString>

namespace qw735 {

// What the user sees of a write's progress; the front end binds it to a
// progress bar or a terminal line. Maximum = bytes to send in the stage it
// begins, value = bytes sent; the image transfer ends by setting 0.
class ProgressDisplay {
public:
    virtual ~ProgressDisplay() = default;
    virtual void SetMaximum(ProgressStage stage, float maximum) = 0;
    virtual void SetValue(float value) = 0;
    // The round trip the handshake measured, in milliseconds: what the line
    // adds to each of the replies still to come. Shown where there is room.
    virtual void SetRoundTrip(double) {}
};

// Shows the one message that ends a write and returns once it is dismissed.
class MessageBox {
public:
    virtual ~MessageBox() = default;
    virtual void Show(const QString &text) = 0;
};

// For callers that do not show progress.
class NoProgress : public ProgressDisplay {
public:
    void SetMaximum(ProgressStage, float) override {}
    void SetValue(float) override {}
};

}  // namespace qw735
