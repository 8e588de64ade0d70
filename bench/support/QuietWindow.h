#pragma once

// An installer face for the benchmarks: draws nothing, counts the progress updates and keeps
// the last message only.

#include <QString>
#include <cstdint>

#include "Reporter.h"

namespace bench {

class QuietWindow : public Reporter {
public:
    void AppendFolder(const QString&) override {}
    void FloodInit(int16_t) override {}
    void FloodUpdate(int16_t, const QString&) override { ++updates; }
    void HideProgress() override {}
    void ShowMessage(const QString& sText, MessageIcon icon) override {
        message = sText;
        failed = icon == MessageIcon::Error;
    }
    void SetHourglass(bool) override {}

    QString message;
    bool failed = false;
    long updates = 0;
};

}  // namespace bench
