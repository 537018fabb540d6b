#include "app/qt/QtHost.h"

#include "app/ControlIds.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFont>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>

namespace {

// Dialog units of the 8-point dialog font: 4 horizontal units are one average
// character width (6 px), 8 vertical units one character height (13 px).
int DluX(int x)
{
    return x * 6 / 4;
}
int DluY(int y)
{
    return y * 13 / 8;
}

Qt::Alignment ToQt(ListAlign align)
{
    switch (align) {
    case ListAlign::Centre:
        return Qt::AlignHCenter | Qt::AlignVCenter;
    case ListAlign::Right:
        return Qt::AlignRight | Qt::AlignVCenter;
    case ListAlign::Left:
    default:
        return Qt::AlignLeft | Qt::AlignVCenter;
    }
}

class CRowHeightDelegate : public QStyledItemDelegate {
public:
    CRowHeightDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), m_height(height) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(m_height);
        return size;
    }

private:
    int m_height;
};

QString Q(const std::string& s)
{
    return QString::fromStdString(s);
}

} // namespace

void CDropComboBox::showPopup()
{
    emit aboutToDropDown();
    QComboBox::showPopup();
}

CQtHost::CQtHost(CTraceLog& log, QWidget* parent) : QDialog(parent), m_log(log)
{
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(DluX(kDialogWidthDlu), DluY(kDialogHeightDlu));
    // The layout is in units of an 8-point dialog font.
    QFont font(QStringLiteral("Sans Serif"));
    font.setPixelSize(10);
    setFont(font);
    setWindowIcon(AppIcon());
    BuildControls();
}

CQtHost::~CQtHost() = default;

QIcon CQtHost::AppIcon()
{
    // Our own mark: a chip with an upward arrow.
    QIcon icon;
    for (int size : {16, 32, 48, 64}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        const qreal s = size;
        p.setBrush(QColor(0x1f, 0x5f, 0x8b));
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(s * 0.12, s * 0.12, s * 0.76, s * 0.76), s * 0.12, s * 0.12);
        p.setBrush(QColor(0xf2, 0xb1, 0x34));
        QPolygonF arrow;
        arrow << QPointF(s * 0.5, s * 0.22) << QPointF(s * 0.74, s * 0.5) << QPointF(s * 0.58, s * 0.5)
              << QPointF(s * 0.58, s * 0.76) << QPointF(s * 0.42, s * 0.76) << QPointF(s * 0.42, s * 0.5)
              << QPointF(s * 0.26, s * 0.5);
        p.drawPolygon(arrow);
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

void CQtHost::BuildControls()
{
    for (int i = 0; i < kMainWindowControlCount; ++i) {
        const ControlDef& def = kMainWindowControls[i];
        const QRect rect(DluX(def.x), DluY(def.y), DluX(def.cx), DluY(def.cy));
        const int id = def.id;
        QWidget* w = nullptr;
        switch (def.kind) {
        case ControlKind::GroupBox:
            w = new QGroupBox(def.text, this);
            w->setGeometry(rect);
            w->lower();
            break;
        case ControlKind::Label:
            w = new QLabel(def.text, this);
            w->setGeometry(rect);
            break;
        case ControlKind::PushButton: {
            auto* b = new QPushButton(def.text, this);
            b->setAutoDefault(false);
            b->setDefault(false);
            b->setGeometry(rect);
            connect(b, &QPushButton::clicked, this, [this, id] {
                if (m_pSink)
                    m_pSink->OnControlEvent(id, ControlEvent::Clicked);
            });
            w = b;
            break;
        }
        case ControlKind::CheckBox: {
            auto* c = new QCheckBox(def.text, this);
            c->setGeometry(rect);
            connect(c, &QCheckBox::clicked, this, [this, id] {
                if (m_pSink)
                    m_pSink->OnControlEvent(id, ControlEvent::Clicked);
            });
            w = c;
            break;
        }
        case ControlKind::ComboBox: {
            auto* c = new CDropComboBox(this);
            c->setEditable(true);
            c->setInsertPolicy(QComboBox::NoInsert);
            // The table gives the height with the list open; the closed box is one text line.
            c->setGeometry(rect.x(), rect.y(), rect.width(), DluY(12));
            connect(c, &CDropComboBox::aboutToDropDown, this, [this, id] {
                if (m_pSink)
                    m_pSink->OnControlEvent(id, ControlEvent::DropDown);
            });
            connect(c, qOverload<int>(&QComboBox::activated), this, [this, id](int) {
                if (m_pSink)
                    m_pSink->OnControlEvent(id, ControlEvent::SelChange);
            });
            w = c;
            break;
        }
        case ControlKind::Edit: {
            auto* e = new QLineEdit(def.text, this);
            e->setReadOnly(true);
            e->setGeometry(rect);
            w = e;
            break;
        }
        case ControlKind::ListView: {
            auto* t = new QTreeWidget(this);
            t->setRootIsDecorated(false);
            t->setUniformRowHeights(true);
            t->setColumnCount(0);
            t->setGeometry(rect);
            t->setSelectionBehavior(QAbstractItemView::SelectRows);
            w = t;
            break;
        }
        case ControlKind::ProgressBar: {
            auto* p = new QProgressBar(this);
            p->setTextVisible(false);
            p->setGeometry(rect);
            w = p;
            break;
        }
        }
        w->setObjectName(QString("ctl%1").arg(id));
        w->setProperty("controlId", id);
        if (def.hidden)
            w->hide();
        m_controls[id] = w;
    }
}

QWidget* CQtHost::Control(int id) const
{
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

QTreeWidget* CQtHost::List(int id) const
{
    return qobject_cast<QTreeWidget*>(Control(id));
}

void CQtHost::SetTitle(const std::string& title)
{
    setWindowTitle(Q(title));
}
std::string CQtHost::GetTitle() const
{
    return windowTitle().toStdString();
}

void CQtHost::EndDialog()
{
    m_bEnding = true;
    done(0);
}

void CQtHost::reject()
{
    // Escape runs the window's close so that its clean-up always runs.
    if (m_pSink && !m_bEnding)
        m_pSink->OnClose();
    else
        QDialog::reject();
}

void CQtHost::closeEvent(QCloseEvent* event)
{
    if (m_pSink && !m_bEnding) {
        event->ignore();
        m_pSink->OnClose();
        return;
    }
    QDialog::closeEvent(event);
}

void CQtHost::keyPressEvent(QKeyEvent* event)
{
    // Enter does not end the dialog.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CQtHost::EnableControl(int id, bool enable)
{
    if (QWidget* w = Control(id))
        w->setEnabled(enable);
}
bool CQtHost::IsControlEnabled(int id) const
{
    QWidget* w = Control(id);
    return w && w->isEnabled();
}
void CQtHost::ShowControl(int id, bool show)
{
    if (QWidget* w = Control(id))
        w->setVisible(show);
}
bool CQtHost::IsControlVisible(int id) const
{
    QWidget* w = Control(id);
    return w && !w->isHidden();
}

void CQtHost::SetText(int id, const std::string& text)
{
    QWidget* w = Control(id);
    if (auto* l = qobject_cast<QLabel*>(w))
        l->setText(Q(text));
    else if (auto* b = qobject_cast<QAbstractButton*>(w))
        b->setText(Q(text));
    else if (auto* e = qobject_cast<QLineEdit*>(w))
        e->setText(Q(text));
    else if (auto* g = qobject_cast<QGroupBox*>(w))
        g->setTitle(Q(text));
    else if (auto* c = qobject_cast<QComboBox*>(w))
        c->setEditText(Q(text));
}

std::string CQtHost::GetText(int id) const
{
    QWidget* w = Control(id);
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text().toStdString();
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text().toStdString();
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text().toStdString();
    if (auto* g = qobject_cast<QGroupBox*>(w))
        return g->title().toStdString();
    if (auto* c = qobject_cast<QComboBox*>(w))
        return c->currentText().toStdString();
    return {};
}

void CQtHost::SetCheck(int id, bool checked)
{
    if (auto* c = qobject_cast<QCheckBox*>(Control(id)))
        c->setChecked(checked);
}
bool CQtHost::GetCheck(int id) const
{
    auto* c = qobject_cast<QCheckBox*>(Control(id));
    return c && c->isChecked();
}

void CQtHost::ComboAdd(int id, const std::string& text)
{
    auto* c = qobject_cast<QComboBox*>(Control(id));
    if (!c)
        return;
    if (id == IDC_COMBO_ALLOWED_SERIAL) { // the sorted list
        int at = 0;
        while (at < c->count() && c->itemText(at) < Q(text))
            ++at;
        c->insertItem(at, Q(text));
    } else {
        c->addItem(Q(text));
    }
    if (c->count() == 1 && c->currentIndex() == 0)
        c->setCurrentIndex(-1);
}
void CQtHost::ComboReset(int id)
{
    if (auto* c = qobject_cast<QComboBox*>(Control(id)))
        c->clear();
}
int CQtHost::ComboCount(int id) const
{
    auto* c = qobject_cast<QComboBox*>(Control(id));
    return c ? c->count() : 0;
}
void CQtHost::ComboSelect(int id, int index)
{
    if (auto* c = qobject_cast<QComboBox*>(Control(id)))
        c->setCurrentIndex(index >= 0 && index < c->count() ? index : -1);
}
int CQtHost::ComboSelected(int id) const
{
    auto* c = qobject_cast<QComboBox*>(Control(id));
    if (!c)
        return -1;
    const int index = c->currentIndex();
    // Text typed into the box that names no entry counts as no choice.
    if (index >= 0 && c->isEditable() && c->currentText() != c->itemText(index))
        return -1;
    return index;
}
std::string CQtHost::ComboItemText(int id, int index) const
{
    auto* c = qobject_cast<QComboBox*>(Control(id));
    return c ? c->itemText(index).toStdString() : std::string();
}

void CQtHost::SetProgressRange(int id, int low, int high)
{
    if (auto* p = qobject_cast<QProgressBar*>(Control(id)))
        p->setRange(low, high);
}
void CQtHost::SetProgressPos(int id, int pos)
{
    if (auto* p = qobject_cast<QProgressBar*>(Control(id)))
        p->setValue(std::clamp(pos, p->minimum(), p->maximum()));
}
int CQtHost::GetProgressPos(int id) const
{
    auto* p = qobject_cast<QProgressBar*>(Control(id));
    return p ? p->value() : 0;
}

void CQtHost::ListInsertColumn(int id, int index, const std::string& title, ListAlign align, int widthPx)
{
    QTreeWidget* t = List(id);
    if (!t)
        return;
    const int count = t->columnCount();
    QStringList labels;
    for (int i = 0; i < count; ++i)
        labels << t->headerItem()->text(i);
    const int at = std::clamp(index, 0, count);
    labels.insert(at, Q(title));
    m_columnAlign.insert(m_columnAlign.begin() + at, align);
    t->setColumnCount(count + 1);
    t->setHeaderLabels(labels);
    for (int i = 0; i <= count; ++i)
        t->headerItem()->setTextAlignment(i, ToQt(m_columnAlign[static_cast<std::size_t>(i)]));
    t->setColumnWidth(at, widthPx);
}

void CQtHost::ListSetRowHeight(int id, int heightPx)
{
    if (QTreeWidget* t = List(id))
        t->setItemDelegate(new CRowHeightDelegate(heightPx, t));
}

int CQtHost::ListInsertRow(int id, int row, const std::string& firstColumn)
{
    QTreeWidget* t = List(id);
    if (!t)
        return -1;
    auto* item = new QTreeWidgetItem;
    item->setText(0, Q(firstColumn));
    for (int c = 0; c < t->columnCount(); ++c)
        item->setTextAlignment(c, ToQt(m_columnAlign[static_cast<std::size_t>(c)]));
    const int at = std::clamp(row, 0, t->topLevelItemCount());
    t->insertTopLevelItem(at, item);
    return at;
}

void CQtHost::ListSetCell(int id, int row, int column, const std::string& text)
{
    QTreeWidget* t = List(id);
    if (!t)
        return;
    if (QTreeWidgetItem* item = t->topLevelItem(row))
        item->setText(column, Q(text));
}

std::string CQtHost::ListGetCell(int id, int row, int column) const
{
    QTreeWidget* t = List(id);
    if (!t)
        return {};
    QTreeWidgetItem* item = t->topLevelItem(row);
    return item ? item->text(column).toStdString() : std::string();
}

int CQtHost::ListRowCount(int id) const
{
    QTreeWidget* t = List(id);
    return t ? t->topLevelItemCount() : 0;
}

void CQtHost::ListDeleteAll(int id)
{
    if (QTreeWidget* t = List(id))
        t->clear();
}

void CQtHost::MessageBox(const std::string& text, MessageIcon icon)
{
    Trace("MessageBox: " + text);
    if (m_bScripted) {
        m_messages.push_back(text);
        return;
    }
    QMessageBox box(icon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::NoIcon, windowTitle(),
                    Q(text), QMessageBox::Ok, this);
    box.exec();
}

std::optional<std::string> CQtHost::OpenFileDialog(const FileDialogOptions& options)
{
    if (m_bScripted) {
        if (m_fileAnswers.empty())
            return std::nullopt;
        auto answer = std::move(m_fileAnswers.front());
        m_fileAnswers.pop_front();
        return answer;
    }
    // "A|*.a|B|*.b|" becomes Qt's "A (*.a);;B (*.b)".
    QStringList parts = Q(options.filter).split('|');
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        if (!parts[i].isEmpty())
            filters << QString("%1 (%2)").arg(parts[i], parts[i + 1]);
    QFileDialog dialog(this);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(Q(options.defaultExtension).remove("*."));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

void CQtHost::StartTimer(int id, int intervalMs)
{
    QTimer*& timer = m_timers[id];
    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, id] {
            if (m_pSink)
                m_pSink->OnTimer(id);
        });
    }
    timer->start(intervalMs);
}

void CQtHost::StopTimer(int id)
{
    auto it = m_timers.find(id);
    if (it != m_timers.end() && it->second)
        it->second->stop();
}

void CQtHost::Trace(const std::string& text)
{
    m_log.Write(text);
}

void CQtHost::Post(std::function<void()> task)
{
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

bool CQtHost::IsUiThread() const
{
    return QThread::currentThread() == thread();
}
