#include "config/add_scp.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/config_state.h"
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
}

void AddSCP::cmdAdd_Click() {
    const DestinationInput input{txtSCP_[0]->text(), txtSCP_[1]->text(), txtSCP_[2]->text(), txtSCP_[3]->text()};
    if (const auto problem = destinationProblem(input)) {
        op().message(*problem, {}, MsgIcon::Information);
        return;
    }
    // A row that cannot be stored keeps the dialog open with the values typed.
    const bool stored = guarded("AddSCP cmdAdd_Click", {}, [&] {
        station::OpenedDb db(station::stationContext().userDb);
        storeDestination(db.db(), editing_, input);
    });
    if (!stored) return;
    listChanged_ = true;
    station::configState().destinationsChanged = true;
    accept();
}

}  // namespace corva::config
