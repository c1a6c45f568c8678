// The main window as an operator sees it, on the screen size of the test program
// (1280 x 1024 or 1024 x 768): columns, rows and controls that fit, the fonts of the
// projection buttons, and a layout that survives a restart.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTest>
#include <QTimer>

#include "app/main_form.h"
#include "db/database.h"
#include "db/schema.h"
#include "header/header_panel.h"
#include "app/window_layout.h"
#include "common/list_view.h"
#include "common/station_context.h"
#include "station_test_support.h"
#include "viewer/dicom_viewer.h"
#include "viewer/study_loader.h"

namespace corva::station::test {

namespace {

// What a column's rows and header need (the list view's own measure).
int contentWidth(const ListView* list, int column) {
    return std::max(static_cast<const QAbstractItemView*>(list)->sizeHintForColumn(column),
                    list->header()->sectionSizeHint(column));
}

QSize screenSize() {
    return QGuiApplication::primaryScreen()->availableGeometry().size();
}

// A rectangle of `w` in window coordinates, cut to what its parents let show.
QRect shownRect(const QWidget* w, const QWidget* window) {
    QRect r(w->mapTo(window, QPoint(0, 0)), w->size());
    for (const QWidget* a = w->parentWidget(); a && a != window; a = a->parentWidget())
        r &= QRect(a->mapTo(window, QPoint(0, 0)), a->size());
    return r;
}

bool isControl(const QWidget* w) {
    return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLineEdit*>(w) ||
           qobject_cast<const QComboBox*>(w) || qobject_cast<const QAbstractItemView*>(w) ||
           qobject_cast<const QPlainTextEdit*>(w) || qobject_cast<const QLabel*>(w) ||
           qobject_cast<const QProgressBar*>(w) || qobject_cast<const DicomViewer*>(w) ||
           qobject_cast<const QScrollBar*>(w);
}

// The visible controls of a window, without the parts of a control (a list's header
// and scroll bars).
std::vector<QWidget*> visibleControls(QWidget* window) {
    std::vector<QWidget*> controls;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisible() || !isControl(w)) continue;
        bool part = false;
        for (QWidget* a = w->parentWidget(); a && a != window; a = a->parentWidget()) part = part || isControl(a);
        if (!part && !shownRect(w, window).isEmpty()) controls.push_back(w);
    }
    return controls;
}

class LayoutTest : public StationTest {
protected:
    void SetUp() override {
        StationTest::SetUp();
        WindowLayout::forget(MainForm::LayoutKey);
    }
    void TearDown() override {
        form_.reset();
        WindowLayout::forget(MainForm::LayoutKey);
        StationTest::TearDown();
    }
    // Patients as a site has them: long names, IDs of ten characters.
    void addPatients() {
        const auto p = addPatient("4711000815", "Mustermann-Schmidt", "Maximiliane", "Johanna", "1948-11-23");
        addPatient("4711000816", "Beispiel", "Bert", std::nullopt, "1960-01-01");
        addPatient("4711000817", "Oberhuber-Wiesinger", "Anna-Katharina", std::nullopt, "1971-07-04");
        study_ = addStudy(p, "1.2.300");
        const auto series = addSeries(study_, "1.2.300.1", 1);
        for (int i = 1; i <= 4; ++i)
            addImage(series, "1.2.300", "1.2.300.1." + std::to_string(i), i, "10:1" + std::to_string(i) + ":00", 16, 12);
    }
    void addDoseRecords(int count) {
        auto db = openImageDb();
        for (int i = 1; i <= count; ++i)
            db.exec("INSERT INTO tblDosis (ID, KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit) "
                    "VALUES (" + std::to_string(i) + ", '28', '63', '10:00:0" + std::to_string(i % 10) +
                    "', 45, '1.23mGy', 120, '09.12.2026', 'Mo/Mo,AEC,2,L-CC,S', '0', '0,5')");
    }
    MainForm& open() {
        form_ = std::make_unique<MainForm>();
        form_->Form_Load();
        form_->UpdateTimer()->stop();
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        return *form_;
    }
    // Every visible column fits the list's viewport and is as wide as its contents.
    static bool columnShown(ListView* list, int column) {
        const QHeaderView* h = list->header();
        const int left = h->sectionViewportPosition(column);
        return left >= 0 && left + h->sectionSize(column) <= list->viewport()->width() &&
               h->sectionSize(column) >= contentWidth(list, column);
    }
    // Whole: inside the viewport and at least as wide as its contents.
    // Usable: inside the viewport and wide enough to show a few letters.
    static bool columnUsable(ListView* list, int column) {
        const QHeaderView* h = list->header();
        const int left = h->sectionViewportPosition(column);
        return left >= 0 && left + h->sectionSize(column) <= list->viewport()->width() &&
               h->sectionSize(column) >= list->fontMetrics().horizontalAdvance("MMM");
    }
    static std::string columnReport(ListView* list, int column) {
        const QHeaderView* h = list->header();
        return "column " + std::to_string(column) + " at " + std::to_string(h->sectionViewportPosition(column)) +
               " width " + std::to_string(h->sectionSize(column)) + " needs " +
               std::to_string(contentWidth(list, column)) + ", viewport " + std::to_string(list->viewport()->width());
    }
    // The filter "Mammo" of the shipped dictionary: what the header view shows of a mammogram.
    void addMammoFilter() {
        db::Database db(folder_->userDatabase());
        db.exec("ALTER TABLE tblDictionary ADD COLUMN Mammo BIT NOT NULL DEFAULT 0");
        db.exec("UPDATE tblDictionary SET Mammo = -1 WHERE Tag IN ('0010,0010', '0018,0060', '0018,1152', "
                "'0018,11A0', '0040,8302')");
    }
    std::int64_t study_ = 0;
    std::unique_ptr<MainForm> form_;
};

// Before the first fill the lists show their column titles whole.
TEST_F(LayoutTest, EmptyListsShowTheirTitles) {
    auto& f = open();
    for (ListView* list : {f.lvPatients(), f.lvStudien()})
        for (int column = 0; column < list->columnCount(); ++column)
            EXPECT_TRUE(waitFor([&] { return columnShown(list, column); }, 3000))
                << list->objectName().toStdString() << " " << columnReport(list, column);
}

TEST_F(LayoutTest, TaskControlsCarryTheirLabels) {
    auto& f = open();
    const std::pair<const char*, const char*> fields[] = {
        {"cboLevel", "Level:"}, {"cboTask", "Task:"}, {"txtSelected", "Tag:"}, {"cboTarget", "to:"}};
    for (const auto& [name, caption] : fields) {
        auto* control = f.findChild<QWidget*>(name);
        ASSERT_NE(control, nullptr) << name;
        QLabel* label = nullptr;
        for (QLabel* l : f.findChildren<QLabel*>())
            if (l->buddy() == control) label = l;
        ASSERT_NE(label, nullptr) << name;
        EXPECT_EQ(label->text(), caption);
        EXPECT_TRUE(label->isVisible()) << name;
        EXPECT_EQ(shownRect(label, &f).size(), label->size()) << name << "'s label is cut";
        // The label stands left of its control, on the same row.
        EXPECT_LE(label->geometry().right(), control->geometry().left()) << name;
        EXPECT_GT(label->geometry().bottom(), control->geometry().top()) << name;
        EXPECT_LT(label->geometry().top(), control->geometry().bottom()) << name;
    }
}

// A new installation shows the mammography filter in the header view; a dictionary
// from before it gains the filter when it is the active one.
TEST_F(LayoutTest, HeaderViewShowsTheMammographyFilterOnANewInstallation) {
    addPatients();
    for (const bool olderDictionary : {false, true}) {
        SCOPED_TRACE(olderDictionary ? "older dictionary" : "new installation");
        if (olderDictionary) {
            form_.reset();
            db::Database dictionary(folder_->userDatabase());
            db::dropFilterColumn(dictionary, db::DefaultFilterName);
        }
        auto& f = open();
        clickItem(f.lvPatients(), f.lvPatients()->findItems("4711000815", Qt::MatchExactly).value(0));
        clickItem(f.lvStudien(), f.lvStudien()->itemAtPosition(1));
        clickItem(f.lvImages(), f.lvImages()->itemAtPosition(1));
        ListView* header = f.lvHeader();
        EXPECT_EQ(header->count(), 23);
        for (const char* tag : {"0010,0010", "0018,5101", "0020,0062", "0018,0060", "0018,1152", "0040,8302", "0018,6000"})
            EXPECT_EQ(header->findItems(tag, Qt::MatchExactly).size(), 1) << tag;
    }
}

// The narrow right column: the header view shows each attribute's name and value, the
// task list its task and target, without scrolling sideways.
TEST_F(LayoutTest, HeaderViewAndTaskListShowTheirColumnsInTheNarrowColumn) {
    addPatients();
    addMammoFilter();
    addDoseRecords(1);
    auto& f = open();
    f.headerPanel().LoadModFilter("Mammo");
    clickItem(f.lvPatients(), f.lvPatients()->findItems("4711000815", Qt::MatchExactly).value(0));
    clickItem(f.lvStudien(), f.lvStudien()->itemAtPosition(1));
    ASSERT_EQ(f.dv1()->count(), 4);
    clickItem(f.lvImages(), f.lvImages()->itemAtPosition(1));
    ListView* header = f.lvHeader();
    ASSERT_EQ(header->count(), 5);
    QTreeWidgetItem* name = header->findItems("0010,0010", Qt::MatchExactly).value(0);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text(1), "Patient's Name");  // the attribute's name, not the toolkit's keyword
    EXPECT_EQ(name->text(2), "Test^Patient");
    const bool wide = screenSize().width() >= 1280;
    QTest::qWait(100);  // the columns follow their contents
    // The tag whole; the value whole on the larger screen (a patient's name is typical).
    EXPECT_TRUE(waitFor([&] { return columnShown(header, 0); }, 3000)) << columnReport(header, 0);
    for (int column : {1, 2}) EXPECT_TRUE(columnUsable(header, column)) << columnReport(header, column);
    if (wide) {
        const int valueWidth = header->fontMetrics().horizontalAdvance(name->text(2));
        EXPECT_GE(header->header()->sectionSize(2), valueWidth + 8) << columnReport(header, 2);
    }
    EXPECT_EQ(header->horizontalScrollBar()->maximum(), 0);

    // Selecting an exposure record makes a task for each exposure attribute shown, with
    // the record's value of that attribute in its unit.
    clickItem(f.lvDosis(), f.lvDosis()->itemAtPosition(1));
    ListView* tasks = f.lvTasks();
    ASSERT_EQ(tasks->count(), 4);
    EXPECT_EQ(tasks->itemAtPosition(1)->text(0), "Image #1");
    const std::pair<const char*, const char*> values[] = {
        {"0018,0060 - KVP", "28"}, {"0018,1152 - Exposure", "63"}, {"0018,11A0 - Body Part Thickness", "45"},
        {"0040,8302 - Entrance Dose in mGy", "1.23"}};
    for (int row = 1; row <= 4; ++row) {
        EXPECT_EQ(tasks->itemAtPosition(row)->text(1), values[row - 1].first);
        EXPECT_EQ(tasks->itemAtPosition(row)->text(4), values[row - 1].second);
    }
    QTest::qWait(100);
    for (int column = 0; column < 5; ++column) EXPECT_TRUE(columnUsable(tasks, column)) << columnReport(tasks, column);
    // Level and task are short: on the larger screen they stay whole.
    if (wide) {
        EXPECT_TRUE(columnShown(tasks, 0)) << columnReport(tasks, 0);
        EXPECT_TRUE(columnShown(tasks, 3)) << columnReport(tasks, 3);
    }
    EXPECT_EQ(tasks->horizontalScrollBar()->maximum(), 0);
}

TEST_F(LayoutTest, FirstStartFillsTheScreenAndShowsThePatientColumns) {
    addPatients();
    auto& f = open();
    const QSize screen = screenSize();
    EXPECT_TRUE(f.isMaximized());
    EXPECT_GE(f.width(), screen.width() - 8);
    EXPECT_GE(f.height(), screen.height() - 40);
    ListView* patients = f.lvPatients();
    ASSERT_EQ(patients->count(), 3);
    for (int column : {0, 1, 3})
        EXPECT_TRUE(waitFor([&] { return columnShown(patients, column); }, 3000))
            << "column " << column << " at " << screen.width() << " x " << screen.height() << ": position "
            << patients->header()->sectionViewportPosition(column) << " width "
            << patients->header()->sectionSize(column) << " needs " << contentWidth(patients, column)
            << ", viewport " << patients->viewport()->width();
    EXPECT_EQ(patients->horizontalScrollBar()->value(), 0);

    // The study list too, after a click on the patient.
    clickItem(patients, patients->findItems("4711000815", Qt::MatchExactly).value(0));
    ASSERT_EQ(f.lvStudien()->count(), 1);
    for (int column : {0, 1, 2})
        EXPECT_TRUE(waitFor([&] { return columnShown(f.lvStudien(), column); }, 3000)) << "study column " << column;
}

TEST_F(LayoutTest, DoseListShowsFiveRowsWithLabelledFields) {
    addDoseRecords(8);
    auto& f = open();
    ListView* dose = f.lvDosis();
    ASSERT_EQ(dose->count(), 8);
    const int shownHeight = dose->viewport()->height();
    for (int row = 1; row <= 5; ++row) {
        const QRect r = dose->visualItemRect(dose->itemAtPosition(row));
        EXPECT_TRUE(r.height() > 0 && r.top() >= 0 && r.bottom() < shownHeight)
            << "row " << row << " at " << r.top() << ".." << r.bottom() << ", list shows " << shownHeight;
    }
    const std::pair<const char*, const char*> fields[] = {
        {"Text1", "Date"},      {"Text2", "Time"},      {"txtID", "ID"},     {"Text3_0", "kV"},   {"Text3_1", "mAs"},
        {"Text3_2", "Thickness"}, {"Text3_3", "Force"}, {"Text3_4", "Dose"}, {"Text3_5", "Projection"}};
    for (const auto& [name, caption] : fields) {
        auto* edit = f.findChild<QLineEdit*>(name);
        ASSERT_NE(edit, nullptr) << name;
        QLabel* label = nullptr;
        for (QLabel* l : f.findChildren<QLabel*>())
            if (l->buddy() == edit) label = l;
        ASSERT_NE(label, nullptr) << name;
        EXPECT_EQ(label->text(), caption);
        EXPECT_TRUE(label->isVisible()) << name;
    }
}

TEST_F(LayoutTest, NoTwoVisibleControlsOverlap) {
    addPatients();
    addDoseRecords(3);
    auto& f = open();
    clickItem(f.lvPatients(), f.lvPatients()->findItems("4711000815", Qt::MatchExactly).value(0));
    clickItem(f.lvStudien(), f.lvStudien()->itemAtPosition(1));
    ASSERT_EQ(f.dv1()->count(), 4);
    QTest::qWait(100);  // the columns follow their contents
    const auto controls = visibleControls(&f);
    ASSERT_GT(controls.size(), 30u);
    for (std::size_t i = 0; i < controls.size(); ++i)
        for (std::size_t j = i + 1; j < controls.size(); ++j) {
            const QRect a = shownRect(controls[i], &f);
            const QRect b = shownRect(controls[j], &f);
            EXPECT_FALSE(a.intersects(b)) << controls[i]->metaObject()->className() << " "
                                          << controls[i]->objectName().toStdString() << " overlaps "
                                          << controls[j]->metaObject()->className() << " "
                                          << controls[j]->objectName().toStdString();
        }
    // The controls an operator works with are not cut by a column too narrow for them.
    for (const char* name : {"dv1", "dv1_vscroll", "cmdAll", "cmdSelected", "cmdProjection_0", "cmdProjection_1",
                             "cmdProjection_7", "lvPatients", "lvStudien", "lvImages", "lvDosis", "Text3_5",
                             "lvHeader", "lvTasks", "cmdTask_1"}) {
        auto* w = f.findChild<QWidget*>(name);
        ASSERT_NE(w, nullptr) << name;
        EXPECT_EQ(shownRect(w, &f).size(), w->size()) << name << " is cut";
    }
    // Everything lies within the window.
    for (QWidget* w : controls) EXPECT_TRUE(f.rect().contains(shownRect(w, &f))) << w->objectName().toStdString();
}

TEST_F(LayoutTest, ProjectionButtonsInFourRowsOfTwoInBoldSerif) {
    auto& f = open();
    for (int i = 0; i < 8; ++i) {
        QPushButton* b = f.cmdProjection(i);
        EXPECT_TRUE(b->isVisible()) << i;
        EXPECT_TRUE(b->font().bold()) << i;
        EXPECT_DOUBLE_EQ(b->font().pointSizeF(), 14.25) << i;
        EXPECT_TRUE(b->font().families().contains("Times New Roman")) << i;
        const QPushButton* left = f.cmdProjection(i - i % 2);
        const QPushButton* top = f.cmdProjection(i % 2);
        EXPECT_EQ(b->y(), left->y()) << i;                        // a row of two
        if (i % 2) {
            EXPECT_GT(b->x(), left->x() + left->width() - 1) << i;
        }
        EXPECT_EQ(b->x(), top->x()) << i;                          // a column of four
        if (i >= 2) {
            EXPECT_GT(b->y(), f.cmdProjection(i - 2)->y()) << i;
        }
    }
    // Where Times New Roman is missing, its metric twin is drawn.
    const QString family = QFontInfo(f.cmdProjection(0)->font()).family();
    if (QFontDatabase::hasFamily("Times New Roman") || QFontDatabase::hasFamily("Liberation Serif")) {
        EXPECT_TRUE(family == "Times New Roman" || family == "Liberation Serif") << family.toStdString();
    }
}

TEST_F(LayoutTest, GeometryAndSplittersSurviveARestart) {
    auto& f = open();
    f.showNormal();
    f.setGeometry(40, 30, 1000, 700);
    ASSERT_TRUE(waitFor([&] { return f.size() == QSize(1000, 700) && !f.isMaximized(); }, 3000));
    f.splMain()->setSizes({300, 420, 260});
    const QList<int> columns = f.splMain()->sizes();
    f.close();
    form_.reset();

    auto& again = open();
    EXPECT_FALSE(again.isMaximized());
    EXPECT_EQ(again.size(), QSize(1000, 700));
    EXPECT_EQ(again.splMain()->sizes(), columns);
    again.close();
}

TEST_F(LayoutTest, SeriesFrameLiesBelowTheStudyTitle) {
    addPatients();
    auto& f = open();
    clickItem(f.lvPatients(), f.lvPatients()->findItems("4711000815", Qt::MatchExactly).value(0));
    f.lvStudien()->setCurrentItem(f.lvStudien()->itemAtPosition(1));
    f.PopUpStudie_SeriesWindow_Click();
    ASSERT_TRUE(f.seriesFrameShown());
    QWidget* series = f.browser()->seriesFrame();
    QWidget* studies = f.browser()->studyFrame();
    const QRect seriesRect = shownRect(series, &f);
    const QRect listRect = shownRect(f.lvStudien(), &f);
    EXPECT_TRUE(series->autoFillBackground());  // nothing of the study list shows through
    EXPECT_EQ(seriesRect, listRect);             // over the list, not over the title
    EXPECT_GT(seriesRect.top(), shownRect(studies, &f).top() + studies->fontMetrics().height() / 2);
    EXPECT_TRUE(f.lvSerien()->isVisible());
}

TEST_F(LayoutTest, DisabledScrollBarShowsItsThumbAtTheTop) {
    const auto patient = addPatient("P1", "Muster", "Anna");
    const auto big = addStudy(patient, "1.2.5");
    const auto bigSeries = addSeries(big, "1.2.5.1", 1);
    for (int i = 1; i <= 25; ++i) addImage(bigSeries, "1.2.5", "1.2.5.1." + std::to_string(i), i, "10:00:00", 16, 12);
    const auto small = addStudy(patient, "1.2.6");
    addImage(addSeries(small, "1.2.6.1", 1), "1.2.6", "1.2.6.1.1", 1, "10:00:00", 16, 12);
    auto& f = open();
    clickItem(f.lvPatients(), f.lvPatients()->itemAtPosition(1));
    clickItem(f.lvStudien(), f.lvStudien()->findItems(QString::number(big), Qt::MatchExactly).value(0));
    QScrollBar* bar = f.dv1_vscroll();
    ASSERT_TRUE(bar->isEnabled());
    bar->setValue(bar->maximum());
    ASSERT_GT(bar->value(), 0);
    clickItem(f.lvStudien(), f.lvStudien()->findItems(QString::number(small), Qt::MatchExactly).value(0));
    ASSERT_EQ(f.dv1()->count(), 1);
    EXPECT_FALSE(bar->isEnabled());
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(bar->sliderPosition(), 0);
}

// The operator drags a column edge: later fills keep that width; other columns follow
// their contents.
TEST_F(LayoutTest, ColumnWidthsTheOperatorSetAreKept) {
    addPatients();
    auto& f = open();
    ListView* patients = f.lvPatients();
    ASSERT_TRUE(waitFor([&] { return columnShown(patients, 1); }, 3000));
    QHeaderView* header = patients->header();
    QWidget* handleArea = header->viewport();
    const int edge = header->sectionViewportPosition(1) + header->sectionSize(1) - 1;
    const QPoint from(edge, header->height() / 2);
    const QPoint to(edge + 60, header->height() / 2);
    const int before = header->sectionSize(1);
    const auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons buttons) {
        QMouseEvent e(type, at, handleArea->mapToGlobal(at), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(handleArea, &e);
    };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
    const int set = header->sectionSize(1);
    ASSERT_GT(set, before + 30);
    EXPECT_TRUE(patients->sizedByOperator(1));
    f.RefreshPatientList();
    patients->fitColumns();
    EXPECT_EQ(header->sectionSize(1), set);
    EXPECT_FALSE(patients->sizedByOperator(0));
    EXPECT_GE(header->sectionSize(0), contentWidth(patients, 0));
}

}  // namespace
}  // namespace corva::station::test
