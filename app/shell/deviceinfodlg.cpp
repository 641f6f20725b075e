#include "deviceinfodlg.h"

#include "device/memoryformat.h"
#include "res/stringtable.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace tunara::shell {

using res::str;
using res::StrId;

namespace {
constexpr int PictureSize = 128;
}

QString CDeviceInfoDlg::pictureName(int modelCode) {
    switch (modelCode) {
    case device::ModelLuma:
        return QStringLiteral("device/luma");
    case device::ModelQn500:
        return QStringLiteral("device/qn500");
    case device::ModelQn70:
        return QStringLiteral("device/qn70");
    case device::ModelQnVela:
        return QStringLiteral("device/qnvela");
    default:
        return QStringLiteral("device/qn520");
    }
}

QString CDeviceInfoDlg::infoText(const QString &version, const QString &date) {
    return QStringLiteral("\r\n") + str(StrId::Version) + QStringLiteral("\r\n    ") + version +
           QStringLiteral("\r\n\r\n") + str(StrId::Date) + QStringLiteral("\r\n    ") + date;
}

CDeviceInfoDlg::CDeviceInfoDlg(int modelCode, const QString &version, const QString &date,
                               QWidget *parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("deviceInfoDialog"));
    setWindowTitle(str(StrId::DeviceInfoCaption));
    m_picture = new QLabel(this);
    m_picture->setObjectName(QStringLiteral("devicePicture"));
    m_picture->setProperty("artwork", pictureName(modelCode));
    m_picture->setPixmap(res::StringTable::current()
                             .icon(pictureName(modelCode))
                             .pixmap(QSize(PictureSize, PictureSize), devicePixelRatioF()));
    m_text = new QPlainTextEdit(this);
    m_text->setObjectName(QStringLiteral("deviceText"));
    m_text->setReadOnly(true);
    m_text->setPlainText(infoText(version, date));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto *row = new QHBoxLayout;
    row->addWidget(m_picture);
    row->addWidget(m_text, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
}

} // namespace tunara::shell
