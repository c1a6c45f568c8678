#include <QDialog>
#include <QPushButton>
#include <QTimer>

#include "common/operator_seam.h"
#include "station/scripted_operator.h"
#include "station_test_support.h"

namespace corva::station {
namespace {

TEST(OperatorSeam, ScriptedAnswersInOrderAndRecordsWhatWasShown) {
    ScriptedOperator script;
    OperatorSeamGuard guard(script);
    script.answer(MsgResult::No);
    script.answerInput(QString(""));
    script.answerInput(std::nullopt);

    EXPECT_EQ(op().message("Cancel current changes?", {}, MsgIcon::Question, MsgButtons::YesNo), MsgResult::No);
    const auto empty = op().inputBox("Please enter new name:");
    ASSERT_TRUE(empty.has_value());  // OK on an empty box is not Cancel
    EXPECT_TRUE(empty->isEmpty());
    EXPECT_FALSE(op().inputBox("(0010,0010):", "Enter new value", "X").has_value());
    // Nothing queued: the "nobody there" answer, listed as unexpected.
    EXPECT_EQ(op().message("Undone tasks in list!", {}, MsgIcon::Question, MsgButtons::YesNo), MsgResult::No);

    ASSERT_EQ(script.shown().size(), 4u);
    EXPECT_EQ(script.shown()[2].title, "Enter new value");
    EXPECT_EQ(script.shown()[2].defaultAnswer, "X");
    ASSERT_EQ(script.unexpected().size(), 1u);
    EXPECT_EQ(script.unexpected()[0].text, "Undone tasks in list!");
    EXPECT_EQ(script.pending(), 0u);
}

TEST(OperatorSeam, AnswerOfAnotherKindIsNotTaken) {
    ScriptedOperator script;
    OperatorSeamGuard guard(script);
    script.answerColour(QColor(Qt::red));
    EXPECT_FALSE(op().openFile({}).has_value());
    EXPECT_EQ(script.pending(), 1u);
    EXPECT_EQ(op().colour(Qt::black).value(), QColor(Qt::red));
}

TEST(OperatorSeam, RunModalRunsTheRealWindowWithItsTimers) {
    ScriptedOperator script;
    OperatorSeamGuard guard(script);
    QDialog dialog;
    dialog.setObjectName("EditForm");
    bool timerFired = false;
    QTimer::singleShot(50, &dialog, [&] {
        timerFired = true;
        dialog.accept();
    });
    script.answerWindow(ScriptedOperator::runModal());
    EXPECT_EQ(op().exec(dialog), QDialog::Accepted);
    EXPECT_TRUE(timerFired);
    EXPECT_EQ(script.shown().at(0).text, "EditForm");
}

TEST(OperatorSeam, PipeFilterBecomesQtFilter) {
    EXPECT_EQ(qtFileFilter("DICOM Image (*.dcm)|*.dcm|All files (*.*)|*.*"),
              "DICOM Image (*.dcm);;All files (*.*)");
    EXPECT_EQ(qtFileFilter("Text|*.txt;*.log"), "Text (*.txt *.log)");
}

}  // namespace
}  // namespace corva::station
