// The user interface's language: choosing it, loading its texts and redrawing the forms.
#include "ui/Language.h"

#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"

#include "device/HostUtil.h"
#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "platform/SystemLanguage.h"
#include "platform/TextCodec.h"
#include "toolkit/TThread.h"
#include "ui/ProductionSettings.h"
#include "ui/main.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

LanguageChoice LanguageChoiceFromValue(int storedValue)
{
    switch (storedValue) {
    case kLanguageChoiceEnglish: return kLanguageChoiceEnglish;
    case kLanguageChoiceSimplified: return kLanguageChoiceSimplified;
    case kLanguageChoiceTraditional: return kLanguageChoiceTraditional;
    default: return kLanguageChoiceAuto;
    }
}

uint16_t LangIdFromLocale(const std::string& localeName)
{
    return platform::LangIdFromLocale(localeName);
}

uint16_t GetSystemDefaultLangID()
{
    return platform::SystemLanguageId();
}

uint16_t LangIdForChoice(LanguageChoice choice)
{
    switch (choice) {
    case kLanguageChoiceSimplified: return kLangIdSimplifiedChinese;
    case kLanguageChoiceTraditional: return kLangIdTraditionalChinese;
    case kLanguageChoiceEnglish: return kLangIdEnglish;
    default: return GetSystemDefaultLangID();
    }
}

LanguageSection SectionForLangId(uint16_t langId)
{
    if (langId == kLangIdSimplifiedChinese)
        return {"Chinese (PRC)", kLanguageSimplifiedChinese};
    if (langId == kLangIdTraditionalChinese)
        return {"Chinese (Taiwan)", kLanguageTraditionalChinese};
    return {"English", kLanguageEnglish};
}

void LoadLanguageStrings(const std::string& iniPath, const LanguageSection& section)
{
    const platform::IniFile ini(iniPath);
    // Big5 and GBK in the Chinese sections, the system code page (UTF-8) in English;
    // bytes that do not decode show as U+FFFD.
    const platform::CodePage codePage = platform::CodePageOfLanguage(section.languageIndex);
    for (UiString* s : KeyedUiStrings()) {
        // Only a key that is present replaces the text (an empty value empties it);
        // the current text stays otherwise, not the built-in English.
        if (ini.ValueExists(section.section, s->key()))
            s->set(platform::DecodeToUtf8(ini.ReadBytes(section.section, s->key(), ""), codePage));
    }
    BlankingCheckSetupStr = BlankingCheckStr + SettingMsg;
}

std::vector<std::string> KeyedUiStringTexts()
{
    std::vector<std::string> texts;
    for (const UiString* s : KeyedUiStrings())
        texts.push_back(s->get());
    return texts;
}

std::string RedrawCaption(const std::string& caption, const std::vector<std::string>& before)
{
    const auto& strings = KeyedUiStrings();
    const size_t count = std::min(before.size(), strings.size());
    // The stage or result the caption starts with.
    std::string head, rest = caption;
    size_t best = count;
    for (size_t i = 0; i < count; ++i)
        if (!before[i].empty() && caption.compare(0, before[i].size(), before[i]) == 0 &&
            (best == count || before[i].size() > before[best].size()))
            best = i;
    if (best < count) {
        head = strings[best]->get();
        rest = caption.substr(before[best].size());
    }
    // The result word a failure caption ends with ("Set Volume Label" + " " + "fail").
    for (const UiString* word : {&FailMsg, &SuccessMsg}) {
        const auto at = static_cast<size_t>(std::find(strings.begin(), strings.begin() + count, word) - strings.begin());
        if (at >= count)
            continue;
        const std::string& old = before[at];
        if (!old.empty() && rest.size() >= old.size() &&
            rest.compare(rest.size() - old.size(), old.size(), old) == 0) {
            rest = rest.substr(0, rest.size() - old.size()) + word->get();
            break;
        }
    }
    return head + rest;
}

std::string MainWindowCaption(const std::string& fsmVersion)
{
    return TitleStr + " (6205, " + kBuildDateText + ") + " + fsmVersion;
}

// ---- the main window's part -------------------------------------------------------------

LanguageChoice StoredLanguageChoice(const TForm1& form)
{
    if (form.TntRdoLangEng->Checked())
        return kLanguageChoiceEnglish;
    if (form.TntRdoLangSC->Checked())
        return kLanguageChoiceSimplified;
    if (form.TntRdoLangTC->Checked())
        return kLanguageChoiceTraditional;
    return kLanguageChoiceAuto;
}

LanguageChoice AppliedLanguageChoice(const TForm1& form)
{
    if (form.TntRdoLangAuto->Checked())
        return kLanguageChoiceAuto;
    if (form.TntRdoLangSC->Checked())
        return kLanguageChoiceSimplified;
    if (form.TntRdoLangTC->Checked())
        return kLanguageChoiceTraditional;
    return kLanguageChoiceEnglish;
}

void TForm1::TntRdoLangAutoClick(toolkit::TControl* /*Sender*/)
{
    // Which radio was clicked does not matter: the checked one decides. A failed write
    // only loses the choice for the next start.
    RegWriteInteger(kLanguageRegistryKey, kLanguageRegistryValue, StoredLanguageChoice(*this));
    ApplyLanguage();
}

void TForm1::ApplyLanguage()
{
    const LanguageSection section = SectionForLangId(LangIdForChoice(AppliedLanguageChoice(*this)));
    const unsigned lang = section.languageIndex;
    LanguageIndex = lang;
    const std::vector<std::string> before = KeyedUiStringTexts();
    LoadLanguageStrings(platform::ProgramPath("misc/lang.ini"), section);

    // A waiting panel waits in the new language. A panel that shows a device keeps what
    // it says about it (its stage or result and reason, its gauge, its flash line, a
    // manual start it waits for), redrawn in the new language; a running thread writes
    // its next stage over it anyway.
    toolkit::TStaticText* const status[kDeviceSlots] = {D1infoStr, D2infoStr, D3infoStr, D4infoStr,
                                                        D5infoStr, D6infoStr, D7infoStr, D8infoStr};
    toolkit::TGauge* const gauge[kDeviceSlots] = {ProgressBar1, ProgressBar2, ProgressBar3, ProgressBar4,
                                                  ProgressBar5, ProgressBar6, ProgressBar7, ProgressBar8};
    const std::string waiting = before[static_cast<size_t>(
        std::find(KeyedUiStrings().begin(), KeyedUiStrings().end(), &WaitDeviceMsg) - KeyedUiStrings().begin())];
    for (int i = 0; i < kDeviceSlots; ++i) {
        auto lock = status[i]->Lock();
        const std::string caption = status[i]->Caption();
        if (caption == waiting || caption == kDesignWaitText) {
            status[i]->SetCaption(WaitDeviceMsg);
            gauge[i]->SetProgress(0);
        } else {
            status[i]->SetCaption(RedrawCaption(caption, before));
        }
    }

    std::string diskFeature;
    if (DiskFeatureText(eDeviceFeature, iHideDiskRatio, lang, diskFeature))
        labDiskFeature->SetCaption(diskFeature);
    btnSetup->SetCaption(AdvanceStr + SettingMsg + "...");

    uint32_t fsmSize = iFsmSize;
    const std::string fsmVersion = GetFsmVersion(fsmSize);
    iFsmSize = fsmSize;
    SetCaption(MainWindowCaption(fsmVersion));
    if (toolkit::Application != nullptr)
        toolkit::Application->SetTitle(TitleStr);

    TabSheet4->SetCaption(PageStr);
    LabelStatic->SetCaption(LabelStr + ":");
    AddFilesBtn->SetCaption(AddFileStr + "...");
    RemoveBtn->SetCaption(RemoveStr);
    GroupBox16->SetCaption(LogStr);
    chkFormat->SetCaption(FormatStr);
    chkParityCheck->SetCaption(FwParityCheckStr);
    chknor->SetCaption(MessageCatalogue(kRowNorReadCheck, lang));
    grpFileList->SetCaption(SysPreCopyStr);
    chkISOupgrade->SetCaption(VirtualCDROMStr);
    CheckManuupgrade->SetCaption(MenuUpgradeStr);
    chkBlankCheck->SetCaption(BlankingCheckStr);
    if (lang != kLanguageEnglish)
        chkBlankCheck->SetCaption(chkBlankCheck->Caption() + " Flash");
    SystemAreachk->SetCaption(FixSystemAreaSizeStr);
    chkUsbPort->SetCaption(MessageCatalogue(kRowFixUsbIo, lang));
    chkClearFlash->SetCaption(MessageCatalogue(kRowClearFlash, lang));
    // The size the copy list or a run wrote stays beside the new words.
    labSystemArea->SetCaption(RedrawCaption(labSystemArea->Caption(), before));
    Upgradebtn->SetCaption(MenuUpgradeStartStr);
    labType->SetCaption(std::string(MessageCatalogue(kRowDiskSplit, lang)) + ":");

    toolkit::TStaticText* const panelTitle[kDeviceSlots] = {StaticText1, StaticText3, StaticText4,
                                                            StaticText5, StaticText6, StaticText7,
                                                            StaticText8, StaticText9};
    for (int i = 0; i < kDeviceSlots; ++i)
        panelTitle[i]->SetCaption(DeviceStr + " " + std::to_string(i + 1) + ": ");

    StaticText10->SetCaption(TotalMsg + ":");
    StaticText11->SetCaption(SuccessMsg + ":");
    StaticText12->SetCaption(FailMsg + ":");
    chkFwUpgrade->SetCaption(FwUpgradeStr);
    grpProcessStatus->SetCaption(ProcessStatusStr);
    btnAddDir->SetCaption(MessageCatalogue(kRowAddDir, lang));
    if (SettingForm != nullptr)
        SettingForm->SetCaption(AdvanceStr + SettingMsg);
}
