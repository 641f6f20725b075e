// The main window's side of the service tools: the pane commands Volume Label (32786) and Font
// Download (32791) with their availability, and the door to the service dialog.
#include "device/transferqueue.h"
#include "device/zamo_listview.h"
#include "mainframe.h"
#include "service/servicetools.h"
#include "tunaraapp.h"
#include "zamo_expview.h"

#include <QMenu>
#include <QStandardPaths>

namespace tunara::shell {

service::ServiceContext CMainFrame::serviceContext() {
    return service::ServiceContext{
        m_app.ui(),
        m_app.profile(),
        [this] { return keyboardModifiers(); },
        QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation),
        [this] { return deviceBusy(); },
        [this](bool running) { setServiceRunning(running); },
        &m_link};
}

void CMainFrame::openServiceDialog() {
    service::runServiceDialog(serviceContext(), this);
}

void CMainFrame::buildServiceCommands() {
    // Beyond the selection rule: no image may be sent while a transfer's worker talks to the
    // player, nor while a call of the player link runs, so both wait for the player to be idle.
    const auto allowed = [this](QObject *) {
        return m_serviceCommandsAllowed && !m_transferBusy && !m_link.busy() &&
               (m_transferQueue == nullptr || !m_transferQueue->busy());
    };
    m_commands.add(
        Cmd::VolumeLabel, [this](QObject *) { service::runVolumeLabel(serviceContext(), this); },
        allowed);
    m_commands.add(
        Cmd::FontDownload, [this](QObject *) { service::runFontDownload(serviceContext(), this); },
        allowed);
}

void CMainFrame::addServiceActions(QMenu *menu) {
    menu->addSeparator();
    menu->addAction(m_commands.action(Cmd::VolumeLabel));
    menu->addAction(m_commands.action(Cmd::FontDownload));
}

void CMainFrame::watchServiceSelection() {
    // Every change of a pane's rows (selection, rows filled or cleared by a refresh) sets the
    // flag from that pane's selection, as its selection summary does.
    for (CZamo_ExpView *view : m_views) {
        device::CZamo_ListView *list = view->list();
        const auto summarise = [this, list] {
            m_serviceCommandsAllowed = list->selectedItems().isEmpty();
            m_commands.updateUi();
        };
        connect(list, &QTreeWidget::itemSelectionChanged, &m_serviceWatch, summarise);
        QAbstractItemModel *model = list->model();
        connect(model, &QAbstractItemModel::rowsInserted, &m_serviceWatch, summarise);
        connect(model, &QAbstractItemModel::rowsRemoved, &m_serviceWatch, summarise);
        connect(model, &QAbstractItemModel::modelReset, &m_serviceWatch, summarise);
    }
}

} // namespace tunara::shell
