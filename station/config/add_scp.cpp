#include "config/add_scp.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/config_state.h"
#include "core/error.h"
#include "common/operator_seam.h"
#include "common/station_context.h"
#include "config/report.h"

namespace corva::config {

using station::MsgIcon;
using station::op;

AddSCP::AddSCP(QWidget* parent) : QDialog(parent) {
    setObjectName("AddSCP");
    setWindowTitle("Add new SCP");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    const char* labels[] = {"Alias:", "AET:", "IP:", "Port:"};
    for (int i = 0; i < 4; ++i) {
        txtSCP_[i] = new QLineEdit(this);
        txtSCP_[i]->setObjectName(QString("txtSCP_%1").arg(i));
        form->addRow(labels[i], txtSCP_[i]);
    }
    chkTLS_ = new QCheckBox("Use TLS", this);
    chkTLS_->setObjectName("chkTLS");
    form->addRow(QString(), chkTLS_);
    const char* tlsLabels[] = {"CA file:", "Client certificate:", "Client key:"};
    const char* tlsPlaceholders[] = {"PEM file that checks the destination", "optional PEM file",
                                     "PEM file, not readable by every user"};
    for (int i = 0; i < 3; ++i) {
        txtTLS_[i] = new QLineEdit(this);
        txtTLS_[i]->setObjectName(QString("txtTLS_%1").arg(i));
        txtTLS_[i]->setPlaceholderText(tlsPlaceholders[i]);
        form->addRow(tlsLabels[i], txtTLS_[i]);
    }
    connect(chkTLS_, &QCheckBox::toggled, this, &AddSCP::enableTlsBoxes);
    enableTlsBoxes();
    chkCommitment_ = new QCheckBox("Ask for storage commitment", this);
    chkCommitment_->setObjectName("chkCommitment");
    chkCommitment_->setToolTip("Images leave the station after a send only once the archive has committed to "
                               "keeping them. Leave off for an archive that does not support storage commitment.");
    form->addRow(QString(), chkCommitment_);
    layout->addLayout(form);
    auto* buttons = new QHBoxLayout;
    cmdAdd_ = new QPushButton("Add", this);
    cmdAdd_->setObjectName("cmdAdd");
    cmdAdd_->setProperty("tag", QString());
    cmdCancel_ = new QPushButton("Cancel", this);
    cmdCancel_->setObjectName("cmdCancel");
    buttons->addWidget(cmdAdd_);
    buttons->addWidget(cmdCancel_);
    layout->addLayout(buttons);
    connect(cmdAdd_, &QPushButton::clicked, this, &AddSCP::cmdAdd_Click);
    connect(cmdCancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void AddSCP::editRow(const Destination& d) {
    setWindowTitle("Edit SCP");
    cmdAdd_->setText("Apply");
    cmdAdd_->setProperty("tag", QString::number(d.id));
    editing_ = d.id;
    txtSCP_[0]->setText(d.alias);
    txtSCP_[1]->setText(d.aet);
    txtSCP_[2]->setText(d.ip);
    txtSCP_[3]->setText(d.port);
    const settings::DestinationTls tls = settings::readDestinationTls(d.id);
    chkTLS_->setChecked(tls.use);
    txtTLS_[0]->setText(QString::fromStdString(tls.caFile));
    txtTLS_[1]->setText(QString::fromStdString(tls.certificateFile));
    txtTLS_[2]->setText(QString::fromStdString(tls.keyFile));
    chkCommitment_->setChecked(d.commitment);
}

settings::DestinationTls AddSCP::tlsInput() const {
    const auto text = [](const QLineEdit* box) { return box->text().trimmed().toStdString(); };
    return {chkTLS_->isChecked(), text(txtTLS_[0]), text(txtTLS_[1]), text(txtTLS_[2])};
}

void AddSCP::enableTlsBoxes() {
    for (QLineEdit* box : txtTLS_) box->setEnabled(chkTLS_->isChecked());
}

void AddSCP::cmdAdd_Click() {
    const DestinationInput input{txtSCP_[0]->text(), txtSCP_[1]->text(), txtSCP_[2]->text(), txtSCP_[3]->text(),
                                 chkCommitment_->isChecked()};
    if (const auto problem = destinationProblem(input)) {
        op().message(*problem, {}, MsgIcon::Information);
        return;
    }
    const settings::DestinationTls tls = tlsInput();
    if (const auto problem = destinationTlsProblem(tls)) {
        op().message(*problem, {}, MsgIcon::Information);
        return;
    }
    // A row that cannot be stored keeps the dialog open with the values typed.
    const bool stored = guarded("AddSCP cmdAdd_Click", {}, [&] {
        station::OpenedDb db(station::stationContext().userDb);
        const std::int64_t id = storeDestination(db.db(), editing_, input);
        if (!settings::writeDestinationTls(id, tls))
            throw Error(errc::Generic, "The TLS choice of the destination could not be saved in the settings",
                        "AddSCP");
    });
    if (!stored) return;
    listChanged_ = true;
    station::configState().destinationsChanged = true;
    accept();
}

}  // namespace corva::config
