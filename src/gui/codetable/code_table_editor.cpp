#include "codetable/code_table_editor.h"

#include "codetable/code_table_editor_window.h"
#include "platform/dialogs.h"

namespace vardo::codetable {

CodeTableEditorWindow* createCodeTableEditor(QWidget* owner, std::shared_ptr<device::EncoderSlot> encoder,
                                             int keypadType, const link::CodeTable& keyCodeArray)
{
    CodeTableEditorWindow* editor = nullptr;
    switch (keypadType) {
    case 2: editor = new My4way_layout(owner); break;
    case 5: editor = new My12way_layout(owner); break;
    case 8: editor = new My16way_layout(owner); break;
    default:
        platform::dialogs().message(messages::kCaption,
                                    std::string(messages::kNotCustomised) + messages::kLineBreak,
                                    platform::MessageIcon::Warning);
        return nullptr;
    }
    editor->useEncoder(std::move(encoder));
    editor->openTable(keyCodeArray);
    return editor;
}

} // namespace vardo::codetable

bool openCodeTableEditor(QWidget* owner, std::shared_ptr<vardo::device::EncoderSlot> encoder,
                         int keypadType, const vardo::link::CodeTable& keyCodeArray)
{
    vardo::codetable::CodeTableEditorWindow* editor =
        vardo::codetable::createCodeTableEditor(owner, std::move(encoder), keypadType, keyCodeArray);
    if (!editor)
        return false;
    editor->show();
    return true;
}
