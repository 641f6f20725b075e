#include "voiceconverter.h"

#include <QDir>

namespace tunara::device {

QString voiceConverterPath(const QString &programDir) {
    static const QString Names[] = {QStringLiteral("sndconv"), QStringLiteral("sndconv.exe")};
    const QStringList files = QDir(programDir).entryList(QDir::Files | QDir::Hidden);
    for (const QString &wanted : Names) {
        for (const QString &file : files) {
            if (file.compare(wanted, Qt::CaseInsensitive) == 0)
                return QDir(programDir).filePath(file);
        }
    }
    return {};
}

} // namespace tunara::device
