// The dose list, its selection, marking used records, deleting, and the dose history.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QApplication>
#include <QCalendarWidget>
#include <QFocusEvent>
#include <QTest>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>

#include "dose/dose_capture.h"
#include "dose/dose_list.h"
#include "dose/dosis_form.h"
#include "common/job_lock.h"
#include "dose_test_support.h"
#include "station/scripted_operator.h"

using namespace corva::dose;

namespace {

class DoseListTest : public ::testing::Test {
protected:
    // A record: ID, Datum, Zeit, KVP, ma, Dicke, Druck, mGy, Sonstiges, Status, expZeit.
    void addRecord(int id, const std::string& datum, const std::string& status, const std::string& sonstiges = "'a,b,c,L-CC,x'") {
        folder.exec("INSERT INTO tblDosis (ID, KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit) "
                    "VALUES (" + std::to_string(id) + ", '2" + std::to_string(id % 10) + "', '63', '10:00:0" +
                    std::to_string(id % 10) + "', 45, '1.2mGy', 120, '" + datum + "', " + sonstiges + ", '" + status +
                    "', '0,5')");
    }
    std::string status(int id) const {
        for (const auto& row : folder.dosisRows())
            if (row.at("ID") == std::to_string(id)) return row.at("Status");
        return "<gone>";
    }
    QStringList listIds() const {
        QStringList ids;
        for (int i = 0; i < window.lvDosis()->topLevelItemCount(); ++i) ids << window.lvDosis()->topLevelItem(i)->text(0);
        return ids;
    }

    test::DoseFolder folder;
    test::StubMainWindow window;
    DoseStore store{folder.imageDatabase()};
    DoseListPresenter list{window.view(), store};
};

TEST_F(DoseListTest, FillShowsPendingRecordsInColumnOrder) {
    addRecord(40000, "09.12.2026", "0");
    addRecord(7, "09.12.2026", "1");
    addRecord(12, "08.12.2026", "0", "NULL");
    folder.exec("INSERT INTO tblDosis (ID, Status) VALUES (13, NULL)");  // neither pending nor assigned
    list.hooks().unitType = [] { return unit::Sophie; };
    list.fill();
    EXPECT_EQ(listIds(), (QStringList{"12", "40000"}));  // sorted by ID as a number
    EXPECT_TRUE(window.lvDosis()->isColumnHidden(0));
    QStringList titles;
    for (int c = 0; c < window.lvDosis()->columnCount(); ++c) titles << window.lvDosis()->headerItem()->text(c);
    EXPECT_EQ(titles, (QStringList{"ID", "Date", "Time", "kV", "mA", "Thickness", "Press", "mGy", "Other", "Status",
                                   "expTime", "Projection"}));
    // the record's projection stands right after its time, where the operator compares it
    EXPECT_EQ(window.lvDosis()->header()->visualIndex(11), 3);
    QTreeWidgetItem* item = window.lvDosis()->topLevelItem(0);
    EXPECT_EQ(item->text(1), "08.12.2026");
    EXPECT_EQ(item->text(2), "10:00:02");
    EXPECT_EQ(item->text(3), "22");
    EXPECT_EQ(item->text(4), "63");
    EXPECT_EQ(item->text(5), "45");
    EXPECT_EQ(item->text(6), "120");
    EXPECT_EQ(item->text(7), "1.2mGy");
    EXPECT_EQ(item->text(8), "");  // null Sonstiges
    EXPECT_EQ(item->text(9), "");
    EXPECT_EQ(item->text(10), "0,5");
    EXPECT_EQ(item->text(11), "");  // no record text: no projection
    EXPECT_EQ(window.lvDosis()->topLevelItem(1)->text(11), "L-CC");  // the unit's code, as pairing reads it
    EXPECT_TRUE(window.lvDosis()->selectedItems().isEmpty());
}

TEST_F(DoseListTest, FillAndDeleteAllDoNothingUnderTheRefreshLock) {
    addRecord(1, "09.12.2026", "0");
    bool locked = true;
    bool pollOn = false;
    list.hooks().refreshLocked = [&] { return locked; };
    list.hooks().pollOn = [&] { pollOn = true; };
    list.fill();
    EXPECT_EQ(window.lvDosis()->topLevelItemCount(), 0);
    list.deleteAll();
    EXPECT_EQ(folder.dosisRows().size(), 1u);
    EXPECT_FALSE(pollOn);  // a record waiting for its projection keeps waiting
    locked = false;
    list.fill();
    EXPECT_EQ(window.lvDosis()->topLevelItemCount(), 1);
}

TEST_F(DoseListTest, SelectingFillsFieldsExposureAndMarksTheImage) {
    addRecord(1, "09.12.2026", "0");
    addRecord(2, "09.12.2026", "0");
    window.addImages(3);
    window.lvImages()->setCurrentItem(window.lvImages()->topLevelItem(1));
    int tasks = 0;
    list.hooks().addTask = [&] { ++tasks; };
    list.fill();

    ASSERT_TRUE(list.selectRow(1));
    EXPECT_EQ(window.text("Text1"), "09.12.2026");
    EXPECT_EQ(window.text("Text2"), "10:00:02");
    const QStringList fields{"22", "63", "45", "120", "1.2mGy", "a,b,c,L-CC,x"};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(window.text3(i)->text(), fields[i]) << i;
    EXPECT_EQ(window.text("txtID"), "2");
    const CurrentExposure& e = list.currentExposure();
    EXPECT_EQ(e.kvp, "22");
    EXPECT_EQ(e.ma, "63");
    EXPECT_EQ(e.dicke, "45");
    EXPECT_EQ(e.druck, "120");
    EXPECT_EQ(e.mGy, "1.2mGy");
    EXPECT_EQ(e.sonstiges, "a,b,c,L-CC,x");
    EXPECT_EQ(e.expZeit, "0,5");
    EXPECT_EQ(tasks, 1);

    for (int i = 0; i < 3; ++i) {
        QTreeWidgetItem* image = window.lvImages()->topLevelItem(i);
        const bool marked = i == 1;
        EXPECT_EQ(image->font(0).bold(), marked) << i;
        EXPECT_EQ(image->foreground(3).color(), marked ? QColor(Qt::red) : QColor(Qt::black)) << i;
    }
    // Another image selected: the mark moves.
    window.lvImages()->setCurrentItem(window.lvImages()->topLevelItem(2));
    list.selectRow(0);
    EXPECT_FALSE(window.lvImages()->topLevelItem(1)->font(0).bold());
    EXPECT_TRUE(window.lvImages()->topLevelItem(2)->font(0).bold());
}

// Reloading marks nothing: a record becomes used only through the forwarding that
// applied it. The current exposure lives as long as its record waits, and keeps its
// row selected across reloads (keys beyond 16 bits included).
TEST_F(DoseListTest, ReloadMarksNothingAndTheCurrentExposureFollowsItsRecord) {
    addRecord(32767, "09.12.2026", "0");
    addRecord(32768, "09.12.2026", "0");
    addRecord(70000, "09.12.2026", "0");
    list.fill();
    for (const auto mode : {forwarding::None, forwarding::Manual, forwarding::Automatic}) {
        list.refreshDosisList(mode);
        EXPECT_EQ(listIds(), (QStringList{"32767", "32768", "70000"}));
    }
    EXPECT_EQ(status(32767), "0");
    EXPECT_EQ(status(70000), "0");

    list.selectRow(1);
    ASSERT_EQ(list.currentRecordId(), 32768);
    list.fill();  // a reload keeps the chosen row chosen
    EXPECT_EQ(list.selectedId(), 32768);
    EXPECT_EQ(list.currentExposure().kvp, "28");

    // Used elsewhere (the forwarding's job, another station): the exposure goes with it.
    folder.exec("UPDATE tblDosis SET Status = '1' WHERE ID = 32768");
    list.fill();
    EXPECT_EQ(list.currentRecordId(), 0);
    EXPECT_TRUE(list.currentExposure().kvp.isEmpty());
    EXPECT_TRUE(window.text3(0)->text().isEmpty());
    EXPECT_TRUE(window.text("txtID").isEmpty());
    EXPECT_EQ(list.selectedId(), 0);

    list.selectRow(0);
    list.clearCurrentExposure();  // the window does this when the patient or study changes
    EXPECT_EQ(list.currentRecordId(), 0);
    EXPECT_TRUE(window.text3(0)->text().isEmpty());
}

TEST_F(DoseListTest, PopupDeleteAssignsTheSelectedRecord) {
    addRecord(1, "09.12.2026", "0");
    addRecord(2, "09.12.2026", "0");
    list.fill();
    list.selectRow(0);
    ASSERT_EQ(window.text3(0)->text(), "21");
    QMenu* popup = list.popupMenu();
    ASSERT_EQ(popup->actions().size(), 1);
    EXPECT_EQ(popup->actions().at(0)->text(), "Delete");
    popup->actions().at(0)->trigger();
    EXPECT_EQ(status(1), "1");  // kept in the table, assigned
    EXPECT_EQ(status(2), "0");
    EXPECT_EQ(listIds(), QStringList{"2"});
    EXPECT_TRUE(window.text("Text1").isEmpty());
    EXPECT_TRUE(window.text("Text2").isEmpty());
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(window.text3(i)->text().isEmpty());
}

// The list makes its first row current by itself when it gets the focus back (a
// dialog or popup menu closed): that chooses no record. Only a click or key does.
TEST_F(DoseListTest, FocusComingBackChoosesNoRecord) {
    addRecord(1, "09.12.2026", "0");
    addRecord(2, "09.12.2026", "0");
    int tasks = 0;
    list.hooks().addTask = [&] { ++tasks; };
    list.fill();
    window.show();
    QTreeWidget* lv = window.lvDosis();
    const auto focusBack = [&](Qt::FocusReason reason) {
        QFocusEvent out(QEvent::FocusOut, reason);
        QApplication::sendEvent(lv, &out);
        QFocusEvent in(QEvent::FocusIn, reason);
        QApplication::sendEvent(lv, &in);
    };
    const auto fieldsEmpty = [&] {
        bool empty = window.text("Text1").isEmpty() && window.text("Text2").isEmpty();
        for (int i = 0; i < 6; ++i) empty = empty && window.text3(i)->text().isEmpty();
        return empty;
    };
    for (const Qt::FocusReason reason : {Qt::PopupFocusReason, Qt::ActiveWindowFocusReason, Qt::OtherFocusReason,
                                         Qt::TabFocusReason}) {
        focusBack(reason);
        EXPECT_TRUE(fieldsEmpty()) << "focus reason " << reason;
        EXPECT_TRUE(window.text("txtID").isEmpty()) << "focus reason " << reason;
        EXPECT_TRUE(list.currentExposure().kvp.isEmpty()) << "focus reason " << reason;
        EXPECT_TRUE(lv->selectedItems().isEmpty()) << "focus reason " << reason;
    }
    EXPECT_EQ(tasks, 0);

    // The operator's key press on a row does choose it.
    lv->setCurrentItem(nullptr);
    QTest::keyClick(lv, Qt::Key_Down);
    ASSERT_EQ(lv->selectedItems().size(), 1);
    EXPECT_EQ(window.text("txtID"), lv->selectedItems().first()->text(0));
    EXPECT_EQ(tasks, 1);

    // After the popup "Delete" the fields stay empty when the focus comes back.
    list.selectRow(0);
    list.popupMenu()->actions().at(0)->trigger();
    ASSERT_TRUE(fieldsEmpty());
    focusBack(Qt::PopupFocusReason);
    EXPECT_TRUE(fieldsEmpty());
    EXPECT_TRUE(lv->selectedItems().isEmpty());
}

TEST_F(DoseListTest, TheWindowsOwnPopupIsUsed) {
    test::StubMainWindow other;
    auto* menu = new QMenu(&other);  // owned by the window
    menu->setObjectName("Popup_Dosis");
    menu->addAction("Delete")->setObjectName("PopupDeleteDosis");
    DoseListPresenter presenter(other.view(), store);
    addRecord(1, "09.12.2026", "0");
    presenter.fill();
    presenter.selectRow(0);
    ASSERT_EQ(presenter.popupMenu(), menu);
    menu->actions().at(0)->trigger();
    EXPECT_EQ(status(1), "1");
}

// A right click opens the popup for the row under the pointer; the chosen record (the
// current exposure) and the selection stay. "Delete" then acts on that row only.
TEST_F(DoseListTest, RightClickActsOnTheRowUnderThePointerAndKeepsTheCurrentExposure) {
    addRecord(1, "09.12.2026", "0");
    addRecord(2, "09.12.2026", "0");
    list.fill();
    window.show();
    list.selectRow(0);
    ASSERT_EQ(list.currentRecordId(), 1);
    QTreeWidget* lv = window.lvDosis();
    const QPoint pos = lv->visualItemRect(lv->topLevelItem(1)).center();
    list.rightClick(pos);
    EXPECT_EQ(list.popupRecordId(), 2);
    EXPECT_EQ(list.selectedId(), 1);
    EXPECT_EQ(list.currentRecordId(), 1);
    EXPECT_TRUE(list.popupMenu()->isVisible());
    list.popupMenu()->hide();
    list.popupMenu()->actions().at(0)->trigger();
    EXPECT_EQ(status(2), "1");
    EXPECT_EQ(status(1), "0");
    EXPECT_EQ(list.currentRecordId(), 1);
    EXPECT_EQ(window.text3(0)->text(), "21");
    EXPECT_EQ(listIds(), QStringList{"1"});
}

// "Delete Dosislist" asks, naming how many waiting records go; the history stays.
TEST_F(DoseListTest, DeleteDosislistAsksAndRemovesOnlyWaitingRecords) {
    corva::station::ScriptedOperator script;
    corva::station::OperatorSeamGuard guard(script);
    addRecord(1, "09.12.2026", "0");
    addRecord(2, "09.12.2026", "1");
    addRecord(3, "09.12.2026", "0");
    list.fill();
    list.selectRow(0);
    bool pollOn = false;
    list.hooks().pollOn = [&] { pollOn = true; };

    script.answer(corva::station::MsgResult::No);
    list.deleteAll();
    ASSERT_EQ(script.messages().size(), 1);
    EXPECT_TRUE(script.messages().front().startsWith("Delete the 2 waiting exposure record(s)?"))
        << script.messages().front().toStdString();
    EXPECT_EQ(folder.dosisRows().size(), 3u);

    script.answer(corva::station::MsgResult::Yes);
    list.deleteAll();
    EXPECT_EQ(status(1), "<gone>");
    EXPECT_EQ(status(3), "<gone>");
    EXPECT_EQ(status(2), "1");  // the dose history keeps what was applied
    EXPECT_EQ(window.lvDosis()->topLevelItemCount(), 0);
    EXPECT_EQ(list.currentRecordId(), 0);
    EXPECT_TRUE(pollOn);
    EXPECT_TRUE(script.unexpected().empty());
}

TEST_F(DoseListTest, FillAndDeleteAllFailuresAreLogged) {
    folder.exec("DROP TABLE tblDosis");
    list.fill();
    EXPECT_EQ(folder.errorCount("MainForm_lvDosis_Fill"), 1);
    // The poll goes on after a failed delete-all all the same.
    bool pollOn = false;
    list.hooks().pollOn = [&] { pollOn = true; };
    list.deleteAll();
    EXPECT_EQ(folder.errorCount("MainForm_lvDosis_Fill"), 2);
    EXPECT_TRUE(pollOn);
}

TEST_F(DoseListTest, HistoryListsAssignedRecordsOfTheDayAndSetsThemFree) {
    addRecord(1, "09.12.2026", "1", "'R-CC'");
    addRecord(2, "09.12.2026", "0");
    addRecord(3, "08.12.2026", "1");
    addRecord(4, "09.12.2026", "1", "NULL");
    DosisForm form(store, &window);
    EXPECT_EQ(form.windowTitle(), "Reload Dosis");
    form.calendar()->setSelectedDate(QDate(2026, 12, 9));
    QTreeWidget* history = form.list();
    ASSERT_EQ(history->topLevelItemCount(), 2);
    EXPECT_EQ(history->topLevelItem(0)->text(0), "1");
    EXPECT_EQ(history->topLevelItem(0)->text(1), "09.12.2026");
    EXPECT_EQ(history->topLevelItem(0)->text(2), "10:00:01");
    EXPECT_EQ(history->topLevelItem(0)->text(3), "R-CC");
    EXPECT_EQ(history->topLevelItem(1)->text(3), "");

    // "Set Free" without a selection does nothing; with one, the record is pending again.
    form.findChild<QPushButton*>("cmdFree")->click();
    EXPECT_EQ(history->topLevelItemCount(), 2);
    history->setCurrentItem(history->topLevelItem(0));
    form.findChild<QPushButton*>("cmdFree")->click();
    EXPECT_EQ(status(1), "0");
    EXPECT_EQ(history->topLevelItemCount(), 1);

    form.calendar()->setSelectedDate(QDate(2026, 12, 1));
    EXPECT_EQ(history->topLevelItemCount(), 0);

    // The dose list shows the freed record at its next reload.
    list.fill();
    EXPECT_EQ(listIds(), (QStringList{"1", "2"}));
}

TEST_F(DoseListTest, HistoryOpensModallyThroughTheCapture) {
    corva::station::ScriptedOperator script;
    corva::station::OperatorSeamGuard guard(script);
    corva::settings::Settings settings;
    DoseCapture capture(window.view(), settings, folder.path());
    QString title;
    script.answerWindow([&](QDialog& d) {
        title = d.windowTitle();
        return int(QDialog::Rejected);
    });
    capture.openHistory();
    EXPECT_EQ(title, "Reload Dosis");
}

TEST_F(DoseListTest, ForwardingButtonsFollowTheLists) {
    corva::settings::Settings settings;
    settings.xrayComm = unit::Sophie;
    DoseCapture capture(window.view(), settings, folder.path());
    auto* all = window.findChild<QPushButton*>("cmdAll");
    auto* selected = window.findChild<QPushButton*>("cmdSelected");
    all->setEnabled(false);
    selected->setEnabled(false);
    addRecord(1, "09.12.2026", "0");
    addRecord(2, "09.12.2026", "0");
    capture.refreshDoseList();
    window.addImages(2);
    capture.activate();  // the poll runs without a port
    ASSERT_TRUE(test::waitUntil([&] { return all->isEnabled() && selected->isEnabled(); }));
    // More images than records: "Automatic" stays enabled; its plan says what is missing.
    all->setEnabled(false);
    window.addImages(1);
    ASSERT_TRUE(test::waitUntil([&] { return all->isEnabled(); }));
    EXPECT_TRUE(selected->isEnabled());
}

// While a job holds the job lock (a forwarding pairs, converts and sends with these
// records), "Set Free", the list's "Delete" and "Delete Dosislist" change no record and
// say why; afterwards they do.
TEST_F(DoseListTest, SetFreeAndDeleteDosislistWaitForARunningJob) {
    corva::station::ScriptedOperator script;
    corva::station::OperatorSeamGuard guard(script);
    addRecord(1, "09.12.2026", "1", "'R-CC'");
    addRecord(2, "09.12.2026", "0");
    addRecord(3, "09.12.2026", "0");
    list.fill();
    window.show();
    QTreeWidget* lv = window.lvDosis();
    const QPoint row3 = lv->visualItemRect(lv->topLevelItem(1)).center();
    DosisForm form(store, &window);
    form.calendar()->setSelectedDate(QDate(2026, 12, 9));
    form.list()->setCurrentItem(form.list()->topLevelItem(0));
    {
        const auto job = corva::station::JobLock::tryAcquire(store.file().parent_path());
        ASSERT_TRUE(job.held());
        script.answer(corva::station::MsgResult::OK);
        form.findChild<QPushButton*>("cmdFree")->click();
        script.answer(corva::station::MsgResult::Yes);
        script.answer(corva::station::MsgResult::OK);
        list.deleteAll();
        script.answer(corva::station::MsgResult::OK);
        list.rightClick(row3);
        list.popupMenu()->hide();
        list.popupMenu()->actions().at(0)->trigger();
        EXPECT_EQ(status(1), "1");
        EXPECT_EQ(status(2), "0");
        EXPECT_EQ(status(3), "0");
        ASSERT_EQ(script.messages().size(), 4);
        for (int i : {0, 2, 3})
            EXPECT_TRUE(script.messages().at(i).startsWith("Another job works on the images"))
                << script.messages().at(i).toStdString();
    }
    list.rightClick(row3);
    list.popupMenu()->hide();
    list.popupMenu()->actions().at(0)->trigger();
    EXPECT_EQ(status(3), "1");
    form.list()->setCurrentItem(form.list()->topLevelItem(0));
    form.findChild<QPushButton*>("cmdFree")->click();
    EXPECT_EQ(status(1), "0");
    script.answer(corva::station::MsgResult::Yes);
    list.deleteAll();
    EXPECT_EQ(status(1), "<gone>");
    EXPECT_EQ(status(2), "<gone>");
    EXPECT_EQ(status(3), "1") << "the history keeps what left the list";
    EXPECT_TRUE(script.unexpected().empty());
}

}  // namespace
