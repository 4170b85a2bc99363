#pragma once

// The configuration editor model as the editor of a device command.

#include <memory>

#include "config_image/editor_model.h"
#include "device/program_editor.h"

namespace kormlink {

class ConfigEditorAdapter final : public ProgramEditor {
public:
    explicit ConfigEditorAdapter(std::shared_ptr<ConfigEditor> editor) : m_editor(std::move(editor)) {}
    tCfgImage& image() override { return m_editor->image(); }
    void BuildImageHex(std::vector<std::string>& lines) override { m_editor->BuildImageHex(lines); }
    void LoadImageFromHex(const std::vector<std::string>& lines) override {
        m_editor->LoadImageFromHex(lines);
    }
    ConfigEditor& editor() { return *m_editor; }

private:
    std::shared_ptr<ConfigEditor> m_editor;
};

}  // namespace kormlink
