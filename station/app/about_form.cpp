#include "app/about_form.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/program_version.h"

namespace corva::station {

AboutForm::AboutForm(QWidget* parent) : QDialog(parent) {
    setObjectName("AboutForm");
    setWindowTitle("About ZKT Tallyrad");
    auto* layout = new QVBoxLayout(this);
    auto* logo = new QLabel(this);
    logo->setObjectName("Image1");
    logo->setText("<b style='font-size:20pt'>ZKT</b>");
    layout->addWidget(logo);
    name_ = new QLabel("ZKT Tallyrad", this);
    name_->setObjectName("Label1_0");
    version_ = new QLabel("Version " + versionText(CurrentVersion, false), this);
    version_->setObjectName("Label1_1");
    layout->addWidget(name_);
    layout->addWidget(version_);
    auto* notice = new QLabel("Mammography gateway and quality workstation.\n"
                              "Warning: this program is protected by copyright law.",
                              this);
    notice->setObjectName("Label2");
    layout->addWidget(notice);
    ok_ = new QPushButton("OK", this);
    ok_->setObjectName("cmdOK");
    ok_->setDefault(true);
    layout->addWidget(ok_);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace corva::station
