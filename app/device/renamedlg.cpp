#include "renamedlg.h"

#include "res/stringtable.h"
#include "uiservices.h"

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

namespace tunara::device {

using res::str;
using res::StrId;

namespace {

struct NameParts {
    QString fileName;  // without any folder part
    QString extension; // with its dot; empty without a dot
};

// A player name is one name in a flat folder: whatever stands before a separator is a folder
// typed by mistake and never reaches the player.
NameParts split(const QString &name) {
    const qsizetype slash =
        std::max(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    const QString file = name.mid(slash + 1);
    const qsizetype dot = file.lastIndexOf(QLatin1Char('.'));
    return {file, dot < 0 ? QString() : file.mid(dot)};
}

} // namespace

CRenameDlg::CRenameDlg(UiServices &ui, QWidget *parent) : QDialog(parent), m_ui(ui) {
    setObjectName(QStringLiteral("renameDialog"));
    setWindowTitle(str(StrId::RenameCaption));
    setModal(true);

    auto *label = new QLabel(str(StrId::RenameNewName), this);
    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("longName"));
    label->setBuddy(m_name);
    m_name->setAccessibleName(label->text().remove(QLatin1Char('&')));

    m_ok = new QPushButton(str(StrId::ButtonOk), this);
    m_ok->setObjectName(QStringLiteral("ok"));
    m_ok->setDefault(true);
    auto *cancel = new QPushButton(str(StrId::ButtonCancel), this);
    cancel->setObjectName(QStringLiteral("cancel"));

    auto *line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);

    // The short-name controls stay hidden; the caller passes an empty short name and reads
    // neither back.
    m_shortFlag = new QCheckBox(str(StrId::RenameShortFlag), this);
    m_shortFlag->setObjectName(QStringLiteral("shortFlag"));
    m_shortName = new QLineEdit(this);
    m_shortName->setObjectName(QStringLiteral("shortName"));
    m_shortName->setAccessibleName(m_shortFlag->text().remove(QLatin1Char('&')));
    auto *shortHint = new QLabel(str(StrId::RenameShortHint), this);
    m_shortFlag->hide();
    m_shortName->hide();
    shortHint->hide();

    auto *grid = new QGridLayout(this);
    grid->addWidget(label, 0, 0);
    grid->addWidget(m_name, 1, 0);
    grid->addWidget(m_ok, 0, 1);
    grid->addWidget(cancel, 1, 1);
    grid->addWidget(line, 2, 0);
    grid->addWidget(m_shortFlag, 3, 0);
    grid->addWidget(m_shortName, 4, 0);
    grid->addWidget(shortHint, 5, 0);
    grid->setColumnStretch(0, 1);
    grid->setSizeConstraint(QLayout::SetFixedSize);
    m_name->setMinimumWidth(fontMetrics().averageCharWidth() * 44);

    connect(m_name, &QLineEdit::textChanged, this,
            [this](const QString &text) { m_ok->setEnabled(!text.isEmpty()); });
    connect(m_ok, &QPushButton::clicked, this, &CRenameDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CRenameDlg::reject);
}

void CRenameDlg::setLongName(const QString &name) {
    m_longName = name;
    m_name->setText(name);
    m_ok->setEnabled(!name.isEmpty());
}

QPoint CRenameDlg::placeFor(const QRect &label, int height, const QRect &screen) {
    const int labelBottom = label.y() + label.height();
    const int screenBottom = screen.y() + screen.height();
    if (labelBottom > screenBottom - height)
        return {label.x(), label.y() - height - 1};
    return {label.x(), labelBottom};
}

QString CRenameDlg::keepExtension(const QString &oldName, const QString &typed, bool *changed) {
    const NameParts before = split(oldName);
    const NameParts after = split(typed);
    const bool differs = before.extension.compare(after.extension, Qt::CaseInsensitive) != 0;
    if (changed != nullptr)
        *changed = differs;
    if (!differs)
        return after.fileName;
    const QString base = after.fileName.left(after.fileName.size() - after.extension.size());
    return base + before.extension;
}

void CRenameDlg::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    m_name->selectAll();
    m_name->setFocus();
    if (m_placed || m_placement.isNull())
        return;
    m_placed = true;
    QScreen *screen = QGuiApplication::screenAt(m_placement.center());
    if (screen == nullptr)
        screen = this->screen();
    const QRect frame = frameGeometry();
    move(placeFor(m_placement, frame.height(), screen->geometry()));
}

void CRenameDlg::accept() {
    const QString typed = m_name->text();
    if (typed.toUtf8().size() > MaxNameBytes) {
        m_ui.message(this, str(StrId::NameTooLong), MessageIcon::Stop);
        return;
    }
    bool changed = false;
    const QString name = keepExtension(m_longName, typed, &changed);
    if (changed)
        m_ui.message(this, str(StrId::KeepExtension), MessageIcon::Information);
    m_name->setText(name);
    if (name.isEmpty())
        return; // only a folder was typed: nothing to send
    m_longName = name;
    QDialog::accept();
}

} // namespace tunara::device
