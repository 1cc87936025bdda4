// The image dialog (TfrmIsoMain): host files into a disk image file.
#include "ui/isomain.h"

#include <cstdio>
#include <sys/stat.h>

#include "device/HostUtil.h"
#include "image/ImageBuilder.h"
#include "platform/Clock.h"
#include "platform/IniFile.h"
#include "platform/PathListFile.h"
#include "platform/ProgramDir.h"
#include "platform/TextCodec.h"
#include "text/MessageCatalogue.h"
#include "toolkit/TThread.h"
#include "ui/LabelCheck.h"
#include "ui/main.h"

using namespace toolkit;

TfrmIsoMain* frmIsoMain = nullptr;

namespace {

constexpr const char* kOptionsSection = "DISK";
constexpr const char* kOptionsSectionOnWrite = "Disk";  // the same section, spelt as the form writes it
constexpr const char* kHiddenFilesSection = "HIDE_FILES";
constexpr const char* kDefaultLabel = "PASS WD";
constexpr int kDefaultSizeStep = 8;  // 256 MB
constexpr int kProgressStep = 10;

bool IsFolder(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path)
{
    struct stat st{};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// The last path component has no extension (a leading dot does not count).
bool HasNoExtension(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0;
}

} // namespace

// ---- TTimer ----

TfrmIsoMain::TTimer::TTimer(TWinControl* parent, std::string name) : TControl(parent, std::move(name))
{
    TControl::SetEnabled(false);
    SetVisible(false);
}

uint32_t TfrmIsoMain::TTimer::Interval() const { return get(interval_); }

void TfrmIsoMain::TTimer::SetInterval(uint32_t ms)
{
    std::lock_guard lock(mutex_);
    interval_ = ms;
}

void TfrmIsoMain::TTimer::SetEnabled(bool value)
{
    {
        std::lock_guard lock(mutex_);
        last_ = platform::CurrentClock().nowMs();
    }
    TControl::SetEnabled(value);
}

void TfrmIsoMain::TTimer::Poll()
{
    {
        std::lock_guard lock(mutex_);
        const uint64_t now = platform::CurrentClock().nowMs();
        if (!Enabled() || now - last_ < interval_)
            return;
        last_ = now;
    }
    fire(OnTimer);
}

// ---- the form ----

TfrmIsoMain::TfrmIsoMain(TWinControl* owner) : TForm("frmIsoMain", owner)
{
    frmIsoMain = this;
    buildControls();
    OnShow = [this](TControl* s) { FormShow(s); };
    OnClose = [this](TControl* s) { FormClose(s); };
    tbarHideDiskRatio->OnChange = [this](TControl* s) { tbarHideDiskRatioChange(s); };
    btnAddFile->OnClick = [this](TControl* s) { btnAddFileClick(s); };
    btnAddDir->OnClick = [this](TControl* s) { btnAddDirClick(s); };
    btnRemove->OnClick = [this](TControl* s) { btnRemoveClick(s); };
    btnCreateImg->OnClick = [this](TControl* s) { btnCreateImgClick(s); };
    edtDiskLabel->OnExit = [this](TControl*) { ui::AcceptLabel(ui::ImageLabelRefusal(edtDiskLabel->Text()), LanguageIndex); };
    Timer1->OnTimer = [this](TControl* s) { Timer1Timer(s); };
    // The build holds the dialog's inputs; the operator's close waits until it ends, so
    // the result box shows over this dialog and the path reaches the settings dialog.
    OnCloseQuery = [this](TControl*, bool& canClose) { canClose = !building_; };
    FormCreate(this);
}

TfrmIsoMain::~TfrmIsoMain()
{
    if (frmIsoMain == this)
        frmIsoMain = nullptr;
}

void TfrmIsoMain::buildControls()
{
    SetCaption("IMG tool");
    SetBounds(0, 0, 430, 390);

    lblDiskLabel = Make<TLabel>("lblDiskLabel");
    lblDiskLabel->SetCaption("Disk Label");
    lblDiskLabel->SetBounds(12, 14, 100, 17);
    edtDiskLabel = Make<TEdit>("edtDiskLabel");
    edtDiskLabel->SetCharCase(TEditCharCase::UpperCase);
    edtDiskLabel->SetMaxLength(8);
    edtDiskLabel->SetBounds(120, 10, 120, 21);

    lblDiskSize = Make<TLabel>("lblDiskSize");
    lblDiskSize->SetCaption("Disk Size(MB)");
    lblDiskSize->SetBounds(12, 44, 100, 17);
    tbarHideDiskRatio = Make<TTrackBar>("tbarHideDiskRatio");
    tbarHideDiskRatio->SetMax(256);
    tbarHideDiskRatio->SetMin(4);
    tbarHideDiskRatio->SetPosition(32);
    tbarHideDiskRatio->SetFrequency(10);
    tbarHideDiskRatio->SetBounds(12, 64, 300, 30);
    edtDiskSize = Make<TEdit>("edtDiskSize");
    edtDiskSize->SetReadOnly(true);
    edtDiskSize->SetBounds(320, 66, 60, 21);
    Label1 = Make<TLabel>("Label1");
    Label1->SetCaption("MB");
    Label1->SetBounds(386, 70, 30, 17);

    grpHiddenFiles = Make<TGroupBox>("grpHiddenFiles");
    grpHiddenFiles->SetCaption("Hidden Files");
    grpHiddenFiles->SetBounds(12, 100, 404, 220);
    TntlstHideFiles = grpHiddenFiles->Make<TListBox>("TntlstHideFiles");
    TntlstHideFiles->SetMultiSelect(true);
    TntlstHideFiles->SetBounds(8, 18, 388, 160);
    btnAddFile = grpHiddenFiles->Make<TButton>("btnAddFile");
    btnAddFile->SetCaption("Add Files");
    btnAddFile->SetBounds(8, 186, 120, 25);
    btnAddDir = grpHiddenFiles->Make<TButton>("btnAddDir");
    btnAddDir->SetCaption("Add Dir");
    btnAddDir->SetBounds(142, 186, 120, 25);
    btnRemove = grpHiddenFiles->Make<TButton>("btnRemove");
    btnRemove->SetCaption("Remove");
    btnRemove->SetBounds(276, 186, 120, 25);

    btnCreateImg = Make<TButton>("btnCreateImg");
    btnCreateImg->SetCaption("Create Image");
    btnCreateImg->SetBounds(148, 330, 130, 28);
    ProgressBar1 = Make<TGauge>("ProgressBar1");
    ProgressBar1->SetMinValue(0);
    ProgressBar1->SetMaxValue(100);
    ProgressBar1->SetVisible(false);
    ProgressBar1->SetBounds(12, 364, 404, 16);
    Timer1 = Make<TTimer>("Timer1");

    fsDlg.Options.filter = "Image File *.IMG|*.IMG";
    fsDlg.Options.defaultExt = "IMG";
    TntfoDlg.Options.multiSelect = true;
}

std::string TfrmIsoMain::ListFilePath() { return platform::ProgramPath("misc\\isoseting.ini"); }

std::string TfrmIsoMain::OptionsFilePath() { return platform::ProgramPath(".\\misc\\ImgTool.ini"); }

void TfrmIsoMain::FormCreate(TControl*)
{
    platform::IniFile options(OptionsFilePath());
    edtDiskLabel->SetText(options.ReadString(kOptionsSection, "Label", kDefaultLabel));
    tbarHideDiskRatio->SetPosition(options.ReadInteger(kOptionsSection, "DiskSize", kDefaultSizeStep));
    tbarHideDiskRatioChange(tbarHideDiskRatio);

    std::vector<std::string> entries;
    if (platform::PathListFile::Load(ListFilePath(), entries)) {
        TStrings* items = TntlstHideFiles->Items();
        items->Assign(std::move(entries));
        // Entries that name nothing any more are dropped; the entry that moves into a
        // deleted one's place is examined too.
        for (int i = 0; i < items->Count();) {
            if (Exists(items->Strings(i)))
                ++i;
            else
                items->Delete(i);
        }
    }
}

void TfrmIsoMain::FormShow(TControl*)
{
    if (Form1)
        LanguageIndex = Form1->LanguageIndex.load();
    SetCaptions();
}

void TfrmIsoMain::FormClose(TControl*)
{
    // The list lives in the misc folder too, so the folder is made first: saving the list
    // into a missing folder would lose it.
    const std::string misc = platform::ProgramPath("misc");
    if (!IsFolder(misc) && ::mkdir(misc.c_str(), 0777) != 0 && !IsFolder(misc)) {
        TheDialogs().MessageBox("Create misc dir fail!", "ERROR", MB_OK | MB_ICONERROR);
        return;
    }

    // Each file is written even when the other fails; failures are reported together,
    // as the class library's write error would have been.
    std::string failures;
    const std::vector<std::string> entries = TntlstHideFiles->Items()->ToVector();
    if (!platform::PathListFile::Save(ListFilePath(), entries))
        failures = "Unable to write to " + ListFilePath();

    platform::IniFile options(OptionsFilePath());
    options.WriteString(kOptionsSection, "Label", edtDiskLabel->Text());
    options.WriteInteger(kOptionsSectionOnWrite, "DiskSize", tbarHideDiskRatio->Position());
    options.EraseSection(kHiddenFilesSection);
    for (size_t i = 0; i < entries.size(); ++i)
        options.WriteString(kHiddenFilesSection, "files" + std::to_string(i),
                            platform::EncodeFromUtf8(entries[i], platform::CodePage::Utf8));
    if (!options.UpdateFile())
        failures += (failures.empty() ? "" : "\n") + ("Unable to write to " + OptionsFilePath());

    if (!failures.empty())
        TheDialogs().MessageBox(failures, Application->Title(), MB_OK | MB_ICONERROR);
}

void TfrmIsoMain::SetCaptions()
{
    const unsigned lang = LanguageIndex;
    SetCaption(MessageCatalogue(kRowCreateImage, lang));
    lblDiskLabel->SetCaption(MessageCatalogue(kRowDiskLabel, lang));
    lblDiskSize->SetCaption(MessageCatalogue(kRowImageDiskSize, lang));
    grpHiddenFiles->SetCaption(MessageCatalogue(kRowHiddenFiles, lang));
    btnCreateImg->SetCaption(MessageCatalogue(kRowCreateImage, lang));
    btnAddFile->SetCaption(MessageCatalogue(kRowAddFiles, lang));
    btnAddDir->SetCaption(MessageCatalogue(kRowAddDir, lang));
    btnRemove->SetCaption(MessageCatalogue(kRowRemove, lang));
}

void TfrmIsoMain::btnAddFileClick(TControl*)
{
    TntfoDlg.Files = TheDialogs().OpenFiles(TntfoDlg.Options);
    TntfoDlg.FileName = TntfoDlg.Files.empty() ? std::string() : TntfoDlg.Files.front();
    for (const std::string& path : TntfoDlg.Files)
        TntlstHideFiles->Items()->Add(path);
}

void TfrmIsoMain::btnAddDirClick(TControl*)
{
    std::string path;
    if (SelectDirectory("", "Select Directory", path) && !path.empty())
        TntlstHideFiles->Items()->Add(path);
}

void TfrmIsoMain::btnRemoveClick(TControl*)
{
    for (int i = TntlstHideFiles->Items()->Count() - 1; i >= 0; --i)
        if (TntlstHideFiles->Selected(i))
            TntlstHideFiles->Items()->Delete(i);
}

void TfrmIsoMain::tbarHideDiskRatioChange(TControl*)
{
    edtDiskSize->SetText(std::to_string(tbarHideDiskRatio->Position() * int(image::kImageSizeStepMB)));
}

void TfrmIsoMain::Timer1Timer(TControl*)
{
    ProgressBar1->SetProgress((ProgressBar1->Progress() + kProgressStep) % 100);
}

void TfrmIsoMain::SetBusy(bool enabled)
{
    for (TControl* c : std::initializer_list<TControl*>{btnCreateImg, btnAddDir, btnAddFile, btnRemove,
                                                         tbarHideDiskRatio, edtDiskLabel})
        c->SetEnabled(enabled);
    ProgressBar1->SetVisible(!enabled);
    Timer1->SetEnabled(!enabled);
}

void TfrmIsoMain::PumpMessages()
{
    if (Application)
        Application->ProcessMessages();
    Timer1->Poll();
}

bool TfrmIsoMain::runSaveDialog()
{
    toolkit::FileDialogOptions options = fsDlg.Options;
    options.fileName = fsDlg.FileName;
    std::optional<std::string> chosen = TheDialogs().SaveFile(options);
    if (!chosen || chosen->empty())
        return false;
    std::string name = *chosen;
    // As the platform's save dialog does: a name typed without an extension gets the
    // default one.
    if (!fsDlg.Options.defaultExt.empty() && HasNoExtension(name))
        name += "." + fsDlg.Options.defaultExt;
    fsDlg.FileName = name;
    return true;
}

void TfrmIsoMain::btnCreateImgClick(TControl*)
{
    // The build lets window messages through; a second click cannot start a second build.
    if (building_)
        return;
    // A label the image cannot hold is named before the operator picks a file name.
    if (!ui::AcceptLabel(ui::ImageLabelRefusal(edtDiskLabel->Text()), LanguageIndex))
        return;
    if (!runSaveDialog()) {
        SetBusy(true);
        return;
    }
    SetBusy(false);
    building_ = true;
    const bool ok = CreateImage();
    building_ = false;
    SetBusy(true);
    if (!ok)
        return;
    const unsigned lang = LanguageIndex;
    TheDialogs().MessageBox(std::string(MessageCatalogue(kRowCreateImage, lang)) + MessageCatalogue(kRowSuccess, lang),
                            MessageCatalogue(kRowSuccess, lang), MB_OK | MB_ICONINFORMATION);
    createdImagePath_ = fsDlg.FileName;
    if (SettingImgFileEdit)
        SettingImgFileEdit->SetText(fsDlg.FileName);
}

bool TfrmIsoMain::CreateImage()
{
    const unsigned lang = LanguageIndex;
    const std::string fail = MessageCatalogue(kRowFail, lang);
    const std::string createFailText = MessageCatalogue(kRowInitImageDisk, lang) + fail;
    const std::string outputFailText = MessageCatalogue(kRowImageOutput, lang) + fail;

    image::ImageBuildRequest request;
    request.hostPaths = TntlstHideFiles->Items()->ToVector();
    request.label = edtDiskLabel->Text();
    // The size is the number the read-only edit shows; a text that is not one (it cannot
    // be, the track bar writes it) is left to the builder's size check.
    int32_t mb = 0;
    request.diskSizeMB = platform::IniFile::ParseInteger(edtDiskSize->Text(), mb) && mb > 0 ? uint32_t(mb) : 0;
    request.outputPath = fsDlg.FileName;

    image::ImageBuildOptions options;
    options.pump = [this] { PumpMessages(); };
    PumpMessages();
    const image::ImageBuildResult result = image::BuildImage(request, options);
    if (result.ok) {
        lastBuildError_.clear();
        return true;
    }
    // The catalogue's text, then why: which file or label, and what went wrong.
    lastBuildError_ = result.error;
    std::fprintf(stderr, "image build: %s\n", result.error.c_str());
    const std::string& text = result.failedStage == image::ImageBuildStage::Output ? outputFailText : createFailText;
    TheDialogs().MessageBox(result.error.empty() ? text : text + "\n" + result.error, fail, MB_OK | MB_ICONERROR);
    return false;
}
