#pragma once

// Binds the device module to fresh fakes for each test and unbinds it afterwards.

#include <gtest/gtest.h>

#include <QLocale>
#include <QString>
#include <ostream>

#include "FakeDevice.h"
#include "FakeWaiter.h"
#include "FakeWindow.h"
#include "modRapi.h"

// Readable QStrings in test failures.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

class ModRapiTest : public ::testing::Test {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale::c());
        modRapi::Bind(&window, &device, &waiter);
    }
    void TearDown() override {
        modRapi::Bind(nullptr);
        QLocale::setDefault(QLocale::c());
    }

    FakeWindow window;
    FakeDevice device;
    FakeWaiter waiter;
};
