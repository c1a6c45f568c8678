// The header view and task list controls over the plain classes (offscreen).
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <tuple>

#include "common/list_view.h"
#include "dicom_fixture.h"
#include "header/header_panel.h"
#include "station/scripted_operator.h"

namespace corva::station::header {
namespace {

using corva::dicom::Tag;

QApplication& app()
{
    static int argc = 1;
    static char name[] = "header_panel_tests";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication a(argc, argv);
    return a;
}

struct Panel {
    Panel()
    {
        c.lvHeader = new ListView("lvHeader", {"Tag", "Description", "Value"}, &root);
        c.lvTasks = new ListView("lvTasks", {"Level", "Source", "Old value", "Task", "Target"}, &root);
        c.cboLevel = new QComboBox(&root);
        c.cboTask = new QComboBox(&root);
        c.cboTarget = new QComboBox(&root);
        c.txtNeu = new QLineEdit(&root);
        c.txtSelected = new QLineEdit(&root);
        c.cmdAddTask = new QPushButton("Add Task", &root);
        c.cmdDeleteTask = new QPushButton("Delete Task", &root);
        panel = std::make_unique<HeaderPanel>(c);
        panel->initialise();
    }
    struct AppFirst {
        AppFirst() { app(); }
    } first;
    QWidget root;
    HeaderControls c;
    std::unique_ptr<HeaderPanel> panel;
};

TEST(HeaderPanelTest, FillClickAndAddTask)
{
    ScriptedOperator script;
    OperatorSeamGuard guard(script);
    Panel p;
    EXPECT_EQ(p.c.cboLevel->currentText(), "Image");
    EXPECT_EQ(p.c.cboTask->currentText(), "Change entry");
    auto& set = p.panel->tagSet();
    set.add("0020,000D", "Study Instance UID");
    set.add("0018,0060", "KVP");
    set.add("0020,0020", "Patient Orientation");
    corva::test::DicomRecipe r;
    r.extra = {{Tag{0x0018, 0x0060}, "28"}, {Tag{0x0020, 0x0020}, "L\\R"}};
    auto image = corva::test::makeImage(r);
    auto ds = image.attributes();
    p.panel->LoadHeaderData(&ds);
    ASSERT_EQ(p.c.lvHeader->count(), 3);
    EXPECT_EQ(p.c.lvHeader->itemAtPosition(1)->text(0), "0018,0060");
    EXPECT_EQ(p.c.lvHeader->itemAtPosition(3)->text(2), "L | R");

    emit p.c.lvHeader->itemClicked(p.c.lvHeader->itemAtPosition(2), 0);
    EXPECT_EQ(p.c.txtNeu->text(), "New UID");
    EXPECT_FALSE(p.c.txtNeu->isEnabled());
    EXPECT_FALSE(p.c.cboTask->isEnabled());
    emit p.c.lvHeader->itemClicked(p.c.lvHeader->itemAtPosition(1), 0);
    EXPECT_TRUE(p.c.cboTask->isEnabled());
    EXPECT_EQ(p.c.txtSelected->text(), "0018,0060 - KVP");

    p.panel->hooks().selectedImageIndex = [] { return 2; };
    p.panel->hooks().loadedLevel = [] { return std::string("Serie"); };
    p.panel->hooks().exposureValues = [] {
        return std::vector<ExposureValue>{{"0018,1152", "63"}, {"0018,0060", "30"}, {"0020,0020", "A\\P"}};
    };
    p.panel->addTask();
    const auto tasks = p.panel->tasks();
    ASSERT_EQ(tasks.size(), 2u);
    EXPECT_EQ(tasks[0].level, "Image #2");
    EXPECT_EQ(tasks[0].source, "0018,0060 - KVP");
    EXPECT_EQ(tasks[0].oldValue, "28");
    EXPECT_EQ(tasks[0].target, "30");
    EXPECT_EQ(tasks[0].actionNumber, "0");

    p.c.lvTasks->itemAtPosition(1)->setSelected(true);
    p.panel->deleteTask();
    EXPECT_EQ(p.panel->tasks().size(), 1u);

    p.c.cboLevel->setCurrentText("Series");
    p.panel->hooks().loadedLevel = [] { return std::string("Studie"); };
    script.answer(MsgResult::OK);
    p.panel->addTask();
    EXPECT_TRUE(p.panel->tasks().empty());
    EXPECT_EQ(script.messages().back(), "Cannot create series task on study level.");
}

// Tasks a record selection made are no work of the operator's: leaving them asks
// nothing. Once she changes the list, they are hers.
TEST(HeaderPanelTest, RecordTasksBecomeTheOperatorsOnlyWhenSheChangesThem)
{
    ScriptedOperator script;
    OperatorSeamGuard guard(script);
    Panel p;
    p.panel->tagSet().add("0018,0060", "KVP");
    p.panel->tagSet().add("0018,1152", "Exposure");
    corva::test::DicomRecipe r;
    auto image = corva::test::makeImage(r);
    auto ds = image.attributes();
    p.panel->LoadHeaderData(&ds);
    p.panel->hooks().exposureValues = [] { return std::vector<ExposureValue>{{"0018,0060", "28"}, {"0018,1152", "63"}}; };
    EXPECT_FALSE(p.panel->holdsOperatorTasks());
    p.panel->addRecordTasks();
    ASSERT_EQ(p.panel->tasks().size(), 2u);
    EXPECT_FALSE(p.panel->holdsOperatorTasks());
    p.c.lvTasks->itemAtPosition(2)->setSelected(true);
    p.panel->deleteTask();
    EXPECT_TRUE(p.panel->holdsOperatorTasks());
    // Another record chosen: her changed list is replaced only when she says so.
    script.answer(MsgResult::No);
    p.panel->addRecordTasks();
    EXPECT_EQ(p.panel->tasks().size(), 1u);
    EXPECT_TRUE(p.panel->holdsOperatorTasks());
    EXPECT_EQ(script.messages().back(), "Replace the tasks in the list with the values of the selected exposure record?");
    script.answer(MsgResult::Yes);
    p.panel->addRecordTasks();
    EXPECT_EQ(p.panel->tasks().size(), 2u);
    EXPECT_FALSE(p.panel->holdsOperatorTasks());
    p.panel->addTask();  // the "Add Task" button: the operator's own
    EXPECT_TRUE(p.panel->holdsOperatorTasks());
    p.panel->clearTasks();
    EXPECT_FALSE(p.panel->holdsOperatorTasks());
}

// The "Add Task" button with a header row clicked: one task for that attribute, added to
// the tasks already listed.
TEST(HeaderPanelTest, AddTaskButtonMakesTheTaskOfTheClickedAttribute)
{
    ScriptedOperator script;
    OperatorSeamGuard guard(script);
    Panel p;
    auto& set = p.panel->tagSet();
    set.add("0010,0010", "Patient's Name");
    set.add("0020,000E", "Series Instance UID");
    set.add("0018,1150", "Exposure Time");
    set.add("0018,6000", "Sensitivity");
    corva::test::DicomRecipe r;
    r.patientName = "Muster^Anna";
    r.extra = {{Tag{0x0018, 0x1150}, "500"}};
    auto image = corva::test::makeImage(r);
    auto ds = image.attributes();
    p.panel->LoadHeaderData(&ds);
    p.panel->hooks().selectedImageIndex = [] { return 2; };
    p.panel->hooks().loadedLevel = [] { return std::string("Studie"); };
    const auto rowOf = [&](const QString& tag) {
        for (int i = 1; i <= p.c.lvHeader->count(); ++i)
            if (p.c.lvHeader->itemAtPosition(i)->text(0) == tag)
                return p.c.lvHeader->itemAtPosition(i);
        return static_cast<QTreeWidgetItem*>(nullptr);
    };

    struct Step {
        QString tag;
        QString level;
        int action;
        QString typed;   // txtNeu
        QString target;  // cboTarget entry
        HeaderTask made; // level empty: nothing made, `refusal` shown
        QString refusal;
    };
    const std::vector<Step> steps = {
        {"0010,0010", "Patient", 0, "Muster^Annabel", "",
         {"Patient", "0010,0010 - Patient's Name", "Muster^Anna", "Change entry", "Muster^Annabel", "0"}, ""},
        {"0020,000E", "Image", 0, "", "",
         {"Image #2", "0020,000E - Series Instance UID", ds.get(Tag{0x0020, 0x000E}).text, "Change entry", "New UID",
          "0"},
         ""},
        {"0018,1150", "Study", 1, "", "0018,6000 - Sensitivity",
         {"Study", "0018,1150 - Exposure Time", "500", "Move entry", "0018,6000 - Sensitivity", "1"}, ""},
        {"0018,1150", "Study", 2, "", "", {}, "Please choose the attribute to switch the value to."},
        {"0018,1150", "Series", 0, "1", "", {}, "Cannot create series task on study level."},
    };
    std::vector<HeaderTask> expected;
    for (const auto& s : steps) {
        p.c.cboTask->setCurrentIndex(s.action);
        emit p.c.cboTask->activated(s.action);
        emit p.c.lvHeader->itemClicked(rowOf(s.tag), 0);
        EXPECT_EQ(p.c.txtSelected->cursorPosition(), 0);  // the tag stays in sight
        p.c.cboLevel->setCurrentText(s.level);
        if (p.c.txtNeu->isEnabled())
            p.c.txtNeu->setText(s.typed);
        p.c.cboTarget->setCurrentIndex(p.c.cboTarget->findText(s.target));
        if (!s.refusal.isEmpty())
            script.answer(MsgResult::OK);
        p.c.cmdAddTask->click();
        if (!s.made.level.empty())
            expected.push_back(s.made);
        else
            EXPECT_EQ(script.messages().back(), s.refusal);
        const auto tasks = p.panel->tasks();
        ASSERT_EQ(tasks.size(), expected.size()) << s.tag.toStdString();
        const auto& t = tasks.back();
        const auto& e = expected.back();
        EXPECT_EQ(std::tie(t.level, t.source, t.oldValue, t.actionName, t.target, t.actionNumber),
                  std::tie(e.level, e.source, e.oldValue, e.actionName, e.target, e.actionNumber))
            << s.tag.toStdString();
    }
    EXPECT_TRUE(script.unexpected().empty());
}

}  // namespace
}  // namespace corva::station::header
