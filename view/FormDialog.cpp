// A form shown modally in a Qt dialog.
#include "view/FormDialog.h"

#include "view/Guard.h"

#include <QMetaObject>
#include <QPointer>
#include <QVBoxLayout>

using namespace toolkit;

namespace view {

FormDialog::FormDialog(TForm& form, QWidget* parent) : QDialog(parent), form_(form)
{
    setWindowTitle(QString::fromStdString(form.Caption()));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    view_ = new FormView(form, this);
    view_->setMinimumSize(view_->size());
    layout->addWidget(view_);
    connect(view_, &FormView::captionChanged, this, &QDialog::setWindowTitle);
    connect(this, &QDialog::finished, this, [this](int code) { end(code); });
    QPointer<FormDialog> self(this);
    observer_ = form.AddObserver([self](TControl&, Prop what) {
        if (what != Prop::ModalResult)
            return;
        QMetaObject::invokeMethod(
            self.data(),
            [self] {
                if (self && self->isVisible() && self->form_.ModalResult() != mrNone)
                    self->done(self->form_.ModalResult());
            },
            Qt::QueuedConnection);
    });
}

FormDialog::~FormDialog()
{
    form_.RemoveObserver(observer_);
}

void FormDialog::begin()
{
    result_ = mrNone;
    form_.SetModalResult(mrNone);
    form_.SetVisible(true);
    form_.DoShow();
}

void FormDialog::end(int code)
{
    form_.SetVisible(false);
    result_ = form_.ModalResult() != mrNone ? form_.ModalResult() : (code == QDialog::Accepted ? mrOk : mrCancel);
    Guard([this] { form_.DoClose(); });
}

int FormDialog::run()
{
    begin();
    if (form_.ModalResult() == mrNone)
        exec();
    else
        end(form_.ModalResult());  // closed by its own OnShow
    return result_;
}

void FormDialog::start()
{
    begin();
    open();
}

void FormDialog::reject()
{
    bool canClose = true;
    Guard([&] { canClose = form_.CloseQuery(); });
    if (canClose)
        QDialog::reject();
}

} // namespace view
