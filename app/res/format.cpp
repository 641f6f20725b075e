#include "format.h"

#include <QStringList>

namespace tunara::res {

QByteArray conversionsOf(const QString &format) {
    QByteArray out;
    const QByteArray f = format.toUtf8();
    for (qsizetype i = 0; i < f.size(); ++i) {
        if (f[i] != '%')
            continue;
        ++i;
        // flags, width, precision and length modifiers; a '*' takes an argument of its own,
        // which the built-in texts never do, so it is kept to make the comparison fail
        bool star = false;
        bool wide = false; // a 64-bit integer ("ll", "j", "q"): never read in place of an int
        while (i < f.size() && QByteArrayView("-+ #0123456789.lhqjzt*").contains(f[i])) {
            star = star || f[i] == '*';
            wide = wide || f[i] == 'j' || f[i] == 'q' || (f[i] == 'l' && i > 0 && f[i - 1] == 'l');
            ++i;
        }
        if (star)
            out += '*';
        if (i >= f.size())
            break;
        const char c = f[i];
        if (c == '%')
            continue;
        switch (c) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
        case 'c':
            out += wide ? 'D' : 'd';
            break;
        case 'f':
        case 'e':
        case 'g':
        case 'E':
        case 'G':
            out += 'f';
            break;
        default:
            out += c; // 's', and anything else kept as is so that it must match exactly
        }
    }
    return out;
}

QString safeFormat(int id) {
    const QString builtIn = StringTable::builtIn().value(id);
    const QString current = StringTable::current().text(id);
    // '%n' or '%p' stay as themselves and never match the built-in texts
    if (current == builtIn || conversionsOf(current) != conversionsOf(builtIn))
        return builtIn;
    return current;
}

QString fileDialogFilter(const QString &listFilter) {
    const QStringList parts = listFilter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i].trimmed();
        if (description.isEmpty())
            continue;
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString &p : patterns) {
            p = p.trimmed();
            if (p == QLatin1String("*.*"))
                p = QStringLiteral("*");
        }
        if (description.endsWith(QLatin1Char(')'))) {
            const qsizetype open = description.lastIndexOf(QLatin1Char('('));
            if (open >= 0)
                description = description.left(open).trimmed();
        }
        filters << description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                       QLatin1Char(')');
    }
    return filters.join(QStringLiteral(";;"));
}

} // namespace tunara::res
