// A window that holds memory panes in tests, recording what they tell it.
#pragma once

#include "device/paneframe.h"
#include "device/playerlink.h"
#include "device/transferqueue.h"
#include "testui.h"

#include <QFont>
#include <QList>
#include <QPair>
#include <QWidget>

// A transfer queue that records what the panes hand it.
class RecordingQueue : public tunara::device::TransferQueue {
public:
    struct Batch {
        unsigned char memory;
        QStringList remote; // player names (uploads only)
        QStringList local;
    };
    QList<Batch> downloads;
    QList<Batch> downloadsInOrder; // queued as given (a folder's music)
    QList<Batch> uploads;
    bool running = false;

    int addDownloads(unsigned char memory, const QStringList &paths) override {
        downloads.append({memory, {}, paths});
        return 1;
    }
    int addDownloadsInOrder(unsigned char memory, const QStringList &paths) override {
        downloadsInOrder.append({memory, {}, paths});
        return 1;
    }
    int addUploads(unsigned char memory, const QStringList &remote,
                   const QStringList &local) override {
        uploads.append({memory, remote, local});
        return 1;
    }
    bool busy() const override { return running; }
};

class TestFrame : public tunara::device::PaneFrame {
public:
    TestUi uiAnswers;
    QStringList messageTexts;
    QString capacity;
    bool connected = false;
    int model = 0;
    Qt::KeyboardModifiers keys = Qt::NoModifier;
    QList<QPair<int, QObject *>> posted;
    QList<bool> refreshButton;
    QWidget parent;

    void setMessageText(const QString &text) override { messageTexts << text; }
    void setCapacityText(const QString &text) override { capacity = text; }
    void setConnected(bool c) override { connected = c; }
    int modelCode() const override { return model; }
    QFont listFont() const override { return QFont(QStringLiteral("Arial"), 9); }
    tunara::device::UiServices &ui() override { return uiAnswers; }
    tunara::device::PlayerLink playerLink;
    tunara::device::PlayerLink &link() override { return playerLink; }
    QWidget *dialogParent() override { return &parent; }
    Qt::KeyboardModifiers keyboardModifiers() const override { return keys; }
    void postCommand(int id, QObject *target) override { posted.append({id, target}); }
    void setRefreshButtonEnabled(bool enabled) override { refreshButton << enabled; }
    void paneActivated(QObject *) override {}
    tunara::device::TransferQueue *queue = nullptr;
    tunara::device::TransferQueue *transferQueue() override { return queue; }
};
