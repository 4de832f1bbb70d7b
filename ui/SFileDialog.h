// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <optional>

class QFileDialog;
class QWidget;

namespace qw735::ui {

// A window's own S-file dialog, "CommonDialog1", child of `parent`: open an
// existing file, with two filters, "all files" and "Motorola S file" (in
// Japanese), the second one preselected.
//
// Always Qt's own dialog, never the desktop's: it looks and behaves the
// same under every desktop (filter order, preselection, the labels' font
// for the Japanese names), runs in this process where closing the program
// can end it, and tests can find and drive it.
QFileDialog *MakeSFileDialog(QWidget *parent);

// Shows the dialog modally, the S-file filter preselected again; the chosen
// full path, or nothing on cancel.
std::optional<QString> AskSFilePath(QFileDialog &dialog);

}  // namespace qw735::ui
