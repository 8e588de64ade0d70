#pragma once

// A fresh install engine on fresh fakes for each test.

#include <gtest/gtest.h>

#include <QLocale>
#include <QString>
#include <optional>
#include <ostream>

#include "FakeDevice.h"
#include "FakeWaiter.h"
#include "FakeWindow.h"
#include "modRapi.h"

// Readable QStrings in test failures.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

// The engine under test, made afresh by each Bind.
class EngineHolder {
protected:
    void Bind(Reporter* reporter, DeviceApi* device = nullptr, Waiter* waiter = nullptr,
              uint32_t connectWaitMs = modRapi::kConnectWaitMs) {
        engine_.reset();
        engine_.emplace(reporter, device, waiter, connectWaitMs);
    }
    modRapi::Engine& engine() { return *engine_; }

    std::optional<modRapi::Engine> engine_;
};

class ModRapiTest : public ::testing::Test, public EngineHolder {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale::c());
        Bind(&window, &device, &waiter);
    }
    void TearDown() override {
        engine_.reset();
        QLocale::setDefault(QLocale::c());
    }

    FakeWindow window;
    FakeDevice device;
    FakeWaiter waiter;
};
