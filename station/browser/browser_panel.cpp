#include "browser/browser_panel.h"

#include <QGridLayout>
#include <QEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QSplitter>
#include <QStyle>
#include <QVBoxLayout>

#include "common/list_view.h"
#include "common/window_messages.h"

namespace corva::station {

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace

BrowserPanel::BrowserPanel(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    splBrowser_ = new QSplitter(Qt::Vertical, this);
    splBrowser_->setObjectName("splBrowser");
    splBrowser_->setChildrenCollapsible(false);
    layout->addWidget(splBrowser_);

    auto* fraPatients = new QGroupBox("Patient list", splBrowser_);
    fraPatients->setObjectName("fraPatients");
    lvPatients_ = new ListView("lvPatients", {"ID", "Lastname, Firstname", "2nd Name", "Birthdate"}, fraPatients);
    // The second first name, mostly empty, is shown last, so that ID, name and birth
    // date fit a narrow column side by side.
    lvPatients_->header()->moveSection(2, 3);
    (new QVBoxLayout(fraPatients))->addWidget(lvPatients_);
    splBrowser_->addWidget(fraPatients);

    fraStudies_ = new QGroupBox("Study list", splBrowser_);
    fraStudies_->setObjectName("fraStudies");
    lvStudien_ = new ListView("lvStudien", {"ID", "Date", "Time", "Modality", "Bodypart"}, fraStudies_);
    (new QVBoxLayout(fraStudies_))->addWidget(lvStudien_);
    splBrowser_->addWidget(fraStudies_);
    splBrowser_->setStretchFactor(0, 3);
    splBrowser_->setStretchFactor(1, 2);

    // The series frame lies over the study list, below the study frame's title, and
    // paints its own background so that nothing of the list shows through it.
    fraSeries_ = new QGroupBox("Series list", fraStudies_);
    fraSeries_->setObjectName("fraSeries");
    fraSeries_->setAutoFillBackground(true);
    lvSerien_ = new ListView("lvSerien", {"Series"}, fraSeries_);
    lvSerien_->setIconSize(QSize(16, 16));
    auto* seriesLayout = new QVBoxLayout(fraSeries_);
    seriesLayout->setContentsMargins(4, 4, 4, 4);
    seriesLayout->addWidget(lvSerien_);
    fraSeries_->hide();
    lvStudien_->installEventFilter(this);
}

bool BrowserPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lvStudien_ && (event->type() == QEvent::Resize || event->type() == QEvent::Move))
        placeSeriesFrame();
    return QWidget::eventFilter(watched, event);
}

void BrowserPanel::placeSeriesFrame() {
    fraSeries_->setGeometry(lvStudien_->geometry());
}

bool BrowserPanel::seriesFrameShown() const {
    return !fraSeries_->isHidden();
}

bool BrowserPanel::fillPatients(const std::vector<PatientRow>& rows) {
    const int emptied = lvPatients_->emptiedCount();
    for (const auto& p : rows) {
        lvPatients_->addItem(q(p.id), QVariant::fromValue<qlonglong>(p.key), {q(p.name), q(p.secondName), q(p.birthDate)});
        letWindowMessagesRun();
        if (lvPatients_->emptiedCount() != emptied) return false;  // a newer refresh filled the list
    }
    lvPatients_->setSorted(true);
    return true;
}

bool BrowserPanel::fillStudies(const std::vector<StudyRow>& rows) {
    lvStudien_->setUpdatesEnabled(false);
    const int emptied = lvStudien_->emptiedCount();
    for (const auto& s : rows) {
        lvStudien_->addItem(q(s.studyId), q(s.studyUid), {q(s.date), q(s.time), q(s.modality), q(s.bodypart)});
        letWindowMessagesRun();
        if (lvStudien_->emptiedCount() != emptied) break;  // another click or a refresh took the list over
    }
    const bool whole = lvStudien_->emptiedCount() == emptied;
    if (whole) lvStudien_->setSorted(true);
    lvStudien_->setUpdatesEnabled(true);
    return whole;
}

bool BrowserPanel::showSeries(const std::vector<SeriesRow>& rows) {
    lvSerien_->setUpdatesEnabled(false);
    lvSerien_->setSorted(false);
    lvSerien_->clear();
    const QIcon icon = style()->standardIcon(QStyle::SP_DirIcon);
    lvSerien_->addItem("..", "back")->setIcon(0, icon);
    const int emptied = lvSerien_->emptiedCount();
    for (const auto& s : rows) {
        letWindowMessagesRun();
        if (lvSerien_->emptiedCount() != emptied) {  // another click took the list over
            lvSerien_->setUpdatesEnabled(true);
            return false;
        }
        lvSerien_->addItem("# " + q(s.seriesNr), QVariant::fromValue<qlonglong>(s.seriesId))->setIcon(0, icon);
    }
    lvSerien_->clearSelection();
    lvSerien_->setCurrentItem(nullptr);
    placeSeriesFrame();
    fraSeries_->show();
    fraSeries_->raise();
    lvSerien_->setUpdatesEnabled(true);
    return true;
}

void BrowserPanel::hideSeries() {
    fraSeries_->hide();
    lvSerien_->clear();
}

}  // namespace corva::station
