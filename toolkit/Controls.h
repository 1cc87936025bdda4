#pragma once
// Control models for the forms: plain C++ objects that keep the names and behaviour the
// handler code relies on (a check box set from code runs its click handler, a combo index
// may be -1, a gauge has MaxValue/Progress ...). The Qt view mirrors them; tests drive
// them directly.
//
// Access style: a getter named like the property and a Set... method.
//     if (chkFormat->Checked()) ...          chkFormat->SetChecked(true);
//     pStatusText->Font()->SetColor(clRed);  pGauge->SetProgress(pGauge->MaxValue());
//     TntSelectFileList2->Items()->Count();  SystemAreaComBo->SetItemIndex(-1);
// Events are public std::function fields (OnClick, OnChange, OnMouseUp), assigned while a
// form is built, before it is shared with other threads. Handlers run without any lock.
//
// Threads: every property read and write locks the control's own mutex, so production
// threads and the user-interface thread may touch the same control. Observers (the view)
// are called under that mutex right after each change, so they see the changes of one
// control in the order they were made. An observer must not block and must not set
// properties of other controls; the view only queues the update to its GUI thread.
// For a compound update that must look atomic (caption and colour together), hold
// `Lock()` across the calls; the mutex is recursive.
//
// Ownership: a control is created by its parent (`parent->Make<TCheckBox>("chkFormat")`)
// which owns and destroys it, or lives on its own (a member or a local) with a parent
// that only lists it. Names are the controls' names; the view uses them as object names.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace toolkit {

class TControl;
class TWinControl;

using TColor = uint32_t;
// System colours carry the high bit, as the form library encodes them.
constexpr TColor clBtnText = 0x80000008;
constexpr TColor clWindowText = 0x80000008;
constexpr TColor clBlack = 0x000000;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clGreen = 0x008000;
constexpr TColor clTeal = 0x808000;
constexpr TColor clWhite = 0xFFFFFF;

using TNotifyEvent = std::function<void(TControl* Sender)>;

// Which property changed; observers read the new value from the control.
enum class Prop {
    Caption,
    Text,
    Checked,
    Enabled,
    Visible,
    FontColor,
    Bounds,
    ItemIndex,
    Items,     // the item list changed (any add, delete, clear, replace)
    Selected,  // the selection of a multi-select list changed
    MinValue,
    MaxValue,
    Progress,
    Position,
    Min,
    Max,
    Picture,
    ReadOnly,
    ActivePage,
    TabVisible,
    Focus,        // on a form: a handler asked for the focus (ActiveControl)
    ModalResult,  // on a form: a modal result was set, a modal showing ends
};

using Observer = std::function<void(TControl& control, Prop what)>;
using ObserverId = uint64_t;

// A control's font; only the colour matters to the forms.
class TFont {
public:
    explicit TFont(TControl& owner) : owner_(owner) {}
    TColor Color() const;
    void SetColor(TColor color);

private:
    TControl& owner_;
};

// A list of strings (items of a list or combo box, or a free-standing list such as the
// hidden-file list). Reads out of range give an empty string; writes out of range do
// nothing and return false, so a stale index can never reach past the end.
class TStrings {
public:
    virtual ~TStrings() = default;
    int Count() const;
    std::string Strings(int index) const;
    std::string operator[](int index) const { return Strings(index); }
    bool SetStrings(int index, std::string value);
    int Add(std::string value);  // index of the new item
    bool Insert(int index, std::string value);
    bool Delete(int index);
    void Clear();
    // Case-insensitive (ASCII) as the class library compares list texts; -1 when absent.
    int IndexOf(const std::string& value) const;
    std::vector<std::string> ToVector() const;
    void Assign(std::vector<std::string> values);

protected:
    TStrings() = default;
    virtual std::recursive_mutex& mutex() const = 0;
    // Called under the mutex after each change: index of the item (-1 for all) and kind.
    enum class Edit { Added, Inserted, Deleted, Replaced, Cleared, Assigned };
    virtual void changed(Edit edit, int index) {}
    std::vector<std::string> items_;
    friend class TComboBox;
    friend class TListBox;
};

// A free-standing thread-safe string list.
class TStringList : public TStrings {
public:
    TStringList() = default;
    TStringList(const TStringList&) = delete;
    TStringList& operator=(const TStringList&) = delete;

protected:
    std::recursive_mutex& mutex() const override { return mutex_; }

private:
    mutable std::recursive_mutex mutex_;
};

class TControl {
public:
    TControl(TWinControl* parent, std::string name);
    virtual ~TControl();
    TControl(const TControl&) = delete;
    TControl& operator=(const TControl&) = delete;

    virtual const char* ClassName() const = 0;
    const std::string& Name() const { return name_; }
    TWinControl* Parent() const;

    bool Enabled() const;
    void SetEnabled(bool value);
    bool Visible() const;
    void SetVisible(bool value);
    std::string Caption() const;
    void SetCaption(std::string value);
    TFont* Font() { return &font_; }
    const TFont* Font() const { return &font_; }

    int Left() const;
    int Top() const;
    int Width() const;
    int Height() const;
    void SetLeft(int value);
    void SetTop(int value);
    void SetBounds(int left, int top, int width, int height);

    // What a click does: runs OnClick; check boxes and radio buttons first change their
    // state as a user's click would. The view calls UserClick for a mouse click.
    virtual void Click();
    void UserClick();
    // Asks for the keyboard focus: the form holding this control makes it its active
    // control and tells its observers, so the view moves the focus there.
    void SetFocus();

    TNotifyEvent OnClick;
    TNotifyEvent OnMouseUp;

    ObserverId AddObserver(Observer observer);
    void RemoveObserver(ObserverId id);

    std::unique_lock<std::recursive_mutex> Lock() const { return std::unique_lock(mutex_); }
    std::recursive_mutex& Mutex() const { return mutex_; }

protected:
    // Sets a field under the lock and tells observers when the value changed.
    template <class T>
    bool change(T& field, T value, Prop what)
    {
        std::lock_guard lock(mutex_);
        if (field == value)
            return false;
        field = std::move(value);
        notify(what);
        return true;
    }
    template <class T>
    T get(const T& field) const
    {
        std::lock_guard lock(mutex_);
        return field;
    }
    // Call with the mutex held.
    void notify(Prop what);
    void fire(const TNotifyEvent& event) { if (event) event(this); }

    mutable std::recursive_mutex mutex_;

private:
    friend class TWinControl;
    friend class TFont;
    std::string name_;
    TWinControl* parent_;
    bool enabled_ = true;
    bool visible_ = true;
    std::string caption_;
    TColor fontColor_ = clWindowText;
    TFont font_{*this};
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    struct ObserverEntry {
        ObserverId id;
        std::shared_ptr<Observer> fn;
    };
    std::vector<ObserverEntry> observers_;
    ObserverId nextObserver_ = 1;
};

// A control that holds other controls.
class TWinControl : public TControl {
public:
    TWinControl(TWinControl* parent, std::string name) : TControl(parent, std::move(name)) {}
    ~TWinControl() override;

    // Creates a child owned by this control.
    template <class T, class... Args>
    T* Make(std::string name, Args&&... args)
    {
        auto child = std::make_unique<T>(this, std::move(name), std::forward<Args>(args)...);
        T* raw = child.get();
        std::lock_guard lock(mutex_);
        owned_.push_back(std::move(child));
        return raw;
    }

    std::vector<TControl*> Controls() const;  // direct children, in creation order
    // Depth-first search of the children and their children; null when absent.
    TControl* FindControl(const std::string& name) const;
    // Visits every control below this one, depth first, parents before children.
    void ForEachControl(const std::function<void(TControl&)>& visit) const;

private:
    friend class TControl;
    friend class TRadioButton;
    void attach(TControl* child);
    void detach(TControl* child);
    std::vector<TControl*> children_;
    std::vector<std::unique_ptr<TControl>> owned_;
    std::mutex groupMutex_;  // makes "check one, uncheck the siblings" one step
};

// The modal results the forms use (the class library's numbering: 0, 1, 2).
enum TModalResult : int { mrNone, mrOk, mrCancel };

class TForm : public TWinControl {
public:
    explicit TForm(std::string name, TWinControl* parent = nullptr)
        : TWinControl(parent, std::move(name)) { SetVisible(false); }
    const char* ClassName() const override { return "TForm"; }
    int ModalResult() const;
    // A result other than mrNone ends a modal showing (observers see Prop::ModalResult).
    void SetModalResult(int value);
    // Shows the form modally through the dialogs service; returns its modal result.
    int ShowModal();
    // Called by the view (or a test) when the form is first shown and when it closes.
    TNotifyEvent OnShow;
    TNotifyEvent OnClose;
    void DoShow() { fire(OnShow); }
    void DoClose() { fire(OnClose); }
    // Asked before the operator's close (Escape, the close box) takes effect; a handler
    // that clears CanClose keeps the form up.
    std::function<void(TControl* Sender, bool& CanClose)> OnCloseQuery;
    bool CloseQuery();

    // The control with the keyboard focus, null when none is known. SetFocus on a
    // control sets it and asks the view to move the focus; SetActiveControl only records
    // where the operator put it (the view calls it), so it tells nobody.
    TControl* ActiveControl() const;
    void SetActiveControl(TControl* control);

private:
    friend class TControl;
    void requestFocus(TControl* control);
    int modalResult_ = mrNone;
    TControl* activeControl_ = nullptr;
};

class TGroupBox : public TWinControl {
public:
    using TWinControl::TWinControl;
    const char* ClassName() const override { return "TGroupBox"; }
};

class TPanel : public TWinControl {
public:
    using TWinControl::TWinControl;
    const char* ClassName() const override { return "TPanel"; }
};

class TTabSheet : public TWinControl {
public:
    using TWinControl::TWinControl;
    const char* ClassName() const override { return "TTabSheet"; }
    bool TabVisible() const;
    void SetTabVisible(bool value);

private:
    bool tabVisible_ = true;
};

// Its pages are the TTabSheet children, in creation order.
class TPageControl : public TWinControl {
public:
    using TWinControl::TWinControl;
    const char* ClassName() const override { return "TPageControl"; }
    int PageCount() const;
    TTabSheet* Pages(int index) const;  // null when out of range
    int ActivePageIndex() const;        // -1 when there is no page
    void SetActivePageIndex(int index); // out of range: ignored
    TNotifyEvent OnChange;

private:
    int active_ = 0;
};

class TCheckBox : public TControl {
public:
    using TControl::TControl;
    const char* ClassName() const override { return "TCheckBox"; }
    bool Checked() const;
    // A change runs OnClick, as a user's click would.
    void SetChecked(bool value);
    void Click() override;  // toggles

private:
    bool checked_ = false;
};

// Radio buttons with the same parent form one group: checking one unchecks the others.
class TRadioButton : public TControl {
public:
    using TControl::TControl;
    const char* ClassName() const override { return "TRadioButton"; }
    bool Checked() const;
    // Checking an unchecked radio unchecks its siblings and runs OnClick; unchecking
    // runs nothing.
    void SetChecked(bool value);
    void Click() override;  // checks

private:
    bool checked_ = false;
};

class TButton : public TControl {
public:
    using TControl::TControl;
    const char* ClassName() const override { return "TButton"; }
    // The form's default button: Enter anywhere in the form clicks it. Off unless a form
    // sets it, so Enter in an edit never clicks a button the form did not choose.
    bool Default() const;
    void SetDefault(bool value);

private:
    bool default_ = false;
};

class TLabel : public TControl {
public:
    using TControl::TControl;
    const char* ClassName() const override { return "TLabel"; }
};

class TStaticText : public TControl {
public:
    using TControl::TControl;
    const char* ClassName() const override { return "TStaticText"; }
};

enum class TEditCharCase { Normal, UpperCase, LowerCase };

class TEdit : public TControl {
public:
    using TControl::TControl;
    const char* ClassName() const override { return "TEdit"; }
    std::string Text() const;
    void SetText(std::string value);  // runs OnChange when the text changed
    // Typed by the operator: limited to MaxLength characters (0 = no limit) and forced
    // to the character case, then as SetText.
    void UserSetText(std::string value);
    bool ReadOnly() const;
    void SetReadOnly(bool value);
    int MaxLength() const;
    void SetMaxLength(int value);
    TEditCharCase CharCase() const;
    void SetCharCase(TEditCharCase value);
    TNotifyEvent OnChange;
    // The operator left the edit (focus moved away, or Enter) after changing its text.
    TNotifyEvent OnExit;
    // What the view calls for that; runs OnExit.
    void UserExit();

private:
    std::string text_;
    bool readOnly_ = false;
    int maxLength_ = 0;
    TEditCharCase charCase_ = TEditCharCase::Normal;
};

// A drop-down list. ItemIndex is -1 when nothing is selected. An index set from code is
// kept as given, even one with no item (a value read from a file stays as stored); such an
// index selects nothing: Text() is "" and the view shows no item. Whoever uses ItemIndex
// to look something up bounds it.
class TComboBox : public TControl {
public:
    TComboBox(TWinControl* parent, std::string name);
    const char* ClassName() const override { return "TComboBox"; }
    TStrings* Items() { return &items_; }
    const TStrings* Items() const { return &items_; }
    int ItemIndex() const;
    void SetItemIndex(int index);  // runs no handler
    std::string Text() const;      // the selected item, "" when none
    // The operator picked an item: as SetItemIndex, then OnClick and OnChange.
    void UserSelect(int index);
    TNotifyEvent OnChange;

private:
    class Items_ : public TStrings {
    public:
        explicit Items_(TComboBox& owner) : owner_(owner) {}
    protected:
        std::recursive_mutex& mutex() const override { return owner_.mutex_; }
        void changed(Edit edit, int index) override;
    private:
        TComboBox& owner_;
    };
    Items_ items_{*this};
    int itemIndex_ = -1;
};

// A list box; with MultiSelect several items may be selected (Selected(i)).
class TListBox : public TControl {
public:
    TListBox(TWinControl* parent, std::string name);
    const char* ClassName() const override { return "TListBox"; }
    TStrings* Items() { return &items_; }
    const TStrings* Items() const { return &items_; }
    bool MultiSelect() const;
    void SetMultiSelect(bool value);
    int ItemIndex() const;  // the focused/selected item, -1 when none
    void SetItemIndex(int index);  // out of range: -1; single-select also selects it
    bool Selected(int index) const;  // false out of range
    void SetSelected(int index, bool value);  // out of range: ignored
    int SelCount() const;
    void ClearSelection();
    void SelectAll();
    TNotifyEvent OnChange;

private:
    class Items_ : public TStrings {
    public:
        explicit Items_(TListBox& owner) : owner_(owner) {}
    protected:
        std::recursive_mutex& mutex() const override { return owner_.mutex_; }
        void changed(Edit edit, int index) override;
    private:
        TListBox& owner_;
    };
    Items_ items_{*this};
    std::vector<bool> selected_;  // kept the same length as the items
    int itemIndex_ = -1;
    bool multiSelect_ = false;
};

// Progress is kept within MinValue..MaxValue.
class TGauge : public TControl {
public:
    using TControl::TControl;
    const char* ClassName() const override { return "TGauge"; }
    int MinValue() const;
    int MaxValue() const;
    int Progress() const;
    void SetMinValue(int value);
    void SetMaxValue(int value);
    void SetProgress(int value);
    int PercentDone() const;  // 0..100
    TColor ForeColor() const;
    void SetForeColor(TColor value);

private:
    int min_ = 0, max_ = 100, progress_ = 0;
    TColor foreColor_ = clBlack;
};

// The picture is the path of an image file ("" for none).
class TImage : public TControl {
public:
    using TControl::TControl;
    const char* ClassName() const override { return "TImage"; }
    std::string Picture() const;
    void SetPicture(std::string path);
    void LoadFromFile(std::string path) { SetPicture(std::move(path)); }

private:
    std::string picture_;
};

// Position is kept within Min..Max; a change of position runs OnChange.
class TTrackBar : public TControl {
public:
    using TControl::TControl;
    const char* ClassName() const override { return "TTrackBar"; }
    int Min() const;
    int Max() const;
    int Position() const;
    void SetMin(int value);
    void SetMax(int value);
    void SetPosition(int value);
    int Frequency() const;
    void SetFrequency(int value);
    TNotifyEvent OnChange;

private:
    int min_ = 0, max_ = 10, position_ = 0, frequency_ = 1;
};

// Position is kept within Min..Max (0..100 unless set); setting it from code runs nothing,
// an arrow click (UserStep) moves it by one and runs OnClick.
class TUpDown : public TControl {
public:
    using TControl::TControl;
    const char* ClassName() const override { return "TUpDown"; }
    int Min() const;
    int Max() const;
    int Position() const;
    void SetMin(int value);
    void SetMax(int value);
    void SetPosition(int value);
    void UserStep(int delta);

private:
    int min_ = 0, max_ = 100, position_ = 0;
};

} // namespace toolkit
