// The real window on Qt's offscreen platform: its title, every control of the
// table with its kind and initial text, the start state, and a screenshot.
#include "QtTestApp.h"
#include "app/UpgradeDlg.h"
#include "app/qt/QtHost.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <filesystem>

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

TEST(QtWindow, BuildsEveryControlOfTheTableInItsStartState)
{
    CTraceLog log;
    log.SetEcho(false);
    CQtHost host(log);
    host.SetScripted(true);
    CUpgradeDlg dlg(host);
    dlg.OnInitDialog();
    host.show();
    QApplication::processEvents();

    EXPECT_EQ(host.windowTitle().toStdString(), "Velunda [2013.11.06] - Ver1.0.8");
    EXPECT_FALSE(host.windowIcon().isNull());

    for (int i = 0; i < kMainWindowControlCount; ++i) {
        const ControlDef& def = kMainWindowControls[i];
        QWidget* w = host.Control(def.id);
        ASSERT_NE(w, nullptr) << def.id;
        EXPECT_TRUE(KindMatches(def.kind, w)) << def.id;
        if (def.kind != ControlKind::ComboBox && def.kind != ControlKind::ListView &&
            def.kind != ControlKind::ProgressBar) {
            EXPECT_EQ(host.GetText(def.id), def.text) << def.id;
        }
        // Dialog units to pixels with the 8-point base units (6 x 13 px).
        EXPECT_EQ(w->x(), def.x * 6 / 4) << def.id;
        EXPECT_EQ(w->y(), def.y * 13 / 8) << def.id;
        EXPECT_EQ(w->width(), def.cx * 6 / 4) << def.id;
    }
    EXPECT_TRUE(host.Control(IDC_STATIC_UNUSED)->isHidden());

    EXPECT_TRUE(host.IsControlEnabled(IDC_BUTTON_FILE_LOAD));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_CONNECT));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_SYS_CHECK));
    EXPECT_FALSE(host.IsControlEnabled(IDC_BUTTON_UPGRADE_START));
    EXPECT_EQ(host.ComboItemText(IDC_COMBO_BAUD, host.ComboSelected(IDC_COMBO_BAUD)), "38400");
    for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id)
        EXPECT_FALSE(host.IsControlVisible(id)) << id;

    auto* list = qobject_cast<QTreeWidget*>(host.Control(IDC_LIST_PART));
    ASSERT_EQ(list->columnCount(), 7);
    EXPECT_EQ(list->headerItem()->text(6).toStdString(), "Result");
    EXPECT_EQ(list->columnWidth(3), 170);
    list->addTopLevelItem(new QTreeWidgetItem(QStringList{"probe"}));
    EXPECT_EQ(list->visualItemRect(list->topLevelItem(0)).height(), 19);
    list->clear();

    const auto dir = std::filesystem::path(VELUNDA_ARTIFACTS_DIR);
    std::filesystem::create_directories(dir);
    const QString shot = QString::fromStdString((dir / "main-window.png").string());
    ASSERT_TRUE(host.grab().save(shot));
    EXPECT_GT(std::filesystem::file_size((dir / "main-window.png")), 1000u);
}

TEST(QtWindow, EscapeRunsTheCloseAndEnterDoesNotEndTheDialog)
{
    CTraceLog log;
    log.SetEcho(false);
    CQtHost host(log);
    host.SetScripted(true);
    CUpgradeDlg dlg(host);
    dlg.OnInitDialog();
    host.show();
    QApplication::processEvents();

    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(&host, &enter);
    EXPECT_TRUE(host.isVisible());
    EXPECT_NE(dlg.m_pSendToBD, nullptr);

    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&host, &escape);
    QApplication::processEvents();
    EXPECT_FALSE(host.isVisible());
    EXPECT_EQ(dlg.m_pSendToBD, nullptr); // the close's clean-up ran
}

} // namespace
