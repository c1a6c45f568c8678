#include "dose/dosis_form.h"

#include "common/edge.h"
#include "common/job_lock.h"
#include "common/operator_seam.h"

#include <QCalendarWidget>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "core/error.h"
#include "log/error_log.h"

namespace corva::dose {

QString recordsBusyMessage() {
    return QStringLiteral(
        "Another job works on the images (the job window or corvactl): the exposure records stay as they are. "
        "Please try again when it has finished.");
}

DosisForm::DosisForm(const DoseStore& store, QWidget* mainWindow)
    : QDialog(mainWindow), store_(store), monthView_(new QCalendarWidget(this)), list_(new QTreeWidget(this)),
      cmdFree_(new QPushButton(QStringLiteral("Set Free"), this)),
      cmdClose_(new QPushButton(QStringLiteral("Close"), this)) {
    setObjectName(QStringLiteral("DosisForm"));
    setWindowTitle(QStringLiteral("Reload Dosis"));
    if (mainWindow) setWindowIcon(mainWindow->windowIcon());
    monthView_->setObjectName(QStringLiteral("MonthView1"));
    list_->setObjectName(QStringLiteral("ListView1"));
    cmdFree_->setObjectName(QStringLiteral("cmdFree"));
    cmdClose_->setObjectName(QStringLiteral("cmdClose"));

    list_->setHeaderLabels({QStringLiteral("ID"), QStringLiteral("Date"), QStringLiteral("Time"),
                            QStringLiteral("Projection")});
    list_->setColumnHidden(0, true);  // the ID column has no width
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdFree_);
    buttons->addWidget(cmdClose_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(monthView_);
    layout->addWidget(list_);
    layout->addLayout(buttons);

    // The calendar opens on today; the list always follows its date.
    monthView_->setSelectedDate(QDate::currentDate());
    connect(monthView_, &QCalendarWidget::selectionChanged, this, &DosisForm::DosisListFill);
    connect(cmdFree_, &QPushButton::clicked, this, &DosisForm::updateDosisDB);
    connect(cmdClose_, &QPushButton::clicked, this, &QDialog::reject);
    DosisListFill();
}

void DosisForm::DosisListFill() {
    list_->clear();
    list_->setSortingEnabled(false);
    station::catchAtEdge("DosisForm DosisListFill", false, [&] {
        const QString date = monthView_->selectedDate().toString(QStringLiteral("dd.MM.yyyy"));
        for (const HistoryRow& row : store_.assignedOn(date)) {
            auto* item = new QTreeWidgetItem(list_);  // owned by the list
            item->setData(0, Qt::DisplayRole, QVariant::fromValue<qlonglong>(row.id));
            item->setText(1, row.datum);
            item->setText(2, row.zeit);
            item->setText(3, row.sonstiges);
        }
    });
    list_->setSortingEnabled(true);
    list_->sortByColumn(0, Qt::AscendingOrder);
}

void DosisForm::updateDosisDB() {
    const auto selected = list_->selectedItems();
    QTreeWidgetItem* item = selected.isEmpty() ? list_->currentItem() : selected.first();
    if (!item) return;  // nothing chosen: nothing to set free
    // A record set free leaves the dose report of its study: not while a forwarding or a
    // dose report works with it.
    const station::JobLock lock = station::JobLock::tryAcquire(store_.file().parent_path());
    if (lock.state() == station::JobLock::State::Busy) {
        station::op().message(recordsBusyMessage(), {}, station::MsgIcon::Information);
        return;
    }
    station::catchAtEdge("DosisForm updateDosisDB", false,
                         [&] { store_.setFree(item->data(0, Qt::DisplayRole).toLongLong()); });
    DosisListFill();
}

}  // namespace corva::dose
