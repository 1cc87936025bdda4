// The Qt widgets of a form model, one binder per control kind.
#include "view/FormView.h"

#include "view/Guard.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPixmap>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>

#include <algorithm>
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

QFont WindowFont()
{
    QFont font = QApplication::font();
    font.setPixelSize(11);
    return font;
}

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }
std::string S(const QString& s) { return s.toUtf8().toStdString(); }
bool Is(const TControl& c, const char* kind) { return std::strcmp(c.ClassName(), kind) == 0; }

void Refresh(TControl& c, QWidget* w);

// The operator's input: hands it to the model (a handler's exception is shown in the
// box), then shows what the model made of it without waiting for the queued refresh. A
// click on a checked radio leaves it checked, a typed letter shows as the edit's case.
template <class F>
void Input(TControl& c, QWidget* w, F&& fn)
{
    QPointer<QWidget> target(w);
    Guard(fn);
    if (target)
        Refresh(c, target.data());
}

// Clicks on a widget whose Qt class has no click signal (an edit): a left-button release
// inside the widget is a click, as the platform reported it.
class ClickFilter : public QObject {
public:
    ClickFilter(TControl& control, QWidget* widget) : QObject(widget), control_(control)
    {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonRelease) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            auto* w = static_cast<QWidget*>(watched);
            if (mouse->button() == Qt::LeftButton && w->rect().contains(mouse->position().toPoint()))
                Input(control_, w, [this] { control_.UserClick(); });
        }
        return false;
    }

private:
    TControl& control_;
};

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
    // A line wider than its label (a long firmware file name in a stage, a maker's long
    // part name in the flash line) is cut in the middle, both ends readable, and shown
    // whole in the tooltip.
    const QString text = Q(c.Caption());
    const int room = label->contentsRect().width();
    const QFontMetrics metrics(label->font());
    if (!text.contains('\n') && room > 0 && metrics.horizontalAdvance(text) > room) {
        label->setText(metrics.elidedText(text, Qt::ElideMiddle, room));
        label->setToolTip(text);
    } else {
        label->setText(text);
        label->setToolTip(QString());
    }
    SetTextColor(w, c.Font()->Color());
}

const Binder kBinders[] = {
    {"TPageControl",
     [](TControl& c, QWidget* parent) -> QWidget* {
         auto* tabs = new QTabWidget(parent);
         // Setting the page runs the model's OnChange.
         QObject::connect(tabs, &QTabWidget::currentChanged, tabs, [&c, tabs](int index) {
             if (index >= 0)
                 Input(c, tabs, [&] { static_cast<TPageControl&>(c).SetActivePageIndex(index); });
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
         QObject::connect(b, &QCheckBox::clicked, b, [&c, b] { Input(c, b, [&] { c.UserClick(); }); });
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
         QObject::connect(b, &QRadioButton::clicked, b, [&c, b] { Input(c, b, [&] { c.UserClick(); }); });
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
         // In a dialog Qt makes every button an auto-default one, so Enter in an edit
         // would click whichever button had the focus last: only the form's own default
         // button answers Enter.
         b->setAutoDefault(false);
         QObject::connect(b, &QPushButton::clicked, b, [&c, b] { Input(c, b, [&] { c.UserClick(); }); });
         return b;
     },
     [](TControl& c, QWidget* w) {
         auto* b = static_cast<QPushButton*>(w);
         b->setText(Q(c.Caption()));
         b->setDefault(static_cast<TButton&>(c).Default());
     }},
    {"TEdit",
     [](TControl& c, QWidget* parent) -> QWidget* {
         auto* e = new QLineEdit(parent);
         // Typing, pasting and deleting are changes; a click is a click.
         QObject::connect(e, &QLineEdit::textEdited, e, [&c, e](const QString& t) {
             Input(c, e, [&] { static_cast<TEdit&>(c).UserSetText(S(t)); });
         });
         // Leaving the edit (or Enter) after a change: the form checks what was entered.
         QObject::connect(e, &QLineEdit::editingFinished, e, [&c, e] {
             Input(c, e, [&] { static_cast<TEdit&>(c).UserExit(); });
         });
         new ClickFilter(c, e);
         return e;
     },
     [](TControl& c, QWidget* w) {
         auto& m = static_cast<TEdit&>(c);
         auto* e = static_cast<QLineEdit*>(w);
         QString text = Q(m.Text());
         if (e->text() != text) {
             // The model's case or length limit replaced what was typed: the caret stays.
             int caret = e->cursorPosition();
             e->setText(text);
             e->setCursorPosition(std::min(caret, static_cast<int>(text.size())));
         }
         e->setReadOnly(m.ReadOnly());
         e->setMaxLength(m.MaxLength() > 0 ? m.MaxLength() : 32767);
     }},
    {"TComboBox",
     [](TControl& c, QWidget* parent) -> QWidget* {
         auto* b = new QComboBox(parent);
         QObject::connect(b, QOverload<int>::of(&QComboBox::activated), b,
                          [&c, b](int i) { Input(c, b, [&] { static_cast<TComboBox&>(c).UserSelect(i); }); });
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
             Guard([&] {
                 for (int i = 0; i < l->count(); ++i)
                     if (m.Selected(i) != l->item(i)->isSelected())
                         m.SetSelected(i, l->item(i)->isSelected());
             });
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
                          [&c, s](int v) { Input(c, s, [&] { static_cast<TTrackBar&>(c).SetPosition(v); }); });
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
         QObject::connect(s, QOverload<int>::of(&QSpinBox::valueChanged), s, [&c, s](int v) {
             auto& u = static_cast<TUpDown&>(c);
             if (v != u.Position())
                 Input(c, s, [&] { u.UserStep(v - u.Position()); });
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
    setFont(WindowFont());
    resize(form.Width() > 0 ? form.Width() : 640, form.Height() > 0 ? form.Height() : 480);
    build(form, this);
    QPointer<FormView> self(this);
    std::weak_ptr<bool> alive = alive_;
    formObserver_ = form.AddObserver([self, alive](TControl& c, Prop what) {
        if (alive.expired())
            return;
        if (what == Prop::Caption) {
            QString caption = Q(c.Caption());
            QMetaObject::invokeMethod(
                self.data(), [self, caption] { if (self) emit self->captionChanged(caption); }, Qt::QueuedConnection);
        } else if (what == Prop::Focus) {
            // Queued behind the refreshes the handler caused, so the page that holds the
            // control is on screen when the focus moves there.
            QMetaObject::invokeMethod(self.data(), [self] { if (self) self->applyFocus(); }, Qt::QueuedConnection);
        }
    });
    focusConnection_ = connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { operatorFocus(now); });
}

FormView::~FormView()
{
    // The widgets below go after this destructor and move the focus as they go.
    disconnect(focusConnection_);
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

QWidget* FormView::widgetFor(const TControl* control) const
{
    if (control == &form_)
        return const_cast<FormView*>(this);
    return widgets_.value(control, nullptr);
}

void FormView::applyFocus()
{
    if (QWidget* w = widgetFor(form_.ActiveControl()); w && w != this)
        w->setFocus(Qt::OtherFocusReason);
}

void FormView::operatorFocus(QWidget* now)
{
    // The focus may sit in a part of a control's widget (a combo's edit, a tab bar).
    for (QWidget* w = now; w && w != this; w = w->parentWidget())
        if (TControl* c = controls_.value(w, nullptr)) {
            form_.SetActiveControl(c);
            return;
        }
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
    widgets_.insert(&c, w);
    controls_.insert(w, &c);
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
