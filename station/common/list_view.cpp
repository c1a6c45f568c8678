#include "common/list_view.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QHelpEvent>
#include <QStyle>
#include <QTimer>
#include <QToolTip>
#include <algorithm>
#include <vector>
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
    // An empty list shows its titles whole until the first fill.
    fitLater_->start();
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
    std::vector<int> fitted;  // the columns this fit sizes
    std::vector<int> wanted(columnCount(), 0);
    int fixed = 0;  // what the columns the operator sized take
    for (int c = 0; c < columnCount(); ++c) {
        if (isColumnHidden(c)) continue;
        if (sizedByOperator(c)) {
            fixed += columnWidth(c);
            continue;
        }
        wanted[c] = std::min(std::max(sizeHintForColumn(c), header()->sectionSizeHint(c)), maxFitted_);
        fitted.push_back(c);
    }
    std::vector<int> widths = wanted;
    const int available = viewport()->width() - fixed;
    int total = 0;
    for (int c : fitted) total += wanted[c];
    if (shareViewport_ && !fitted.empty() && total > available) {
        // The floor of a cut column: its title, or four wide letters of a long title.
        const int least = fontMetrics().horizontalAdvance(QStringLiteral("MMMM")) + 12;
        const auto floorOf = [&](int c) { return std::min(header()->sectionSizeHint(c), least); };
        // Water filling: the narrow columns keep their width, the wide ones share the rest.
        const auto share = [&](std::vector<int> wide, int rest) {
            for (bool changed = true; changed && !wide.empty();) {
                changed = false;
                const int even = rest / static_cast<int>(wide.size());
                for (auto it = wide.begin(); it != wide.end();) {
                    // Narrow enough to stay whole, or at its floor already.
                    if (wanted[*it] <= even || floorOf(*it) >= even) {
                        widths[*it] = wanted[*it] <= even ? wanted[*it] : floorOf(*it);
                        rest -= widths[*it];
                        it = wide.erase(it);
                        changed = true;
                    } else {
                        ++it;
                    }
                }
            }
            if (wide.empty()) return;
            const int even = std::max(0, rest) / static_cast<int>(wide.size());
            for (int c : wide) widths[c] = even;
        };
        // First only the columns that give way, when the others leave them their floors.
        std::vector<int> yielding;
        int kept = 0, floors = 0;
        for (int c : fitted) {
            if (givingWay_.count(c)) {
                yielding.push_back(c);
                floors += floorOf(c);
            } else {
                kept += wanted[c];
            }
        }
        if (!yielding.empty() && kept + floors <= available)
            share(yielding, available - kept);
        else
            share(fitted, available);
    }
    for (int c : fitted) setColumnWidth(c, widths[c]);
    headerPressed_ = pressed;
    emit columnsFitted();
}

void ListView::setShareViewport(bool on, std::set<int> givingWay) {
    shareViewport_ = on;
    givingWay_ = std::move(givingWay);
    if (on) header()->setStretchLastSection(true);
    fitLater_->start();
}

void ListView::resizeEvent(QResizeEvent* event) {
    QTreeWidget::resizeEvent(event);
    if (shareViewport_) fitLater_->start();
}

bool ListView::viewportEvent(QEvent* event) {
    if (shareViewport_ && event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const QModelIndex index = indexAt(help->pos());
        if (index.isValid() && !index.data(Qt::ToolTipRole).isValid()) {
            const QString text = index.data(Qt::DisplayRole).toString();
            const int margin = 2 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 2;
            if (fontMetrics().horizontalAdvance(text) + margin > visualRect(index).width()) {
                QToolTip::showText(help->globalPos(), text, viewport(), visualRect(index));
                return true;
            }
            QToolTip::hideText();
        }
    }
    return QTreeWidget::viewportEvent(event);
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
