#include "view/FormView.h"

#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"

#include <QApplication>
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
#include <exception>

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

// A handler's exception is shown with the program's title and a stop icon; the window
// stays, as the class library's own exception box left it.
template <class F>
void Guard(F fn)
{
    try {
        fn();
    } catch (const std::exception& e) {
        TheDialogs().MessageBox(e.what(), Application ? Application->Title() : std::string(), MB_OK | MB_ICONERROR);
    }
}

void SetTextColor(QWidget* w, TColor color)
{
    // Only the active and inactive groups take the control's colour; a disabled control
    // keeps the style's grey and gets its colour back when it is enabled again.
    const QPalette standard = QApplication::palette(w);
    QPalette p = w->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text}) {
            QColor base = standard.color(group, role);
            p.setColor(group, role, ToQColor(color, base));
        }
    }
    w->setPalette(p);
}

// One binder per control kind: how its widget is made (with the operator's input wired
// back into the model) and how the model's state is copied into it.
struct Binder {
    const char* kind;
    QWidget* (*create)(TControl& c, QWidget* parent);
    void (*refresh)(TControl& c, QWidget* w);
};

void RefreshText(TControl& c, QWidget* w)
{
    auto* label = static_cast<QLabel*>(w);
    label->setText(Q(c.Caption()));
    SetTextColor(w, c.Font()->Color());
}

const Binder kBinders[] = {
    {"TPageControl",
     [](TControl& c, QWidget* parent) -> QWidget* {
         auto* tabs = new QTabWidget(parent);
         QObject::connect(tabs, &QTabWidget::currentChanged, tabs, [&c](int index) {
             auto& model = static_cast<TPageControl&>(c);
             if (index >= 0 && model.ActivePageIndex() != index) {
                 model.SetActivePageIndex(index);
                 if (model.OnChange)
                     model.OnChange(&model);
             }
         });
         return tabs;
     },
     [](TControl& c, QWidget* w) {
         auto& pc = static_cast<TPageControl&>(c);
         auto* tabs = static_cast<QTabWidget*>(w);
         for (int i = 0; i < pc.PageCount() && i < tabs->count(); ++i) {
             tabs->setTabText(i, Q(pc.Pages(i)->Caption()));
             tabs->setTabVisible(i, pc.Pages(i)->TabVisible());
         }
         if (pc.ActivePageIndex() >= 0 && pc.ActivePageIndex() < tabs->count())
             tabs->setCurrentIndex(pc.ActivePageIndex());
     }},
    {"TTabSheet",
     [](TControl& c, QWidget* parent) -> QWidget* {
         auto* page = new QWidget;
         if (auto* tabs = qobject_cast<QTabWidget*>(parent))
             tabs->addTab(page, Q(c.Caption()));
         else
             page->setParent(parent);
         return page;
     },
     [](TControl& c, QWidget* w) {
         if (auto* tabs = qobject_cast<QTabWidget*>(w->parentWidget() ? w->parentWidget()->parentWidget() : nullptr)) {
             int i = tabs->indexOf(w);
             if (i >= 0)
                 tabs->setTabText(i, Q(c.Caption()));
         }
     }},
    {"TGroupBox", [](TControl&, QWidget* parent) -> QWidget* { return new QGroupBox(parent); },
     [](TControl& c, QWidget* w) { static_cast<QGroupBox*>(w)->setTitle(Q(c.Caption())); }},
    {"TPanel",
     [](TControl&, QWidget* parent) -> QWidget* {
         auto* f = new QFrame(parent);
         f->setFrameShape(QFrame::StyledPanel);
         return f;
     },
     [](TControl&, QWidget*) {}},
    {"TCheckBox",
     [](TControl& c, QWidget* parent) -> QWidget* {
         auto* b = new QCheckBox(parent);
         QObject::connect(b, &QCheckBox::clicked, b, [&c] { Guard([&] { c.UserClick(); }); });
         return b;
     },
     [](TControl& c, QWidget* w) {
         auto* b = static_cast<QCheckBox*>(w);
         b->setText(Q(c.Caption()));
         b->setChecked(static_cast<TCheckBox&>(c).Checked());
         SetTextColor(w, c.Font()->Color());
     }},
    {"TRadioButton",
     [](TControl& c, QWidget* parent) -> QWidget* {
         auto* b = new QRadioButton(parent);
         // The model keeps the group exclusive; it may also leave every radio unchecked,
         // which Qt's auto-exclusive buttons cannot show.
         b->setAutoExclusive(false);
         QObject::connect(b, &QRadioButton::clicked, b, [&c] { Guard([&] { c.UserClick(); }); });
         return b;
     },
     [](TControl& c, QWidget* w) {
         auto* b = static_cast<QRadioButton*>(w);
         b->setText(Q(c.Caption()));
         b->setChecked(static_cast<TRadioButton&>(c).Checked());
     }},
    {"TButton",
     [](TControl& c, QWidget* parent) -> QWidget* {
         auto* b = new QPushButton(parent);
         QObject::connect(b, &QPushButton::clicked, b, [&c] { Guard([&] { c.UserClick(); }); });
         return b;
     },
     [](TControl& c, QWidget* w) { static_cast<QPushButton*>(w)->setText(Q(c.Caption())); }},
    {"TEdit",
     [](TControl& c, QWidget* parent) -> QWidget* {
         auto* e = new QLineEdit(parent);
         QObject::connect(e, &QLineEdit::textEdited, e, [&c](const QString& t) {
             Guard([&] { static_cast<TEdit&>(c).UserSetText(S(t)); });
         });
         return e;
     },
     [](TControl& c, QWidget* w) {
         auto& m = static_cast<TEdit&>(c);
         auto* e = static_cast<QLineEdit*>(w);
         QString text = Q(m.Text());
         if (e->text() != text)
             e->setText(text);
         e->setReadOnly(m.ReadOnly());
         e->setMaxLength(m.MaxLength() > 0 ? m.MaxLength() : 32767);
     }},
    {"TComboBox",
     [](TControl& c, QWidget* parent) -> QWidget* {
         auto* b = new QComboBox(parent);
         QObject::connect(b, QOverload<int>::of(&QComboBox::activated), b,
                          [&c](int i) { Guard([&] { static_cast<TComboBox&>(c).UserSelect(i); }); });
         return b;
     },
     [](TControl& c, QWidget* w) {
         auto& m = static_cast<TComboBox&>(c);
         auto* b = static_cast<QComboBox*>(w);
         QStringList items;
         for (const auto& s : m.Items()->ToVector())
             items << Q(s);
         QStringList shown;
         for (int i = 0; i < b->count(); ++i)
             shown << b->itemText(i);
         if (shown != items) {
             b->clear();
             b->addItems(items);
         }
         b->setCurrentIndex(m.ItemIndex());
     }},
    {"TListBox",
     [](TControl& c, QWidget* parent) -> QWidget* {
         auto* l = new QListWidget(parent);
         QObject::connect(l, &QListWidget::itemSelectionChanged, l, [&c, l] {
             auto& m = static_cast<TListBox&>(c);
             for (int i = 0; i < l->count(); ++i)
                 if (m.Selected(i) != l->item(i)->isSelected())
                     m.SetSelected(i, l->item(i)->isSelected());
         });
         return l;
     },
     [](TControl& c, QWidget* w) {
         auto& m = static_cast<TListBox&>(c);
         auto* l = static_cast<QListWidget*>(w);
         l->setSelectionMode(m.MultiSelect() ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection);
         std::vector<std::string> items = m.Items()->ToVector();
         bool same = l->count() == static_cast<int>(items.size());
         for (int i = 0; same && i < l->count(); ++i)
             same = l->item(i)->text() == Q(items[i]);
         if (!same) {
             l->clear();
             for (const auto& s : items)
                 l->addItem(Q(s));
         }
         for (int i = 0; i < l->count(); ++i)
             l->item(i)->setSelected(m.Selected(i));
     }},
    {"TGauge",
     [](TControl&, QWidget* parent) -> QWidget* {
         auto* bar = new QProgressBar(parent);
         bar->setTextVisible(true);
         return bar;
     },
     [](TControl& c, QWidget* w) {
         auto& g = static_cast<TGauge&>(c);
         auto* bar = static_cast<QProgressBar*>(w);
         bar->setRange(g.MinValue(), g.MaxValue());
         bar->setValue(g.Progress());
         QString style = QString("QProgressBar { border: 1px solid gray; text-align: center; }"
                                 "QProgressBar::chunk { background-color: %1; }")
                             .arg(ToQColor(g.ForeColor()).name());
         if (bar->styleSheet() != style)
             bar->setStyleSheet(style);
     }},
    {"TTrackBar",
     [](TControl& c, QWidget* parent) -> QWidget* {
         auto* s = new QSlider(Qt::Horizontal, parent);
         s->setTickPosition(QSlider::TicksBelow);
         QObject::connect(s, &QSlider::valueChanged, s,
                          [&c](int v) { Guard([&] { static_cast<TTrackBar&>(c).SetPosition(v); }); });
         return s;
     },
     [](TControl& c, QWidget* w) {
         auto& t = static_cast<TTrackBar&>(c);
         auto* s = static_cast<QSlider*>(w);
         s->setRange(t.Min(), t.Max());
         s->setValue(t.Position());
         s->setTickInterval(t.Frequency());
     }},
    {"TUpDown",
     [](TControl& c, QWidget* parent) -> QWidget* {
         auto* s = new QSpinBox(parent);
         QObject::connect(s, QOverload<int>::of(&QSpinBox::valueChanged), s, [&c](int v) {
             auto& u = static_cast<TUpDown&>(c);
             if (v != u.Position())
                 Guard([&] { u.UserStep(v - u.Position()); });
         });
         return s;
     },
     [](TControl& c, QWidget* w) {
         auto& u = static_cast<TUpDown&>(c);
         auto* s = static_cast<QSpinBox*>(w);
         s->setRange(u.Min(), u.Max());
         s->setValue(u.Position());
     }},
    {"TImage", [](TControl&, QWidget* parent) -> QWidget* { return new QLabel(parent); },
     [](TControl& c, QWidget* w) {
         auto* label = static_cast<QLabel*>(w);
         label->setPixmap(QPixmap(Q(static_cast<TImage&>(c).Picture())));
         label->setScaledContents(true);
     }},
    {"TLabel",
     [](TControl&, QWidget* parent) -> QWidget* {
         auto* l = new QLabel(parent);
         l->setTextFormat(Qt::PlainText);
         return l;
     },
     RefreshText},
    {"TStaticText",
     [](TControl&, QWidget* parent) -> QWidget* {
         auto* l = new QLabel(parent);
         l->setTextFormat(Qt::PlainText);
         return l;
     },
     RefreshText},
};

// A kind without a binder of its own (a nested form ...) still gets a plain container.
const Binder kContainer = {"", [](TControl&, QWidget* parent) -> QWidget* { return new QWidget(parent); },
                           [](TControl&, QWidget*) {}};

const Binder& BinderFor(const TControl& c)
{
    for (const auto& b : kBinders)
        if (Is(c, b.kind))
            return b;
    return kContainer;
}

// Copies the whole state of a control into its widget. Runs on the GUI thread; signals
// are blocked so that copying the model never reads as the operator's input.
// A control of a kind the view does not know and that holds no others (a timer ...)
// has nothing to show.
bool NonVisual(const TControl& c)
{
    return &BinderFor(c) == &kContainer && !dynamic_cast<const TWinControl*>(&c);
}

void Refresh(TControl& c, QWidget* w)
{
    QSignalBlocker block(w);
    if (NonVisual(c)) {
        w->setVisible(false);
        return;
    }
    w->setEnabled(c.Enabled());
    bool page = Is(c, "TTabSheet");
    if (!page) {
        w->setVisible(c.Visible());
        if (c.Width() > 0)
            w->setGeometry(c.Left(), c.Top(), c.Width(), c.Height());
    }
    BinderFor(c).refresh(c, w);
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
    // Controls that a form leaves without bounds are stacked top to bottom rather than
    // piled up in the corner, so every one of them stays reachable.
    int y = qobject_cast<QGroupBox*>(parentWidget) ? 20 : 8;
    for (TControl* child : parent.Controls()) {
        QWidget* w = make(*child, parentWidget);
        if (!w)
            continue;
        bind(*child, w);
        auto* win = dynamic_cast<TWinControl*>(child);
        if (win)
            build(*win, w);
        if (child->Width() <= 0 && !Is(*child, "TTabSheet") && !NonVisual(*child)) {
            if (win && !w->children().isEmpty()) {
                QRect inner = w->childrenRect();
                w->resize(inner.right() + 9, inner.bottom() + 9);
            } else {
                w->adjustSize();
            }
            w->move(8, y);
            y += w->height() + 4;
        }
    }
}

QWidget* FormView::make(TControl& c, QWidget* parentWidget)
{
    QWidget* w = BinderFor(c).create(c, parentWidget);
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


} // namespace view
