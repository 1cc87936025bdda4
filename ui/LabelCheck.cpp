// Checking a volume label where the operator enters it.
#include "ui/LabelCheck.h"

#include "image/ImageBuilder.h"
#include "platform/FatLabel.h"
#include "text/MessageCatalogue.h"
#include "toolkit/Dialogs.h"

#include <algorithm>
#include <iterator>

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
    // The first character past ASCII, named whole: its continuation bytes follow it.
    const auto first = std::find_if(label.begin(), label.end(), [](unsigned char c) { return (c & 0x80) != 0; });
    if (first != label.end()) {
        const auto next = std::find_if(std::next(first), label.end(), [](unsigned char c) { return (c & 0xC0) != 0x80; });
        return quoted(label) + "an image's label holds ASCII characters only, not '" + std::string(first, next) + "'";
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
