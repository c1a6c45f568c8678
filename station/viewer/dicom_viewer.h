#pragma once
// The viewer dv1: a grid of columns x rows cells on the background colour, each cell an
// image of the loaded set from the top index on, rendered with the file's window and
// the aspect kept, its side and view in a corner. A marked image gets a frame in the
// marker colour. A double click shows one image alone for a closer look (zoom up to 1:1,
// pan, window by dragging). The viewer only draws and reports input; paging rules live
// in ViewerPaging, the reactions in MainForm.
#include <QColor>
#include <QWidget>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "viewer/close_look.h"
#include "viewer/loaded_image.h"

namespace corva::station {

// A fixed arrangement of a few images that replaces the grid: a compact grid whose cell
// i shows the image at `cells[i].position`, placed toward `align` in its cell and
// mirrored left to right when told (a mammogram hung with its chest wall to the middle).
struct Hanging {
    struct Cell {
        int position = 0;  // 1-based; 0 leaves the cell empty
        Qt::Alignment align = Qt::AlignCenter;
        bool mirrored = false;
    };
    int columns = 0;
    int rows = 0;
    std::vector<Cell> cells;
    bool active() const { return columns > 0 && rows > 0; }
};

class DicomViewer : public QWidget {
    Q_OBJECT
public:
    explicit DicomViewer(QWidget* parent = nullptr);

    void setGrid(int columns, int rows);
    int columns() const { return columns_; }
    int rows() const { return rows_; }
    // While a hanging is set it decides the cells; clear() and an empty hanging end it.
    void setHanging(Hanging hanging);
    const Hanging& hanging() const { return hanging_; }
    void setBackground(const QColor& c);
    QColor background() const { return background_; }

    // The images, 1-based positions as the toolkit counts.
    int count() const { return static_cast<int>(images_.size()); }
    const std::shared_ptr<LoadedImage>& image(int position) const { return images_.at(position - 1); }
    void add(std::shared_ptr<LoadedImage> image);
    void clear();

    int topIndex() const { return top_; }
    void setTopIndex(int top);

    // While off, adding images does not repaint; switching it on repaints once.
    void setAutoRedraw(bool on);
    bool autoRedraw() const { return autoRedraw_; }

    // The position of the image under a point of the widget, 0 when none.
    int positionAt(const QPoint& p) const;
    // Frame style 2 draws the marker frame in `colour`; 0 removes it.
    void setFrame(int position, int style, const QColor& colour);
    bool framed(int position) const { return framed_.count(position) > 0; }

    // The side and view shown in a corner of the image at `position` ("R CC").
    void setCaption(int position, const QString& caption);
    QString caption(int position) const;

    // The closer look: the image at `position` alone at the viewer's full size (the
    // wheel zooms, a left drag changes the window, a right or middle drag pans, R resets,
    // 1 toggles 1:1, Page Up/Down go to the previous and next image, Esc or a double
    // click goes back to all images).
    void showSingle(int position);
    void showAll();
    int singlePosition() const { return single_; }
    const CloseLook& closeLook() const { return look_; }
    // The last rendering made for the closer look (null before the first).
    QImage closeLookPicture() const { return lookPicture_; }

    // The size of one cell, the size every image is rendered for.
    QSize cellSize() const;
    // The size of one cell of a grid of columns x rows over the whole viewer.
    QSize cellSizeFor(int columns, int rows) const;
    // Cells painted with their image at the right size in the last paint.
    int lastPaintedImages() const { return lastPainted_; }

signals:
    void mouseReleased(Qt::MouseButton button, QPoint position);
    // A key pressed while the viewer has the focus, as a Windows virtual-key code.
    void keyPressed(int virtualKey);
    // After each paint: the number of cells drawn with their image at the cell size.
    void painted(int imagesDrawn);
    // The image shown alone changed; 0: all images again.
    void singleShown(int position);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QRect cellRect(int cell) const;
    int shownColumns() const { return hanging_.active() ? hanging_.columns : columns_; }
    int shownRows() const { return hanging_.active() ? hanging_.rows : rows_; }
    // The position shown in cell `cell` of the page, 0 for none.
    int positionInCell(int cell) const;
    void renderLater(const std::shared_ptr<LoadedImage>& image, QSize cell);
    void paintSingle(QPainter& painter);
    void renderLookLater();
    // The shown image's own window, found on a decode thread (it may decode the image).
    void findLookWindowLater();
    bool singleKey(int key);
    // The pointer in the closer look's own coordinates (mirrored with the image).
    QPointF lookPoint(QPointF p) const;
    void drawCaption(QPainter& painter, const QRect& image, const QRect& cell, const QString& text,
                     bool atRight) const;

    int columns_ = 3;
    int rows_ = 7;
    QColor background_ = Qt::black;
    std::vector<std::shared_ptr<LoadedImage>> images_;
    int top_ = 1;
    bool autoRedraw_ = true;
    std::set<int> framed_;
    QColor frameColour_;
    int lastPainted_ = 0;
    std::set<const LoadedImage*> pendingRenders_;
    Hanging hanging_;
    std::vector<QString> captions_;  // by position - 1

    int single_ = 0;  // the image shown alone, 0: none
    bool singleMirrored_ = false;
    CloseLook look_;
    QImage lookPicture_;  // the last rendering for the look, drawn scaled until the next is ready
    QSize lookSize_;
    std::optional<dicom::DisplayWindow> lookWindow_;
    bool lookPending_ = false;
    bool lookWindowPending_ = false;  // the own window of the image shown alone is not known yet

    Qt::MouseButton dragButton_ = Qt::NoButton;
    QPoint dragFrom_;
    QPoint dragLast_;
    bool dragged_ = false;
    int wheelRest_ = 0;  // eighths of a degree not yet turned into steps
};

}  // namespace corva::station
