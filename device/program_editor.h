#pragma once

// What the device commands need of a configuration editor: its image, and the image as HEX
// lines in both directions. The editor of the command window implements it; a command line
// with no editor behind it (typed, or from the console) gets a ScratchEditor.

#include <memory>
#include <string>
#include <vector>

#include "config_image/cfg_image.h"

namespace kormlink {

class ProgramEditor {
public:
    virtual ~ProgramEditor() = default;
    virtual tCfgImage& image() = 0;
    // The image as upload lines (data records, end record, count line).
    virtual void BuildImageHex(std::vector<std::string>& lines) = 0;
    // Fills the image from downloaded or loaded record lines.
    virtual void LoadImageFromHex(const std::vector<std::string>& lines) = 0;
};

// An editor without a window: the image alone.
class ScratchEditor final : public ProgramEditor {
public:
    tCfgImage& image() override { return m_image; }
    void BuildImageHex(std::vector<std::string>& lines) override;
    void LoadImageFromHex(const std::vector<std::string>& lines) override;

private:
    tCfgImage m_image;
};

}  // namespace kormlink
