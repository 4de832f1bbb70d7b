// SPDX-License-Identifier: GPL-2.0-or-later
#include "ui/SFileDialog.h"

#include <QFileDialog>
#include <QFileSystemModel>

namespace qw735::ui {

namespace {

// The two filters, in this order; the second is preselected. The names mean
// "all files" and "Motorola S file".
constexpr const char *AllFilesFilter = "すべてのファイル (*.*)";
constexpr const char *SFileFilter = "モトローラSファイル (*.mot)";

constexpr const char *SFileDialogName = "CommonDialog1";

// Done before every showing, so the preselection holds again after the user
// switched filters.
void ConfigureSFileDialog(QFileDialog &dialog)
{
    dialog.setObjectName(QString::fromLatin1(SFileDialogName));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({QString::fromUtf8(AllFilesFilter), QString::fromUtf8(SFileFilter)});
    dialog.selectNameFilter(QString::fromUtf8(SFileFilter));
}

}  // namespace

QFileDialog *MakeSFileDialog(QWidget *parent)
{
    auto *dialog = new QFileDialog(parent);
    ConfigureSFileDialog(*dialog);
    // "*.*" means every file to the user, but Qt matches it literally and
    // would hide files without a dot in their name. Widen the pattern when
    // the user picks that filter; the text shown stays as it is.
    QObject::connect(dialog, &QFileDialog::filterSelected, dialog, [dialog](const QString &filter) {
        if (filter != QString::fromUtf8(AllFilesFilter))
            return;
        if (auto *model = dialog->findChild<QFileSystemModel *>())
            model->setNameFilters({QStringLiteral("*")});
    });
    return dialog;
}

std::optional<QString> AskSFilePath(QFileDialog &dialog)
{
    ConfigureSFileDialog(dialog);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.first().isEmpty())
        return std::nullopt;
    return files.first();
}

}  // namespace qw735::ui
