// What the service tools need of the program: the questions and notices, the settings profile
// (sections "FontDown" and "Debug"), the key state (SHIFT ends the loop-back test) and the
// folder that stands in for the described "C:\" defaults, and the window's word on the player:
// whether other work talks to it, and the notice that a service transfer runs.
#pragma once

#include <QString>

#include <functional>
#include <memory>

class QSettings;

namespace tunara::device {
class PlayerLink;
class UiServices;
} // namespace tunara::device

namespace tunara::service {

struct ServiceContext {
    device::UiServices &ui;
    QSettings &settings;
    std::function<Qt::KeyboardModifiers()> modifiers;
    // The user's documents folder, without a trailing separator.
    QString documentsFolder;
    // True while other work talks to the player (a transfer, a pane's call); empty: never.
    std::function<bool()> playerBusy = {};
    // Told true when a service transfer (image, firmware, memory dump, loop-back test) begins
    // and false when it has ended: work handed to the window meanwhile waits for the end.
    std::function<void(bool)> serviceRunning = {};
    // The window's player link, through which the tools call the player; empty: a link of the
    // context's own (a tool run without the window), made on first use.
    device::PlayerLink *link = nullptr;

    bool shiftHeld() const { return modifiers && (modifiers() & Qt::ShiftModifier); }
    bool busyElsewhere() const { return playerBusy && playerBusy(); }
    void setServiceRunning(bool running) const {
        if (serviceRunning)
            serviceRunning(running);
    }
    // `link`, or the context's own link (its copies share it).
    device::PlayerLink &playerLink();
    std::shared_ptr<device::PlayerLink> ownLink = {};
};

} // namespace tunara::service
