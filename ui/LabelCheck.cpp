// Checking a volume label where the operator enters it.
#include "ui/LabelCheck.h"

#include "image/ImageBuilder.h"
#include "platform/FatLabel.h"
#include "text/MessageCatalogue.h"
#include "toolkit/Dialogs.h"

namespace ui {

namespace {

std::string quoted(const std::string& label) { return "The volume label \"" + label + "\" cannot be used: "; }

} // namespace

std::string LabelRefusal(const std::string& label, platform::CodePage cp)
{
    if (label.empty())
        return {};
    std::string reason;
    if (platform::EncodeFatLabel(label, cp, reason))
        return {};
    return quoted(label) + reason;
}

std::string ImageLabelRefusal(const std::string& label)
{
    if (!platform::IsValidUtf8(label))
        return quoted(platform::SanitizeUtf8(label)) + "it is not valid UTF-8 text";
    for (size_t pos = 0; pos < label.size();) {
        size_t n = 1;
        while (pos + n < label.size() && (static_cast<unsigned char>(label[pos + n]) & 0xC0) == 0x80)
            ++n;
        if (static_cast<unsigned char>(label[pos]) >= 0x80)
            return quoted(label) + "an image's label holds ASCII characters only, not '" + label.substr(pos, n) + "'";
        pos += n;
    }
    std::string normalised, reason;
    if (image::NormaliseVolumeLabel(label, normalised, reason))
        return {};
    return reason;
}

bool AcceptLabel(const std::string& refusal, unsigned languageIndex)
{
    if (refusal.empty())
        return true;
    toolkit::TheDialogs().MessageBox(refusal, MessageCatalogue(kRowWarning, languageIndex),
                                     toolkit::MB_OK | toolkit::MB_ICONWARNING);
    return false;
}

} // namespace ui
