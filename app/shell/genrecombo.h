// The tag editor's genre box: an editable drop-down whose sorted list holds the genre names
// 0..125 (so list rows are not genre numbers; row 0 is "Acapella"). While the user types, the
// row whose name holds the typed text earliest is selected and the list drops down, and the
// typed text, caret and selection stay as the user had them.
#pragma once

#include <QComboBox>

#include <optional>

namespace tunara::shell {

class CGenreCombo : public QComboBox {
    Q_OBJECT
public:
    explicit CGenreCombo(QWidget *parent = nullptr);

    // The genre index of a row, of the selected row; nullopt without a selection.
    static int genreOfRow(int row);
    std::optional<int> selectedGenre() const;
    // Selects the row of `genre` (nullopt or a number outside 0..125 clears the selection and
    // the text).
    void selectGenre(std::optional<int> genre);
    // No selection, showing `text` (a genre the list does not hold).
    void showUnlistedText(const QString &text);

signals:
    void focusGained();

protected:
    void focusInEvent(QFocusEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onTextEdited(const QString &text);
};

} // namespace tunara::shell
