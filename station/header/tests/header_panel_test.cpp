// The header view and task list controls over the plain classes (offscreen).
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

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
    p.panel->hooks().recordValues = [] { return std::vector<std::string>{"30", "x", "y", "", "", ""}; };
    p.panel->addTask();
    const auto tasks = p.panel->tasks();
    ASSERT_EQ(tasks.size(), 3u);
    EXPECT_EQ(tasks[0].level, "Image #2");
    EXPECT_EQ(tasks[0].source, "0018,0060 - KVP");
    EXPECT_EQ(tasks[0].oldValue, "28");
    EXPECT_EQ(tasks[0].target, "30");
    EXPECT_EQ(tasks[0].actionNumber, "0");

    p.c.lvTasks->itemAtPosition(1)->setSelected(true);
    p.panel->deleteTask();
    EXPECT_EQ(p.panel->tasks().size(), 2u);

    p.c.cboLevel->setCurrentText("Series");
    p.panel->hooks().loadedLevel = [] { return std::string("Studie"); };
    script.answer(MsgResult::OK);
    p.panel->addTask();
    EXPECT_TRUE(p.panel->tasks().empty());
    EXPECT_EQ(script.messages().back(), "Cannot create series task on study level.");
}

}  // namespace
}  // namespace corva::station::header
