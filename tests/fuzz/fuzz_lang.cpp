// misc/lang.ini: each of its three sections is loaded, and after a Chinese one (decoded
// from Big5 or GBK) every text is valid UTF-8, also in the window's captions.
#include "FuzzSupport.h"

#include "platform/TextCodec.h"
#include "text/LangStrings.h"
#include "toolkit/Dialogs.h"
#include "ui/Language.h"
#include "ui/main.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Folder();
    static toolkit::ScriptedDialogs dialogs;
    static std::unique_ptr<TForm1> form = [] {
        toolkit::SetDialogs(&dialogs);
        auto made = std::make_unique<TForm1>();
        made->TntRdoLangSC->SetChecked(true);
        return made;
    }();
    const std::string path = fuzz::Put("misc/lang.ini", fuzz::Bytes(data, size));
    for (uint16_t id : {kLangIdEnglish, kLangIdTraditionalChinese, kLangIdSimplifiedChinese}) {
        InitLanguageStrings();
        LoadLanguageStrings(path, SectionForLangId(id));
        if (id == kLangIdEnglish)
            continue; // English is taken as it is
        for (UiString* text : AllUiStrings())
            FUZZ_CHECK(platform::IsValidUtf8(text->get()));
    }
    // The whole window in the simplified Chinese section.
    form->ApplyLanguage();
    FUZZ_CHECK(platform::IsValidUtf8(form->Caption() + form->chkBlankCheck->Caption() + form->btnSetup->Caption()));
    dialogs.Clear();
    return 0;
}
