// Connect through the real window against the virtual target: the board
// check's answer crosses from the USB reader thread through the Qt host's
// hand-off, and Dis Connect, closing the window or a SIGTERM while the reader
// runs ends without a hang.
#include "QtTestApp.h"
#include "UpgradeDlgTestAccess.h"
#include "app/qt/QtHost.h"
#include "app/qt/QuitSignals.h"
#include "window/UpgradeDlg.h"

#include "QuorinSim.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <chrono>
#include <csignal>
#include <functional>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A window whose USB link reaches the virtual target's pty, with a package's
// model set so that the port list offers "USB".
class QtConnect : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(sim.Start(error)) << error;
        log.SetEcho(false);
        host = std::make_unique<CQtHost>(log);
        host->SetScripted(true);
        CAppOptions options;
        options.usbTty = sim.SlavePath();
        dlg = std::make_unique<CUpgradeDlg>(*host, options);
        dlg->OnInitDialog();
        host->show();
        State(*dlg).m_nResultType = RESULT_TYPE_QUORIN_V1;
        dlg->FillPortList();
        host->EnableControl(IDC_BUTTON_CONNECT, true);
    }
    void TearDown() override
    {
        dlg.reset();
        host.reset();
        sim.Stop();
    }

    void ConnectAndWaitForTheBoardCheck()
    {
        const auto start = Clock::now();
        QTest::mouseClick(host->Control(IDC_BUTTON_CONNECT), Qt::LeftButton);
        ASSERT_EQ(host->GetText(IDC_BUTTON_CONNECT), "Dis Connect");
        ASSERT_TRUE(QtWaitFor([&] { return host->IsControlEnabled(IDC_BUTTON_SYS_CHECK); }, 3s));
        // The board check leaves one second after the connect.
        EXPECT_GE(Clock::now() - start, 1s);
        EXPECT_TRUE(host->RecordedMessages().empty());
    }

    CQuorinSim sim{CSimConfig{}};
    CTraceLog log;
    std::unique_ptr<CQtHost> host;
    std::unique_ptr<CUpgradeDlg> dlg;
};

TEST_F(QtConnect, TheBoardChecksAnswerEnablesSysCheckAndDisConnectClosesPromptly)
{
    ConnectAndWaitForTheBoardCheck();
    const auto start = Clock::now();
    QTest::mouseClick(host->Control(IDC_BUTTON_CONNECT), Qt::LeftButton);
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(State(*dlg).m_bConnected, 0);
    EXPECT_FALSE(State(*dlg).m_UsbLink.IsOpen());
    EXPECT_EQ(host->GetText(IDC_BUTTON_CONNECT), "Connect");
    EXPECT_FALSE(host->IsControlEnabled(IDC_BUTTON_SYS_CHECK));
}

TEST_F(QtConnect, ClosingTheWindowWhileTheReaderRunsEndsWithoutAHang)
{
    ConnectAndWaitForTheBoardCheck();
    // A system check keeps the reader handing frames to the window while it closes.
    QTest::mouseClick(host->Control(IDC_BUTTON_SYS_CHECK), Qt::LeftButton);
    const auto start = Clock::now();
    host->close();
    QApplication::processEvents();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_FALSE(host->isVisible());
    EXPECT_EQ(State(*dlg).m_bConnected, 0);
    EXPECT_FALSE(State(*dlg).m_UsbLink.IsOpen());
}

TEST_F(QtConnect, ASigtermDuringARunClosesTheLinkWithoutAQuestion)
{
    ConnectAndWaitForTheBoardCheck();
    ASSERT_TRUE(CQuitSignals::Block());
    CQuitSignals quit;
    ASSERT_TRUE(quit.IsWatching());
    QObject::connect(&quit, &CQuitSignals::quitRequested, host.get(), [this](int) { host->OnQuitSignal(); });
    State(*dlg).m_bRunActive = 1;
    // Directed at this thread, where it waits for the signalfd.
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_TRUE(QtWaitFor([&] { return !host->isVisible(); }, 2s));
    EXPECT_TRUE(host->RecordedQuestions().empty());
    EXPECT_EQ(State(*dlg).m_bConnected, 0);
    EXPECT_FALSE(State(*dlg).m_UsbLink.IsOpen());
}

} // namespace
