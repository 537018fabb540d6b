#include "app/qt/QtHost.h"

#include "window/ControlIds.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QThread>
#include <QTimer>
#include <QToolTip>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QXmlStreamReader>

#include <algorithm>

namespace {

// How a control follows a window larger than the table: the list, the
// progress bars and the frames take the extra room, the progress rows move
// down with their frame and the percentages stay at its right edge.
struct Anchor {
    int id;
    bool growX, growY, moveX, moveY;
};
constexpr Anchor kAnchors[] = {
    {IDC_GROUP_MENU, true, false, false, false},
    {IDC_GROUP_ITEM, true, false, false, false},
    {IDC_GROUP_INFO, true, true, false, false},
    {IDC_LIST_PART, true, true, false, false},
    {IDC_GROUP_PROCESS, true, false, false, true},
    {IDC_STATIC_BOOT, false, false, false, true},
    {IDC_STATIC_DATA, false, false, false, true},
    {IDC_STATIC_ERASE, false, false, false, true},
    {IDC_STATIC_PROGRAM, false, false, false, true},
    {IDC_STATIC_VERIFY, false, false, false, true},
    {IDC_PROGRESS_BOOT, true, false, false, true},
    {IDC_PROGRESS_DATA, true, false, false, true},
    {IDC_PROGRESS_ERASE, true, false, false, true},
    {IDC_PROGRESS_PROGRAM, true, false, false, true},
    {IDC_PROGRESS_VERIFY, true, false, false, true},
    {IDC_STATIC_BOOT_PERCENT, false, false, true, true},
    {IDC_STATIC_DATA_PERCENT, false, false, true, true},
    {IDC_STATIC_ERASE_PERCENT, false, false, true, true},
    {IDC_STATIC_PROGRAM_PERCENT, false, false, true, true},
    {IDC_STATIC_VERIFY_PERCENT, false, false, true, true},
};

const Anchor* FindAnchor(int id)
{
    for (const Anchor& a : kAnchors)
        if (a.id == id)
            return &a;
    return nullptr;
}

// The list's pixel sizes are for a 96-dpi screen.
int ScaledPx(const QWidget* w, int px)
{
    return qRound(px * w->logicalDpiX() / 96.0);
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

// Rows of a fixed height, and the whole text of a cell as its tooltip when
// the column is too narrow to show it.
class CListDelegate : public QStyledItemDelegate {
public:
    explicit CListDelegate(QObject* parent) : QStyledItemDelegate(parent) {}
    void SetRowHeight(int height) { m_height = height; }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (m_height > 0)
            size.setHeight(m_height);
        return size;
    }
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override
    {
        if (event->type() != QEvent::ToolTip || !index.isValid())
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        const QString text = index.data(Qt::DisplayRole).toString();
        const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
        if (view->fontMetrics().horizontalAdvance(text) > option.rect.width() - 2 * margin)
            QToolTip::showText(event->globalPos(), text, view);
        else
            QToolTip::hideText();
        return true;
    }

private:
    int m_height = 0;
};

// The one local file a drag carries, or empty.
QString DroppedFile(const QMimeData* mime)
{
    if (mime == nullptr || !mime->hasUrls() || mime->urls().size() != 1 ||
        !mime->urls().front().isLocalFile())
        return {};
    return mime->urls().front().toLocalFile();
}

// Colour of an SVG fill attribute ("#rrggbb" or a name).
QColor SvgColor(const QXmlStreamAttributes& attributes, const QColor& inherited)
{
    const QString fill = attributes.value(QStringLiteral("fill")).toString();
    if (fill.isEmpty())
        return inherited;
    if (fill == QStringLiteral("none"))
        return Qt::transparent;
    return QColor(fill);
}

// Draws the launcher's SVG (rectangles, rounded or not, and polygons filled
// with a colour, grouped or not: all it holds) at size x size pixels.
QPixmap DrawLauncherSvg(const QByteArray& svg, int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    QXmlStreamReader xml(svg);
    std::vector<QColor> fills{Qt::black};
    auto number = [](const QXmlStreamAttributes& a, const char* name) {
        return a.value(QLatin1String(name)).toDouble();
    };
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::EndElement && xml.name() == QStringLiteral("g")) {
            if (fills.size() > 1)
                fills.pop_back();
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        const QXmlStreamAttributes a = xml.attributes();
        if (xml.name() == QStringLiteral("svg")) {
            const QStringList box =
                a.value(QStringLiteral("viewBox")).toString().split(' ', Qt::SkipEmptyParts);
            const double width = box.size() == 4 ? box[2].toDouble() : number(a, "width");
            if (width > 0)
                p.scale(size / width, size / width);
        } else if (xml.name() == QStringLiteral("g")) {
            fills.push_back(SvgColor(a, fills.back()));
        } else if (xml.name() == QStringLiteral("rect")) {
            p.setBrush(SvgColor(a, fills.back()));
            const QRectF r(number(a, "x"), number(a, "y"), number(a, "width"), number(a, "height"));
            p.drawRoundedRect(r, number(a, "rx"),
                              a.hasAttribute(QStringLiteral("ry")) ? number(a, "ry") : number(a, "rx"));
        } else if (xml.name() == QStringLiteral("polygon")) {
            p.setBrush(SvgColor(a, fills.back()));
            QPolygonF polygon;
            const QStringList points =
                a.value(QStringLiteral("points"))
                    .toString()
                    .split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
            for (int i = 0; i + 1 < points.size(); i += 2)
                polygon << QPointF(points[i].toDouble(), points[i + 1].toDouble());
            p.drawPolygon(polygon);
        }
    }
    return pm;
}

QString Q(const std::string& s)
{
    return QString::fromStdString(s);
}

QWidget* MakeReadOnlyEdit(const char* text, QWidget* parent)
{
    auto* e = new QLineEdit(text, parent);
    e->setReadOnly(true);
    e->setAcceptDrops(false);
    return e;
}

QWidget* MakeListView(QWidget* parent)
{
    auto* t = new QTreeWidget(parent);
    t->setRootIsDecorated(false);
    t->setUniformRowHeights(true);
    t->setColumnCount(0);
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setItemDelegate(new CListDelegate(t));
    return t;
}

QWidget* MakeProgressBar(QWidget* parent)
{
    auto* p = new QProgressBar(parent);
    p->setTextVisible(false);
    return p;
}

} // namespace

void CDropComboBox::showPopup()
{
    emit aboutToDropDown();
    int widest = width();
    const QFontMetrics fm(view()->font());
    const int chrome = 2 * view()->frameWidth() + style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                       fm.averageCharWidth() * 2;
    for (int i = 0; i < count(); ++i)
        widest = std::max(widest, fm.horizontalAdvance(itemText(i)) + chrome);
    view()->setMinimumWidth(widest);
    QComboBox::showPopup();
}

CQtHost::CQtHost(CTraceLog& log, QWidget* parent) : QDialog(parent), m_log(log)
{
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(AppIcon());
    setAcceptDrops(true);
    // Dialog units of the font the window draws with, measured as the
    // platform's dialogs measure theirs: the average width of the 52 letters
    // and the height of a line.
    const QFontMetricsF fm(font());
    m_nBaseX = std::max(
        1,
        qRound(fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
               52.0));
    m_nBaseY = std::max(1, QFontMetrics(font()).height());

    // The controls sit on a page of at least the table's size; a smaller
    // window scrolls it, so that every control stays within reach.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_pScroll = new QScrollArea(this);
    m_pScroll->setFrameShape(QFrame::NoFrame);
    m_pScroll->setWidgetResizable(true);
    m_pPage = new QWidget;
    m_pPage->setMinimumSize(TableSize());
    m_pPage->installEventFilter(this);
    m_pScroll->setWidget(m_pPage);
    layout->addWidget(m_pScroll);
    BuildControls();

    QSize size = TableSize();
    if (const QScreen* s = screen()) {
        // Room for the title bar and the frame.
        const QSize room = s->availableGeometry().size() - QSize(16, 48);
        size = size.boundedTo(room);
    }
    setMinimumSize(QSize(DluX(120), DluY(80)).boundedTo(size));
    resize(size);
    LayoutControls();
}

CQtHost::~CQtHost() = default;

int CQtHost::DluX(int x) const
{
    return x * m_nBaseX / 4;
}

int CQtHost::DluY(int y) const
{
    return y * m_nBaseY / 8;
}

QSize CQtHost::TableSize() const
{
    return {DluX(kDialogWidthDlu), DluY(kDialogHeightDlu)};
}

QIcon CQtHost::AppIcon()
{
    // The launcher's drawing, so that the window and the menu show one mark.
    QFile file(QStringLiteral(":/velunda.svg"));
    const QByteArray svg = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    QIcon icon;
    if (svg.isEmpty())
        return icon;
    for (int size : {16, 24, 32, 48, 64, 128})
        icon.addPixmap(DrawLauncherSvg(svg, size));
    return icon;
}

void CQtHost::BuildControls()
{
    for (int i = 0; i < kMainWindowControlCount; ++i) {
        const ControlDef& def = kMainWindowControls[i];
        QWidget* w = MakeControl(def);
        w->setObjectName(QString("ctl%1").arg(def.id));
        w->setProperty("controlId", def.id);
        if (def.hidden)
            w->hide();
        m_controls[def.id] = w;
    }
}

QWidget* CQtHost::MakeControl(const ControlDef& def)
{
    switch (def.kind) {
    case ControlKind::GroupBox: {
        auto* g = new QGroupBox(def.text, m_pPage);
        g->lower();
        return g;
    }
    case ControlKind::Label:
        return new QLabel(def.text, m_pPage);
    case ControlKind::PushButton: {
        auto* b = new QPushButton(def.text, m_pPage);
        b->setAutoDefault(false);
        b->setDefault(false);
        connect(b, &QPushButton::clicked, this, SinkCall(def.id, ControlEvent::Clicked));
        return b;
    }
    case ControlKind::CheckBox: {
        auto* c = new QCheckBox(def.text, m_pPage);
        connect(c, &QCheckBox::clicked, this, SinkCall(def.id, ControlEvent::Clicked));
        return c;
    }
    case ControlKind::ComboBox:
        return MakeComboBox(def.id);
    case ControlKind::Edit:
        return MakeReadOnlyEdit(def.text, m_pPage);
    case ControlKind::ListView:
        return MakeListView(m_pPage);
    case ControlKind::ProgressBar:
        return MakeProgressBar(m_pPage);
    }
    return nullptr;
}

QWidget* CQtHost::MakeComboBox(int id)
{
    auto* c = new CDropComboBox(m_pPage);
    c->setEditable(true);
    c->setInsertPolicy(QComboBox::NoInsert);
    c->lineEdit()->setAcceptDrops(false);
    connect(c, &CDropComboBox::aboutToDropDown, this, SinkCall(id, ControlEvent::DropDown));
    connect(c, qOverload<int>(&QComboBox::activated), this, SinkCall(id, ControlEvent::SelChange));
    // The closed box may be narrower than a device path.
    connect(c, &QComboBox::currentTextChanged, c, &QWidget::setToolTip);
    return c;
}

std::function<void()> CQtHost::SinkCall(int id, ControlEvent event)
{
    return [this, id, event] {
        if (m_pSink)
            m_pSink->OnControlEvent(id, event);
    };
}

void CQtHost::LayoutControls()
{
    const QSize table = TableSize();
    const int dx = std::max(0, m_pPage->width() - table.width());
    const int dy = std::max(0, m_pPage->height() - table.height());
    std::map<int, QRect> rects;
    for (int i = 0; i < kMainWindowControlCount; ++i) {
        const ControlDef& def = kMainWindowControls[i];
        QWidget* w = Control(def.id);
        QRect r(DluX(def.x), DluY(def.y), DluX(def.cx), DluY(def.cy));
        if (def.kind == ControlKind::ComboBox) // the table gives the height with the list open
            r.setHeight(std::max(DluY(12), w->sizeHint().height()));
        if (def.kind == ControlKind::Label || def.kind == ControlKind::CheckBox)
            r.setWidth(std::max(r.width(), w->sizeHint().width()));
        rects[def.id] = r;
    }
    // A caption wider than the table's room keeps a small gap to the control
    // after it: a value label moves right, a field stays and the caption moves
    // left instead (the room before a field's caption is free).
    const int gap = DluX(2);
    for (int i = 0; i < kMainWindowControlCount; ++i) {
        const ControlDef& def = kMainWindowControls[i];
        if (def.kind != ControlKind::Label || def.hidden)
            continue;
        QRect& r = rects[def.id];
        for (int j = 0; j < kMainWindowControlCount; ++j) {
            const ControlDef& other = kMainWindowControls[j];
            QRect& o = rects[other.id];
            if (j == i || other.hidden || other.kind == ControlKind::GroupBox || o.x() <= r.x() ||
                !o.intersects(r.adjusted(0, 0, gap, 0)))
                continue;
            if (other.kind == ControlKind::Label)
                o.translate(r.right() + 1 + gap - o.x(), 0);
            else
                r.translate(o.x() - gap - r.right() - 1, 0);
        }
    }
    // A button too narrow for its caption widens to the left and pushes the
    // buttons before it on its row along, so the row keeps its right edge.
    std::map<int, int> rowShift; // by row top, px
    for (int i = kMainWindowControlCount - 1; i >= 0; --i) {
        const ControlDef& def = kMainWindowControls[i];
        if (def.kind != ControlKind::PushButton)
            continue;
        QWidget* w = Control(def.id);
        QRect& r = rects[def.id];
        int& shift = rowShift[r.y()];
        r.translate(-shift, 0);
        const auto* b = qobject_cast<QPushButton*>(w);
        const int need = b->fontMetrics().horizontalAdvance(b->text()) +
                         2 * b->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, b) + 2;
        if (need > r.width()) {
            shift += need - r.width();
            r.setLeft(r.right() + 1 - need);
        }
    }
    for (int i = 0; i < kMainWindowControlCount; ++i) {
        const ControlDef& def = kMainWindowControls[i];
        QRect r = rects[def.id];
        if (const Anchor* a = FindAnchor(def.id)) {
            r.translate(a->moveX ? dx : 0, a->moveY ? dy : 0);
            r.setSize(r.size() + QSize(a->growX ? dx : 0, a->growY ? dy : 0));
        }
        Control(def.id)->setGeometry(r);
    }
}

bool CQtHost::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_pPage && event->type() == QEvent::Resize)
        LayoutControls();
    return QDialog::eventFilter(watched, event);
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
    // Escape is the window's close command, so that its clean-up always runs
    // and a run is never ended by one key.
    if (m_pSink && !m_bEnding)
        m_pSink->OnCloseRequest();
    else
        QDialog::reject();
}

void CQtHost::closeEvent(QCloseEvent* event)
{
    if (m_pSink && !m_bEnding) {
        event->ignore();
        m_pSink->OnCloseRequest();
        return;
    }
    QDialog::closeEvent(event);
}

void CQtHost::OnQuitSignal()
{
    m_bQuitting = true;
    if (m_nModalDepth > 0) {
        // A box is open: end it, and close once its loop has returned, so
        // that the close does not run inside a hand-off it would wait for.
        if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget()); modal && modal != this)
            modal->reject();
        QTimer::singleShot(10, this, &CQtHost::OnQuitSignal);
        return;
    }
    if (m_pSink && !m_bEnding)
        m_pSink->OnClose();
    else if (!m_bEnding)
        EndDialog();
}

void CQtHost::dragEnterEvent(QDragEnterEvent* event)
{
    if (!DroppedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void CQtHost::dropEvent(QDropEvent* event)
{
    const QString path = DroppedFile(event->mimeData());
    if (path.isEmpty() || !m_pSink)
        return;
    event->acceptProposedAction();
    // Loaded after the drop has ended: a message box must not hold the drag source.
    QMetaObject::invokeMethod(
        this,
        [this, path] {
            if (m_pSink)
                m_pSink->OnOpenFile(path.toStdString());
        },
        Qt::QueuedConnection);
}

int CQtHost::ExecModal(QDialog& dialog)
{
    ++m_nModalDepth;
    const int result = dialog.exec();
    --m_nModalDepth;
    return result;
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
    // A caption is drawn whole: a longer one widens its control.
    if (qobject_cast<QPushButton*>(w) ||
        ((qobject_cast<QLabel*>(w) || qobject_cast<QCheckBox*>(w)) && w->sizeHint().width() > w->width()))
        LayoutControls();
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
    t->setColumnWidth(at, ScaledPx(t, widthPx));
}

void CQtHost::ListSetRowHeight(int id, int heightPx)
{
    QTreeWidget* t = List(id);
    if (!t)
        return;
    if (auto* delegate = dynamic_cast<CListDelegate*>(t->itemDelegate())) {
        // Never lower than a line of the list's font.
        delegate->SetRowHeight(std::max(ScaledPx(t, heightPx), t->fontMetrics().height() + 4));
        t->doItemsLayout();
    }
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
    QTreeWidgetItem* item = t->topLevelItem(row);
    if (!item)
        return;
    item->setText(column, Q(text));
    // A result (the last column) is brought into view, in the list and in
    // the window when the window is scrolled.
    if (column == t->columnCount() - 1 && !text.empty()) {
        const QModelIndex index = t->model()->index(row, column);
        t->scrollTo(index);
        const QRect cell = t->visualRect(index);
        const QPoint left = t->viewport()->mapTo(m_pPage, cell.topLeft());
        const QPoint right = t->viewport()->mapTo(m_pPage, cell.topRight());
        QScrollBar* bar = m_pScroll->horizontalScrollBar();
        const int view = m_pScroll->viewport()->width();
        if (right.x() > bar->value() + view)
            bar->setValue(right.x() - view + 1);
        if (left.x() < bar->value())
            bar->setValue(left.x());
    }
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
    if (m_bQuitting)
        return;
    QMessageBox box(icon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::NoIcon, windowTitle(),
                    Q(text), QMessageBox::Ok, this);
    ExecModal(box);
}

bool CQtHost::AskYesNo(const std::string& text)
{
    Trace("Question: " + text);
    if (m_bScripted) {
        m_questions.push_back(text);
        return m_yesNoAnswers.Take(false);
    }
    if (m_bQuitting)
        return false;
    QMessageBox box(QMessageBox::Warning, windowTitle(), Q(text), QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return ExecModal(box) == QMessageBox::Yes;
}

std::optional<std::string> CQtHost::OpenFileDialog(const FileDialogOptions& options)
{
    if (m_bScripted) {
        m_fileDialogs.push_back(options);
        return m_fileAnswers.Take(std::nullopt);
    }
    if (m_bQuitting)
        return std::nullopt;
    // "Name (*.a *.b)|*.a;*.b|" becomes Qt's "Name (*.a *.b)": Qt reads the
    // patterns from the parentheses of the text shown.
    const QStringList parts = Q(options.filter).split('|');
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty())
            continue;
        filters << (parts[i].contains('(')
                        ? parts[i]
                        : QString("%1 (%2)").arg(parts[i], QString(parts[i + 1]).replace(';', ' ')));
    }
    QFileDialog dialog(this);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(Q(options.defaultExtension).remove("*."));
    if (!options.initialDir.empty())
        dialog.setDirectory(Q(options.initialDir));
    if (ExecModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty())
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
