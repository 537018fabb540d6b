#pragma once
// The QApplication of a Qt test program, on the offscreen platform, and a
// wait that keeps Qt's event loop running.
#include "TestPaths.h"

#include <QApplication>
#include <QTest>
#include <QWidget>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>

class CQtTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        // Offscreen, on a 1280 x 1024 screen unless the test names another.
        const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
        if (platform.isEmpty() || platform == "offscreen")
            qputenv("QT_QPA_PLATFORM",
                    ("offscreen:configfile=" + SourcePath("tests/qt/screen-1280x1024.json")).c_str());
        static int argc = 1;
        static char name[] = "velunda-qt-test";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { m_app.reset(); }

private:
    std::unique_ptr<QApplication> m_app;
};

// Registers the environment once per test program.
inline const ::testing::Environment* const kQtTestEnvironment =
    ::testing::AddGlobalTestEnvironment(new CQtTestEnvironment);

// Suffix of screenshot names: "" at 96 dpi and scale 1, "-dpi144", "-x2".
inline std::string ScaleSuffix(const QWidget& w)
{
    std::string suffix;
    if (w.logicalDpiX() != 96)
        suffix += "-dpi" + std::to_string(w.logicalDpiX());
    if (w.devicePixelRatioF() != 1.0)
        suffix += "-x" + QString::number(w.devicePixelRatioF()).toStdString();
    return suffix;
}

// Lets Qt run until pred holds or the time is up.
inline bool QtWaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QTest::qWait(5);
    }
    return true;
}
