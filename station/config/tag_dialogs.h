#pragma once
// The tag dictionary window DatabaseForm ("Dicom Dictionary") with its dialog for a new
// attribute AddTagToDB ("Add new"), and AddTagForm ("Add DicomTag ..."), which adds
// visible dictionary attributes to the selected modality filter.
#include <QDialog>

class QCheckBox;
class QLineEdit;
class QMenu;
class QPushButton;

namespace corva::station {
class ListView;
}

namespace corva::config {

class AddTagForm : public QDialog {
    Q_OBJECT
public:
    // Lists the visible attributes not yet in `filter`.
    AddTagForm(const QString& filter, QWidget* parent = nullptr);
    void Form_Load();
    void cmdAdd_Click();
    station::ListView* lvDictionary() const { return lvDictionary_; }
    QPushButton* cmdAdd() const { return cmdAdd_; }
    QLineEdit* txtSearch() const { return txtSearch_; }
    // Shows only the attributes whose tag or description holds `text` (any case; a tag
    // typed with or without its comma); what is hidden is no longer chosen.
    void search(const QString& text);

private:
    QString filter_;
    QLineEdit* txtSearch_ = nullptr;
    station::ListView* lvDictionary_ = nullptr;
    QPushButton* cmdAdd_ = nullptr;
};

class DatabaseForm : public QDialog {
    Q_OBJECT
public:
    explicit DatabaseForm(QWidget* parent = nullptr);
    void UpdateDictionary();
    void cmdAddNew_Click();
    void cmdAllVisible_Click();
    void cmdApply_Click();
    void PopDelete_Click();
    void lvDatabase_MouseUp(Qt::MouseButton button, QPoint position);
    station::ListView* lvDatabase() const { return lvDatabase_; }
    QPushButton* cmdAddNew() const { return cmdAddNew_; }
    QPushButton* cmdAllVisible() const { return cmdAllVisible_; }
    QPushButton* cmdApply() const { return cmdApply_; }
    QPushButton* cmdCancel() const { return cmdCancel_; }
    QMenu* PopupDatabase() const { return popup_; }

private:
    station::ListView* lvDatabase_ = nullptr;
    QPushButton* cmdAddNew_ = nullptr;
    QPushButton* cmdAllVisible_ = nullptr;
    QPushButton* cmdApply_ = nullptr;
    QPushButton* cmdCancel_ = nullptr;
    QMenu* popup_ = nullptr;
};

class AddTagToDB : public QDialog {
    Q_OBJECT
public:
    explicit AddTagToDB(QWidget* parent = nullptr);
    void cmdOK_Click();
    // Set when an attribute was added.
    bool added() const { return added_; }
    QLineEdit* txtGroup() const { return txtGroup_; }
    QLineEdit* txtElement() const { return txtElement_; }
    QLineEdit* txtDescription() const { return txtDescription_; }
    QLineEdit* txtVR() const { return txtVR_; }
    QCheckBox* chkVisible() const { return chkVisible_; }
    QPushButton* cmdOK() const { return cmdOK_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* txtGroup_ = nullptr;
    QLineEdit* txtElement_ = nullptr;
    QLineEdit* txtDescription_ = nullptr;
    QLineEdit* txtVR_ = nullptr;
    QCheckBox* chkVisible_ = nullptr;
    QPushButton* cmdOK_ = nullptr;
    bool added_ = false;
};

}  // namespace corva::config
