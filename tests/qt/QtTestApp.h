#pragma once
// The QApplication of a Qt test program, on the offscreen platform, and a
// wait that keeps Qt's event loop running.
#include <QApplication>
#include <QTest>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

class CQtTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
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
