#include "tageditordlg.h"

#include "chrome/fieldlabel.h"
#include "chrome/scrolltext.h"
#include "device/busycursor.h"
#include "device/uiservices.h"
#include "genrecombo.h"
#include "media/genres.h"
#include "media/mediatexts.h"
#include "media/tagengine.h"
#include "res/format.h"
#include "res/stringtable.h"

#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <limits>

namespace tunara::shell {

using res::StrId;

namespace {

using Field = CTagEditorDlg::Field;

// Object names of the value controls, in caption order.
constexpr std::array<const char *, CTagEditorDlg::FieldCount> FieldNames{
    "trackNo", "title",    "artist",     "album",     "year", "genre",
    "comment", "composer", "origArtist", "copyright", "url",  "encoderBy"};

// Texts are kept whole, however long a tag holds them.
constexpr int NoLengthLimit = std::numeric_limits<int>::max();
constexpr int CaptionWidth = 86;
constexpr int MpegPanelWidth = 170;

std::string localPath(const QString &path) {
    return QFile::encodeName(path).toStdString();
}

QString fromUtf8(const std::string &s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

// The field captions from the string table; a pack that lists fewer keeps the English rest.
QString captionText(int i) {
    const QStringList local = res::str(StrId::TagFieldCaptions).split(QLatin1Char('|'));
    const QString text = local.value(i).trimmed();
    if (!text.isEmpty())
        return text;
    const std::string_view english = media::text::kFieldCaptions[std::size_t(i)];
    return QString::fromLatin1(english.data(), qsizetype(english.size()));
}

// An integer the way the track box accepts one: blanks, an optional sign and digits, nothing
// else, within the range of int.
std::optional<int> wholeInteger(const QString &text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    return ok ? std::optional<int>(value) : std::nullopt;
}

// ReadMpegInfo's one message (the file cannot be opened) reaches the user through this.
class DialogSink final : public media::MessageSink {
public:
    DialogSink(device::UiServices &ui, QWidget *parent) : m_ui(ui), m_parent(parent) {}
    void showMessage(media::MessageIcon, std::string_view, std::string_view text) override {
        m_shown = true;
        m_ui.message(m_parent, QString::fromUtf8(text.data(), qsizetype(text.size())),
                     device::MessageIcon::Stop);
    }
    bool shown() const { return m_shown; }

private:
    device::UiServices &m_ui;
    QWidget *m_parent;
    bool m_shown = false;
};

QString tagErrorText(const media::TagError &error, const QString &path) {
    const QByteArray p = path.toUtf8();
    switch (error.code) {
    case media::TagErrorCode::CannotOpen:
        return res::fmt(StrId::TagCannotOpen, p.constData());
    case media::TagErrorCode::Damaged:
        return res::fmt(StrId::TagDamaged, p.constData());
    case media::TagErrorCode::ReadOnly:
        return res::fmt(StrId::TagReadOnly, p.constData());
    case media::TagErrorCode::InvalidValue:
        return res::str(StrId::TagInvalidUrl);
    case media::TagErrorCode::WriteFailed:
    case media::TagErrorCode::AudioChanged:
        return res::fmt(StrId::TagWriteFailed, p.constData());
    case media::TagErrorCode::FileChanged:
        return res::fmt(StrId::TagFileChanged, p.constData());
    case media::TagErrorCode::CannotKeep:
        return res::fmt(StrId::TagCannotKeep, p.constData());
    }
    return res::fmt(StrId::TagWriteFailed, p.constData());
}

QString panelText(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

} // namespace

CTagEditorDlg::CTagEditorDlg(device::UiServices &ui, QWidget *parent) : QDialog(parent), m_ui(ui) {
    setObjectName(QStringLiteral("tagEditor"));
    setWindowTitle(res::str(StrId::TagEditorCaption));
    buildControls();
}

CTagEditorDlg::~CTagEditorDlg() = default;

void CTagEditorDlg::buildControls() {
    auto *pathLabel = new QLabel(res::str(StrId::TagPath), this);
    m_pathEdit = new QLineEdit(this);
    m_pathEdit->setObjectName(QStringLiteral("path"));
    m_pathEdit->setAccessibleName(pathLabel->text());
    pathLabel->setBuddy(m_pathEdit);
    m_browse = new QPushButton(res::str(StrId::TagBrowse), this);
    m_browse->setObjectName(QStringLiteral("browse"));
    m_browse->setAccessibleName(res::str(StrId::TagBrowse));
    m_browse->setAutoDefault(false);
    m_browse->setFixedWidth(m_browse->fontMetrics().horizontalAdvance(m_browse->text()) + 24);
    auto *pathRow = new QHBoxLayout;
    pathRow->addWidget(pathLabel);
    pathRow->addWidget(m_pathEdit, 1);
    pathRow->addWidget(m_browse);

    auto *tagGroup = new QGroupBox(res::str(StrId::TagGroupId3), this);
    auto *grid = new QGridLayout(tagGroup);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(3);
    for (int i = 0; i < FieldCount; ++i) {
        const auto f = static_cast<Field>(i);
        auto *label = new chrome::CFieldLabel(captionText(i), tagGroup);
        label->setObjectName(QLatin1String(FieldNames[std::size_t(i)]) + QLatin1String("Caption"));
        label->setFixedWidth(CaptionWidth);
        label->setContentsMargins(4, 0, 4, 0);
        m_captions[std::size_t(i)] = label;
        QWidget *value = nullptr;
        if (f == Field::Genre) {
            m_genre = new CGenreCombo(tagGroup);
            connect(m_genre, &CGenreCombo::focusGained, this, [this] { highlight(Field::Genre); });
            value = m_genre;
        } else {
            auto *edit = new QLineEdit(tagGroup);
            edit->setMaxLength(NoLengthLimit);
            edit->installEventFilter(this);
            m_edits[std::size_t(i)] = edit;
            value = edit;
        }
        value->setObjectName(QLatin1String(FieldNames[std::size_t(i)]));
        value->setAccessibleName(label->text());
        label->setBuddy(value);
        connect(label, &chrome::CFieldLabel::clicked, this, [this, f] {
            highlight(f);
            valueControl(f)->setFocus(Qt::MouseFocusReason);
        });
        grid->addWidget(label, i, 0);
        grid->addWidget(value, i, 1);
    }
    grid->setColumnStretch(1, 1);

    auto *mpegGroup = new QGroupBox(res::str(StrId::TagGroupMpeg), this);
    auto *mpegLayout = new QVBoxLayout(mpegGroup);
    m_mpegPanel = new chrome::CScrollText(mpegGroup);
    m_mpegPanel->setObjectName(QStringLiteral("mpegInfo"));
    m_mpegPanel->setAccessibleName(mpegGroup->title());
    m_mpegPanel->setMinimumWidth(MpegPanelWidth);
    mpegLayout->addWidget(m_mpegPanel);

    m_update = new QPushButton(res::str(StrId::TagUpdate), this);
    m_update->setObjectName(QStringLiteral("update"));
    m_update->setAccessibleName(res::str(StrId::TagUpdate));
    m_update->setDefault(true);
    m_cancel = new QPushButton(res::str(StrId::TagCancel), this);
    m_cancel->setObjectName(QStringLiteral("cancel"));
    m_cancel->setAccessibleName(res::str(StrId::TagCancel));
    m_cancel->setAutoDefault(false);
    connect(m_update, &QPushButton::clicked, this, &CTagEditorDlg::writeTag);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_browse, &QPushButton::clicked, this, &CTagEditorDlg::browse);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_update);
    buttons->addWidget(m_cancel);
    auto *right = new QVBoxLayout;
    right->addWidget(mpegGroup, 1);
    right->addLayout(buttons);
    auto *body = new QHBoxLayout;
    body->addWidget(tagGroup, 1);
    body->addLayout(right);
    auto *top = new QVBoxLayout(this);
    top->addLayout(pathRow);
    top->addLayout(body, 1);

    setTabOrder(m_pathEdit, m_browse);
    QWidget *previous = m_browse;
    for (int i = 0; i < FieldCount; ++i) {
        setTabOrder(previous, valueControl(static_cast<Field>(i)));
        previous = valueControl(static_cast<Field>(i));
    }
    setTabOrder(previous, m_update);
    setTabOrder(m_update, m_cancel);
    resize(560, 400);
}

QWidget *CTagEditorDlg::valueControl(Field f) const {
    if (f == Field::Genre)
        return m_genre;
    return m_edits[index(f)];
}

void CTagEditorDlg::setPath(const QString &path) {
    m_path = path;
    m_pathEdit->setText(path);
}

void CTagEditorDlg::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    if (m_initialised)
        return;
    m_initialised = true;
    m_pathEdit->setText(m_path);
    m_mpegPanel->setSpeed(chrome::CScrollText::Speed::Medium);
    m_mpegPanel->setBackground(Qt::blue, Qt::black);
    m_mpegPanel->setScrollText(panelText(media::text::kMpegPanelIdle),
                               QLatin1Char(media::text::kMpegPanelSeparator));
    m_mpegPanel->start();
    load();
}

bool CTagEditorDlg::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::FocusIn) {
        for (int i = 0; i < FieldCount; ++i)
            if (watched == m_edits[std::size_t(i)])
                highlight(static_cast<Field>(i));
    }
    return QDialog::eventFilter(watched, event);
}

void CTagEditorDlg::highlight(Field f) {
    for (chrome::CFieldLabel *label : m_captions)
        label->resetColours();
    m_captions[index(f)]->setColours(QColor(HighlightBackground), QColor(HighlightText));
    m_highlighted = static_cast<int>(f);
}

void CTagEditorDlg::clearFields() {
    for (QLineEdit *edit : m_edits)
        if (edit != nullptr)
            edit->clear();
    m_edits[index(Field::TrackNo)]->setText(QStringLiteral("0"));
    m_unlistedGenre.clear();
    m_genre->selectGenre(std::nullopt);
}

void CTagEditorDlg::load() {
    const QString path = m_path;
    const std::string local = localPath(path);
    const char separator = media::text::kMpegPanelSeparator;

    if (path.isEmpty()) {
        clearFields();
        return;
    }
    // A folder is no file at all: one message, and nothing to show.
    if (QFileInfo(path).isDir()) {
        clearFields();
        m_update->setEnabled(false);
        m_mpegPanel->setScrollText(panelText(media::text::kMpegPanelIdle), QLatin1Char(separator));
        m_ui.message(this, res::fmt(StrId::TagIsFolder, path.toUtf8().constData()),
                     device::MessageIcon::Stop);
        return;
    }

    DialogSink sink(m_ui, this);
    const std::optional<media::MpegInfo> info = media::ReadMpegInfo(local, sink);
    // Texts of an earlier file would describe the wrong file: without a header of its own the
    // panel shows no header texts.
    m_mpeg = info.value_or(media::MpegInfo{});

    const auto loaded = media::loadTag(local);
    if (const auto *error = std::get_if<media::TagError>(&loaded)) {
        clearFields();
        m_update->setEnabled(false);
        m_mpegPanel->setScrollText(panelText(media::text::kMpegPanelIdle), QLatin1Char(separator));
        // A file that cannot be opened has been reported by the header reader already.
        if (!sink.shown())
            m_ui.message(this, tagErrorText(*error, path), device::MessageIcon::Stop);
        return;
    }
    const media::LoadedTag &tag = std::get<media::LoadedTag>(loaded);
    m_mpegPanel->setScrollText(fromUtf8(media::mpegPanelText(tag.fileSize, tag.tagSize, m_mpeg)),
                               QLatin1Char(separator));

    const media::TagFields &f = tag.fields;
    m_edits[index(Field::TrackNo)]->setText(QString::number(f.track));
    m_edits[index(Field::Title)]->setText(fromUtf8(f.title));
    m_edits[index(Field::Artist)]->setText(fromUtf8(f.artist));
    m_edits[index(Field::Album)]->setText(fromUtf8(f.album));
    m_edits[index(Field::Year)]->setText(fromUtf8(f.year));
    m_edits[index(Field::Comment)]->setText(fromUtf8(f.comment));
    m_edits[index(Field::Composer)]->setText(fromUtf8(f.composer));
    m_edits[index(Field::OrigArtist)]->setText(fromUtf8(f.origArtist));
    m_edits[index(Field::Copyright)]->setText(fromUtf8(f.copyright));
    m_edits[index(Field::Url)]->setText(fromUtf8(f.url));
    m_edits[index(Field::EncoderBy)]->setText(fromUtf8(f.encoder));
    m_unlistedGenre.clear();
    if (f.genre) {
        m_genre->selectGenre(f.genre);
    } else if (!f.genreText.empty()) {
        m_unlistedGenre = fromUtf8(f.genreText);
        m_genre->showUnlistedText(m_unlistedGenre);
    } else {
        m_genre->selectGenre(std::nullopt);
    }
    // UpDate follows the file loaded last: a file the user may not write cannot be saved.
    m_update->setEnabled(tag.writable);
    if (!info && !sink.shown())
        m_ui.message(this, res::str(StrId::NoMp3FrameHeader), device::MessageIcon::Warning);
}

void CTagEditorDlg::writeTag() {
    QLineEdit *trackEdit = m_edits[index(Field::TrackNo)];
    const std::optional<int> track = wholeInteger(trackEdit->text());
    if (!track) {
        m_ui.message(this, res::str(StrId::EnterInteger), device::MessageIcon::Warning);
        trackEdit->setFocus(Qt::OtherFocusReason);
        trackEdit->selectAll();
        return;
    }
    const QString path = m_pathEdit->text();
    if (path.isEmpty()) {
        m_ui.message(this, res::str(StrId::TagNotSelected), device::MessageIcon::Warning);
        return;
    }
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || path.mid(dot + 1).toLower() != QLatin1String("mp3")) {
        m_ui.message(this, res::str(StrId::TagNotMp3), device::MessageIcon::Warning);
        return;
    }
    if (QFileInfo(path).isDir()) {
        m_ui.message(this, res::fmt(StrId::TagIsFolder, path.toUtf8().constData()),
                     device::MessageIcon::Stop);
        return;
    }

    media::TagFields f;
    f.track = *track;
    const auto text = [this](Field field) {
        return m_edits[index(field)]->text().toUtf8().toStdString();
    };
    f.title = text(Field::Title);
    f.artist = text(Field::Artist);
    f.album = text(Field::Album);
    f.year = text(Field::Year);
    f.comment = text(Field::Comment);
    f.composer = text(Field::Composer);
    f.origArtist = text(Field::OrigArtist);
    f.copyright = text(Field::Copyright);
    f.url = text(Field::Url);
    f.encoder = text(Field::EncoderBy);
    // Row 0 ("Acapella") and no selection write an empty genre; a genre the list does not hold
    // stays as the tag had it while the box still shows it.
    const int row = m_genre->currentIndex();
    if (row > 0)
        f.genre = CGenreCombo::genreOfRow(row);
    else if (row < 0 && !m_unlistedGenre.isEmpty() && m_genre->currentText() == m_unlistedGenre)
        f.genreText = m_unlistedGenre.toUtf8().toStdString();

    // A save copies the whole file and reads the copy back.
    device::BusyCursor busy;
    const auto error = media::saveTag(localPath(path), f);
    busy.end();
    if (error) {
        m_ui.message(this, tagErrorText(*error, path), device::MessageIcon::Stop);
        return;
    }
    accept();
}

void CTagEditorDlg::browse() {
    const QString chosen = m_ui.openFile(this, QString(), m_path,
                                         res::fileDialogFilter(res::str(StrId::TagMp3Filter)));
    if (chosen.isEmpty())
        return;
    setPath(chosen);
    load();
}

} // namespace tunara::shell
