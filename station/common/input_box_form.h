#pragma once
// The text prompt InputBoxForm ("Add new filter"): at most two characters. The caller
// runs it modally and then reads txtValue: OK leaves the typed text, Cancel empties it.
// The window is only hidden between uses and empties its box whenever it is activated.
#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace corva::station {

class InputBoxForm : public QDialog {
    Q_OBJECT
public:
    explicit InputBoxForm(QWidget* parent = nullptr);

    QLineEdit* txtValue() const { return txtValue_; }
    QPushButton* OKButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }
    QString value() const;
    // Escape and the close box act as Cancel.
    void reject() override;

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    QLabel* label_;
    QLineEdit* txtValue_;
    QPushButton* ok_;
    QPushButton* cancel_;
};

}  // namespace corva::station
