// The program's string table: every text the user sees, by number. English is compiled in; a
// language pack (*.lng, a binary resource bundle) replaces any of the texts and pictures.
#pragma once

#include "texts/strid.h"

#include <QHash>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace tunara::res {

class StringTable {
public:
    // The table the program reads from; it starts with the built-in English texts.
    static StringTable &current();

    // Text of a number; the built-in English text when the pack lacks it, an empty text for a
    // number that is nowhere.
    QString text(int id) const;
    QString text(StrId id) const { return text(static_cast<int>(id)); }
    bool has(int id) const;

    // Loads a pack file and makes it the source of texts and pictures. On any failure the
    // table stays as it was and false is returned (nothing is reported to the user).
    bool loadPack(const QString &path);
    void unloadPack();
    bool packLoaded() const { return !m_packPath.isEmpty(); }
    // Whether the loaded pack carries a text of its own for `id`.
    bool packHas(int id) const { return m_pack.contains(id); }
    QString packPath() const { return m_packPath; }

    // The name a pack gives itself (its text 10000), read without loading it for the program;
    // empty when the file is no pack.
    static QString packLanguageName(const QString &path);

    // Artwork by name ("toolbar/refresh"): the pack's picture when it carries one, else ours.
    QString artworkPath(const QString &name) const;
    QIcon icon(const QString &name) const;

    static const QHash<int, QString> &builtIn();

private:
    static bool parseTable(const QByteArray &data, QHash<int, QString> &out);
    QHash<int, QString> m_pack;
    QString m_packPath;
};

// Shorthands used all over the program.
inline QString str(StrId id) {
    return StringTable::current().text(id);
}
inline QString str(int id) {
    return StringTable::current().text(id);
}

} // namespace tunara::res
