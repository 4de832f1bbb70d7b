// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/PortMap.h"
#include "writer/FileSystem.h"

#include <QPointer>
#include <QPointF>
#include <QWidget>
#include <array>
#include <memory>
#include <optional>

class QFileDialog;
class QGroupBox;
class QLabel;
class QRadioButton;

namespace qw735::ui {

class Form1;

// The port selection window, captioned "Com", that the program starts
// with: a click on one of ten ports tries the port, asks for the S-record
// file, and hands over to the main window.
//
// Object names: "Frame1"; the radio buttons "Option1_0".."Option1_9" and
// their labels "Label1_0".."Label1_9", each also carrying its array index
// in the dynamic property "Index".
class Form2 : public QWidget {
    Q_OBJECT
public:
    // `map` says which device is behind each Com. `fileSystem` stands in for
    // the loader search of the program (tests give a loader file of their
    // own); by default the standard data directories are searched.
    explicit Form2(PortMap map = SystemComDevices, std::optional<FileSystem> fileSystem = std::nullopt,
                   QWidget *parent = nullptr);
    ~Form2() override;

    // The port chosen last (1..10), 0 before the first click.
    int PortNumber() const { return portNumber_; }
    // The main window, once a click has loaded it; null before.
    Form1 *MainWindow() const;
    const std::shared_ptr<const FileSystem> &Files() const { return fileSystem_; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The release of any mouse button over radio button `index` (0..9). The
    // button, modifiers and position are not used.
    void Option1_MouseUp(int index, Qt::MouseButton button, Qt::KeyboardModifiers shift, QPointF position);
    void Form_Load(std::optional<FileSystem> fileSystem);
    void RefreshToolTips();

    PortMap map_;
    std::shared_ptr<const FileSystem> fileSystem_;
    QGroupBox *Frame1 = nullptr;
    std::array<QRadioButton *, 10> Option1{};
    std::array<QLabel *, 10> Label1{};
    QFileDialog *CommonDialog1 = nullptr;
    QPointer<Form1> form1_;
    int portNumber_ = 0;
    bool handedOver_ = false;
};

}  // namespace qw735::ui
