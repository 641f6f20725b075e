// printf-style formatting of string-table texts. A pack's text is used only when its
// conversions match the built-in text's one for one, so that a translated text can never make
// the formatter read an argument of another type.
#pragma once

#include "stringtable.h"

#include <QByteArray>
#include <QString>

#include <cstdio>

namespace tunara::res {

// The conversions of a printf format ("%d%s%.1f" -> "dsf"), lengths folded in ("ld" -> "d")
// but for 64-bit integers ("%llu" -> "D"), which an int conversion must not stand in for.
QByteArray conversionsOf(const QString &format);

// The text of `id` that is safe to hand to printf with the built-in text's arguments.
QString safeFormat(int id);

template <typename... Args>
QString formatText(const QString &format, Args... args) {
    const QByteArray f = format.toUtf8();
    char buffer[1024];
    // The format is the string table's (checked by safeFormat), never user input.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    const int n = std::snprintf(buffer, sizeof buffer, f.constData(), args...);
#pragma GCC diagnostic pop
    if (n < 0)
        return {};
    return QString::fromUtf8(buffer, n < int(sizeof buffer) ? n : int(sizeof buffer) - 1);
}

template <typename... Args>
QString fmt(StrId id, Args... args) {
    return formatText(safeFormat(static_cast<int>(id)), args...);
}

// A file-dialog filter of the string table ("Music Files(*.mp3)|*.mp3|All Files(*.*)|*.*||":
// description and patterns in turn) in the form Qt's file dialogs take ("Music Files (*.mp3);;
// All Files (*)"). A description's own "(...)" is replaced by the real patterns; "*.*" means
// every file.
QString fileDialogFilter(const QString &listFilter);

} // namespace tunara::res
