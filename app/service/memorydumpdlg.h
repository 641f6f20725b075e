// "Mass Production" (dialog 227): reads the raw flash of either memory 64 bytes at a time and
// writes a binary dump and the hex listing (the same listing as `kesto dump --text`). Its
// settings live in section "Debug". The dump keeps the window working and can be stopped.
#pragma once

#include "servicecontext.h"

#include <QDialog>
#include <QFont>

#include <cstdint>

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace tunara::service {

class CMemoryDumpDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int IdFlash = 1153;
    static constexpr int IdSmart = 1154;
    static constexpr int IdStart = 1072;
    static constexpr int IdEnd = 1073;
    static constexpr int IdSingle = 1156;
    static constexpr int IdSpare = 1161;
    static constexpr int IdDump = 1160;
    static constexpr int IdDumpFile = 1071;
    static constexpr int IdDumpBrowse = 1050;
    static constexpr int IdText = 1159;
    static constexpr int IdTextFile = 1074;
    static constexpr int IdTextBrowse = 1051;
    static constexpr int IdSectorSize = 1075;
    static constexpr int IdClusterSize = 1076;
    static constexpr int IdProgress = 1133;
    static constexpr int IdStatus = 1132;
    static constexpr int IdReadBlock = 1081;

    // What the dialog's controls hold; kept in section "Debug".
    struct Values {
        int memory = 0; // 0: 'M', otherwise 'S'
        uint32_t start = 0;
        uint32_t end = 1; // exclusive
        bool single = true;
        bool spare = true;
        bool dump = false;
        QString dumpFile;
        bool text = true;
        QString textFile;
        uint32_t sectorSize = 512;
        uint32_t clusterSize = 32;
    };

    // What the last Read Block did.
    struct Outcome {
        bool ran = false; // reading began
        bool ok = false;  // every read answered and every file written
        bool cancelled = false;
        size_t chunks = 0;
        size_t spareReads = 0;
    };

    CMemoryDumpDlg(const ServiceContext &context, QWidget *parent = nullptr);
    ~CMemoryDumpDlg() override;

    // Settings keys of section "Debug", and the defaults of the file names.
    static Values loadValues(const QSettings &settings, const QString &documentsFolder);
    static void storeValues(QSettings &settings, const Values &values);

    const Values &values() const { return m_values; }
    // Controls into values, and the values into section "Debug" (on a click of the single,
    // text and dump boxes and before a dump). Addresses are shown again as read.
    void saveData();
    // Runs the dump (button 1081); returns once it has ended.
    void readBlock();
    bool reading() const { return m_reading; }
    const Outcome &lastOutcome() const { return m_outcome; }

    QRadioButton *flashRadio() const { return m_flash; }
    QRadioButton *smartRadio() const { return m_smart; }
    QLineEdit *startEdit() const { return m_start; }
    QLineEdit *endEdit() const { return m_end; }
    QCheckBox *singleBox() const { return m_single; }
    QCheckBox *spareBox() const { return m_spare; }
    QCheckBox *dumpBox() const { return m_dump; }
    QLineEdit *dumpFileEdit() const { return m_dumpFile; }
    QCheckBox *textBox() const { return m_text; }
    QLineEdit *textFileEdit() const { return m_textFile; }
    QLineEdit *sectorEdit() const { return m_sector; }
    QLineEdit *clusterEdit() const { return m_cluster; }
    QPushButton *readButton() const { return m_read; }
    QPushButton *stopButton() const { return m_stop; }
    QString statusText() const;
    int progressValue() const;

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    // The form opens maximised: its font grows with the window's height.
    void resizeEvent(QResizeEvent *event) override;

private:
    void showValues();
    void updateEnabled();
    void browse(QLineEdit *edit);
    void setReading(bool reading);

    ServiceContext m_context;
    Values m_values;
    Outcome m_outcome;
    bool m_reading = false;
    bool m_cancel = false;
    QFont m_baseFont;
    int m_baseHeight = 0;
    QRadioButton *m_flash = nullptr;
    QRadioButton *m_smart = nullptr;
    QLineEdit *m_start = nullptr;
    QLineEdit *m_end = nullptr;
    QCheckBox *m_single = nullptr;
    QCheckBox *m_spare = nullptr;
    QCheckBox *m_dump = nullptr;
    QLineEdit *m_dumpFile = nullptr;
    QPushButton *m_dumpBrowse = nullptr;
    QCheckBox *m_text = nullptr;
    QLineEdit *m_textFile = nullptr;
    QPushButton *m_textBrowse = nullptr;
    QLineEdit *m_sector = nullptr;
    QLineEdit *m_cluster = nullptr;
    QProgressBar *m_progress = nullptr;
    QLabel *m_status = nullptr;
    QPushButton *m_read = nullptr;
    QPushButton *m_stop = nullptr;
    QPushButton *m_close = nullptr;
};

} // namespace tunara::service
