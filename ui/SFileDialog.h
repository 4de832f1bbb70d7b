// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class QFileDialog;
class QWidget;

namespace qw735::ui {

// The two filters of the S-file dialog, in this order; the second is
// preselected. The names mean "all files" and "Motorola S file".
inline constexpr const char *AllFilesFilter = "すべてのファイル (*.*)";
inline constexpr const char *SFileFilter = "モトローラSファイル (*.mot)";
QStringList SFileFilters();

// Object name of each window's dialog, so that tests can find it.
inline constexpr const char *SFileDialogName = "CommonDialog1";

// A window's own S-file dialog, child of `parent`, configured as below.
QFileDialog *MakeSFileDialog(QWidget *parent);

// Sets `dialog` up as the S-file dialog: open an existing file, the two
// filters with the S-file filter selected. Done before every showing, so
// the preselection holds again after the user switched filters.
//
// Always Qt's own dialog, never the desktop's: it looks and behaves the
// same under every desktop (filter order, preselection, the labels' font
// for the Japanese names), runs in this process where closing the program
// can end it, and tests can find and drive it.
void ConfigureSFileDialog(QFileDialog &dialog);

// Shows the dialog modally; the chosen full path, or nothing on cancel.
std::optional<QString> AskSFilePath(QFileDialog &dialog);

}  // namespace qw735::ui
