// SPDX-License-Identifier: GPL-2.0-or-later
#include "ui/MessageDialog.h"

#include "ui/Twips.h"
#include "writer/Messages.h"

#include <QGridLayout>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>

namespace qw735::ui {

namespace {

constexpr int MinimumWidthTwips = 2880;
constexpr const char *MessageDialogName = "MessageDialog";

}  // namespace

void ShowMessageDialog(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(ApplicationTitle), text, QMessageBox::Ok, parent);
    box.setObjectName(QString::fromLatin1(MessageDialogName));
    // Plain text: the texts are fixed words or a device path, never markup.
    box.setTextFormat(Qt::PlainText);
    // No picture anywhere: some styles put a tick on OK buttons.
    box.button(QMessageBox::Ok)->setIcon(QIcon());
    // A box sized to "O.K." alone is so narrow that window managers cut its
    // title to "Q...": keep it wide enough for the title and its buttons.
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout())) {
        const int width = TwipsToPixels(MinimumWidthTwips, box.logicalDpiX());
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    box.exec();
}

}  // namespace qw735::ui
