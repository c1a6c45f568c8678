#include "common/list_view.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTimer>
#include <algorithm>
#include <utility>

namespace corva::station {

ListView::ListView(const QString& objectName, const QStringList& columns, QWidget* parent) : QTreeWidget(parent) {
    setObjectName(objectName);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setColumnCount(std::max<qsizetype>(1, columns.size()));
    setHeaderLabels(columns);
    header()->setSectionsMovable(true);
    setSortingEnabled(false);
    connect(model(), &QAbstractItemModel::modelReset, this, [this] { ++emptied_; });

    // Fills let window messages run after each row: the fit waits until rows stop coming.
    fitLater_ = new QTimer(this);
    fitLater_->setSingleShot(true);
    fitLater_->setInterval(40);
    connect(fitLater_, &QTimer::timeout, this, &ListView::fitColumns);
    connect(model(), &QAbstractItemModel::rowsInserted, fitLater_, qOverload<>(&QTimer::start));
    connect(model(), &QAbstractItemModel::dataChanged, fitLater_, qOverload<>(&QTimer::start));
    header()->viewport()->installEventFilter(this);
    connect(header(), &QHeaderView::sectionResized, this, [this](int column, int, int) {
        if (headerPressed_) sizedByOperator_.insert(column);
    });
    connect(header(), &QHeaderView::sectionHandleDoubleClicked, this,
            [this](int column) { sizedByOperator_.insert(column); });
}

bool ListView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == header()->viewport()) {
        if (event->type() == QEvent::MouseButtonPress)
            headerPressed_ = true;
        else if (event->type() == QEvent::MouseButtonRelease)
            headerPressed_ = false;
    }
    return QTreeWidget::eventFilter(watched, event);
}

void ListView::fitColumns() {
    fitLater_->stop();
    const bool pressed = std::exchange(headerPressed_, false);
    for (int c = 0; c < columnCount(); ++c) {
        if (isColumnHidden(c) || sizedByOperator(c)) continue;
        const int wanted = std::max(sizeHintForColumn(c), header()->sectionSizeHint(c));
        setColumnWidth(c, std::min(wanted, maxFitted_));
    }
    headerPressed_ = pressed;
    emit columnsFitted();
}

QTreeWidgetItem* ListView::addItem(const QString& text, const QVariant& tag, const QStringList& columns) {
    auto* item = new QTreeWidgetItem(this);  // owned by the list
    item->setText(0, text);
    item->setData(0, Qt::UserRole, tag);
    for (int i = 0; i < columns.size(); ++i) item->setText(i + 1, columns[i]);
    return item;
}

QTreeWidgetItem* ListView::selectedItem() const {
    const auto items = selectedItems();
    return items.isEmpty() ? nullptr : items.first();
}

int ListView::positionOf(const QTreeWidgetItem* item) const {
    if (!item) return 0;
    const int i = indexOfTopLevelItem(const_cast<QTreeWidgetItem*>(item));
    return i < 0 ? 0 : i + 1;
}

QTreeWidgetItem* ListView::itemAtPosition(int position) const {
    return position >= 1 && position <= count() ? topLevelItem(position - 1) : nullptr;
}

void ListView::setSorted(bool on) {
    setSortingEnabled(on);
    if (on) sortByColumn(0, Qt::AscendingOrder);
}

void ListView::mouseReleaseEvent(QMouseEvent* event) {
    const auto button = event->button();
    const QPoint pos = event->position().toPoint();
    QTreeWidget::mouseReleaseEvent(event);
    emit mouseUp(button, pos);
}

void ListView::keyPressEvent(QKeyEvent* event) {
    QTreeWidgetItem* before = currentItem();
    QTreeWidget::keyPressEvent(event);
    if (currentItem() && currentItem() != before) emit keyboardItemChanged(currentItem());
}

}  // namespace corva::station
