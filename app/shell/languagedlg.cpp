#include "languagedlg.h"

#include "device/uiservices.h"
#include "res/format.h"
#include "res/stringtable.h"
#include "settings.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

#include <algorithm>

namespace tunara::shell {

using res::str;
using res::StrId;

namespace {

struct Entry {
    QString name;
    int pack; // index into the pack file names
};

QString configuredPack(QSettings &ini) {
    // Read again from the file: another program may have changed it since the start.
    ini.sync();
    return readString(ini, QLatin1String(keys::System) + QLatin1Char('/') + keys::ResourceDll,
                      QString(), defaults::ResourceDllChars);
}

} // namespace

CLanguageDlg::CLanguageDlg(const QString &programDir, QSettings &ini, const QString &startupPack,
                           device::UiServices &ui, QWidget *parent)
    : QDialog(parent), m_ini(ini), m_ui(ui) {
    setObjectName(QStringLiteral("languageDialog"));
    setWindowTitle(str(StrId::LanguageCaption));

    m_list = new QComboBox(this);
    m_list->setObjectName(QStringLiteral("languageList"));
    m_list->setProperty("controlId", LanguageList);
    auto *label = new QLabel(str(StrId::SelectLanguage), this);
    label->setBuddy(m_list);
    m_list->setAccessibleName(label->text());
    auto *note = new QLabel(str(StrId::LanguageNote), this);
    note->setObjectName(QStringLiteral("languageNote"));
    note->setWordWrap(true);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_ok = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &CLanguageDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CLanguageDlg::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(m_list);
    layout->addWidget(note);
    layout->addWidget(buttons);

    // The built-in language names itself from the program's own table, whatever pack is loaded.
    m_packs << QString();
    std::vector<Entry> entries{
        {res::StringTable::builtIn().value(static_cast<int>(StrId::LanguageName)), 0}};
    const QDir dir(programDir);
    const QStringList files =
        dir.entryList({QStringLiteral("*.lng")}, QDir::Files | QDir::Readable, QDir::Name);
    for (const QString &file : files) {
        // Files that are no pack, or whose pack does not name its language, are left out.
        const QString name = res::StringTable::packLanguageName(dir.filePath(file));
        if (name.isEmpty())
            continue;
        entries.push_back({name, int(m_packs.size())});
        m_packs << file;
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return QString::localeAwareCompare(a.name, b.name) < 0;
    });
    int selected = 0;
    for (const Entry &e : entries) {
        if (e.pack == 0 && selected == 0)
            selected = m_list->count();
        m_list->addItem(e.name, e.pack);
    }
    for (int row = 0; row < m_list->count(); ++row) {
        const int pack = m_list->itemData(row).toInt();
        if (pack != 0 && m_packs[pack] == startupPack)
            selected = row;
    }
    m_list->setCurrentIndex(selected);
    m_ok->setEnabled(false);
    connect(m_list, &QComboBox::currentIndexChanged, this, &CLanguageDlg::onSelectionChanged);
}

QString CLanguageDlg::selectedPack() const {
    const int row = m_list->currentIndex();
    if (row < 0)
        return {};
    return m_packs.value(m_list->itemData(row).toInt());
}

void CLanguageDlg::onSelectionChanged() {
    m_ok->setEnabled(m_list->currentIndex() >= 0 && selectedPack() != configuredPack(m_ini));
}

void CLanguageDlg::accept() {
    if (m_list->currentIndex() < 0)
        return;
    const QString key = QLatin1String(keys::System) + QLatin1Char('/') + keys::ResourceDll;
    const QString previous = configuredPack(m_ini);
    m_ini.setValue(key, selectedPack());
    m_ini.sync();
    // An installed, read-only program folder cannot take the choice: say so instead of
    // promising a language the next start will not use.
    if (m_ini.status() != QSettings::NoError) {
        m_ini.setValue(key, previous); // the program's view stays what the file holds
        const QByteArray file = m_ini.fileName().toUtf8();
        m_ui.message(this, res::fmt(StrId::LanguageNotSaved, file.constData()),
                     device::MessageIcon::Warning);
        reject();
        return;
    }
    m_ui.message(this, str(StrId::RestartForLanguage), device::MessageIcon::Information);
    QDialog::accept();
}

} // namespace tunara::shell
