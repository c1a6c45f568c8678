#pragma once
// The about window AboutForm: product name, version and notices; OK closes it.
#include <QDialog>

class QLabel;
class QPushButton;

namespace corva::station {

class AboutForm : public QDialog {
    Q_OBJECT
public:
    explicit AboutForm(QWidget* parent = nullptr);
    QLabel* Label1(int i) const { return i == 0 ? name_ : version_; }
    QPushButton* cmdOK() const { return ok_; }

private:
    QLabel* name_;
    QLabel* version_;
    QPushButton* ok_;
};

}  // namespace corva::station
