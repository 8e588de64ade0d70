#pragma once

// The installer's face as the install engine sees it: every call is recorded, the progress
// state is tracked, and any call can be made to throw.

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "FailureScript.h"
#include "Reporter.h"

class FakeWindow : public Reporter {
public:
    struct Message {
        QString text;
        MessageIcon icon;
    };
    struct Update {
        int16_t value;
        QString text;
    };

    // Every call in order, e.g. "FloodInit(2)", "FloodUpdate(1, 4,096 of 10,000 bytes copied)",
    // "HideProgress()", "ShowMessage(Error, ...)", "SetHourglass(true)", "AppendFolder(...)".
    std::vector<std::string> log;

    QStringList folders;
    std::vector<Message> messages;
    std::vector<int16_t> inits;
    std::vector<Update> updates;
    bool progressVisible = false;
    bool hourglass = false;

    // Runs inside FloodUpdate (after it was recorded), where the real window handles its
    // pending messages.
    std::function<void(int16_t nValue, const QString& sMessage)> onFloodUpdate;
    // Runs inside ShowMessage, while the message would be up.
    std::function<void(const QString& sText)> onShowMessage;

    // Any call name above can be made to throw std::runtime_error.
    FailureScript failures;
    int Count(const std::string& name) const { return failures.Count(name); }

    void AppendFolder(const QString& sEntry) override;
    void FloodInit(int16_t nMax) override;
    void FloodUpdate(int16_t nValue, const QString& sMessage) override;
    void HideProgress() override;
    void ShowMessage(const QString& sText, MessageIcon icon) override;
    void SetHourglass(bool bBusy) override;

private:
    void enter(const std::string& name, const std::string& args);
};
