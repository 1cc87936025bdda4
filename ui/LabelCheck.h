#pragma once
// Volume labels are checked where the operator enters them (the main window's label, the
// hidden disk's, the image dialog's), so that a label a device cannot take is refused at
// once rather than failing every device at its label step.
#include "platform/TextCodec.h"

#include <string>

namespace ui {

// Why the label cannot go onto a device's FAT volume in code page cp ("" when it can; an
// empty label means none and is accepted). The reason names the character the code page
// or FAT cannot hold, or the length in bytes of cp.
std::string LabelRefusal(const std::string& label, platform::CodePage cp);

// The same for the image dialog, whose image builder writes ASCII labels only; the reason
// names the whole character (never a lone byte of it).
std::string ImageLabelRefusal(const std::string& label);

// Shows the refusal in a warning box (caption: "Warning" in the language); true when
// there is nothing to refuse.
bool AcceptLabel(const std::string& refusal, unsigned languageIndex);

} // namespace ui
