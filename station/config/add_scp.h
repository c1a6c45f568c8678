#pragma once
// The storage-destination dialog AddSCP ("Add new SCP" / "Edit SCP"): four boxes
// txtSCP_0..3 (alias, AE title, address, port), cmdAdd ("Add" / "Apply") and
// cmdCancel. The row is stored in tblSCP when the boxes pass the checks. "Use TLS"
// (chkTLS) with txtTLS_0..2 (CA file, client certificate, its key) sends to it over TLS;
// those values go to the settings store under the row's ID.
#include <QDialog>
#include <array>
#include <cstdint>
#include <optional>

#include "config/destinations.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace corva::config {

class AddSCP : public QDialog {
    Q_OBJECT
public:
    explicit AddSCP(QWidget* parent = nullptr);

    // The edit form for an existing row: caption "Edit SCP", button "Apply".
    void editRow(const Destination& d);
    void cmdAdd_Click();

    // Set when a row was stored (the list-changed flag).
    bool listChanged() const { return listChanged_; }
    QLineEdit* txtSCP(int i) const { return txtSCP_.at(static_cast<std::size_t>(i)); }
    QCheckBox* chkTLS() const { return chkTLS_; }
    QLineEdit* txtTLS(int i) const { return txtTLS_.at(static_cast<std::size_t>(i)); }
    QPushButton* cmdAdd() const { return cmdAdd_; }
    QPushButton* cmdCancel() const { return cmdCancel_; }
    // "Ask for storage commitment": off for a destination that does not support it.
    QCheckBox* chkCommitment() const { return chkCommitment_; }

private:
    settings::DestinationTls tlsInput() const;
    void enableTlsBoxes();

    QCheckBox* chkCommitment_ = nullptr;
    std::array<QLineEdit*, 4> txtSCP_{};
    QCheckBox* chkTLS_ = nullptr;
    std::array<QLineEdit*, 3> txtTLS_{};
    QPushButton* cmdAdd_ = nullptr;
    QPushButton* cmdCancel_ = nullptr;
    std::optional<std::int64_t> editing_;  // the tag of cmdAdd: the row's ID
    bool listChanged_ = false;
};

}  // namespace corva::config
