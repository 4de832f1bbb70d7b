// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <utility>

namespace qw735 {

// File names are bytes, and need not be UTF-8. These keep every byte of a
// name through a QString: valid UTF-8 reads as its characters, any other
// byte as a lone low surrogate U+DC80..U+DCFF (which no valid UTF-8 can
// give), and PathBytes turns that back into the very bytes given. Qt's own
// conversions replace such bytes, and the name would then be another file.
QString PathString(const QByteArray &bytes);
QByteArray PathBytes(const QString &path);
// As messages show a name: each byte that is not UTF-8 as \xNN, and so are
// the bytes of control characters (C0, DEL, C1), so that a name cannot move
// the cursor, clear the screen or start a line of its own on a terminal.
QString PathDisplay(const QString &path);
// The same for bytes the user gave (a file's name, an argument): a file
// name can hold an escape sequence as well as a device's name can.
QString BytesDisplay(const QByteArray &bytes);

// A file's name as the file system takes it: bytes, which need not be
// UTF-8, kept as given from the command line (or as the window's dialog
// encodes them) to the open and to every message that names the file.
class PathName {
public:
    PathName() = default;
    explicit PathName(QByteArray bytes) : bytes_(std::move(bytes)) {}

    const QByteArray &Bytes() const { return bytes_; }
    bool IsEmpty() const { return bytes_.isEmpty(); }
    // As messages name the file (BytesDisplay).
    QString Display() const { return BytesDisplay(bytes_); }

    bool operator==(const PathName &) const = default;

private:
    QByteArray bytes_;
};
// As machine-readable output (JSON) gives a name: every byte that is not
// UTF-8 as \xNN and a backslash as \\, everything else as it is. Different
// bytes stay different, and the name's bytes can be read back from it.
QString PathEscaped(const QString &path);

}  // namespace qw735
