// Modality filters and the tag dictionary against the real configuration database:
// creating, filling, activating and deleting filters; the Visible flags; new attributes.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "common/input_box_form.h"
#include "common/list_view.h"
#include "config/filters.h"
#include "config/option_form.h"
#include "config/tag_dialogs.h"
#include "config_test.h"
#include "db/database.h"

namespace corva::station::test {
namespace {

using config::AddTagForm;
using config::AddTagToDB;
using config::DatabaseForm;
using config::OptionForm;

class FiltersTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        // Three visible attributes; the rest of the dictionary stays hidden.
        auto db = userDb();
        db.exec("UPDATE tblDictionary SET Visible = 0;"
                "UPDATE tblDictionary SET Visible = -1 WHERE Tag IN ('0010,0010', '0010,0020', '0008,0060')");
    }
    db::Database userDb() const { return db::Database(folder_->userDatabase()); }
    std::int64_t count(const std::string& sql) const {
        auto db = userDb();
        auto s = db.prepare(sql);
        s.step();
        return s.getInt(0);
    }
    void answerFilterName(const QString& name) {
        op_.answerWindow([name](QDialog& d) {
            dynamic_cast<InputBoxForm&>(d).txtValue()->setText(name);
            return int(QDialog::Accepted);
        });
    }
    // Queues AddTagForm: records what it offers and applies the rows with these tags.
    void answerAddTags(QStringList pick, QStringList* offered) {
        op_.answerWindow([pick, offered](QDialog& d) {
            auto& form = dynamic_cast<AddTagForm&>(d);
            for (int i = 1; i <= form.lvDictionary()->count(); ++i) {
                QTreeWidgetItem* item = form.lvDictionary()->itemAtPosition(i);
                if (offered) *offered << item->text(0);
                item->setSelected(pick.contains(item->text(0)));
            }
            form.cmdAdd()->click();
            return form.result();
        });
    }
    static QStringList tagsShown(const OptionForm& form) {
        QStringList tags;
        for (int i = 1; i <= form.lvTags()->count(); ++i) tags << form.lvTags()->itemAtPosition(i)->text(0);
        tags.sort();
        return tags;
    }
};

TEST_F(FiltersTest, CreateFillAndActivateAFilter) {
    OptionForm form(nullptr, QStringList{});
    answerFilterName("mg");
    form.cmdNew_Click();
    EXPECT_EQ(form.cboModality()->currentText(), "MG");
    EXPECT_EQ(count("SELECT COUNT(*) FROM tblModality WHERE Modality = 'MG'"), 1);
    EXPECT_TRUE(userDb().hasColumn("tblDictionary", "MG"));
    EXPECT_TRUE(form.cmdActivate()->isEnabled());
    // Creating it again only selects it.
    answerFilterName("MG");
    form.cmdNew_Click();
    EXPECT_EQ(count("SELECT COUNT(*) FROM tblModality"), 1);
    EXPECT_EQ(form.cboModality()->count(), 1);

    QStringList offered;
    answerAddTags({"0010,0010", "0008,0060"}, &offered);
    form.cmdAddTag_Click();
    offered.sort();
    EXPECT_EQ(offered, (QStringList{"0008,0060", "0010,0010", "0010,0020"}));
    EXPECT_EQ(tagsShown(form), (QStringList{"0008,0060", "0010,0010"}));
    // Adding activated the filter: the setting and the tag set the header view uses.
    EXPECT_EQ(settings::current().filterActive, "MG");
    EXPECT_EQ(settings::ReadRegistryValue("Filter\\Active", ""), "MG");
    EXPECT_FALSE(form.cmdActivate()->isEnabled());
    const auto& set = configState().activeTagSet;
    ASSERT_EQ(set.size(), 2u);
    EXPECT_EQ(set.count("0010,0010"), 1u);
    EXPECT_EQ(set.count("0008,0060"), 1u);
    {
        auto db = userDb();
        std::map<std::string, std::string> stored;
        for (const auto& e : config::tagsOfFilter(db, "MG")) stored[e.tag.toStdString()] = e.description.toStdString();
        EXPECT_EQ(stored, set);
    }

    // The next "add ..." offers only what is not in the filter yet.
    offered.clear();
    answerAddTags({}, &offered);
    form.cmdAddTag_Click();
    EXPECT_EQ(offered, QStringList{"0010,0020"});

    // "remove" takes a row out of the filter but leaves the active tag set.
    form.lvTags()->itemAtPosition(1)->setSelected(true);
    const QString removed = form.lvTags()->itemAtPosition(1)->text(0);
    form.cmdDelete_Click();
    EXPECT_EQ(form.lvTags()->count(), 1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM tblDictionary WHERE MG = -1"), 1);
    EXPECT_EQ(configState().activeTagSet.size(), 2u);
    EXPECT_TRUE(op_.messages().isEmpty()) << op_.messages().join("|").toStdString();
    EXPECT_EQ(op_.unexpected().size(), 0u);

    // Deleting the active filter clears Filter\Active and drops the column.
    op_.answer(MsgResult::Yes);
    form.cmdDelMod_Click();
    EXPECT_EQ(op_.shown().back().text, "Delete filter \"MG\"?");
    EXPECT_EQ(settings::current().filterActive, "");
    EXPECT_EQ(settings::ReadRegistryValue("Filter\\Active", "<none>"), "<none>");
    EXPECT_FALSE(userDb().hasColumn("tblDictionary", "MG"));
    EXPECT_EQ(count("SELECT COUNT(*) FROM tblModality"), 0);
    EXPECT_EQ(form.cboModality()->currentText(), "");
    EXPECT_EQ(form.lvTags()->count(), 0);
}

// The picker of thousands of attributes has a search box: tag (with or without its
// comma) or description, any case; a chosen row the search hides is not added.
TEST_F(FiltersTest, TheTagPickerSearchesTagsAndDescriptions) {
    OptionForm form(nullptr, QStringList{});
    answerFilterName("MG");
    form.cmdNew_Click();
    op_.answerWindow([](QDialog& d) {
        auto& picker = dynamic_cast<AddTagForm&>(d);
        EXPECT_GE(picker.width(), 600);
        const auto shown = [&picker] {
            QStringList tags;
            for (int i = 1; i <= picker.lvDictionary()->count(); ++i)
                if (!picker.lvDictionary()->itemAtPosition(i)->isHidden())
                    tags << picker.lvDictionary()->itemAtPosition(i)->text(0);
            tags.sort();
            return tags;
        };
        for (int i = 1; i <= picker.lvDictionary()->count(); ++i) picker.lvDictionary()->itemAtPosition(i)->setSelected(true);
        picker.txtSearch()->setText("PATIENT");
        EXPECT_EQ(shown(), (QStringList{"0010,0010", "0010,0020"}));
        picker.txtSearch()->setText("00100020");
        EXPECT_EQ(shown(), (QStringList{"0010,0020"}));
        picker.txtSearch()->setText(" 0010,0020 ");
        EXPECT_EQ(shown(), (QStringList{"0010,0020"}));
        picker.cmdAdd()->click();
        return picker.result();
    });
    form.cmdAddTag_Click();
    EXPECT_EQ(tagsShown(form), (QStringList{"0010,0020"}));
}

TEST_F(FiltersTest, NamesThatCannotBeAColumnAreRefusedWithoutARow) {
    {
        auto db = userDb();
        db.exec("ALTER TABLE tblDictionary ADD XR BIT");  // a column without a filter row
    }
    OptionForm form(nullptr, QStringList{});
    struct Case {
        QString name;
        QString says;
    };
    for (const Case& c : {Case{"as", "cannot be used as a filter name"}, Case{"1A", "cannot be used as a filter name"},
                          Case{"xr", "already has a column"}, Case{"a'", "cannot be used as a filter name"}}) {
        op_.clear();
        answerFilterName(c.name);
        form.cmdNew_Click();
        ASSERT_EQ(op_.messages().size(), 1) << c.name.toStdString();
        EXPECT_TRUE(op_.messages()[0].contains(c.says)) << op_.messages()[0].toStdString();
    }
    EXPECT_EQ(count("SELECT COUNT(*) FROM tblModality"), 0);
    EXPECT_EQ(form.cboModality()->count(), 0);
    // Blank or cancelled: nothing happens.
    op_.clear();
    answerFilterName("  ");
    form.cmdNew_Click();
    EXPECT_TRUE(op_.messages().isEmpty());
}

TEST_F(FiltersTest, WithoutAFilterAddAndActivateSayNoFilterSelected) {
    OptionForm form(nullptr, QStringList{});
    form.cmdAddTag_Click();
    form.cmdActivate_Click();
    EXPECT_EQ(op_.messages(), (QStringList{"No filter selected!", "No filter selected!"}));
    EXPECT_EQ(op_.shown()[0].icon, MsgIcon::Information);
    EXPECT_TRUE(configState().activeTagSet.empty());
}

TEST_F(FiltersTest, TheVisibleFlagsOfTheDictionaryLimitWhatFiltersOffer) {
    {
        DatabaseForm dictionary;
        EXPECT_EQ(dictionary.windowTitle(), "Dicom Dictionary");
        int ticked = 0;
        for (int i = 1; i <= dictionary.lvDatabase()->count(); ++i) {
            QTreeWidgetItem* item = dictionary.lvDatabase()->itemAtPosition(i);
            if (item->checkState(0) == Qt::Checked) ++ticked;
            if (item->text(1) == "0008,0060") item->setCheckState(0, Qt::Unchecked);
            if (item->text(1) == "0020,000D") item->setCheckState(0, Qt::Checked);
        }
        EXPECT_EQ(ticked, 3);
        op_.answer(MsgResult::Yes);
        dictionary.cmdApply_Click();
        EXPECT_EQ(op_.messages(), QStringList{"Apply changes?"});
    }
    OptionForm form(nullptr, QStringList{});
    answerFilterName("CT");
    form.cmdNew_Click();
    QStringList offered;
    answerAddTags({}, &offered);
    form.cmdAddTag_Click();
    offered.sort();
    EXPECT_EQ(offered, (QStringList{"0010,0010", "0010,0020", "0020,000D"}));
}

TEST_F(FiltersTest, NewAttributesAndDeletedOnes) {
    DatabaseForm dictionary;
    const int before = dictionary.lvDatabase()->count();
    const auto addTag = [this, &dictionary](QString group, QString element, QString vr) {
        op_.answerWindow([=](QDialog& d) {
            auto& dialog = dynamic_cast<AddTagToDB&>(d);
            dialog.txtGroup()->setText(group);
            dialog.txtElement()->setText(element);
            dialog.txtVR()->setText(vr);
            dialog.txtDescription()->setText("Private note");
            dialog.chkVisible()->setChecked(true);
            dialog.cmdOK()->click();
            EXPECT_EQ(dialog.result() == QDialog::Accepted, dialog.added());
            if (!dialog.added()) {  // refused: what was typed stays, and OK may be pressed again
                EXPECT_TRUE(dialog.cmdOK()->isEnabled());
                EXPECT_EQ(dialog.txtVR()->text(), vr);
                EXPECT_EQ(dialog.txtDescription()->text(), "Private note");
            }
            return dialog.result();
        });
        dictionary.cmdAddNew_Click();
    };
    addTag("7fe1", "10", "x");
    addTag("10", "10", "PN");
    addTag("7fg1", "10", "LO");
    addTag("7fe1", "-1", "LO");
    addTag("7fe10", "10", "LO");
    const QString badTag = "Group and element must be four hexadecimal digits each (e.g. 0010, 0020).";
    EXPECT_EQ(op_.messages(), (QStringList{"Not a valid VR type!", "Tag already exists.", badTag, badTag, badTag}));
    EXPECT_EQ(count("SELECT COUNT(*) FROM tblDictionary WHERE Tag LIKE '%G%' OR Tag LIKE '%-%' OR length(Tag) <> 9"), 0);
    addTag("7fe1", "10", " lo ");
    EXPECT_EQ(dictionary.lvDatabase()->count(), before + 1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM tblDictionary WHERE Tag = '7FE1,0010' AND Type = 'LO' AND Visible = -1"), 1);

    // A deleted row is part of no filter any more; a refused delete is reported.
    {
        auto db = userDb();
        config::createFilter(db, "MG");
        config::addTagsToFilter(db, "MG", {"0010,0010"});
    }
    for (int i = 1; i <= dictionary.lvDatabase()->count(); ++i)
        if (dictionary.lvDatabase()->itemAtPosition(i)->text(1) == "0010,0010")
            dictionary.lvDatabase()->setCurrentItem(dictionary.lvDatabase()->itemAtPosition(i));
    dictionary.PopDelete_Click();
    EXPECT_EQ(count("SELECT COUNT(*) FROM tblDictionary WHERE MG = -1"), 0);
    {
        auto db = userDb();
        db.exec("CREATE TRIGGER keep_dictionary BEFORE DELETE ON tblDictionary BEGIN SELECT RAISE(ABORT, 'dictionary locked'); END");
    }
    op_.clear();
    const int rows = dictionary.lvDatabase()->count();
    dictionary.lvDatabase()->setCurrentItem(dictionary.lvDatabase()->itemAtPosition(1));
    dictionary.PopDelete_Click();
    ASSERT_EQ(op_.messages().size(), 1);
    EXPECT_TRUE(op_.messages()[0].contains("dictionary locked"));
    EXPECT_EQ(dictionary.lvDatabase()->count(), rows);
}

}  // namespace
}  // namespace corva::station::test
