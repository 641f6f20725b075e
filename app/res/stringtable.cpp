#include "stringtable.h"

#include <QFile>
#include <QResource>

namespace tunara::res {

namespace {

// Where a loaded pack's files appear in the resource tree.
constexpr const char *PackRoot = "/lngpack";
constexpr const char *PackTable = ":/lngpack/strings.tsv";
constexpr const char *ProbeRoot = "/lngprobe";
constexpr const char *ProbeTable = ":/lngprobe/strings.tsv";

QString unescape(QStringView in) {
    QString out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] != u'\\' || i + 1 == in.size()) {
            out += in[i];
            continue;
        }
        const QChar c = in[++i];
        if (c == u'n')
            out += u'\n';
        else if (c == u'r')
            out += u'\r';
        else if (c == u't')
            out += u'\t';
        else
            out += c;
    }
    return out;
}

// A binary resource bundle begins with these bytes; anything else is refused before the
// resource system sees it.
constexpr char BundleMagic[] = {'q', 'r', 'e', 's'};

bool looksLikeBundle(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    return f.read(sizeof BundleMagic) == QByteArray(BundleMagic, sizeof BundleMagic);
}

} // namespace

StringTable &StringTable::current() {
    static StringTable table;
    return table;
}

bool StringTable::parseTable(const QByteArray &data, QHash<int, QString> &out) {
    // One "number<TAB>text" per line, UTF-8, backslash escapes; '#' starts a comment line.
    const QString all = QString::fromUtf8(data);
    bool any = false;
    for (QStringView line : QStringView(all).split(u'\n')) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype tab = line.indexOf(u'\t');
        if (tab <= 0)
            continue;
        bool ok = false;
        const int id = line.left(tab).toInt(&ok);
        if (!ok)
            continue;
        out.insert(id, unescape(line.mid(tab + 1)));
        any = true;
    }
    return any;
}

const QHash<int, QString> &StringTable::builtIn() {
    static const QHash<int, QString> table = [] {
        QHash<int, QString> t;
        QFile f(QStringLiteral(":/tunara/strings.tsv"));
        if (f.open(QIODevice::ReadOnly))
            parseTable(f.readAll(), t);
        return t;
    }();
    return table;
}

QString StringTable::text(int id) const {
    if (auto it = m_pack.constFind(id); it != m_pack.constEnd())
        return *it;
    return builtIn().value(id);
}

bool StringTable::has(int id) const {
    return m_pack.contains(id) || builtIn().contains(id);
}

bool StringTable::loadPack(const QString &path) {
    unloadPack();
    if (path.isEmpty() || !looksLikeBundle(path))
        return false;
    if (!QResource::registerResource(path, QLatin1String(PackRoot)))
        return false;
    QFile f{QString::fromLatin1(PackTable)};
    QHash<int, QString> table;
    // A pack must at least name its language; anything else would be a bundle of another kind.
    if (!f.open(QIODevice::ReadOnly) || !parseTable(f.readAll(), table) ||
        !table.contains(static_cast<int>(StrId::LanguageName))) {
        QResource::unregisterResource(path, QLatin1String(PackRoot));
        return false;
    }
    m_pack = std::move(table);
    m_packPath = path;
    return true;
}

void StringTable::unloadPack() {
    if (m_packPath.isEmpty())
        return;
    QResource::unregisterResource(m_packPath, QLatin1String(PackRoot));
    m_pack.clear();
    m_packPath.clear();
}

QString StringTable::packLanguageName(const QString &path) {
    if (!looksLikeBundle(path) || !QResource::registerResource(path, QLatin1String(ProbeRoot)))
        return {};
    QHash<int, QString> table;
    QFile f{QString::fromLatin1(ProbeTable)};
    if (f.open(QIODevice::ReadOnly))
        parseTable(f.readAll(), table);
    f.close();
    QResource::unregisterResource(path, QLatin1String(ProbeRoot));
    return table.value(static_cast<int>(StrId::LanguageName));
}

QString StringTable::artworkPath(const QString &name) const {
    if (!m_packPath.isEmpty()) {
        const QString packed = QStringLiteral(":/lngpack/art/%1.svg").arg(name);
        if (QFile::exists(packed))
            return packed;
    }
    return QStringLiteral(":/tunara/art/%1.svg").arg(name);
}

QIcon StringTable::icon(const QString &name) const {
    return QIcon(artworkPath(name));
}

} // namespace tunara::res
