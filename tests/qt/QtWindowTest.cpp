// The real window on Qt's offscreen platform: its title and icon, every
// control of the table with its kind and initial text, the start state,
// captions drawn whole, a window that scrolls on a small screen and grows on
// a large one, the close question during a run, quit signals, a refused
// package, the port list and the list's tooltips. CTest runs this program at
// 96 dpi, at 144 dpi and at scale 2.
#include "QtTestApp.h"
#include "UpgradeDlgTestAccess.h"
#include "app/qt/QtHost.h"
#include "app/qt/QuitSignals.h"
#include "window/UpgradeDlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QToolTip>
#include <QTreeWidget>
#include <QXmlStreamReader>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <unistd.h>

namespace {

bool KindMatches(ControlKind kind, QWidget* w)
{
    switch (kind) {
    case ControlKind::GroupBox:
        return qobject_cast<QGroupBox*>(w) != nullptr;
    case ControlKind::Label:
        return qobject_cast<QLabel*>(w) != nullptr;
    case ControlKind::ComboBox:
        return qobject_cast<QComboBox*>(w) != nullptr;
    case ControlKind::PushButton:
        return qobject_cast<QPushButton*>(w) != nullptr;
    case ControlKind::CheckBox:
        return qobject_cast<QCheckBox*>(w) != nullptr;
    case ControlKind::Edit:
        return qobject_cast<QLineEdit*>(w) != nullptr && qobject_cast<QLineEdit*>(w)->isReadOnly();
    case ControlKind::ListView:
        return qobject_cast<QTreeWidget*>(w) != nullptr;
    case ControlKind::ProgressBar:
        return qobject_cast<QProgressBar*>(w) != nullptr;
    }
    return false;
}

const std::string kCloseQuestion =
    "An upgrade is in progress. Stopping now can leave the machine unusable. Stop and close?";

class QtWindow : public ::testing::Test {
protected:
    void SetUp() override { Open({}); }
    void TearDown() override
    {
        dlg.reset();
        host.reset();
    }
    void Open(const CAppOptions& options)
    {
        dlg.reset();
        host.reset();
        log.SetEcho(false);
        host = std::make_unique<CQtHost>(log);
        host->SetScripted(true);
        dlg = std::make_unique<CUpgradeDlg>(*host, options);
        dlg->OnInitDialog();
        host->show();
        QApplication::processEvents();
    }
    void Key(int key)
    {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(host.get(), &press);
        QApplication::processEvents();
    }

    CTraceLog log;
    std::unique_ptr<CQtHost> host;
    std::unique_ptr<CUpgradeDlg> dlg;
};

TEST_F(QtWindow, BuildsEveryControlOfTheTableInItsStartState)
{
    EXPECT_EQ(host->windowTitle().toStdString(), "Velunda [2013.11.06] - Ver1.0.8");
    // The icon is the launcher's drawing: the blue body, the yellow arrow, the grey pins.
    const QImage icon = host->windowIcon().pixmap(64, 64).toImage();
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.pixelColor(icon.width() / 2, icon.height() / 2).name().toStdString(), "#f2b134");
    EXPECT_EQ(icon.pixelColor(icon.width() * 12 / 64, icon.height() * 12 / 64).name().toStdString(),
              "#1f5f8b");
    EXPECT_EQ(icon.pixelColor(icon.width() * 4 / 64, icon.height() * 18 / 64).name().toStdString(),
              "#c8d6e0");

    for (int i = 0; i < kMainWindowControlCount; ++i) {
        const ControlDef& def = kMainWindowControls[i];
        QWidget* w = host->Control(def.id);
        ASSERT_NE(w, nullptr) << def.id;
        EXPECT_TRUE(KindMatches(def.kind, w)) << def.id;
        if (def.kind != ControlKind::ComboBox && def.kind != ControlKind::ListView &&
            def.kind != ControlKind::ProgressBar) {
            EXPECT_EQ(host->GetText(def.id), def.text) << def.id;
        }
        // Dialog units of the window's own font; a caption may widen its
        // control, a button and a caption before a field to the left, a value
        // after a caption to the right.
        if (def.kind == ControlKind::PushButton) {
            EXPECT_LE(w->x(), host->DluX(def.x)) << def.id;
            EXPECT_LE(w->geometry().right(), host->DluX(def.x) + host->DluX(def.cx) - 1) << def.id;
        } else if (def.kind == ControlKind::Label) {
            EXPECT_NEAR(w->x(), host->DluX(def.x), host->DluX(8)) << def.id;
        } else {
            EXPECT_EQ(w->x(), host->DluX(def.x)) << def.id;
        }
        EXPECT_EQ(w->y(), host->DluY(def.y)) << def.id;
        EXPECT_GE(w->width(), host->DluX(def.cx)) << def.id;
    }
    EXPECT_TRUE(host->Control(IDC_STATIC_UNUSED)->isHidden());

    EXPECT_TRUE(host->IsControlEnabled(IDC_BUTTON_FILE_LOAD));
    EXPECT_FALSE(host->IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_FALSE(host->IsControlEnabled(IDC_BUTTON_SYS_CHECK));
    EXPECT_FALSE(host->IsControlEnabled(IDC_BUTTON_UPGRADE_START));
    EXPECT_EQ(host->ComboItemText(IDC_COMBO_BAUD, host->ComboSelected(IDC_COMBO_BAUD)), "38400");
    for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id)
        EXPECT_FALSE(host->IsControlVisible(id)) << id;

    auto* list = qobject_cast<QTreeWidget*>(host->Control(IDC_LIST_PART));
    ASSERT_EQ(list->columnCount(), 7);
    EXPECT_EQ(list->headerItem()->text(6).toStdString(), "Result");
    // Pixel widths of a 96-dpi screen.
    EXPECT_EQ(list->columnWidth(3), qRound(170 * list->logicalDpiX() / 96.0));
    list->addTopLevelItem(new QTreeWidgetItem(QStringList{"probe"}));
    const int rowHeight = list->visualItemRect(list->topLevelItem(0)).height();
    EXPECT_GE(rowHeight, 19);
    EXPECT_GT(rowHeight, list->fontMetrics().height());
    list->clear();

    const auto dir = std::filesystem::path(TestPath("VELUNDA_ARTIFACTS_DIR"));
    std::filesystem::create_directories(dir);
    const auto shot = dir / ("main-window" + ScaleSuffix(*host) + ".png");
    ASSERT_TRUE(host->grab().save(QString::fromStdString(shot.string())));
    EXPECT_GT(std::filesystem::file_size(shot), 1000u);
}

TEST_F(QtWindow, CaptionsAreNotWiderThanTheirControls)
{
    // The widest texts those controls take besides their initial ones.
    host->SetText(IDC_CHECK_CIS_M, "CDM");
    host->SetText(IDC_STATIC_BOARD_VER, "Ver 2013.11.06.01.2");
    host->SetText(IDC_STATIC_PROGRAM_PERCENT, "100 %");
    host->SetText(IDC_BUTTON_CONNECT, "Dis Connect");
    for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id)
        host->ShowControl(id, true);
    QApplication::processEvents();

    int measured = 0;
    for (int i = 0; i < kMainWindowControlCount; ++i) {
        const int id = kMainWindowControls[i].id;
        QWidget* w = host->Control(id);
        if (w->isHidden())
            continue;
        const QFontMetricsF fm(w->font());
        const QString text = QString::fromStdString(host->GetText(id));
        double need = 0;
        int room = 0;
        if (auto* l = qobject_cast<QLabel*>(w)) {
            need = fm.horizontalAdvance(text);
            room = l->contentsRect().width();
        } else if (qobject_cast<QCheckBox*>(w) != nullptr) {
            // The box, its gap and the text.
            need = w->sizeHint().width();
            room = w->width();
        } else if (qobject_cast<QPushButton*>(w) != nullptr) {
            need =
                fm.horizontalAdvance(text) + 2 * w->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, w);
            room = w->width();
        } else if (qobject_cast<QGroupBox*>(w) != nullptr) {
            need = fm.horizontalAdvance(text);
            room = w->width();
        } else {
            continue;
        }
        ++measured;
        EXPECT_LE(need, room) << id << " \"" << text.toStdString() << "\" at " << w->logicalDpiX()
                              << " dpi, scale " << w->devicePixelRatioF();
        // Nor taller: a line of the font fits the control's height.
        EXPECT_LE(QFontMetrics(w->font()).height(), w->height()) << id;
        // Nor covered by another control.
        for (int j = 0; j < kMainWindowControlCount; ++j) {
            QWidget* o = host->Control(kMainWindowControls[j].id);
            if (o != w && !o->isHidden() && qobject_cast<QGroupBox*>(o) == nullptr &&
                qobject_cast<QGroupBox*>(w) == nullptr) {
                EXPECT_FALSE(o->geometry().intersects(w->geometry()))
                    << id << " and " << kMainWindowControls[j].id;
            }
        }
    }
    EXPECT_GE(measured, 30);
}

TEST_F(QtWindow, EveryControlIsWithinReachAndAWiderWindowGrowsTheListAndTheBars)
{
    // The window fits its screen; what the screen cannot hold scrolls into view.
    const QRect screen = host->screen()->availableGeometry();
    EXPECT_LE(host->frameGeometry().width(), screen.width());
    EXPECT_LE(host->frameGeometry().height(), screen.height());
    QScrollArea* scroll = host->ScrollArea();
    for (int i = 0; i < kMainWindowControlCount; ++i) {
        QWidget* w = host->Control(kMainWindowControls[i].id);
        if (w->isHidden())
            continue;
        // Scrolled so that its top-left corner is the view's, as far as the bars go.
        const QPoint onPage = w->mapTo(scroll->widget(), QPoint(0, 0));
        scroll->horizontalScrollBar()->setValue(onPage.x());
        scroll->verticalScrollBar()->setValue(onPage.y());
        const QRect inView(w->mapTo(scroll->viewport(), QPoint(0, 0)), w->size());
        const QRect view = scroll->viewport()->rect();
        const bool fits = w->width() <= view.width() && w->height() <= view.height();
        EXPECT_TRUE(fits ? view.contains(inView) : view.contains(inView.topLeft()))
            << kMainWindowControls[i].id << " " << inView.x() << "," << inView.y() << " " << inView.width()
            << "x" << inView.height() << " in " << view.width() << "x" << view.height();
    }

    const QSize table = host->TableSize();
    host->resize(table + QSize(200, 150));
    QApplication::processEvents();
    QWidget* page = scroll->widget();
    const int dx = page->width() - table.width();
    const int dy = page->height() - table.height();
    ASSERT_GT(dx, 100);
    ASSERT_GT(dy, 100);
    auto at = [&](int id) { return host->Control(id)->geometry(); };
    EXPECT_EQ(at(IDC_LIST_PART).size(), QSize(host->DluX(405) + dx, host->DluY(88) + dy));
    EXPECT_EQ(at(IDC_GROUP_INFO).height(), host->DluY(144) + dy);
    EXPECT_EQ(at(IDC_GROUP_MENU).width(), host->DluX(412) + dx);
    EXPECT_EQ(at(IDC_GROUP_PROCESS).topLeft(), QPoint(host->DluX(7), host->DluY(251) + dy));
    EXPECT_EQ(at(IDC_PROGRESS_VERIFY).width(), host->DluX(320) + dx);
    EXPECT_EQ(at(IDC_STATIC_VERIFY_PERCENT).x(), host->DluX(393) + dx);
    EXPECT_EQ(at(IDC_STATIC_VERIFY).y(), host->DluY(325) + dy);
    EXPECT_EQ(at(IDC_BUTTON_UPGRADE_START).topRight(),
              QPoint(host->DluX(364) + host->DluX(50) - 1, host->DluY(19)));
}

TEST_F(QtWindow, OutsideARunEscapeClosesAndEnterDoesNotEndTheDialog)
{
    Key(Qt::Key_Return);
    EXPECT_TRUE(host->isVisible());
    EXPECT_NE(State(*dlg).m_pSendToBD, nullptr);
    Key(Qt::Key_Escape);
    EXPECT_FALSE(host->isVisible());
    EXPECT_EQ(State(*dlg).m_pSendToBD, nullptr); // the close's clean-up ran
    EXPECT_TRUE(host->RecordedQuestions().empty());
}

TEST_F(QtWindow, DuringARunEscapeAndTheCloseButtonAskAndNoKeepsTheWindow)
{
    State(*dlg).m_bRunActive = 1;
    Key(Qt::Key_Escape);
    EXPECT_TRUE(host->isVisible());
    host->close();
    QApplication::processEvents();
    EXPECT_TRUE(host->isVisible());
    EXPECT_EQ(host->RecordedQuestions(), (std::vector<std::string>{kCloseQuestion, kCloseQuestion}));
    EXPECT_NE(State(*dlg).m_pSendToBD, nullptr);

    host->QueueYesNoAnswer(true);
    host->close();
    QApplication::processEvents();
    EXPECT_FALSE(host->isVisible());
    EXPECT_EQ(State(*dlg).m_pSendToBD, nullptr);
    EXPECT_EQ(host->RecordedQuestions().size(), 3u);
}

TEST_F(QtWindow, SigtermAndSighupDuringARunCloseWithoutAQuestion)
{
    ASSERT_TRUE(CQuitSignals::Block());
    for (const int signo : {SIGTERM, SIGHUP}) {
        Open({});
        CQuitSignals quit;
        ASSERT_TRUE(quit.IsWatching());
        QObject::connect(&quit, &CQuitSignals::quitRequested, host.get(),
                         [this](int) { host->OnQuitSignal(); });
        State(*dlg).m_bRunActive = 1;
        // Directed at this thread, where it stays pending for the signalfd.
        ASSERT_EQ(::raise(signo), 0);
        EXPECT_TRUE(QtWaitFor([&] { return !host->isVisible(); }, std::chrono::seconds(2))) << signo;
        EXPECT_EQ(State(*dlg).m_pSendToBD, nullptr) << signo;
        EXPECT_TRUE(host->RecordedQuestions().empty()) << signo;
    }
}

TEST_F(QtWindow, APackageTheLoaderRefusesLeavesConnectDisabledAndNoItemBoxes)
{
    // Hexadecimal text whose decrypted header names no machine.
    const auto file =
        std::filesystem::temp_directory_path() / ("velunda-refused-" + std::to_string(::getpid()) + ".DAT");
    std::ofstream(file) << std::string(480, '0');
    host->QueueOpenFileAnswer(file.string());
    host->findChild<QPushButton*>("ctl1010")->click();
    std::filesystem::remove(file);
    EXPECT_EQ(host->RecordedMessages(), std::vector<std::string>{"Upgrade file header error!"});
    EXPECT_FALSE(host->IsControlEnabled(IDC_BUTTON_CONNECT));
    for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id)
        EXPECT_FALSE(host->IsControlVisible(id)) << id;
    EXPECT_EQ(host->ListRowCount(IDC_LIST_PART), 0);
    EXPECT_EQ(State(*dlg).m_nResultType, RESULT_TYPE_NONE);
    EXPECT_TRUE(State(*dlg).m_strUpgradeFile.empty());
}

TEST_F(QtWindow, OpeningThePortListAgainKeepsTheChoiceAndShowsWholePaths)
{
    const std::string longPath = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    CAppOptions options;
    options.extraPorts = {"/dev/velunda-test-port", longPath};
    Open(options);
    State(*dlg).m_nResultType = RESULT_TYPE_BOARD;
    dlg->FillPortList();
    auto* combo = qobject_cast<QComboBox*>(host->Control(IDC_COMBO_PORT));
    const int index = combo->findText(QString::fromStdString(longPath));
    ASSERT_GT(index, 0);
    combo->setCurrentIndex(index);
    emit combo->activated(index);
    EXPECT_EQ(State(*dlg).m_strPortName, longPath);

    combo->showPopup();
    QApplication::processEvents();
    EXPECT_EQ(combo->currentText().toStdString(), longPath);
    EXPECT_EQ(host->ComboItemText(IDC_COMBO_PORT, host->ComboSelected(IDC_COMBO_PORT)), longPath);
    EXPECT_GE(combo->view()->width(), combo->view()->fontMetrics().horizontalAdvance(combo->itemText(index)));
    combo->hidePopup();
    EXPECT_EQ(combo->toolTip().toStdString(), longPath);
}

TEST_F(QtWindow, ACellTooNarrowForItsTextShowsItWholeAsATooltip)
{
    auto* list = qobject_cast<QTreeWidget*>(host->Control(IDC_LIST_PART));
    host->ListInsertRow(IDC_LIST_PART, 0, "CIS M");
    host->ListSetCell(IDC_LIST_PART, 0, 1, "1.0.02-1.0.04-1.0.05");
    host->ListSetCell(IDC_LIST_PART, 0, 2, "None");
    QApplication::processEvents();
    auto tipAt = [&](int column) {
        QToolTip::hideText();
        QtWaitFor([] { return !QToolTip::isVisible(); }, std::chrono::seconds(2));
        const QRect cell = list->visualRect(list->model()->index(0, column));
        QHelpEvent help(QEvent::ToolTip, cell.center(), list->viewport()->mapToGlobal(cell.center()));
        QApplication::sendEvent(list->viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text().toStdString() : std::string();
    };
    EXPECT_EQ(tipAt(1), "1.0.02-1.0.04-1.0.05");
    EXPECT_EQ(tipAt(2), "");
}

TEST(DesktopEntry, OpensPackagesOfTheShippedMimeTypesUnderOneMainCategory)
{
    std::map<std::string, std::string> entry;
    std::ifstream desktop(SourcePath("packaging/velunda.desktop"));
    for (std::string line; std::getline(desktop, line);)
        if (const auto eq = line.find('='); eq != std::string::npos)
            entry[line.substr(0, eq)] = line.substr(eq + 1);
    EXPECT_EQ(entry["Exec"], "velunda %f");
    const QStringList mainCategories = {"AudioVideo", "Audio",   "Development", "Education", "Game",
                                        "Graphics",   "Network", "Office",      "Science",   "Settings",
                                        "System",     "Utility", "Video"};
    int mains = 0;
    for (const QString& c : QString::fromStdString(entry["Categories"]).split(';', Qt::SkipEmptyParts))
        mains += mainCategories.contains(c) ? 1 : 0;
    EXPECT_EQ(mains, 1) << entry["Categories"];

    // Every type the launcher names is defined by the shipped XML, and the
    // two package extensions are among its globs.
    QFile xmlFile(QString::fromStdString(SourcePath("packaging/velunda-mime.xml")));
    ASSERT_TRUE(xmlFile.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&xmlFile);
    std::map<std::string, std::vector<std::string>> globs;
    std::string type;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QStringLiteral("mime-type"))
            type = xml.attributes().value(QStringLiteral("type")).toString().toStdString();
        else if (xml.name() == QStringLiteral("glob"))
            globs[type].push_back(xml.attributes().value(QStringLiteral("pattern")).toString().toStdString());
    }
    ASSERT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    std::set<std::string> patterns;
    for (const QString& t : QString::fromStdString(entry["MimeType"]).split(';', Qt::SkipEmptyParts)) {
        ASSERT_TRUE(globs.count(t.toStdString())) << t.toStdString();
        patterns.insert(globs[t.toStdString()].begin(), globs[t.toStdString()].end());
    }
    EXPECT_EQ(patterns, (std::set<std::string>{"*.dat", "*.qvp"}));
}

} // namespace
