#include "FormDriver.h"

#include "view/FormView.h"
#include "view/Guard.h"
#include "view/QtDialogs.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QInputMethodEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QSlider>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <cstdlib>

using namespace toolkit;

namespace testsupport {

QApplication& App()
{
    static int argc = 1;
    static char name[] = "test_view";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        auto* a = new view::Application(argc, argv);
        view::InstallUiThread();
        return a;
    }();
    return *app;
}

namespace {

std::string S(const QString& s) { return s.toUtf8().toStdString(); }
std::string YesNo(bool b) { return b ? "yes" : "no"; }
std::string Ticked(bool b) { return b ? "[x]" : "[ ]"; }

// Shown when the control and every control it sits in is visible, and a page is the
// active one of its page control.
bool ModelShows(const TControl& control)
{
    for (const TControl* c = &control; c; c = c->Parent()) {
        if (!c->Visible())
            return false;
        if (auto* page = dynamic_cast<const TTabSheet*>(c))
            if (auto* pc = dynamic_cast<const TPageControl*>(page->Parent()))
                if (pc->Pages(pc->ActivePageIndex()) != page)
                    return false;
    }
    return true;
}

bool ModelEnabled(const TControl& control)
{
    for (const TControl* c = &control; c; c = c->Parent())
        if (!c->Enabled())
            return false;
    return true;
}

std::string ModelValue(TControl& c)
{
    if (auto* b = dynamic_cast<TCheckBox*>(&c))
        return Ticked(b->Checked());
    if (auto* r = dynamic_cast<TRadioButton*>(&c))
        return Ticked(r->Checked());
    if (auto* e = dynamic_cast<TEdit*>(&c))
        return e->Text();
    if (auto* cb = dynamic_cast<TComboBox*>(&c))
        return cb->Text();
    if (auto* pc = dynamic_cast<TPageControl*>(&c))
        return pc->Pages(pc->ActivePageIndex()) ? pc->Pages(pc->ActivePageIndex())->Name() : "";
    if (auto* t = dynamic_cast<TTrackBar*>(&c))
        return std::to_string(t->Position());
    if (auto* u = dynamic_cast<TUpDown*>(&c))
        return std::to_string(u->Position());
    if (auto* g = dynamic_cast<TGauge*>(&c))
        return std::to_string(g->Progress());
    if (auto* l = dynamic_cast<TListBox*>(&c)) {
        std::string out;
        for (int i = 0; i < l->Items()->Count(); ++i)
            out += (i ? "|" : "") + std::string(l->Selected(i) ? "*" : "") + l->Items()->Strings(i);
        return out;
    }
    return c.Caption();
}

std::string WidgetValue(QWidget* w)
{
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return S(e->text());
    if (auto* cb = qobject_cast<QComboBox*>(w))
        return S(cb->currentText());
    if (auto* t = qobject_cast<QTabWidget*>(w))
        return t->currentWidget() ? S(t->currentWidget()->objectName()) : "";
    if (auto* s = qobject_cast<QAbstractSlider*>(w))
        return std::to_string(s->value());
    if (auto* s = qobject_cast<QSpinBox*>(w))
        return std::to_string(s->value());
    if (auto* p = qobject_cast<QProgressBar*>(w))
        return std::to_string(p->value());
    if (auto* l = qobject_cast<QListWidget*>(w)) {
        std::string out;
        for (int i = 0; i < l->count(); ++i)
            out += (i ? "|" : "") + std::string(l->item(i)->isSelected() ? "*" : "") + S(l->item(i)->text());
        return out;
    }
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->isCheckable() ? Ticked(b->isChecked()) : S(b->text());
    if (auto* g = qobject_cast<QGroupBox*>(w))
        return S(g->title());
    if (auto* l = qobject_cast<QLabel*>(w))  // a cut line shows whole in its tooltip
        return S(l->toolTip().isEmpty() ? l->text() : l->toolTip());
    return "<" + std::string(w->metaObject()->className()) + ">";
}

std::pair<std::string, std::string> Split(const std::string& key)
{
    size_t dot = key.find('.');
    return dot == std::string::npos ? std::pair{key, std::string()} : std::pair{key.substr(0, dot), key.substr(dot + 1)};
}

} // namespace

FormDriver::FormDriver(TForm& form, view::FormView& view, QWidget& window) : form_(form), view_(view), window_(window) {}

QWidget* FormDriver::widget(const std::string& name) const
{
    return name.empty() ? &window_ : view_.widgetFor(name);
}

std::string FormDriver::shown(const std::string& key) const
{
    auto [name, prop] = Split(key);
    if (name == "#open")
        return YesNo(window_.isVisible());
    if (name == "#caption")
        return S(window_.windowTitle());
    if (name == "#focus") {
        for (QWidget* w = window_.focusWidget(); w && w != &view_; w = w->parentWidget())
            if (form_.FindControl(S(w->objectName())))
                return S(w->objectName());
        return "";
    }
    QWidget* w = widget(name);
    if (!w)
        return "<no widget " + name + ">";
    if (prop == "visible")
        return YesNo(w->isVisible());
    if (prop == "enabled")
        return YesNo(w->isEnabled());
    return WidgetValue(w);
}

std::string FormDriver::held(const std::string& key) const
{
    auto [name, prop] = Split(key);
    if (name == "#open")
        return YesNo(form_.Visible());
    if (name == "#caption")
        return form_.Caption();
    if (name == "#focus")
        return form_.ActiveControl() ? form_.ActiveControl()->Name() : "";
    TControl* c = form_.FindControl(name);
    if (!c)
        return "<no control " + name + ">";
    if (prop == "visible")
        return YesNo(ModelShows(*c) && form_.Visible());
    if (prop == "enabled")
        return YesNo(ModelEnabled(*c));
    return ModelValue(*c);
}

void FormDriver::click(const std::string& name)
{
    QWidget* w = widget(name);
    ASSERT_NE(w, nullptr) << name;
    // A check box or radio counts a click on its indicator; other widgets anywhere.
    QPoint at = qobject_cast<QAbstractButton*>(w) && qobject_cast<QAbstractButton*>(w)->isCheckable()
                    ? QPoint(7, w->height() / 2)
                    : w->rect().center();
    QTest::mouseClick(w, Qt::LeftButton, {}, at);
}

void FormDriver::type(const std::string& name, const std::string& text)
{
    QWidget* w = widget(name);
    ASSERT_NE(w, nullptr) << name;
    // Letters past ASCII come as an input method commits them (Chinese is typed that way).
    for (const QChar ch : QString::fromUtf8(text.c_str())) {
        if (ch.unicode() < 0x80) {
            QTest::keyClick(w, ch.toLatin1());
        } else {
            QInputMethodEvent commit;
            commit.setCommitString(QString(ch));
            QApplication::sendEvent(w, &commit);
        }
    }
}

void FormDriver::clear(const std::string& name)
{
    QWidget* w = widget(name);
    ASSERT_NE(w, nullptr) << name;
    QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(w, Qt::Key_Delete);
}

void FormDriver::clickItem(const std::string& name, int row, bool add)
{
    auto* list = qobject_cast<QListWidget*>(widget(name));
    ASSERT_NE(list, nullptr) << name;
    QTest::mouseClick(list->viewport(), Qt::LeftButton, add ? Qt::ControlModifier : Qt::KeyboardModifiers(),
                      list->visualItemRect(list->item(row)).center());
}

void FormDriver::key(const std::string& name, int key)
{
    QWidget* w = widget(name);
    ASSERT_NE(w, nullptr) << name;
    QTest::keyClick(w, static_cast<Qt::Key>(key));
}

void FormDriver::pick(const std::string& name, int item)
{
    auto* combo = qobject_cast<QComboBox*>(widget(name));
    ASSERT_NE(combo, nullptr) << name;
    combo->showPopup();
    QAbstractItemView* list = combo->view();
    QRect r = list->visualRect(list->model()->index(item, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
}

void FormDriver::tab(const std::string& name, int page)
{
    auto* tabs = qobject_cast<QTabWidget*>(widget(name));
    ASSERT_NE(tabs, nullptr) << name;
    QTabBar* bar = tabs->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(page).center());
}

void FormDriver::settle()
{
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
}

void FormDriver::run(const std::vector<Step>& steps)
{
    for (const Step& step : steps) {
        if (step.act)
            step.act(*this);
        settle();
        for (const auto& [key, value] : step.expect) {
            EXPECT_EQ(shown(key), value) << step.what << ": " << key << " on screen";
            EXPECT_EQ(held(key), value) << step.what << ": " << key << " in the model";
        }
    }
}

} // namespace testsupport
