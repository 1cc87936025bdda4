// The control models behind the forms.
#include "toolkit/Controls.h"

#include <algorithm>
#include <cctype>

namespace toolkit {

// ---- TFont ----

TColor TFont::Color() const
{
    std::lock_guard lock(owner_.mutex_);
    return owner_.fontColor_;
}

void TFont::SetColor(TColor color)
{
    owner_.change(owner_.fontColor_, color, Prop::FontColor);
}

// ---- TStrings ----

int TStrings::Count() const
{
    std::lock_guard lock(mutex());
    return static_cast<int>(items_.size());
}

std::string TStrings::Strings(int index) const
{
    std::lock_guard lock(mutex());
    if (index < 0 || index >= static_cast<int>(items_.size()))
        return {};
    return items_[static_cast<size_t>(index)];
}

bool TStrings::SetStrings(int index, std::string value)
{
    std::lock_guard lock(mutex());
    if (index < 0 || index >= static_cast<int>(items_.size()))
        return false;
    items_[static_cast<size_t>(index)] = std::move(value);
    changed(Edit::Replaced, index);
    return true;
}

int TStrings::Add(std::string value)
{
    std::lock_guard lock(mutex());
    items_.push_back(std::move(value));
    int index = static_cast<int>(items_.size()) - 1;
    changed(Edit::Added, index);
    return index;
}

bool TStrings::Insert(int index, std::string value)
{
    std::lock_guard lock(mutex());
    if (index < 0 || index > static_cast<int>(items_.size()))
        return false;
    items_.insert(items_.begin() + index, std::move(value));
    changed(Edit::Inserted, index);
    return true;
}

bool TStrings::Delete(int index)
{
    std::lock_guard lock(mutex());
    if (index < 0 || index >= static_cast<int>(items_.size()))
        return false;
    items_.erase(items_.begin() + index);
    changed(Edit::Deleted, index);
    return true;
}

void TStrings::Clear()
{
    std::lock_guard lock(mutex());
    items_.clear();
    changed(Edit::Cleared, -1);
}

int TStrings::IndexOf(const std::string& value) const
{
    auto same = [](const std::string& a, const std::string& b) {
        return a.size() == b.size() &&
               std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) ==
                          std::tolower(static_cast<unsigned char>(y));
               });
    };
    std::lock_guard lock(mutex());
    for (size_t i = 0; i < items_.size(); ++i)
        if (same(items_[i], value))
            return static_cast<int>(i);
    return -1;
}

std::vector<std::string> TStrings::ToVector() const
{
    std::lock_guard lock(mutex());
    return items_;
}

void TStrings::Assign(std::vector<std::string> values)
{
    std::lock_guard lock(mutex());
    items_ = std::move(values);
    changed(Edit::Assigned, -1);
}

// ---- TControl ----

TControl::TControl(TWinControl* parent, std::string name) : name_(std::move(name)), parent_(parent)
{
    if (parent_)
        parent_->attach(this);
}

TControl::~TControl()
{
    if (parent_)
        parent_->detach(this);
}

TWinControl* TControl::Parent() const
{
    return parent_;
}

bool TControl::Enabled() const { return get(enabled_); }
void TControl::SetEnabled(bool value) { change(enabled_, value, Prop::Enabled); }
bool TControl::Visible() const { return get(visible_); }
void TControl::SetVisible(bool value) { change(visible_, value, Prop::Visible); }
std::string TControl::Caption() const { return get(caption_); }
void TControl::SetCaption(std::string value) { change(caption_, std::move(value), Prop::Caption); }
int TControl::Left() const { return get(left_); }
int TControl::Top() const { return get(top_); }
int TControl::Width() const { return get(width_); }
int TControl::Height() const { return get(height_); }
void TControl::SetLeft(int value) { change(left_, value, Prop::Bounds); }
void TControl::SetTop(int value) { change(top_, value, Prop::Bounds); }

void TControl::SetBounds(int left, int top, int width, int height)
{
    std::lock_guard lock(mutex_);
    if (left_ == left && top_ == top && width_ == width && height_ == height)
        return;
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    notify(Prop::Bounds);
}

void TControl::Click()
{
    fire(OnClick);
}

void TControl::UserClick()
{
    Click();
    fire(OnMouseUp);
}

void TControl::SetFocus()
{
    for (TControl* c = this; c; c = c->Parent())
        if (auto* form = dynamic_cast<TForm*>(c)) {
            form->requestFocus(this);
            return;
        }
}

ObserverId TControl::AddObserver(Observer observer)
{
    std::lock_guard lock(mutex_);
    ObserverId id = nextObserver_++;
    observers_.push_back({id, std::make_shared<Observer>(std::move(observer))});
    return id;
}

void TControl::RemoveObserver(ObserverId id)
{
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [id](const ObserverEntry& e) { return e.id == id; });
}

void TControl::notify(Prop what)
{
    // A copy, so an observer may remove itself while being called.
    auto observers = observers_;
    for (auto& entry : observers)
        (*entry.fn)(*this, what);
}

// ---- TWinControl ----

TWinControl::~TWinControl()
{
    // Owned children go first (each detaches itself); the others only forget us.
    std::vector<std::unique_ptr<TControl>> owned;
    {
        std::lock_guard lock(mutex_);
        owned.swap(owned_);
    }
    while (!owned.empty())
        owned.pop_back();
    std::lock_guard lock(mutex_);
    for (TControl* child : children_)
        child->parent_ = nullptr;
    children_.clear();
}

void TWinControl::attach(TControl* child)
{
    std::lock_guard lock(mutex_);
    children_.push_back(child);
}

void TWinControl::detach(TControl* child)
{
    std::lock_guard lock(mutex_);
    std::erase(children_, child);
}

std::vector<TControl*> TWinControl::Controls() const
{
    std::lock_guard lock(mutex_);
    return children_;
}

TControl* TWinControl::FindControl(const std::string& name) const
{
    TControl* found = nullptr;
    ForEachControl([&](TControl& c) {
        if (!found && c.Name() == name)
            found = &c;
    });
    return found;
}

void TWinControl::ForEachControl(const std::function<void(TControl&)>& visit) const
{
    for (TControl* child : Controls()) {
        visit(*child);
        if (auto* win = dynamic_cast<TWinControl*>(child))
            win->ForEachControl(visit);
    }
}

// ---- TForm ----

int TForm::ModalResult() const { return get(modalResult_); }

void TForm::SetModalResult(int value)
{
    std::lock_guard lock(mutex_);
    modalResult_ = value;
    // Told even when unchanged: a second close with the same result ends a second showing.
    if (value != mrNone)
        notify(Prop::ModalResult);
}

bool TForm::CloseQuery()
{
    bool canClose = true;
    if (OnCloseQuery)
        OnCloseQuery(this, canClose);
    return canClose;
}

TControl* TForm::ActiveControl() const { return get(activeControl_); }

void TForm::SetActiveControl(TControl* control)
{
    std::lock_guard lock(mutex_);
    activeControl_ = control;
}

void TForm::requestFocus(TControl* control)
{
    std::lock_guard lock(mutex_);
    activeControl_ = control;
    notify(Prop::Focus);
}

// ---- TTabSheet, TPageControl ----

bool TTabSheet::TabVisible() const { return get(tabVisible_); }
void TTabSheet::SetTabVisible(bool value) { change(tabVisible_, value, Prop::TabVisible); }

int TPageControl::PageCount() const
{
    int n = 0;
    for (TControl* c : Controls())
        n += dynamic_cast<TTabSheet*>(c) != nullptr;
    return n;
}

TTabSheet* TPageControl::Pages(int index) const
{
    if (index < 0)
        return nullptr;
    for (TControl* c : Controls())
        if (auto* page = dynamic_cast<TTabSheet*>(c))
            if (index-- == 0)
                return page;
    return nullptr;
}

int TPageControl::ActivePageIndex() const
{
    std::lock_guard lock(mutex_);
    int count = PageCount();
    if (count == 0)
        return -1;
    return std::min(active_, count - 1);
}

void TPageControl::SetActivePageIndex(int index)
{
    if (index < 0 || index >= PageCount())
        return;
    if (change(active_, index, Prop::ActivePage))
        fire(OnChange);
}

// ---- TCheckBox ----

bool TCheckBox::Checked() const { return get(checked_); }

void TCheckBox::SetChecked(bool value)
{
    if (change(checked_, value, Prop::Checked))
        fire(OnClick);
}

void TCheckBox::Click()
{
    bool now;
    {
        std::lock_guard lock(mutex_);
        now = !checked_;
        checked_ = now;
        notify(Prop::Checked);
    }
    fire(OnClick);
}

// ---- TRadioButton ----

bool TRadioButton::Checked() const { return get(checked_); }

void TRadioButton::SetChecked(bool value)
{
    if (!value) {
        change(checked_, false, Prop::Checked);
        return;
    }
    TWinControl* parent = Parent();
    {
        std::unique_lock<std::mutex> group;
        if (parent)
            group = std::unique_lock(parent->groupMutex_);
        if (!change(checked_, true, Prop::Checked))
            return;
        if (parent)
            for (TControl* sibling : parent->Controls())
                if (sibling != this)
                    if (auto* radio = dynamic_cast<TRadioButton*>(sibling))
                        radio->change(radio->checked_, false, Prop::Checked);
    }
    fire(OnClick);
}

void TRadioButton::Click()
{
    SetChecked(true);
}

// ---- TEdit ----

std::string TEdit::Text() const { return get(text_); }

void TEdit::SetText(std::string value)
{
    if (change(text_, std::move(value), Prop::Text))
        fire(OnChange);
}

void TEdit::UserSetText(std::string value)
{
    int limit;
    TEditCharCase charCase;
    {
        std::lock_guard lock(mutex_);
        limit = maxLength_;
        charCase = charCase_;
    }
    if (limit > 0 && value.size() > static_cast<size_t>(limit)) {
        size_t cut = static_cast<size_t>(limit);
        // Never split a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80)
            --cut;
        value.resize(cut);
    }
    for (char& c : value) {
        if (charCase == TEditCharCase::UpperCase)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        else if (charCase == TEditCharCase::LowerCase)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    SetText(std::move(value));
}

bool TEdit::ReadOnly() const { return get(readOnly_); }
void TEdit::SetReadOnly(bool value) { change(readOnly_, value, Prop::ReadOnly); }
int TEdit::MaxLength() const { return get(maxLength_); }
void TEdit::SetMaxLength(int value) { std::lock_guard lock(mutex_); maxLength_ = std::max(0, value); }
TEditCharCase TEdit::CharCase() const { return get(charCase_); }
void TEdit::SetCharCase(TEditCharCase value) { std::lock_guard lock(mutex_); charCase_ = value; }

void TEdit::UserExit() { fire(OnExit); }

bool TButton::Default() const { return get(default_); }
void TButton::SetDefault(bool value) { std::lock_guard lock(mutex_); default_ = value; }

// ---- TComboBox ----

TComboBox::TComboBox(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}

int TComboBox::ItemIndex() const { return get(itemIndex_); }

void TComboBox::SetItemIndex(int index)
{
    // Kept as given, even without an item there: a value stored in a file loads back as
    // it was saved. Text() and the view treat an index with no item as no selection.
    change(itemIndex_, index, Prop::ItemIndex);
}

std::string TComboBox::Text() const
{
    std::lock_guard lock(mutex_);
    return items_.Strings(itemIndex_);
}

void TComboBox::UserSelect(int index)
{
    SetItemIndex(index);
    fire(OnClick);
    fire(OnChange);
}

void TComboBox::Items_::changed(Edit edit, int index)
{
    int& sel = owner_.itemIndex_;
    int old = sel;
    // Only a selected item moves with the edits; an index with no item stays as it is.
    const int count = static_cast<int>(items_.size());
    switch (edit) {
    case Edit::Cleared:
    case Edit::Assigned:
        sel = -1;
        break;
    case Edit::Deleted:
        if (sel == index)
            sel = -1;
        else if (sel > index && sel <= count)
            --sel;
        break;
    case Edit::Inserted:
        if (sel >= index && sel < count - 1)
            ++sel;
        break;
    default:
        break;
    }
    owner_.notify(Prop::Items);
    if (sel != old)
        owner_.notify(Prop::ItemIndex);
}

// ---- TListBox ----

TListBox::TListBox(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}

bool TListBox::MultiSelect() const { return get(multiSelect_); }

void TListBox::SetMultiSelect(bool value)
{
    std::lock_guard lock(mutex_);
    multiSelect_ = value;
}

int TListBox::ItemIndex() const { return get(itemIndex_); }

void TListBox::SetItemIndex(int index)
{
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int>(selected_.size()))
        index = -1;
    bool selectionChanged = false;
    if (!multiSelect_) {
        for (size_t i = 0; i < selected_.size(); ++i) {
            bool want = static_cast<int>(i) == index;
            if (selected_[i] != want) {
                selected_[i] = want;
                selectionChanged = true;
            }
        }
    }
    change(itemIndex_, index, Prop::ItemIndex);
    if (selectionChanged)
        notify(Prop::Selected);
}

bool TListBox::Selected(int index) const
{
    std::lock_guard lock(mutex_);
    return index >= 0 && index < static_cast<int>(selected_.size()) && selected_[static_cast<size_t>(index)];
}

void TListBox::SetSelected(int index, bool value)
{
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int>(selected_.size()))
        return;
    if (!multiSelect_) {
        SetItemIndex(value ? index : (itemIndex_ == index ? -1 : itemIndex_));
        return;
    }
    if (selected_[static_cast<size_t>(index)] == value)
        return;
    selected_[static_cast<size_t>(index)] = value;
    notify(Prop::Selected);
    if (value)
        change(itemIndex_, index, Prop::ItemIndex);
}

int TListBox::SelCount() const
{
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(selected_.begin(), selected_.end(), true));
}

void TListBox::ClearSelection()
{
    std::lock_guard lock(mutex_);
    if (std::count(selected_.begin(), selected_.end(), true) == 0)
        return;
    std::fill(selected_.begin(), selected_.end(), false);
    notify(Prop::Selected);
}

void TListBox::SelectAll()
{
    std::lock_guard lock(mutex_);
    if (!multiSelect_)
        return;
    std::fill(selected_.begin(), selected_.end(), true);
    notify(Prop::Selected);
}

void TListBox::Items_::changed(Edit edit, int index)
{
    auto& sel = owner_.selected_;
    int& cur = owner_.itemIndex_;
    int oldCur = cur;
    bool hadSelection = std::count(sel.begin(), sel.end(), true) > 0;
    switch (edit) {
    case Edit::Added:
        sel.push_back(false);
        break;
    case Edit::Inserted:
        sel.insert(sel.begin() + index, false);
        if (cur >= index)
            ++cur;
        break;
    case Edit::Deleted:
        sel.erase(sel.begin() + index);
        if (cur == index)
            cur = -1;
        else if (cur > index)
            --cur;
        break;
    case Edit::Cleared:
    case Edit::Assigned:
        sel.assign(items_.size(), false);
        cur = -1;
        break;
    case Edit::Replaced:
        break;
    }
    owner_.notify(Prop::Items);
    if (cur != oldCur)
        owner_.notify(Prop::ItemIndex);
    if (hadSelection && edit != Edit::Added && edit != Edit::Replaced)
        owner_.notify(Prop::Selected);
}

// ---- TGauge ----

int TGauge::MinValue() const { return get(min_); }
int TGauge::MaxValue() const { return get(max_); }
int TGauge::Progress() const { return get(progress_); }

void TGauge::SetMinValue(int value)
{
    std::lock_guard lock(mutex_);
    change(min_, std::min(value, max_), Prop::MinValue);
    change(progress_, std::max(progress_, min_), Prop::Progress);
}

void TGauge::SetMaxValue(int value)
{
    std::lock_guard lock(mutex_);
    change(max_, std::max(value, min_), Prop::MaxValue);
    change(progress_, std::min(progress_, max_), Prop::Progress);
}

void TGauge::SetProgress(int value)
{
    std::lock_guard lock(mutex_);
    change(progress_, std::clamp(value, min_, max_), Prop::Progress);
}

int TGauge::PercentDone() const
{
    std::lock_guard lock(mutex_);
    long long span = static_cast<long long>(max_) - min_;
    if (span <= 0)
        return 0;
    return static_cast<int>((static_cast<long long>(progress_) - min_) * 100 / span);
}

TColor TGauge::ForeColor() const { return get(foreColor_); }
void TGauge::SetForeColor(TColor value) { change(foreColor_, value, Prop::FontColor); }

// ---- TImage ----

std::string TImage::Picture() const { return get(picture_); }
void TImage::SetPicture(std::string path) { change(picture_, std::move(path), Prop::Picture); }

// ---- TTrackBar ----

int TTrackBar::Min() const { return get(min_); }
int TTrackBar::Max() const { return get(max_); }
int TTrackBar::Position() const { return get(position_); }

void TTrackBar::SetMin(int value)
{
    bool moved;
    {
        std::lock_guard lock(mutex_);
        change(min_, std::min(value, max_), Prop::Min);
        moved = change(position_, std::clamp(position_, min_, max_), Prop::Position);
    }
    if (moved)
        fire(OnChange);
}

void TTrackBar::SetMax(int value)
{
    bool moved;
    {
        std::lock_guard lock(mutex_);
        change(max_, std::max(value, min_), Prop::Max);
        moved = change(position_, std::clamp(position_, min_, max_), Prop::Position);
    }
    if (moved)
        fire(OnChange);
}

void TTrackBar::SetPosition(int value)
{
    bool moved;
    {
        std::lock_guard lock(mutex_);
        moved = change(position_, std::clamp(value, min_, max_), Prop::Position);
    }
    if (moved)
        fire(OnChange);
}

int TTrackBar::Frequency() const { return get(frequency_); }
void TTrackBar::SetFrequency(int value) { std::lock_guard lock(mutex_); frequency_ = value; }

// ---- TUpDown ----

int TUpDown::Min() const { return get(min_); }
int TUpDown::Max() const { return get(max_); }
int TUpDown::Position() const { return get(position_); }

void TUpDown::SetMin(int value)
{
    std::lock_guard lock(mutex_);
    change(min_, std::min(value, max_), Prop::Min);
    change(position_, std::clamp(position_, min_, max_), Prop::Position);
}

void TUpDown::SetMax(int value)
{
    std::lock_guard lock(mutex_);
    change(max_, std::max(value, min_), Prop::Max);
    change(position_, std::clamp(position_, min_, max_), Prop::Position);
}

void TUpDown::SetPosition(int value)
{
    std::lock_guard lock(mutex_);
    change(position_, std::clamp(value, min_, max_), Prop::Position);
}

void TUpDown::UserStep(int delta)
{
    {
        std::lock_guard lock(mutex_);
        long long next = static_cast<long long>(position_) + delta;
        change(position_, static_cast<int>(std::clamp<long long>(next, min_, max_)), Prop::Position);
    }
    fire(OnClick);
}

} // namespace toolkit
