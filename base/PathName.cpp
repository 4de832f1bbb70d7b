// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/PathName.h"

#include <functional>

namespace qw735 {

namespace {

constexpr char16_t ByteMark = 0xDC00;

// The length of the valid UTF-8 sequence at `p`, 0 when there is none.
int Utf8Length(const unsigned char *p, qsizetype left)
{
    const unsigned char lead = p[0];
    if (lead < 0x80)
        return 1;
    int length = 0;
    char32_t least = 0;
    if ((lead & 0xE0) == 0xC0)
        length = 2, least = 0x80;
    else if ((lead & 0xF0) == 0xE0)
        length = 3, least = 0x800;
    else if ((lead & 0xF8) == 0xF0)
        length = 4, least = 0x10000;
    if (length == 0 || left < length)
        return 0;
    char32_t code = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// Walks `path`: each character or surrogate pair as UTF-8, each byte mark
// as its byte.
void Walk(const QString &path, const std::function<void(QStringView)> &text, const std::function<void(unsigned char)> &byte)
{
    for (qsizetype i = 0; i < path.size(); ++i) {
        const QChar c = path[i];
        if (c.isHighSurrogate() && i + 1 < path.size() && path[i + 1].isLowSurrogate()) {
            text(QStringView(path).mid(i, 2));
            ++i;
        } else if (c.unicode() >= ByteMark + 0x80 && c.unicode() <= ByteMark + 0xFF) {
            byte(static_cast<unsigned char>(c.unicode() - ByteMark));
        } else {
            text(QStringView(path).mid(i, 1));
        }
    }
}

QString ByteEscape(unsigned char byte)
{
    return QStringLiteral("\\x") + QString::number(byte, 16).toUpper().rightJustified(2, u'0');
}

// C0 controls, DEL and the C1 controls (U+0080..U+009F, of which U+009B
// starts a terminal's control sequence as ESC [ does).
bool IsControl(QStringView text)
{
    const char16_t c = text.size() == 1 ? text[0].unicode() : 0x20;
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

}  // namespace

QString PathString(const QByteArray &bytes)
{
    QString path;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    for (qsizetype i = 0; i < bytes.size();) {
        const int length = Utf8Length(p + i, bytes.size() - i);
        if (length == 0) {
            path += QChar(static_cast<char16_t>(ByteMark + p[i]));
            ++i;
        } else {
            path += QString::fromUtf8(bytes.constData() + i, length);
            i += length;
        }
    }
    return path;
}

QByteArray PathBytes(const QString &path)
{
    QByteArray bytes;
    Walk(path, [&](QStringView text) { bytes += text.toUtf8(); }, [&](unsigned char byte) { bytes += static_cast<char>(byte); });
    return bytes;
}

QString PathDisplay(const QString &path)
{
    QString shown;
    Walk(
        path,
        [&](QStringView text) {
            if (!IsControl(text)) {
                shown += text;
                return;
            }
            for (const char byte : text.toUtf8())
                shown += ByteEscape(static_cast<unsigned char>(byte));
        },
        [&](unsigned char byte) { shown += ByteEscape(byte); });
    return shown;
}

QString BytesDisplay(const QByteArray &bytes)
{
    return PathDisplay(PathString(bytes));
}

QString PathEscaped(const QString &path)
{
    QString escaped;
    Walk(path, [&](QStringView text) { escaped += text == u"\\" ? QStringLiteral("\\\\") : text.toString(); },
         [&](unsigned char byte) { escaped += ByteEscape(byte); });
    return escaped;
}

}  // namespace qw735
