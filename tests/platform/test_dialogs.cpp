#include "platform/dialogs.h"
#include "platform/qt_dialogs.h"
#include "platform/recording_dialogs.h"

#include <QString>
#include <gtest/gtest.h>

using namespace vardo::platform;

TEST(RecordingDialogs, RecordsMessagesAndAnswersFromItsScript)
{
    RecordingDialogs rec;
    ScopedDialogs scoped(rec);
    rec.answerQuestion(true);
    rec.answerOpenFile(std::string("/tmp/x.ini"));

    dialogs().message("Vardo USB Encoder", "Unable to Write Default..\n", MessageIcon::Warning);
    EXPECT_TRUE(dialogs().question("Firmware Upgrade", "Are you sure?"));
    EXPECT_FALSE(dialogs().question("Firmware Upgrade", "Again?")); // script used up: No
    EXPECT_EQ(dialogs().openFile("(*.ini)|*.ini", "", ""), std::optional<std::string>("/tmp/x.ini"));
    EXPECT_EQ(dialogs().selectFolder("Pick", "/home"), std::nullopt);

    ASSERT_EQ(rec.records().size(), 5u);
    EXPECT_EQ(rec.records()[0].caption, "Vardo USB Encoder");
    EXPECT_EQ(rec.messages(), std::vector<std::string>{"Unable to Write Default..\n"});
}

TEST(DialogsSeam, DefaultAnswersNoAndCancel)
{
    EXPECT_FALSE(dialogs().question("c", "t"));
    EXPECT_EQ(dialogs().openFile("", "", ""), std::nullopt);
}

TEST(QtDialogs, FilterTextBecomesQtFilter)
{
    EXPECT_EQ(qtFilterFrom("(*.ini)|*.ini|All files (*.ini)|*.ini"),
              QString("(*.ini);;All files (*.ini)"));
    EXPECT_EQ(qtFilterFrom("(*.txt)|*.txt|All files (*.*)|*.*"), QString("(*.txt);;All files (*.*)"));
    EXPECT_EQ(qtFilterFrom("Images|*.txt"), QString("Images (*.txt)"));
}
