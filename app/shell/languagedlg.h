// The Language dialog: the built-in English and every language pack in the program folder; OK
// stores the choice in tunara.ini for the next start.
#pragma once

#include <QDialog>
#include <QStringList>

class QComboBox;
class QPushButton;
class QSettings;

namespace tunara::device {
class UiServices;
}

namespace tunara::shell {

class CLanguageDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int LanguageList = 1163;

    // `ini`: tunara.ini; `startupPack`: the ResourceDLL name read at start-up.
    CLanguageDlg(const QString &programDir, QSettings &ini, const QString &startupPack,
                 device::UiServices &ui, QWidget *parent = nullptr);

    QComboBox *list() const { return m_list; }
    QPushButton *okButton() const { return m_ok; }
    // The pack file of the selected entry; empty for the built-in language.
    QString selectedPack() const;

    void accept() override;

private:
    void onSelectionChanged();

    QSettings &m_ini;
    device::UiServices &m_ui;
    QComboBox *m_list = nullptr;
    QPushButton *m_ok = nullptr;
    QStringList m_packs; // index 0: the built-in language, no file
};

} // namespace tunara::shell
