#include "view/FormView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QPixmap>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>

#include <atomic>
#include <cstring>

using namespace toolkit;

namespace view {

QColor ToQColor(TColor color, const QColor& systemText)
{
    if (color & 0x80000000u)
        return systemText;
    return QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
}

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }
std::string S(const QString& s) { return s.toUtf8().toStdString(); }
bool Is(const TControl& c, const char* kind) { return std::strcmp(c.ClassName(), kind) == 0; }

void SetTextColor(QWidget* w, TColor color)
{
    QPalette p = w->palette();
    QColor base = w->parentWidget() ? w->parentWidget()->palette().color(QPalette::WindowText) : QColor(Qt::black);
    p.setColor(QPalette::WindowText, ToQColor(color, base));
    p.setColor(QPalette::ButtonText, ToQColor(color, base));
    p.setColor(QPalette::Text, ToQColor(color, base));
    w->setPalette(p);
}

// Copies the whole state of a control into its widget. Runs on the GUI thread; signals
// are blocked so that copying the model never reads as the operator's input.
void Refresh(TControl& c, QWidget* w)
{
    QSignalBlocker block(w);
    w->setEnabled(c.Enabled());
    if (!Is(c, "TTabSheet") && !Is(c, "TForm"))
        w->setVisible(c.Visible());
    if (!Is(c, "TTabSheet") && !Is(c, "TForm") && c.Width() > 0)
        w->setGeometry(c.Left(), c.Top(), c.Width(), c.Height());
    const QString caption = Q(c.Caption());
    if (auto* box = qobject_cast<QGroupBox*>(w)) {
        box->setTitle(caption);
    } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
        check->setText(caption);
        check->setChecked(static_cast<TCheckBox&>(c).Checked());
        SetTextColor(w, c.Font()->Color());
    } else if (auto* radio = qobject_cast<QRadioButton*>(w)) {
        radio->setText(caption);
        // Radios of one group may all be unchecked in the model; Qt's auto-exclusive
        // buttons cannot show that, so exclusivity is left to the model.
        radio->setAutoExclusive(false);
        radio->setChecked(static_cast<TRadioButton&>(c).Checked());
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
        button->setText(caption);
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        auto& e = static_cast<TEdit&>(c);
        QString text = Q(e.Text());
        if (edit->text() != text)
            edit->setText(text);
        edit->setReadOnly(e.ReadOnly());
        edit->setMaxLength(e.MaxLength() > 0 ? e.MaxLength() : 32767);
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
        auto& m = static_cast<TComboBox&>(c);
        QStringList items;
        for (const auto& s : m.Items()->ToVector())
            items << Q(s);
        QStringList shown;
        for (int i = 0; i < combo->count(); ++i)
            shown << combo->itemText(i);
        if (shown != items) {
            combo->clear();
            combo->addItems(items);
        }
        combo->setCurrentIndex(m.ItemIndex());
    } else if (auto* list = qobject_cast<QListWidget*>(w)) {
        auto& m = static_cast<TListBox&>(c);
        list->setSelectionMode(m.MultiSelect() ? QAbstractItemView::ExtendedSelection
                                               : QAbstractItemView::SingleSelection);
        std::vector<std::string> items = m.Items()->ToVector();
        bool same = list->count() == static_cast<int>(items.size());
        for (int i = 0; same && i < list->count(); ++i)
            same = list->item(i)->text() == Q(items[i]);
        if (!same) {
            list->clear();
            for (const auto& s : items)
                list->addItem(Q(s));
        }
        for (int i = 0; i < list->count(); ++i)
            list->item(i)->setSelected(m.Selected(i));
    } else if (auto* bar = qobject_cast<QProgressBar*>(w)) {
        auto& g = static_cast<TGauge&>(c);
        bar->setRange(g.MinValue(), g.MaxValue());
        bar->setValue(g.Progress());
        QColor fore = ToQColor(g.ForeColor());
        bar->setStyleSheet(QString("QProgressBar { border: 1px solid gray; text-align: center; }"
                                   "QProgressBar::chunk { background-color: %1; }").arg(fore.name()));
    } else if (auto* slider = qobject_cast<QSlider*>(w)) {
        auto& t = static_cast<TTrackBar&>(c);
        slider->setRange(t.Min(), t.Max());
        slider->setValue(t.Position());
        slider->setTickInterval(t.Frequency());
    } else if (auto* spin = qobject_cast<QSpinBox*>(w)) {
        auto& u = static_cast<TUpDown&>(c);
        spin->setRange(u.Min(), u.Max());
        spin->setValue(u.Position());
    } else if (auto* tabs = qobject_cast<QTabWidget*>(w)) {
        auto& pc = static_cast<TPageControl&>(c);
        for (int i = 0; i < pc.PageCount() && i < tabs->count(); ++i) {
            tabs->setTabText(i, Q(pc.Pages(i)->Caption()));
            tabs->setTabVisible(i, pc.Pages(i)->TabVisible());
        }
        if (pc.ActivePageIndex() >= 0 && pc.ActivePageIndex() < tabs->count())
            tabs->setCurrentIndex(pc.ActivePageIndex());
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        if (Is(c, "TImage")) {
            QPixmap pixmap(Q(static_cast<TImage&>(c).Picture()));
            label->setPixmap(pixmap);
            label->setScaledContents(true);
        } else {
            label->setText(caption);
            SetTextColor(w, c.Font()->Color());
        }
    }
}

} // namespace

FormView::FormView(TForm& form, QWidget* parent) : QWidget(parent), form_(form), alive_(std::make_shared<bool>(true))
{
    setObjectName(Q(form.Name()));
    resize(form.Width() > 0 ? form.Width() : 640, form.Height() > 0 ? form.Height() : 480);
    build(form, this);
    QPointer<FormView> self(this);
    std::weak_ptr<bool> alive = alive_;
    formObserver_ = form.AddObserver([self, alive](TControl& c, Prop what) {
        if (what != Prop::Caption || alive.expired())
            return;
        QString caption = Q(c.Caption());
        QMetaObject::invokeMethod(
            self.data(), [self, caption] { if (self) emit self->captionChanged(caption); }, Qt::QueuedConnection);
    });
}

FormView::~FormView()
{
    *alive_ = false;
    alive_.reset();
    for (auto& [control, id] : observers_)
        control->RemoveObserver(id);
    form_.RemoveObserver(formObserver_);
}

QWidget* FormView::widgetFor(const std::string& name) const
{
    if (name == form_.Name())
        return const_cast<FormView*>(this);
    return findChild<QWidget*>(Q(name));
}

void FormView::build(TWinControl& parent, QWidget* parentWidget)
{
    for (TControl* child : parent.Controls()) {
        QWidget* w = make(*child, parentWidget);
        if (!w)
            continue;
        bind(*child, w);
        if (auto* win = dynamic_cast<TWinControl*>(child))
            build(*win, w);
    }
}

QWidget* FormView::make(TControl& c, QWidget* parentWidget)
{
    QWidget* w = nullptr;
    if (auto* tabs = qobject_cast<QTabWidget*>(parentWidget)) {
        // A page of a page control.
        w = new QWidget;
        tabs->addTab(w, Q(c.Caption()));
    } else if (Is(c, "TPageControl")) {
        auto* tabs = new QTabWidget(parentWidget);
        QObject::connect(tabs, &QTabWidget::currentChanged, tabs, [&c](int index) {
            auto& model = static_cast<TPageControl&>(c);
            if (index >= 0 && model.ActivePageIndex() != index) {
                model.SetActivePageIndex(index);
                if (model.OnChange)
                    model.OnChange(&model);
            }
        });
        w = tabs;
    } else if (Is(c, "TGroupBox")) {
        w = new QGroupBox(parentWidget);
    } else if (Is(c, "TPanel")) {
        auto* f = new QFrame(parentWidget);
        f->setFrameShape(QFrame::StyledPanel);
        w = f;
    } else if (Is(c, "TCheckBox")) {
        auto* b = new QCheckBox(parentWidget);
        QObject::connect(b, &QCheckBox::clicked, b, [&c] { c.UserClick(); });
        w = b;
    } else if (Is(c, "TRadioButton")) {
        auto* b = new QRadioButton(parentWidget);
        QObject::connect(b, &QRadioButton::clicked, b, [&c] { c.UserClick(); });
        w = b;
    } else if (Is(c, "TButton")) {
        auto* b = new QPushButton(parentWidget);
        QObject::connect(b, &QPushButton::clicked, b, [&c] { c.UserClick(); });
        w = b;
    } else if (Is(c, "TEdit")) {
        auto* e = new QLineEdit(parentWidget);
        QObject::connect(e, &QLineEdit::textEdited, e, [&c](const QString& t) { static_cast<TEdit&>(c).UserSetText(S(t)); });
        w = e;
    } else if (Is(c, "TComboBox")) {
        auto* b = new QComboBox(parentWidget);
        QObject::connect(b, QOverload<int>::of(&QComboBox::activated), b,
                         [&c](int i) { static_cast<TComboBox&>(c).UserSelect(i); });
        w = b;
    } else if (Is(c, "TListBox")) {
        auto* l = new QListWidget(parentWidget);
        QObject::connect(l, &QListWidget::itemSelectionChanged, l, [&c, l] {
            auto& m = static_cast<TListBox&>(c);
            for (int i = 0; i < l->count(); ++i)
                if (m.Selected(i) != l->item(i)->isSelected())
                    m.SetSelected(i, l->item(i)->isSelected());
        });
        w = l;
    } else if (Is(c, "TGauge")) {
        auto* bar = new QProgressBar(parentWidget);
        bar->setTextVisible(true);
        w = bar;
    } else if (Is(c, "TTrackBar")) {
        auto* s = new QSlider(Qt::Horizontal, parentWidget);
        s->setTickPosition(QSlider::TicksBelow);
        QObject::connect(s, &QSlider::valueChanged, s, [&c](int v) { static_cast<TTrackBar&>(c).SetPosition(v); });
        w = s;
    } else if (Is(c, "TUpDown")) {
        auto* s = new QSpinBox(parentWidget);
        QObject::connect(s, QOverload<int>::of(&QSpinBox::valueChanged), s, [&c](int v) {
            auto& u = static_cast<TUpDown&>(c);
            if (v != u.Position())
                u.UserStep(v - u.Position());
        });
        w = s;
    } else if (Is(c, "TImage")) {
        w = new QLabel(parentWidget);
    } else if (Is(c, "TLabel") || Is(c, "TStaticText")) {
        auto* l = new QLabel(parentWidget);
        l->setTextFormat(Qt::PlainText);
        w = l;
    } else {
        // An unknown kind (a nested form, ...) still gets a plain container.
        w = new QWidget(parentWidget);
    }
    w->setObjectName(Q(c.Name()));
    return w;
}

void FormView::bind(TControl& c, QWidget* w)
{
    Refresh(c, w);
    QPointer<QWidget> target(w);
    std::weak_ptr<bool> alive = alive_;
    // One refresh waits in the queue per control at most: a gauge moved a thousand times
    // by a worker costs one repaint, and the refresh reads the latest state anyway.
    auto pending = std::make_shared<std::atomic<bool>>(false);
    ObserverId id = c.AddObserver([target, alive, pending, &c](TControl&, Prop) {
        if (alive.expired() || pending->exchange(true))
            return;
        QMetaObject::invokeMethod(
            target.data(),
            [target, alive, pending, &c] {
                pending->store(false);
                if (target && !alive.expired())
                    Refresh(c, target.data());
            },
            Qt::QueuedConnection);
    });
    observers_.emplace_back(&c, id);
}

void FormView::apply(TControl& c, QWidget* w, Prop) { Refresh(c, w); }

} // namespace view
