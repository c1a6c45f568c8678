#pragma once
// A report-style list view: a tree without branches whose first column is the item's
// text and whose tag is kept in the first column's user data. Reports a released mouse
// button and a change of the current item made with the keyboard.
#include <QTreeWidget>
#include <set>

class QTimer;

namespace corva::station {

class ListView : public QTreeWidget {
    Q_OBJECT
public:
    ListView(const QString& objectName, const QStringList& columns, QWidget* parent = nullptr);

    // Adds an item: text, tag and the further columns (an empty text leaves a column empty).
    QTreeWidgetItem* addItem(const QString& text, const QVariant& tag, const QStringList& columns = {});
    static QVariant tag(const QTreeWidgetItem* item) { return item ? item->data(0, Qt::UserRole) : QVariant(); }

    QTreeWidgetItem* selectedItem() const;
    // 1-based position of an item in the list's current order; 0 for none.
    int positionOf(const QTreeWidgetItem* item) const;
    QTreeWidgetItem* itemAtPosition(int position) const;  // 1-based
    int count() const { return topLevelItemCount(); }
    void setSorted(bool on);
    // Counts the times the list was emptied. A fill that lets window messages run
    // compares it after each row: when another handler emptied (and perhaps refilled)
    // the list meanwhile, the old rows must not be appended to the new content.
    int emptiedCount() const { return emptied_; }

    // Columns follow their contents: shortly after rows were added or changed (once a
    // fill is over, not row by row) each visible column is sized to its header and the
    // rows shown, up to maxFittedWidth(). A column the operator sized keeps its width.
    void fitColumns();
    void setMaxFittedWidth(int pixels) { maxFitted_ = pixels; }
    int maxFittedWidth() const { return maxFitted_; }
    bool sizedByOperator(int column) const { return sizedByOperator_.count(column) > 0; }
    // For a list in a narrow column: when the fitted columns are wider than the viewport,
    // the columns that need less than an even share keep their width and the wider ones
    // share the rest, each at least as wide as its title or four letters (below that the
    // list scrolls sideways). The columns `givingWay` are cut first, when that lets the
    // others keep their whole width. A cut text shows whole as the cell's tool tip.
    void setShareViewport(bool on, std::set<int> givingWay = {});
    bool sharesViewport() const { return shareViewport_; }

signals:
    void mouseUp(Qt::MouseButton button, QPoint position);
    void keyboardItemChanged(QTreeWidgetItem* item);
    // After each fitColumns().
    void columnsFitted();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int emptied_ = 0;
    QTimer* fitLater_ = nullptr;
    int maxFitted_ = 320;
    bool shareViewport_ = false;
    std::set<int> givingWay_;
    bool headerPressed_ = false;  // the operator is dragging a column edge
    std::set<int> sizedByOperator_;
};

}  // namespace corva::station
