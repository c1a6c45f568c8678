#pragma once
// The dose frame of the main window: the dose list, the raw record and its fields
// (shown in debug mode instead of the list), and the fields of the chosen exposure.
#include <QGroupBox>
#include <array>

#include "dose/dose_view.h"

class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QTreeWidget;

namespace corva::station {
class ListView;
}

namespace corva::dose {

class DosePanel : public QGroupBox {
    Q_OBJECT
public:
    explicit DosePanel(QWidget* parent = nullptr);

    station::ListView* lvDosis() const { return lvDosis_; }
    QPlainTextEdit* txtcInput() const { return txtcInput_; }
    QListWidget* List1() const { return List1_; }
    QLineEdit* Text1() const { return Text1_; }
    QLineEdit* Text2() const { return Text2_; }
    QLineEdit* Text3(int i) const { return Text3_.at(static_cast<std::size_t>(i)); }
    QLineEdit* txtID() const { return txtID_; }

    // This frame's controls as a DoseView; the window adds its own (window, image list,
    // projection and forwarding buttons, popup menu).
    DoseView view() const;
    // Empties the fields of the chosen exposure (Text1, Text2, Text3(0..5)).
    void clearExposureFields();
    // The height that shows `rows` rows of `list` below its header (and a horizontal
    // scroll bar).
    static int minimumListHeight(const QTreeWidget& list, int rows);

private:
    station::ListView* lvDosis_ = nullptr;
    QPlainTextEdit* txtcInput_ = nullptr;
    QListWidget* List1_ = nullptr;
    QLineEdit* Text1_ = nullptr;
    QLineEdit* Text2_ = nullptr;
    std::array<QLineEdit*, 6> Text3_{};
    QLineEdit* txtID_ = nullptr;
};

}  // namespace corva::dose
