#pragma once
// The browser of the main window: the patient list, and the study list with the
// series list that lies over it. Fills the lists from query rows; what a click means
// is the window's business.
#include <QWidget>
#include <vector>

#include "browser/browser_queries.h"

class QGroupBox;
class QSplitter;

namespace corva::station {

class ListView;

class BrowserPanel : public QWidget {
    Q_OBJECT
public:
    explicit BrowserPanel(QWidget* parent = nullptr);

    ListView* lvPatients() const { return lvPatients_; }
    ListView* lvStudien() const { return lvStudien_; }
    ListView* lvSerien() const { return lvSerien_; }
    QGroupBox* seriesFrame() const { return fraSeries_; }
    QGroupBox* studyFrame() const { return fraStudies_; }
    // Patient list above, study list below; the operator moves the edge between them.
    QSplitter* splitter() const { return splBrowser_; }
    bool seriesFrameShown() const;

    // Each fill lets window messages run between rows and stops when another handler
    // emptied the list meanwhile; then it returns false and the newer fill owns the list.
    bool fillPatients(const std::vector<PatientRow>& rows);
    bool fillStudies(const std::vector<StudyRow>& rows);
    // The series list with its ".." entry, shown over the study list.
    bool showSeries(const std::vector<SeriesRow>& rows);
    void hideSeries();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void placeSeriesFrame();

    QSplitter* splBrowser_ = nullptr;
    ListView* lvPatients_ = nullptr;
    ListView* lvStudien_ = nullptr;
    ListView* lvSerien_ = nullptr;
    QGroupBox* fraStudies_ = nullptr;
    QGroupBox* fraSeries_ = nullptr;
};

}  // namespace corva::station
