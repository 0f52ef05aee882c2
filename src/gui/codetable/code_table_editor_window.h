#pragma once
// The one design of the three keypad code table editors: N key buttons, each
// with its modifier button on the left, arranged in rows; the code and modifier
// lists sharing one place right of the keys, with Reset, Apply and Close below.
#include "codetable/code_table_editor_model.h"
#include "device/encoder.h"
#include "platform/worker.h"

#include <QWidget>

#include <vector>

class QComboBox;
class QLabel;
class QPushButton;

namespace vardo::codetable {

// What tells the three editors apart.
struct EditorDesign {
    int keyCount;      // 4, 12 or 16
    int columns;       // keys per row; keys run row by row
    const char* title;
    const char* heading;
};

class CodeTableEditorWindow : public QWidget {
    Q_OBJECT
public:
    // Opening step: key n shows entry n of keyCodeArray (code, modifier, caption).
    void openTable(const CodeTable& keyCodeArray);
    // Where "Apply" loads the table: the slot's encoder at that moment.
    void useEncoder(std::shared_ptr<device::EncoderSlot> encoder) { encoder_ = std::move(encoder); }

    const CodeTableEditorModel& model() const { return model_; }
    // True while Apply waits for the encoder (on the window's worker).
    bool busy() const { return applying_; }
    const EditorDesign& design() const { return design_; }

    // The named colours of the key and modifier buttons.
    static QColor orange();
    static QColor green();
    static QColor red();

signals:
    // The encoder took the table: what to tell the operator, and the table sent.
    void tableLoaded(const QString& summary, const vardo::link::CodeTable& table);

protected:
    // A top-level, modeless window owned by owner, deleted when closed.
    CodeTableEditorWindow(const EditorDesign& design, QWidget* owner);

    // The window's load step, run once before it is first shown.
    virtual void runLoadStep() = 0;
    // The steps every load step holds.
    void loadSteps();

    void showEvent(QShowEvent* event) override;
    // Esc closes as Close does; Enter applies, as the default button.
    void keyPressEvent(QKeyEvent* event) override;
    // Edits not yet applied are not lost without a word: Apply, Discard or Cancel.
    void closeEvent(QCloseEvent* event) override;

private:
    void onKeyChosen(int key);
    void onModifierKeyChosen(int key);
    void onCodeChosen(int index);
    void onModifierChosen(int index);
    void onResetTable();
    void onApplyTable();
    // LOAD_CODE_TABLE with the edits, on the worker; closes the window when the
    // encoder took them, says why when not.
    void applyTable();
    void onExitEditor();
    // Shows the model: captions, colours and which list is visible.
    void refresh();

    EditorDesign design_;
    CodeTableEditorModel model_;
    std::shared_ptr<device::EncoderSlot> encoder_;
    bool loaded_ = false;
    bool applied_ = false;   // the encoder took the table: closing asks nothing
    bool applying_ = false;
    std::unique_ptr<platform::Worker> worker_;

    QLabel* label1 = nullptr;
    std::vector<QPushButton*> keyBtn;        // key1Btn .. keyNBtn
    std::vector<QPushButton*> modifierBtn;   // modifierBtn1 .. modifierBtnN
    std::vector<QLabel*> keyNameLbl;         // under each key: its number and its code's name
    QLabel* legendLbl = nullptr;             // what the colours and the type mean
    QComboBox* selectCodeCbox = nullptr;
    QComboBox* selectModifierCbox = nullptr;
    QPushButton* resetBtn = nullptr;
    QPushButton* applyBtn = nullptr;
    QPushButton* exitBtn = nullptr;
};

} // namespace vardo::codetable

// The editor of the 4-key customised layout (layout 2): keys in one column.
class My4way_layout : public vardo::codetable::CodeTableEditorWindow {
    Q_OBJECT
public:
    explicit My4way_layout(QWidget* owner = nullptr);

protected:
    void runLoadStep() override { My4way_layout_Load(); }

private:
    void My4way_layout_Load();
};

// The editor of the 12-key customised layout (layout 5): 3 columns by 4 rows.
class My12way_layout : public vardo::codetable::CodeTableEditorWindow {
    Q_OBJECT
public:
    explicit My12way_layout(QWidget* owner = nullptr);

protected:
    void runLoadStep() override { My12way_layout_Load(); }

private:
    void My12way_layout_Load();
    void Initialisation();
};

// The editor of the 16-key customised layout (layout 8): 4 columns by 4 rows.
class My16way_layout : public vardo::codetable::CodeTableEditorWindow {
    Q_OBJECT
public:
    explicit My16way_layout(QWidget* owner = nullptr);

protected:
    void runLoadStep() override { My16way_layout_Load(); }

private:
    void My16way_layout_Load();
};
