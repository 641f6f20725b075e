// What the service tools need of the program: the questions and notices, the settings profile
// (sections "FontDown" and "Debug"), the key state (SHIFT ends the loop-back test) and the
// folder that stands in for the described "C:\" defaults.
#pragma once

#include <QString>

#include <functional>

class QSettings;

namespace tunara::device {
class UiServices;
}

namespace tunara::service {

struct ServiceContext {
    device::UiServices &ui;
    QSettings &settings;
    std::function<Qt::KeyboardModifiers()> modifiers;
    // The user's documents folder, without a trailing separator.
    QString documentsFolder;

    bool shiftHeld() const { return modifiers && (modifiers() & Qt::ShiftModifier); }
};

} // namespace tunara::service
