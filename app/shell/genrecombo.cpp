#include "genrecombo.h"

#include "media/genres.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>

namespace tunara::shell {

namespace {
// Keys the dropped list keeps for itself; every other key goes on to the text part, so that
// typing continues while the list is down.
bool listKey(int key) {
    switch (key) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
    case Qt::Key_F4:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return true;
    default:
        return false;
    }
}
} // namespace

CGenreCombo::CGenreCombo(QWidget *parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr); // our own matching replaces Qt's inline completion
    setMaxVisibleItems(12);
    for (int genre : media::genreRows())
        addItem(QString::fromUtf8(media::GenreNames[std::size_t(genre)].data(),
                                  qsizetype(media::GenreNames[std::size_t(genre)].size())),
                genre);
    setCurrentIndex(-1);
    view()->installEventFilter(this);
    connect(lineEdit(), &QLineEdit::textEdited, this, &CGenreCombo::onTextEdited);
}

int CGenreCombo::genreOfRow(int row) {
    const auto &rows = media::genreRows();
    return row >= 0 && std::size_t(row) < rows.size() ? rows[std::size_t(row)] : -1;
}

std::optional<int> CGenreCombo::selectedGenre() const {
    if (currentIndex() < 0)
        return std::nullopt;
    return genreOfRow(currentIndex());
}

void CGenreCombo::selectGenre(std::optional<int> genre) {
    if (genre && *genre >= 0 && *genre < media::kGenreCount) {
        const int row = findData(*genre);
        setCurrentIndex(row);
        return;
    }
    setCurrentIndex(-1);
    lineEdit()->clear();
}

void CGenreCombo::showUnlistedText(const QString &text) {
    setCurrentIndex(-1);
    lineEdit()->setText(text);
}

void CGenreCombo::focusInEvent(QFocusEvent *event) {
    QComboBox::focusInEvent(event);
    emit focusGained();
}

bool CGenreCombo::eventFilter(QObject *watched, QEvent *event) {
    if (watched == view() && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (!listKey(key->key())) {
            QApplication::sendEvent(lineEdit(), key);
            return true;
        }
    }
    return QComboBox::eventFilter(watched, event);
}

void CGenreCombo::onTextEdited(const QString &text) {
    const QByteArray typed = text.toUtf8();
    const auto match = media::genreRowMatching(std::string_view(typed.constData(), typed.size()));
    if (!match || int(*match) == currentIndex())
        return;
    const int row = int(*match);
    QLineEdit *edit = lineEdit();
    const int caret = edit->cursorPosition();
    const int selStart = edit->selectionStart();
    const int selLength = edit->selectionLength();

    if (!view()->isVisible())
        showPopup();
    setCurrentIndex(row);
    view()->setCurrentIndex(model()->index(row, modelColumn()));
    view()->scrollTo(view()->currentIndex());
    edit->setText(text.toLower());
    if (selLength > 0) {
        // The caret sits at whichever end of the selection the user moved last.
        if (caret == selStart)
            edit->setSelection(selStart + selLength, -selLength);
        else
            edit->setSelection(selStart, selLength);
    } else {
        edit->setCursorPosition(caret);
    }
}

} // namespace tunara::shell
