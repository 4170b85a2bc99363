#include "device/program_editor.h"

#include "config_image/intel_hex.h"

namespace kormlink {

void ScratchEditor::BuildImageHex(std::vector<std::string>& lines) {
    BuildImageHexLines(m_image, lines);
}

void ScratchEditor::LoadImageFromHex(const std::vector<std::string>& lines) {
    m_image.CurrentChannel = static_cast<std::uint8_t>(LoadImageLines(m_image, lines));
}

}  // namespace kormlink
