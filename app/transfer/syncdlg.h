// The Sync with Library dialog: the memory, the folders and playlists it is filled from (kept
// per memory), Mirror or Fill, and a preview of the plan (each file's action, player name and
// size, the deletions apart with their own tick, and the memory's bytes and name slots before
// and after) made off the window's thread. Sync carries out the plan that is shown.
#pragma once

#include "syncchoice.h"
#include "syncplanner.h"
#include "syncrun.h"

#include <QDialog>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTreeWidget;

namespace tunara::transfer {

class CTransferDlg;
class TransferHost;

class CSyncDlg : public QDialog {
    Q_OBJECT
public:
    enum Column : int { ColAction = 0, ColName, ColSize, ColumnCount };
    // The largest Keep free the dialog takes, in megabytes.
    static constexpr int MostKeepFreeMb = 1 << 20;
    // The profile's choices, per memory ('M' or 'S').
    using LoadChoice = std::function<SyncChoice(unsigned char memory)>;
    using SaveChoice = std::function<void(unsigned char memory, const SyncChoice &choice)>;

    CSyncDlg(TransferHost &host, CTransferDlg &queue, LoadChoice load, SaveChoice save,
             QWidget *parent = nullptr);
    ~CSyncDlg() override;

    // The memories the player has now (the flash, and the card when it is in).
    void setMemories(const std::vector<unsigned char> &memories);
    unsigned char memory() const;
    SyncChoice choice() const;

    // The dialog's commands (its buttons).
    void addFolder();
    void addPlaylist();
    void removeSources();
    void preview();
    void sync();
    void stop();

    bool planning() const { return m_planner.planning() || m_reading; }
    bool running() const { return m_run != nullptr && m_run->running(); }
    const sync::SyncPlan *plan() const { return m_plan.get(); }
    QTreeWidget *planList() const { return m_planList; }
    QTreeWidget *deletionList() const { return m_deletions; }
    QString statusText() const;

signals:
    // A run ended; its outcome is in the status text.
    void syncFinished(const SyncOutcome &outcome);

protected:
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    void buildControls();
    void loadChoice();
    void storeChoice();
    void choiceChanged();
    void clearPlan();
    void showPlan(std::shared_ptr<const sync::SyncPlan> plan);
    void showGauges();
    void runEnded(const SyncOutcome &outcome);
    void updateButtons();
    QString conversionText() const;
    sync::SyncSettings settings() const;

    TransferHost &m_host;
    CTransferDlg &m_queue;
    LoadChoice m_load;
    SaveChoice m_save;
    SyncPlanner m_planner;
    std::shared_ptr<const sync::SyncPlan> m_plan;
    sync::PlayerState m_state;     // the table the plan was made against
    sync::SyncSettings m_settings; // what it was made with
    unsigned char m_shownMemory = 0;
    bool m_reading = false;
    bool m_overfull = false; // the plan's files fit only with the deletions, not ticked
    std::unique_ptr<SyncRun> m_run;
    // Directory records a refusal taught, per memory ('M', 'S'), for the next plans.
    std::map<unsigned char, unsigned> m_learnedRecords;

    QComboBox *m_memory = nullptr;
    QListWidget *m_sources = nullptr;
    QPushButton *m_addFolder = nullptr;
    QPushButton *m_addPlaylist = nullptr;
    QPushButton *m_remove = nullptr;
    QRadioButton *m_mirror = nullptr;
    QRadioButton *m_fill = nullptr;
    QSpinBox *m_keepFree = nullptr;
    QCheckBox *m_deleteExtras = nullptr;
    QCheckBox *m_shortNames = nullptr;
    QLabel *m_conversion = nullptr;
    QPushButton *m_conversionOptions = nullptr;
    QPushButton *m_preview = nullptr;
    QProgressBar *m_progress = nullptr;
    QTreeWidget *m_planList = nullptr;
    QTreeWidget *m_deletions = nullptr;
    QCheckBox *m_deleteTick = nullptr;
    QLabel *m_needsDeletions = nullptr;
    QProgressBar *m_bytesBefore = nullptr;
    QProgressBar *m_bytesAfter = nullptr;
    QProgressBar *m_slotsBefore = nullptr;
    QProgressBar *m_slotsAfter = nullptr;
    QLabel *m_status = nullptr;
    QPushButton *m_sync = nullptr;
    QPushButton *m_stop = nullptr;
    QPushButton *m_close = nullptr;
};

} // namespace tunara::transfer
