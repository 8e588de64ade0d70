#include "FakeWindow.h"

#include <stdexcept>

void FakeWindow::enter(const std::string& name, const std::string& args) {
    log.push_back(name + "(" + args + ")");
    if (failures.Use(name)) {
        throw std::runtime_error("injected failure in " + name);
    }
}

void FakeWindow::AppendFolder(const QString& sEntry) {
    enter("AppendFolder", sEntry.toStdString());
    folders.append(sEntry);
}

void FakeWindow::FloodInit(int16_t nMax) {
    enter("FloodInit", std::to_string(nMax));
    inits.push_back(nMax);
    progressVisible = true;
}

void FakeWindow::FloodUpdate(int16_t nValue, const QString& sMessage) {
    enter("FloodUpdate", std::to_string(nValue) + ", " + sMessage.toStdString());
    updates.push_back({nValue, sMessage});
    if (onFloodUpdate) {
        onFloodUpdate(nValue, sMessage);
    }
}

void FakeWindow::HideProgress() {
    enter("HideProgress", "");
    progressVisible = false;
}

void FakeWindow::ShowMessage(const QString& sText, MessageIcon icon) {
    enter("ShowMessage", std::string(icon == MessageIcon::Error ? "Error" : "Information") + ", " +
                             sText.toStdString());
    messages.push_back({sText, icon});
    if (onShowMessage) {
        onShowMessage(sText);
    }
}

void FakeWindow::SetHourglass(bool bBusy) {
    enter("SetHourglass", bBusy ? "true" : "false");
    hourglass = bBusy;
}
