// The real window on Qt's offscreen platform driven through whole USB
// upgrades against the virtual target: File Load (or a drop), Connect, Sys
// Check, Upgrade Start, "Upgrade Complete.". Screenshots after the system check
// and after the run go to the artifacts folder; the images the target recorded
// are compared with the package's parts. CTest runs the V2 case again at scale 2.
#include "../qt/QtTestApp.h"
#include "TestBytes.h"
#include "UpgradeDlgTestAccess.h"
#include "app/qt/QtHost.h"
#include "window/UpgradeDlg.h"

#include "SimTarget.h"
#include "TempFolder.h"
#include "TestPackages.h"
#include "TestPaths.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class QtRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_oldCwd = fs::current_path();
        // The window finds the Boot folder under its start-up folder.
        fs::current_path(m_dir);
    }
    void TearDown() override { fs::current_path(m_oldCwd); }

    QPushButton* Button(CQtHost& host, int id) { return qobject_cast<QPushButton*>(host.Control(id)); }

    // A part file of a deterministic pattern, for the packer.
    fs::path Source(const std::string& name, std::size_t size, unsigned seed)
    {
        WriteFileBytes(m_dir / "src" / name, Pattern(size, seed));
        return m_dir / "src" / name;
    }

    // The Result cell of a row lies inside the list's view and the window's.
    static bool ResultInView(CQtHost& host, int row)
    {
        auto* list = qobject_cast<QTreeWidget*>(host.Control(IDC_LIST_PART));
        const QRect cell = list->visualRect(list->model()->index(row, 6));
        if (cell.isEmpty() || !list->viewport()->rect().contains(cell))
            return false;
        QWidget* view = host.ScrollArea()->viewport();
        const QRect inWindow(list->viewport()->mapTo(view, cell.topLeft()), cell.size());
        return view->rect().contains(inWindow);
    }

    CTempFolder m_tmp;
    fs::path m_dir = m_tmp.Path();
    fs::path m_oldCwd;
};

TEST_F(QtRunTest, TheWindowUpgradesAVirtualMachineOverUsbFromFileLoadToUpgradeComplete)
{
    const std::vector<DatPart> parts = {{"--main", 20000, "3"},
                                        {"--cis-m", 9000, "4"},
                                        {"--cis-s", 4000, "5"},
                                        {"--cf", 8193, "6"},
                                        {"--ir", 700, "7"}};
    const int items[] = {ITEM_MAIN, ITEM_CIS_M, ITEM_CIS_S, ITEM_CF, ITEM_IR};
    Bytes boot;
    PackDat(m_dir, parts, "pkg.DAT", &boot);
    ASSERT_FALSE(HasFailure());

    CSimConfig sim = ParseSimArgs({}).config;
    sim.recordDir = (m_dir / "rec").string();
    sim.stepDelay = std::chrono::milliseconds(3);
    // The serial number frame first, so the list keeps both versions and statuses.
    sim.serialWhen = ESerialWhen::BeforeSysCheck;
    CSimTarget target(sim);
    ASSERT_TRUE(target.Started());

    CTraceLog log;
    log.SetEcho(false);
    CQtHost host(log);
    host.SetScripted(true);
    CAppOptions options;
    options.usbTty = target.SlavePath();
    CUpgradeDlg dlg(host, options);
    dlg.OnInitDialog();
    host.show();
    auto messages = [&] { return host.RecordedMessages(); };
    auto has = [&](const std::string& text) {
        const auto m = messages();
        return std::find(m.begin(), m.end(), text) != m.end();
    };

    host.QueueOpenFileAnswer((m_dir / "pkg.DAT").string());
    Button(host, IDC_BUTTON_FILE_LOAD)->click();
    ASSERT_TRUE(messages().empty()) << messages().front();
    ASSERT_EQ(host.ListRowCount(IDC_LIST_PART), 5);
    ASSERT_TRUE(Button(host, IDC_BUTTON_CONNECT)->isEnabled());

    Button(host, IDC_BUTTON_CONNECT)->click();
    ASSERT_TRUE(
        QtWaitFor([&] { return Button(host, IDC_BUTTON_SYS_CHECK)->isEnabled(); }, std::chrono::seconds(10)))
        << ::testing::PrintToString(messages());
    EXPECT_EQ(Button(host, IDC_BUTTON_CONNECT)->text().toStdString(), "Dis Connect");

    Button(host, IDC_BUTTON_SYS_CHECK)->click();
    ASSERT_TRUE(QtWaitFor([&] { return Button(host, IDC_BUTTON_UPGRADE_START)->isEnabled(); },
                          std::chrono::seconds(10)))
        << ::testing::PrintToString(messages());
    QtWaitFor([&] { return host.ListGetCell(IDC_LIST_PART, 4, 2) == "Active"; }, std::chrono::seconds(2));
    const char* const versions[] = {"1.0.01", "1.0.02", "1.0.03", "1.0.04", "1.0.05"};
    for (int row = 0; row < 5; ++row) {
        EXPECT_EQ(host.ListGetCell(IDC_LIST_PART, row, 1), versions[row]) << row;
        EXPECT_EQ(host.ListGetCell(IDC_LIST_PART, row, 2), "Active") << row;
    }
    EXPECT_EQ(host.GetText(IDC_EDIT_SERIAL), "QV2024001");
    fs::create_directories(TestPath("VELUNDA_ARTIFACTS_DIR"));
    const std::string afterCheck =
        std::string(TestPath("VELUNDA_ARTIFACTS_DIR")) + "/qt_run-after-system-check.png";
    EXPECT_TRUE(host.grab().save(QString::fromStdString(afterCheck)));

    Button(host, IDC_BUTTON_UPGRADE_START)->click();
    ASSERT_TRUE(QtWaitFor([&] { return has("Upgrade Complete."); }, std::chrono::seconds(90)))
        << ::testing::PrintToString(messages());
    EXPECT_EQ(messages(), std::vector<std::string>{"Upgrade Complete."});
    for (int row = 0; row < 5; ++row)
        EXPECT_EQ(host.ListGetCell(IDC_LIST_PART, row, 6), "Complete") << row;
    EXPECT_TRUE(Button(host, IDC_BUTTON_FILE_LOAD)->isEnabled());
    EXPECT_TRUE(Button(host, IDC_BUTTON_SYS_CHECK)->isEnabled());
    EXPECT_TRUE(ResultInView(host, 0));
    const std::string afterRun = std::string(TestPath("VELUNDA_ARTIFACTS_DIR")) + "/qt_run-after-upgrade.png";
    EXPECT_TRUE(host.grab().save(QString::fromStdString(afterRun)));

    for (std::size_t i = 0; i < parts.size(); ++i) {
        EXPECT_TRUE(
            SameBytes(target.Recorded(items[i], "data"), ReadFileBytes(DatPartFile(m_dir, parts[i].option))))
            << parts[i].option;
        EXPECT_TRUE(SameBytes(target.Recorded(items[i], "boot"), boot)) << parts[i].option;
    }
    host.close();
    QTest::qWait(50);
    target.Stop();
}

TEST_F(QtRunTest, AV2PackageDroppedOnTheWindowUpgradesWhileTheControlsOfTheRunStayLocked)
{
    const Bytes header = ReadFileBytes(Source("BH_V2.bin", 5000, 1));
    const Bytes main = ReadFileBytes(Source("SM_V2.00.bin", 17000, 2));
    const Bytes cdm = ReadFileBytes(Source("CDM_V1.02.NHB", 9000, 3));
    const Bytes cdmBoot = ReadFileBytes(Source("BC_V1.bin", 4000, 4));
    PackQvp(m_dir,
            {"--model", "v2", "--header", "src/BH_V2.bin", "--main", "src/SM_V2.00.bin", "--cdm",
             "src/CDM_V1.02.NHB", "--cdm-boot", "src/BC_V1.bin"},
            "v2.QVP");
    ASSERT_FALSE(HasFailure());

    CSimConfig sim = ParseSimArgs({}).config;
    sim.model = 2;
    sim.sysRecord = DefaultSysRecord(2, "123");
    sim.recordDir = (m_dir / "rec").string();
    sim.stepDelay = std::chrono::milliseconds(3);
    sim.serialWhen = ESerialWhen::BeforeSysCheck;
    CSimTarget target(sim);
    ASSERT_TRUE(target.Started());

    CTraceLog log;
    log.SetEcho(false);
    CQtHost host(log);
    host.SetScripted(true);
    CAppOptions options;
    options.usbTty = target.SlavePath();
    CUpgradeDlg dlg(host, options);
    dlg.OnInitDialog();
    host.show();
    auto messages = [&] { return host.RecordedMessages(); };

    // Dropped on the list, the package reaches the window and is loaded.
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString((m_dir / "v2.QVP").string()))});
    QWidget* list = host.Control(IDC_LIST_PART);
    const QPoint at = list->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list, &drop);
    ASSERT_TRUE(QtWaitFor([&] { return host.ListRowCount(IDC_LIST_PART) == 2; }, std::chrono::seconds(5)))
        << ::testing::PrintToString(messages());
    ASSERT_TRUE(messages().empty()) << messages().front();
    EXPECT_EQ(host.GetText(IDC_CHECK_CIS_M), "CDM");

    Button(host, IDC_BUTTON_CONNECT)->click();
    ASSERT_TRUE(
        QtWaitFor([&] { return Button(host, IDC_BUTTON_SYS_CHECK)->isEnabled(); }, std::chrono::seconds(10)))
        << ::testing::PrintToString(messages());
    Button(host, IDC_BUTTON_SYS_CHECK)->click();
    ASSERT_TRUE(QtWaitFor([&] { return Button(host, IDC_BUTTON_UPGRADE_START)->isEnabled(); },
                          std::chrono::seconds(10)))
        << ::testing::PrintToString(messages());

    // File Load then Cancel keeps the package and the connection; the dialog
    // opens where the package is.
    host.QueueOpenFileAnswer(std::nullopt);
    Button(host, IDC_BUTTON_FILE_LOAD)->click();
    ASSERT_EQ(host.RecordedFileDialogs().size(), 1u);
    EXPECT_EQ(host.RecordedFileDialogs()[0].initialDir, m_dir.string());
    EXPECT_EQ(host.ListRowCount(IDC_LIST_PART), 2);
    EXPECT_EQ(State(dlg).m_bConnected, 1);
    EXPECT_TRUE(fs::exists(m_dir / "v2" / "SM_V2.00.bin"));
    EXPECT_TRUE(Button(host, IDC_BUTTON_UPGRADE_START)->isEnabled());

    // Every position the Programming bar takes, to see it never step back within an item.
    std::vector<int> programming;
    QObject::connect(qobject_cast<QProgressBar*>(host.Control(IDC_PROGRESS_PROGRAM)),
                     &QProgressBar::valueChanged, [&](int value) { programming.push_back(value); });
    const int locked[] = {IDC_CHECK_ALL, IDC_CHECK_MAIN, IDC_CHECK_CIS_M, IDC_COMBO_PORT, IDC_COMBO_BAUD};
    Button(host, IDC_BUTTON_UPGRADE_START)->click();
    for (int id : locked)
        EXPECT_FALSE(host.IsControlEnabled(id)) << id;
    // One Escape mid-run asks, and No (the default) keeps the run going.
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&host, &escape);
    EXPECT_EQ(host.RecordedQuestions().size(), 1u);
    EXPECT_TRUE(host.isVisible());
    ASSERT_TRUE(QtWaitFor([&] { return !messages().empty(); }, std::chrono::seconds(90)));
    EXPECT_EQ(messages(), std::vector<std::string>{"Upgrade Complete."});
    for (int id : locked)
        EXPECT_TRUE(host.IsControlEnabled(id)) << id;
    for (std::size_t i = 1; i < programming.size(); ++i)
        EXPECT_TRUE(programming[i] >= programming[i - 1] || programming[i] == 0)
            << programming[i - 1] << " then " << programming[i];
    EXPECT_EQ(host.ListGetCell(IDC_LIST_PART, 0, 6), "Complete");
    EXPECT_EQ(host.ListGetCell(IDC_LIST_PART, 1, 6), "Complete");
    EXPECT_TRUE(ResultInView(host, 1));
    QTest::qWait(20);
    const std::string shot = std::string(TestPath("VELUNDA_ARTIFACTS_DIR")) + "/qt_run-v2-after-upgrade" +
                             ScaleSuffix(host) + ".png";
    EXPECT_TRUE(host.grab().save(QString::fromStdString(shot)));

    const fs::path rec = m_dir / "rec";
    EXPECT_TRUE(SameBytes(ReadFileBytes(rec / (std::to_string(ITEM_MAIN_V2) + "-boot.bin")), header));
    EXPECT_TRUE(SameBytes(ReadFileBytes(rec / (std::to_string(ITEM_MAIN_V2) + "-data.bin")), main));
    EXPECT_TRUE(SameBytes(ReadFileBytes(rec / (std::to_string(ITEM_CDM) + "-boot.bin")), cdmBoot));
    EXPECT_TRUE(SameBytes(ReadFileBytes(rec / (std::to_string(ITEM_CDM) + "-data.bin")), cdm));
    host.close();
    QTest::qWait(50);
    target.Stop();
}

TEST_F(QtRunTest, TheProgramLoadsThePackageNamedOnItsCommandLineAndCleansUpOnSigterm)
{
    Source("SM_V1.bin", 3000, 5);
    PackQvp(m_dir, {"--model", "v1", "--main", "src/SM_V1.bin"}, "cmd.QVP");
    ASSERT_FALSE(HasFailure());
    const std::string logFile = (m_dir / "velunda.log").string();
    const std::string package = (m_dir / "cmd.QVP").string();
    const std::string window = TestPath("VELUNDA_GUI");
    std::vector<char*> args = {const_cast<char*>(window.c_str()), const_cast<char*>("--log"),
                               const_cast<char*>(logFile.c_str()), const_cast<char*>(package.c_str()),
                               nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    // Loaded as File Load would: the archive is unpacked beside it.
    const bool unpacked =
        QtWaitFor([&] { return fs::exists(m_dir / "cmd" / "SM_V1.bin"); }, std::chrono::seconds(20));
    ::kill(pid, SIGTERM);
    int status = -1;
    const bool ended =
        QtWaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(20));
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(unpacked);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The close's clean-up ran: the unpacked files are gone.
    EXPECT_FALSE(fs::exists(m_dir / "cmd" / "SM_V1.bin"));
    std::ifstream log(logFile);
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Signal 15"), std::string::npos) << text;
}

} // namespace
