#include "dose/dose_list.h"

#include <QAbstractButton>
#include <algorithm>
#include <QListWidget>

#include <QApplication>
#include <QFont>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QTreeWidget>

#include "core/error.h"
#include "dose/controls.h"
#include "dose/dosis_form.h"
#include "common/job_lock.h"
#include "dose/projection.h"
#include "log/error_log.h"
#include "common/edge.h"
#include "common/operator_seam.h"

namespace corva::dose {
namespace {

// The projection comes last among the columns but is shown right after the time: the
// operator compares it with the image's before she pairs them.
enum Col { ColId = 0, ColDate, ColTime, ColKv, ColMa, ColThickness, ColPress, ColMGy, ColOther, ColStatus, ColExpTime,
           ColProjection };

constexpr int ObjectNotSet = 91;  // "Object variable or With block variable not set"

std::int64_t itemId(const QTreeWidgetItem* item) { return item->data(ColId, Qt::DisplayRole).toLongLong(); }

// Freezes a list's drawing while it is refilled, also on the error path.
class FrozenDrawing {
public:
    explicit FrozenDrawing(QWidget* w) : w_(w) {
        if (w_) w_->setUpdatesEnabled(false);
    }
    ~FrozenDrawing() {
        if (w_) w_->setUpdatesEnabled(true);
    }
    FrozenDrawing(const FrozenDrawing&) = delete;
    FrozenDrawing& operator=(const FrozenDrawing&) = delete;

private:
    QWidget* w_;
};

}  // namespace

const QStringList& DoseListPresenter::columnTitles() {
    static const QStringList titles{"ID",  "Date", "Time",  "kV",     "mA",     "Thickness",
                                    "Press", "mGy", "Other", "Status", "expTime", "Projection"};
    return titles;
}

DoseListPresenter::DoseListPresenter(const DoseWidgets& widgets, const DoseStore& store, QObject* parent)
    : QObject(parent), w_(widgets), store_(store) {
    if (QTreeWidget* lv = w_.lvDosis) {
        if (lv->columnCount() != columnTitles().size()) lv->setHeaderLabels(columnTitles());
        lv->header()->moveSection(lv->header()->visualIndex(ColProjection), ColTime + 1);
        lv->setColumnHidden(ColId, true);  // the ID column has no width
        lv->setRootIsDecorated(false);
        lv->setSelectionMode(QAbstractItemView::SingleSelection);
        lv->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(lv, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item, int) { itemClick(item); });
        // Keyboard selection counts as a click; mouse clicks arrive through itemClicked.
        // Only a change of the selection counts: the list makes its first row current
        // by itself (without selecting it) when it gets the focus back, and that must
        // not choose an exposure the operator never chose.
        connect(lv->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                [this](const QItemSelection& selected, const QItemSelection&) {
                    QTreeWidget* list = w_.lvDosis;
                    if (selected.isEmpty() || list->signalsBlocked() || QApplication::mouseButtons() != Qt::NoButton)
                        return;
                    if (QTreeWidgetItem* item = list->itemFromIndex(selected.indexes().first())) itemClick(item);
                });
        connect(lv, &QTreeWidget::customContextMenuRequested, this, &DoseListPresenter::rightClick);
    }
}

int DoseListPresenter::rowCount() const { return w_.lvDosis ? w_.lvDosis->topLevelItemCount() : 0; }

std::int64_t DoseListPresenter::selectedId() const {
    if (!w_.lvDosis) return 0;
    const auto selected = w_.lvDosis->selectedItems();
    return selected.isEmpty() ? 0 : itemId(selected.first());
}

void DoseListPresenter::fill() {
    if (hooks_.refreshLocked && hooks_.refreshLocked()) return;
    QTreeWidget* lv = w_.lvDosis;
    station::catchAtEdge("MainForm_lvDosis_Fill", false, [&] {
        const std::vector<DoseRow> rows = store_.pending();
        if (lv) {
            FrozenDrawing frozen(lv);
            const QSignalBlocker quiet(lv);
            lv->clear();
            lv->setSortingEnabled(false);
            for (const DoseRow& row : rows) {
                auto* item = new QTreeWidgetItem(lv);  // owned by the list
                item->setData(ColId, Qt::DisplayRole, QVariant::fromValue<qlonglong>(row.id));
                item->setText(ColDate, row.datum);
                item->setText(ColTime, row.zeit);
                item->setText(ColKv, row.kvp);
                item->setText(ColMa, row.ma);
                item->setText(ColThickness, row.dicke);
                item->setText(ColPress, row.druck);
                item->setText(ColMGy, row.mGy);
                item->setText(ColOther, row.sonstiges);
                item->setText(ColExpTime, row.expZeit);
                const Projection projection =
                    recordProjection(row.sonstiges, hooks_.unitType ? hooks_.unitType() : 0);
                item->setText(ColProjection, projection.side == Side::Unknown && projection.view == View::Unknown
                                                 ? QString()
                                                 : projection.key());
            }
            lv->setSortingEnabled(true);
            lv->sortByColumn(ColId, Qt::AscendingOrder);
        }
        // The current exposure lives only as long as its record waits.
        const bool waiting = std::any_of(rows.begin(), rows.end(),
                                         [this](const DoseRow& r) { return r.id == currentRecordId_; });
        if (currentRecordId_ != 0 && !waiting)
            clearCurrentExposure();
        else
            reselectCurrent();
    });
    if (hooks_.filled) hooks_.filled();
}

void DoseListPresenter::reselectCurrent() {
    QTreeWidget* lv = w_.lvDosis;
    if (!lv || currentRecordId_ == 0) return;
    const QSignalBlocker quiet(lv);
    for (int i = 0; i < lv->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = lv->topLevelItem(i);
        if (itemId(item) != currentRecordId_) continue;
        lv->setCurrentItem(item);
        item->setSelected(true);
        return;
    }
}

void DoseListPresenter::clearCurrentExposure() {
    current_ = {};
    currentRecordId_ = 0;
    clearFields();
    setControlText(w_.txtID, {});
    if (QTreeWidget* lv = w_.lvDosis) {
        const QSignalBlocker quiet(lv);
        lv->clearSelection();
        lv->setCurrentItem(nullptr);
    }
}

void DoseListPresenter::deleteAll() {
    // Under the lock nothing happens, the poll included: a record waiting for its
    // projection or after a parse error stays waiting.
    if (hooks_.refreshLocked && hooks_.refreshLocked()) return;
    station::catchAtEdge("MainForm_lvDosis_Fill", false, [&] {
        // What the operator deletes is what the database holds now, not what the list showed.
        const std::vector<DoseRow> waiting = store_.pending();
        if (waiting.empty()) {
            station::op().message(QStringLiteral("The dose list holds no waiting exposure records."), {},
                                  station::MsgIcon::Information);
            return;
        }
        const QString question = QStringLiteral(
                                     "Delete the %1 waiting exposure record(s)?\r\nThey can no longer be applied to "
                                     "any image. Used records stay in the dose history.")
                                     .arg(waiting.size());
        if (station::op().message(question, {}, station::MsgIcon::Question, station::MsgButtons::YesNo) !=
            station::MsgResult::Yes)
            return;
        // A forwarding paired its images with these records: they go only between jobs.
        const station::JobLock lock = station::JobLock::tryAcquire(store_.file().parent_path());
        if (lock.state() == station::JobLock::State::Busy) {
            station::op().message(recordsBusyMessage(), {}, station::MsgIcon::Information);
            return;
        }
        std::vector<std::int64_t> ids;
        for (const DoseRow& r : waiting) ids.push_back(r.id);
        store_.deletePending(ids);
        fill();
    });
    if (hooks_.pollOn) hooks_.pollOn();
}

void DoseListPresenter::refreshDosisList(station::ForwardingMode) {
    if (w_.lvDosis) w_.lvDosis->clear();
    fill();
}

void DoseListPresenter::markSelectedImage() {
    QTreeWidget* images = w_.lvImages;
    if (!images || images->topLevelItemCount() == 0) return;
    for (int i = 0; i < images->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = images->topLevelItem(i);
        for (int c = 0; c < images->columnCount(); ++c) {
            QFont font = item->font(c);
            font.setBold(false);
            item->setFont(c, font);
            item->setForeground(c, QBrush(Qt::black));
        }
    }
    const auto selected = images->selectedItems();
    QTreeWidgetItem* item = selected.isEmpty() ? images->currentItem() : selected.first();
    if (!item) return;
    for (int c = 0; c < images->columnCount(); ++c) {
        QFont font = item->font(c);
        font.setBold(true);
        item->setFont(c, font);
        item->setForeground(c, QBrush(Qt::red));
    }
}

void DoseListPresenter::itemClick(QTreeWidgetItem* item) {
    if (!item || rowCount() == 0) return;
    station::catchAtEdge("lvDosis_ItemClick", true, [&] {
        markSelectedImage();
        currentRecordId_ = itemId(item);
        current_.kvp = item->text(ColKv);
        current_.ma = item->text(ColMa);
        current_.dicke = item->text(ColThickness);
        current_.druck = item->text(ColPress);
        current_.mGy = item->text(ColMGy);
        current_.sonstiges = item->text(ColOther);
        current_.expZeit = item->text(ColExpTime);
        setControlText(w_.text1, item->text(ColDate));
        setControlText(w_.text2, item->text(ColTime));
        const QString values[6] = {current_.kvp, current_.ma, current_.dicke, current_.druck, current_.mGy,
                                   current_.sonstiges};
        for (std::size_t i = 0; i < 6; ++i) setControlText(w_.text3[i], values[i]);
        setControlText(w_.txtID, QString::number(itemId(item)));
        if (hooks_.addTask) hooks_.addTask();
    });
}

bool DoseListPresenter::selectRow(int row) {
    QTreeWidget* lv = w_.lvDosis;
    if (!lv || row < 0 || row >= lv->topLevelItemCount()) return false;
    QTreeWidgetItem* item = lv->topLevelItem(row);
    {
        const QSignalBlocker quiet(lv);
        lv->setCurrentItem(item);
        item->setSelected(true);
    }
    lv->setFocus();
    itemClick(item);
    return true;
}

QMenu* DoseListPresenter::popupMenu() {
    if (!popup_ && w_.popupDosis) {
        popup_ = w_.popupDosis;
        QAction* del = popup_->findChild<QAction*>(QStringLiteral("PopupDeleteDosis"));
        if (!del) {
            del = popup_->addAction(QStringLiteral("Delete"));
            del->setObjectName(QStringLiteral("PopupDeleteDosis"));
        }
        connect(del, &QAction::triggered, this, &DoseListPresenter::popupDeleteDosis);
    }
    if (!popup_) {
        popup_ = new QMenu(w_.lvDosis);  // owned by the list
        popup_->setObjectName(QStringLiteral("Popup_Dosis"));
        QAction* del = popup_->addAction(QStringLiteral("Delete"));
        del->setObjectName(QStringLiteral("PopupDeleteDosis"));
        connect(del, &QAction::triggered, this, &DoseListPresenter::popupDeleteDosis);
    }
    return popup_;
}

void DoseListPresenter::rightClick(const QPoint& pos) {
    QTreeWidget* lv = w_.lvDosis;
    if (!lv || lv->topLevelItemCount() == 0) return;
    station::catchAtEdge("lvDosis_MouseUp", true, [&] {
        QTreeWidgetItem* item = lv->itemAt(pos);
        popupRecordId_ = item ? itemId(item) : 0;
        popupMenu()->popup(lv->viewport()->mapToGlobal(pos));
    });
}

void DoseListPresenter::popupDeleteDosis() {
    // The row the popup was opened on; from the keyboard's menu key, the selected one.
    const std::int64_t id = popupRecordId_ != 0 ? popupRecordId_ : selectedId();
    popupRecordId_ = 0;
    bool busy = false;
    if (!station::catchAtEdge("MainForm_RefreshDosisList", false, [&] {
            if (id == 0) throw Error(ObjectNotSet, "No exposure record chosen", "RefreshDosisList");
            // A forwarding may have paired an image with it: it leaves the list only between jobs.
            const station::JobLock lock = station::JobLock::tryAcquire(store_.file().parent_path());
            if (lock.state() == station::JobLock::State::Busy) {
                station::op().message(recordsBusyMessage(), {}, station::MsgIcon::Information);
                busy = true;
                return;
            }
            store_.markAssigned(id);
        }) || busy)
        return;
    if (id == currentRecordId_) clearCurrentExposure();
    refreshDosisList(forwarding::None);
}

void DoseListPresenter::clearFields() {
    setControlText(w_.text1, {});
    setControlText(w_.text2, {});
    for (QWidget* w : w_.text3) setControlText(w, {});
}

}  // namespace corva::dose
