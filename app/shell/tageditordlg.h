// The ID3 tag editor: shows and edits the ID3v2 tag of one local MP3 file (twelve fields and
// the genre list) beside a scrolling description of its first MPEG-1 frame header. Reading and
// writing go through the tag engine, which never loses audio or frames the editor does not
// show. The opener sets the path, then runs the dialog modally; the result is Accepted after a
// successful UpDate.
#pragma once

#include "media/mpeginfo.h"

#include <QDialog>

#include <array>

class QLineEdit;
class QPushButton;

namespace tunara::device {
class UiServices;
}
namespace tunara::chrome {
class CFieldLabel;
class CScrollText;
} // namespace tunara::chrome

namespace tunara::shell {

class CGenreCombo;

class CTagEditorDlg : public QDialog {
    Q_OBJECT
public:
    // The twelve fields in the order of their captions.
    enum class Field {
        TrackNo,
        Title,
        Artist,
        Album,
        Year,
        Genre,
        Comment,
        Composer,
        OrigArtist,
        Copyright,
        Url,
        EncoderBy,
    };
    static constexpr int FieldCount = 12;
    // The highlighted caption's colours.
    static constexpr QRgb HighlightBackground = 0x788CA0; // red 120, green 140, blue 160
    static constexpr QRgb HighlightText = 0xFFFFFF;

    explicit CTagEditorDlg(device::UiServices &ui, QWidget *parent = nullptr);
    ~CTagEditorDlg() override;

    // The file to edit; set before the dialog is shown. The first show loads it.
    void setPath(const QString &path);
    QString path() const { return m_path; }

    QLineEdit *pathEdit() const { return m_pathEdit; }
    QPushButton *browseButton() const { return m_browse; }
    QPushButton *updateButton() const { return m_update; }
    QPushButton *cancelButton() const { return m_cancel; }
    chrome::CFieldLabel *caption(Field f) const { return m_captions[index(f)]; }
    // The value control of a field: a line edit, or the genre box for Genre.
    QWidget *valueControl(Field f) const;
    QLineEdit *edit(Field f) const { return m_edits[index(f)]; }
    CGenreCombo *genreCombo() const { return m_genre; }
    chrome::CScrollText *mpegPanel() const { return m_mpegPanel; }
    // The caption highlighted last; -1 before any.
    int highlighted() const { return m_highlighted; }

    // Loads the current path into the controls (also run by the first show and by "...").
    void load();

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    static constexpr std::size_t index(Field f) { return static_cast<std::size_t>(f); }
    void buildControls();
    void highlight(Field f);
    void clearFields();
    void writeTag();
    void browse();

    device::UiServices &m_ui;
    QString m_path;
    bool m_initialised = false;
    // The header texts of the last file that had an MPEG-1 frame header.
    media::MpegInfo m_mpeg;
    // A TCON text naming no genre of the list, shown in the genre box's text until changed.
    QString m_unlistedGenre;
    int m_highlighted = -1;

    QLineEdit *m_pathEdit = nullptr;
    QPushButton *m_browse = nullptr;
    QPushButton *m_update = nullptr;
    QPushButton *m_cancel = nullptr;
    std::array<chrome::CFieldLabel *, FieldCount> m_captions{};
    std::array<QLineEdit *, FieldCount> m_edits{}; // null for Genre
    CGenreCombo *m_genre = nullptr;
    chrome::CScrollText *m_mpegPanel = nullptr;
};

} // namespace tunara::shell
