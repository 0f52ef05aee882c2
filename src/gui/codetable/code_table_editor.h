#pragma once
// Opening the keypad code table editors from the main window.
#include "link/code_table.h"

#include <memory>

class QWidget;

namespace vardo::codetable {
class CodeTableEditorWindow;
}
namespace vardo::device {
class EncoderSlot;
}

// Opens a new modeless editor for the customised layouts 2 (4 keys), 5 (12 keys)
// and 8 (16 keys), filled from the first 4, 12 or 16 entries of keyCodeArray,
// owned by owner and centred on the screen; it loads the table into encoder's
// current encoder. Returns true when one opened. For any
// other layout it shows "Please select a customise table.." and returns false.
// The caller has already read the encoder's status. GUI thread only.
bool openCodeTableEditor(QWidget* owner, std::shared_ptr<vardo::device::EncoderSlot> encoder,
                         int keypadType, const vardo::link::CodeTable& keyCodeArray);

namespace vardo::codetable {

// The same without showing: the new editor, not yet shown (its load step runs
// when it is first shown), or null after the message above. The window deletes
// itself when closed.
CodeTableEditorWindow* createCodeTableEditor(QWidget* owner, std::shared_ptr<device::EncoderSlot> encoder,
                                             int keypadType, const link::CodeTable& keyCodeArray);

} // namespace vardo::codetable
