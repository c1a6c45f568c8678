// A site's day in seeded random order: patients exposed on the X-ray unit (records over
// the serial line, retakes, test shots), the CR reader sending their plates (late, in
// pieces, mixed with the next patient's, or imported from a medium), the operators
// forwarding with Automatic in the station's window or with corvactl, sending,
// deleting, editing and exporting with corvactl, the archive refusing, going away
// mid-send, answering with warnings, refusing some images, stalling and coming back,
// corvactl and Ingrado killed at random moments. The simulation knows which exposure
// made which image (each exposure has its own kV/mAs pair) and after every step, once
// the services are idle, checks what the site must always hold:
//   1. no image the reader sent is lost: it waits in Temp, is filed with a row, is at
//      the archive, or an explicit delete took it;
//   2. corvactl check finds rows and files matching (converted images waiting in bin
//      are no finding here);
//   3. a converted image at the archive carries its own exposure's kVp, mAs and side;
//   4. a record is used only once its image, converted with it, is at the archive;
//   5. by the archive's answers in a send or forwarding that ran to its end: an image
//      stored with a warning stays filed (the archive holds something else) and, when
//      the forwarding stored all, its record is used; a refused image stays filed and
//      its record waits; a send the archive stalled removes nothing and uses no record.
// Before each forwarding the plan is compared with the pairing rules applied to the
// site's state: records and images paired one to one by projection and time, or refused.
// The reader's clock may be wrong (minutes to hours, sometimes the date), and is set now
// and then between patients: its plates carry its own time, the records the station's;
// a record whose time cannot be its image's is refused, never paired with another image.
//
// A failure prints the seed and the steps; CORVA_SIM_SEED=<seed> replays one seed.
// CORVA_SIM_SEEDS=<n> runs n seeds (the CI set first, then fresh ones),
// CORVA_SIM_SECONDS=<t> runs fresh seeds until t seconds have passed, CORVA_SIM_STEPS
// sets the steps of each seed.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "clinical_day_site.h"
#include "dicom/dose_report.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "dose/forwarding_plan.h"
#include "shell.h"
#include "station/scripted_operator.h"

namespace corva::test::day {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string MammographySop = "1.2.840.10008.5.1.4.1.1.1.2";

// The seeds CI runs. Each one is a whole day from an empty site.
// 3329387603: the archive warns and refuses, the station forwards.
const std::vector<std::uint32_t> CiSeeds = {11, 23, 47, 3343177439u, 3329387603u};
constexpr int DefaultSteps = 36;

// ---- what the simulation knows ----------------------------------------------------

struct ViewCode {
    const char* code;          // as the unit writes it
    const char* key;           // the projection as the plan names it
    const char* viewPosition;  // (0018,5101) as the reader writes it
    const char* side;          // (0020,0062)
};
const ViewCode StandardViews[] = {
    {"R-CC", "R-CC", "CC", "R"},
    {"L-CC", "L-CC", "CC", "L"},
    {"R-LMO45", "R-MLO", "MLO", "R"},
    {"L-LMO45", "L-MLO", "MLO", "L"},
};
// A view the reader never sends in this simulation: a record of it is a stray.
const ViewCode StrayView = {"L-ML90", "L-ML", "ML", "L"};

struct Exposure {
    int patient = 0;
    ViewCode view;
    int kv = 0;
    int mas = 0;  // unique over the day: tells the exposure by its record and its image
    std::string imageUid;  // empty: no plate of it reaches the reader
    std::int64_t recordId = 0;
    QDateTime recordTime;
    bool discarded = false;  // the operator took the record off the dose list
};

struct Image {
    std::string uid;
    int exposure = 0;
    int patient = 0;
    fs::path file;
    QDateTime taken;        // when the plate was read
    QDateTime readerTaken;  // the same, by the reader's clock, as its header says
    bool sent = false;
    bool mayBeGone = false;  // an explicit delete named its study while it was filed
};

struct Patient {
    std::string name, id, studyUid, seriesUid;
    std::vector<std::string> images;  // in the order they were taken
};

struct Plan {
    std::vector<std::pair<std::string, std::int64_t>> pairs;
    bool refused = true;
    std::string text;
};

Plan parsePlan(const std::string& json) {
    Plan p;
    p.text = json;
    static const std::regex pair(R"re(\{"image": "([^"]+)", "record": (\d+)\})re");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), pair); it != std::sregex_iterator(); ++it)
        p.pairs.emplace_back((*it)[1].str(), std::stoll((*it)[2].str()));
    p.refused = json.find("\"refused\": []") == std::string::npos;
    return p;
}

int envNumber(const char* name, int fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    try {
        return std::stoi(v);
    } catch (const std::exception&) {
        return fallback;
    }
}

// The CR reader of a day: its clock against the station's, where it writes its time,
// and how full its headers are.
struct Reader {
    qint64 offsetSeconds = 0;
    enum class Stamp { Acquisition, ContentOnly, AcquisitionDateTime } stamp = Stamp::Acquisition;
    // Every attribute a CR image must carry, or the sparse header some readers write.
    bool completeHeader = false;
    bool seriesLaterality = false;  // the side as Laterality (0020,0060), no Image Laterality

    std::string describe() const {
        const qint64 a = offsetSeconds < 0 ? -offsetSeconds : offsetSeconds;
        std::string text = offsetSeconds == 0 ? std::string("right")
                                              : std::to_string(a / 3600) + " h " + std::to_string(a / 60 % 60) + " min " +
                                                    std::to_string(a % 60) + " s " + (offsetSeconds < 0 ? "behind" : "ahead");
        switch (stamp) {
            case Stamp::Acquisition: text += ", acquisition date and time"; break;
            case Stamp::ContentOnly: text += ", content date and time only"; break;
            case Stamp::AcquisitionDateTime: text += ", acquisition datetime"; break;
        }
        return text + (completeHeader ? ", complete header" : ", sparse header") +
               (seriesLaterality ? ", side as Laterality" : "");
    }
};

// A wrong clock: a few minutes off, near the limits of what a record's time may be from
// its image's, hours off, or a day off with the time of day nearly right.
qint64 wrongClockSeconds(std::mt19937& rng) {
    const auto between = [&](int low, int high) { return std::uniform_int_distribution<qint64>(low, high)(rng); };
    const int kind = static_cast<int>(between(0, 99));
    const qint64 sign = between(0, 1) ? 1 : -1;
    if (kind < 30) return sign * (between(1, 15) * 60 + between(0, 59));
    if (kind < 60) return sign < 0 ? -(between(25, 65) * 60 + between(0, 59)) : between(25, 95) * 60 + between(0, 59);
    if (kind < 85) return sign * (between(2, 20) * 3600 + between(0, 3599));
    return sign * (86400 + between(-10, 10) * 60);
}

// The reader of a day: its clock right or wrong at the start, how it stamps and fills
// its headers.
Reader readerOfTheDay(std::mt19937& rng) {
    Reader c;
    c.stamp = static_cast<Reader::Stamp>(std::uniform_int_distribution<int>(0, 2)(rng));
    c.completeHeader = std::uniform_int_distribution<int>(0, 1)(rng);
    c.seriesLaterality = std::uniform_int_distribution<int>(0, 1)(rng);
    if (std::uniform_int_distribution<int>(0, 1)(rng)) c.offsetSeconds = wrongClockSeconds(rng);
    return c;
}

// ---- one simulated day ------------------------------------------------------------

class Day {
public:
    Day(std::uint32_t seed, int steps)
        : seed_(seed), steps_(steps), rng_(seed), readerRng_(seed ^ 0x5eedc10cu), reader_(readerOfTheDay(readerRng_)) {}

    // Runs the day; false with `report` filled when a promise broke.
    bool run(std::string& report) {
        for (int step = 1; step <= steps_; ++step) {
            try {
                const Snapshot before = snapshot();
                const std::size_t answered = site_.archiveAnswers().size();
                forwarding_ = false;
                next(step);
                if (!site_.waitIdle()) fail("the services did not get idle: Temp holds " + join(site_.tempImages()));
                if (failures_.empty()) checkAnswers(before, answered);
                if (failures_.empty()) checkPromises();
            } catch (const std::exception& e) {
                fail(std::string("exception: ") + e.what());
            }
            if (!failures_.empty()) {
                report = describe();
                return false;
            }
        }
        return true;
    }

    std::size_t answersOf(const std::string& prefix) const {
        std::size_t n = 0;
        for (const auto& [uid, answer] : site_.archiveAnswers()) n += answer.starts_with(prefix);
        return n;
    }

    std::string summary() const {
        std::ostringstream s;
        s << "seed " << seed_ << ": " << steps_ << " steps, " << patients_.size() << " patients, "
          << exposures_.size() << " exposures, " << forwarded_ << " forwardings, " << used() << " records used, "
          << site_archivedCount_ << " copies at the archive, " << stationForwards_ << " forwarding(s) at the station, "
          << answersOf("B") << " image(s) stored with a warning, " << answersOf("A") + answersOf("C")
          << " refused, " << answersOf("stall") << " stalled, " << clockRefusals_
          << " forwarding(s) refused for the reader's clock; the reader at the start: " << firstReader_;
        return s.str();
    }

private:
    // ---- the generator ----
    enum class Event {
        Expose, Read, Forward, Send, Delete, Edit, Export, ArchiveRefuses, ArchiveStops, ArchiveBack,
        ArchiveWarns, ArchiveRefusesSome, ArchiveStalls, IngestRestart, TidyDoseList, DiscardRecords, ReaderClockSet
    };

    void next(int step) {
        const auto unsent = patientsWithUnsent();
        const auto filed = studiesWithRows();
        // Studies whose plan holds with their own records: the operator's usual next step.
        std::vector<std::string> pairing;
        for (const auto& study : filed) {
            std::string why;
            const auto pairs = expectedPairs(study, why);
            if (pairs && std::all_of(pairs->begin(), pairs->end(), [&](const auto& pair) {
                    return exposures_[static_cast<std::size_t>(images_.at(pair.first).exposure)].recordId == pair.second;
                }))
                pairing.push_back(study);
        }
        const bool busy = !unsent.empty() || !pendingPatients().empty();
        // Stuck: records of several exams wait and no study pairs; the operator gives up some.
        const bool stuck = pairing.empty() && pendingPatients().size() >= 2;
        std::vector<std::pair<Event, double>> choices = {
            {Event::Expose, busy ? 0.5 : 4.0},
            {Event::Read, unsent.empty() ? 0 : 4.0},
            {Event::Forward, filed.empty() ? 0 : 5.0},
            {Event::Send, filed.empty() ? 0 : 1.2},
            {Event::Delete, filed.empty() ? 0 : 0.6},
            {Event::Edit, filed.empty() ? 0 : 0.6},
            {Event::Export, filed.empty() ? 0 : 0.4},
            {Event::ArchiveRefuses, site_.archiveState() == DaySite::ArchiveState::Up ? 0.3 : 0},
            {Event::ArchiveStops, site_.archiveState() == DaySite::ArchiveState::Up ? 0.3 : 0},
            // An archive that answers, however oddly, stays a while: its answers are the point.
            {Event::ArchiveBack, site_.archiveState() == DaySite::ArchiveState::Up     ? 0
                                 : site_.archiveState() == DaySite::ArchiveState::Down ||
                                         site_.archiveState() == DaySite::ArchiveState::Refusing
                                     ? 2.0
                                     : 0.6},
            {Event::ArchiveWarns, site_.archiveState() == DaySite::ArchiveState::Up ? 0.3 : 0},
            {Event::ArchiveRefusesSome, site_.archiveState() == DaySite::ArchiveState::Up ? 0.3 : 0},
            {Event::ArchiveStalls, site_.archiveState() == DaySite::ArchiveState::Up ? 0.3 : 0},
            {Event::IngestRestart, 0.4},
            {Event::TidyDoseList, tidyable().empty() ? 0 : 1.5},
            {Event::DiscardRecords, stuck ? 2.5 : 0},
            {Event::ReaderClockSet, reader_.offsetSeconds ? 0.8 : 0.25},
        };
        std::vector<double> weights;
        for (const auto& c : choices) weights.push_back(c.second);
        std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
        const Event e = choices[pick(rng_)].first;
        log("#" + std::to_string(step) + " ");
        switch (e) {
            case Event::Expose: expose(); break;
            case Event::Read: read(unsent); break;
            case Event::Forward: forward(!pairing.empty() && chance(75) ? pickOf(pairing) : pickOf(filed)); break;
            case Event::Send: send(pickOf(filed)); break;
            case Event::Delete: remove(pickOf(filed)); break;
            case Event::Edit: edit(pickOf(filed)); break;
            case Event::Export: exportStudy(pickOf(filed)); break;
            case Event::ArchiveRefuses:
                site_.archiveRefusing();
                note("the archive refuses every association");
                break;
            case Event::ArchiveStops:
                site_.archiveDown();
                note("the archive stops");
                break;
            case Event::ArchiveBack:
                site_.archiveUp();
                note("the archive is back");
                break;
            case Event::ArchiveWarns: {
                const std::string status = pickOf(std::vector<std::string>{"B000", "B006", "B007"});
                site_.archiveWarning(status);
                note("the archive stores every image with warning " + status);
                break;
            }
            case Event::ArchiveRefusesSome: {
                const int k = between(2, 3);
                site_.archiveRefusingSome(k);
                note("the archive refuses every " + std::to_string(k) + ". image it receives");
                break;
            }
            case Event::ArchiveStalls: {
                const int after = between(1, 3);
                site_.archiveStalling(after);
                note("the archive stores " + std::to_string(after) + " image(s), then stalls");
                break;
            }
            case Event::IngestRestart: restartIngest(); break;
            case Event::TidyDoseList: tidy(); break;
            case Event::DiscardRecords: discard(); break;
            case Event::ReaderClockSet:
                // A wrong clock is mostly put right; a right one drifts or is set wrong.
                reader_.offsetSeconds = reader_.offsetSeconds && chance(70) ? 0 : wrongClockSeconds(readerRng_);
                note("the reader's clock is set: " + reader_.describe() + " (for the plates read from now)");
                break;
        }
    }

    int chance(int percent) { return std::uniform_int_distribution<int>(0, 99)(rng_) < percent; }
    int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    template <typename T>
    T pickOf(const std::vector<T>& v) {
        return v.at(static_cast<std::size_t>(between(0, static_cast<int>(v.size()) - 1)));
    }

    // ---- events ----

    // A patient's four views, sometimes a retake (sometimes its first plate never read),
    // sometimes a test shot or a view the reader does not send.
    void expose() {
        const int p = static_cast<int>(patients_.size());
        Patient patient;
        patient.name = "DAY" + std::to_string(p) + "^Patient";
        patient.id = "P" + std::to_string(seed_) + "-" + std::to_string(p);
        patient.studyUid = uniqueUid();
        patient.seriesUid = uniqueUid();
        patients_.push_back(patient);

        std::vector<ViewCode> order(std::begin(StandardViews), std::end(StandardViews));
        std::shuffle(order.begin(), order.end(), rng_);
        struct Shot {
            ViewCode view;
            bool image;
        };
        std::vector<Shot> shots;
        for (const ViewCode& v : order) shots.push_back({v, true});
        std::string what = "expose patient " + std::to_string(p) + ":";
        if (chance(25)) {
            const std::size_t at = static_cast<std::size_t>(between(0, 3));
            const bool firstRead = chance(60);
            shots[at].image = firstRead;
            shots.insert(shots.begin() + static_cast<std::ptrdiff_t>(at) + 1, Shot{shots[at].view, true});
            what += std::string(" retake of ") + shots[at].view.code + (firstRead ? "" : " (first plate not read)");
        }
        if (chance(15)) {
            const bool otherView = chance(50);
            const ViewCode v = otherView ? StrayView : pickOf(order);
            shots.insert(shots.begin() + between(0, static_cast<int>(shots.size())), Shot{v, false});
            what += std::string(" stray record ") + v.code;
        }
        const int lateMinutes = chance(30) ? between(5, 25) : 0;
        if (lateMinutes) what += " plates read " + std::to_string(lateMinutes) + " min later";

        std::string line;
        std::vector<int> made;
        const QDateTime now = QDateTime::currentDateTime();
        for (const Shot& s : shots) {
            Exposure e;
            e.patient = p;
            e.view = s.view;
            e.mas = 20 + static_cast<int>(exposures_.size());
            e.kv = 24 + between(0, 10);
            made.push_back(static_cast<int>(exposures_.size()));
            exposures_.push_back(e);
            line += "Name:DAY" + std::to_string(p) + " " + now.toString("yyyy-MM-dd").toStdString() + " " +
                    now.toString("HH:mm").toStdString() + " " + s.view.code + " Mo/Mo AEC 2 " + std::to_string(e.kv) +
                    "kV " + std::to_string(e.mas) + "mAs 0.50s S 12kg 4.5cm 1." + std::to_string(e.mas) + "mGy\r\n";
            if (s.image) {
                Image image;
                image.uid = uniqueUid();
                image.exposure = made.back();
                image.patient = p;
                exposures_.back().imageUid = image.uid;
                images_[image.uid] = image;
                patients_[static_cast<std::size_t>(p)].images.push_back(image.uid);
            }
        }
        note(what);
        // Sometimes the unit's line delivers the patient's records in one burst.
        bool arrived = true;
        if (chance(50)) {
            arrived = site_.unitWrites(line, made.size());
        } else {
            std::size_t from = 0;
            for (std::size_t i = 0; i < made.size(); ++i) {
                const std::size_t end = line.find("\r\n", from) + 2;
                arrived = arrived && site_.unitWrites(line.substr(from, end - from), 1);
                from = end;
            }
        }
        if (!arrived) {
            fail("the X-ray unit link did not store the patient's records");
            return;
        }
        // The records as stored: their IDs and the station's time of arrival.
        for (const DoseRecordRow& row : site_.doseRecords()) {
            Exposure* e = exposureByMas(row.mas);
            if (!e || e->patient != p) continue;
            e->recordId = row.id;
            e->recordTime = QDateTime(QDate::fromString(QString::fromStdString(row.datum), "dd.MM.yyyy"),
                                      QTime::fromString(QString::fromStdString(row.zeit), "HH:mm:ss"));
        }
        // The plates, as the reader will send them: taken just after their exposures, in order.
        int local = 0;
        for (int index : made) {
            Exposure& e = exposures_[static_cast<std::size_t>(index)];
            if (!e.recordId) fail("no record stored for " + std::string(e.view.code) + " mAs " + std::to_string(e.mas));
            ++local;
            if (e.imageUid.empty()) continue;
            Image& image = images_[e.imageUid];
            image.taken = e.recordTime.addSecs(60 * lateMinutes + 40 + local);
            image.readerTaken = image.taken.addSecs(reader_.offsetSeconds);
            image.file = writePlate(patients_[static_cast<std::size_t>(p)], image, e, local);
        }
    }

    fs::path writePlate(const Patient& patient, const Image& image, const Exposure& e, int number) {
        DicomRecipe r;
        r.patientName = patient.name;
        r.patientId = patient.id;
        r.studyUid = patient.studyUid;
        r.seriesUid = patient.seriesUid;
        r.sopInstanceUid = image.uid;
        r.instanceNumber = number;
        r.rows = r.columns = 16;
        // The reader stamps the plate by its own clock.
        const std::string date = image.readerTaken.toString("yyyyMMdd").toStdString();
        const std::string time = image.readerTaken.toString("HHmmss").toStdString();
        r.studyDate = date;
        r.studyTime = time;
        // The side as Image Laterality, or (some readers) as the series' Laterality only.
        const dicom::Tag side = reader_.seriesLaterality ? dicom::Tag{0x0020, 0x0060} : dicom::Tag{0x0020, 0x0062};
        r.extra = {{{0x0018, 0x5101}, e.view.viewPosition}, {side, e.view.side}};
        if (reader_.completeHeader)
            r.extra.insert(r.extra.end(), {{{0x0008, 0x0090}, ""},
                                           {{0x0008, 0x0070}, "Simulated CR reader"},
                                           {{0x0018, 0x0015}, "BREAST"},
                                           {{0x0020, 0x0020}, ""}});
        switch (reader_.stamp) {
            case Reader::Stamp::Acquisition:
                r.extra.push_back({{0x0008, 0x0022}, date});
                r.extra.push_back({{0x0008, 0x0032}, time});
                break;
            case Reader::Stamp::ContentOnly:
                r.extra.push_back({{0x0008, 0x0023}, date});
                r.extra.push_back({{0x0008, 0x0033}, time});
                break;
            case Reader::Stamp::AcquisitionDateTime:
                r.extra.push_back({{0x0008, 0x002A}, date + time});
                r.extra.push_back({{0x0008, 0x0023}, date});
                r.extra.push_back({{0x0008, 0x0033}, time});
                break;
        }
        return writeDicom(site_.scratch() / "reader" / (image.uid + ".dcm"), r);
    }

    // The reader sends plates: one patient's (all, or some now and the rest later), or
    // two patients' mixed; sometimes they come from a medium through corvactl import.
    void read(const std::vector<int>& unsent) {
        std::vector<std::string> uids;
        std::string what;
        const auto done = patientsAllSent();
        if (!done.empty() && chance(10)) {
            // The reader's operator sends a patient's plates once more.
            const int p = pickOf(done);
            uids = patients_[static_cast<std::size_t>(p)].images;
            what = "reader sends patient " + std::to_string(p) + " again";
        } else if (unsent.size() >= 2 && chance(30)) {
            const int a = unsent[0], b = unsent[1];
            auto first = unsentOf(a), second = unsentOf(b);
            while (!first.empty() || !second.empty()) {
                auto& from = (second.empty() || (!first.empty() && chance(50))) ? first : second;
                uids.push_back(from.front());
                from.erase(from.begin());
            }
            what = "reader sends patients " + std::to_string(a) + " and " + std::to_string(b) + " mixed";
        } else {
            const int p = pickOf(unsent);
            uids = unsentOf(p);
            if (uids.size() > 1 && chance(30)) {
                uids.resize(static_cast<std::size_t>(between(1, static_cast<int>(uids.size()) - 1)));
                what = "reader sends " + std::to_string(uids.size()) + " plate(s) of patient " + std::to_string(p) +
                       ", the rest later";
            } else {
                what = "reader sends patient " + std::to_string(p);
            }
        }
        std::vector<fs::path> files;
        for (const auto& uid : uids) files.push_back(images_[uid].file);
        const bool medium = chance(15);
        if (medium) what = "import from a medium: " + what.substr(what.find("sends ") + 6);
        what += " (" + viewsOf(uids) + ")";
        note(what);
        if (medium) {
            std::vector<std::string> args{"import"};
            for (const auto& f : files) args.push_back(f.string());
            const CtlRun r = site_.ctl(args);
            if (r.code != 0) fail("corvactl import failed (" + std::to_string(r.code) + "): " + r.out + r.err);
        } else {
            const CommandResult r = site_.readerSends(files);
            if (r.code != 0) fail("storescu to Recvora failed (" + std::to_string(r.code) + "): " + r.output);
        }
        for (const auto& uid : uids) images_[uid].sent = true;
        // Ingrado sometimes goes down while it files them.
        if (chance(10)) {
            site_.runLink(std::chrono::milliseconds(between(0, 150)));
            site_.killIngest();
            site_.restartIngest();
            note("  Ingrado killed while filing, started again");
        }
    }

    void forward(const std::string& study) {
        const Plan plan = parsePlan(site_.ctl({"forward", "--study", study, "--plan", "--json"}).out);
        const std::string who = "forward study of patient " + patientOfStudy(study);
        // The rules applied to the site's state, as the plan must apply them.
        std::string expectedWhy;
        const auto expected = expectedPairs(study, expectedWhy);
        clockRefusals_ += !expected && refusedForClock_;
        if (plan.refused != !expected) {
            note(who + ": plan " + plan.text);
            fail(expected ? "the plan refused what pairs one to one: " + plan.text
                          : "the plan held although " + expectedWhy + ": " + plan.text);
            return;
        }
        if (expected) {
            auto got = plan.pairs;
            std::sort(got.begin(), got.end());
            if (got != *expected) {
                note(who + ": plan " + plan.text);
                fail("the plan pairs other records than by projection and time: " + plan.text);
                return;
            }
        }
        bool truthful = expected.has_value();
        if (expected)
            for (const auto& [uid, record] : *expected)
                truthful = truthful && exposures_[static_cast<std::size_t>(images_[uid].exposure)].recordId == record;

        if (expected && !truthful) {
            // A record pairs with its own image or the plan refuses: never another's.
            note(who + ": plan " + plan.text);
            fail("the plan holds with another exposure's record on an image: " + plan.text);
            return;
        }
        const bool keep = chance(50);
        std::vector<std::string> args{"forward", "--study", study, "--to", site_.archiveDestination(),
                                      keep ? "--keep" : "--no-keep"};
        if (!expected) {
            if (!chance(40)) {
                note(who + ": plan refused (" + expectedWhy + "), not forwarded");
                return;
            }
            note(who + ": plan refused (" + expectedWhy + "), forwarded all the same");
            const auto before = snapshot();
            const CtlRun r = site_.ctl(args);
            if (r.code != 1) fail("a refused forwarding ended with " + std::to_string(r.code) + ": " + r.out + r.err);
            if (snapshot() != before) fail("a refused forwarding changed records, rows or the archive: " + r.out + r.err);
            return;
        }
        ++forwarded_;
        forwarding_ = true;
        answeredBefore_ = site_.archiveAnswers().size();
        if (chance(35)) {
            stationForward(study, keep, *expected);
            return;
        }
        const int how = between(0, 9);
        const std::string mode = std::string(keep ? " --keep" : " --no-keep") + " (archive " + archiveText() + ")";
        if (how <= 5) {
            note(who + mode);
            const CtlRun r = site_.ctl(args);
            // A warning is stored all the same; an archive refusing some or stalling may
            // take all of a short study.
            const auto state = site_.archiveState();
            bool all = state == DaySite::ArchiveState::Up || state == DaySite::ArchiveState::Warning;
            if (state == DaySite::ArchiveState::RefusingSome || state == DaySite::ArchiveState::Stalling) {
                // The dose report after the images counts as they do: not stored, the forwarding is incomplete.
                const auto answers = site_.archiveAnswers();
                std::size_t images = 0;
                all = true;
                for (std::size_t i = answeredBefore_; i < answers.size(); ++i) {
                    all = all && storedAnswer(answers[i].second);
                    for (const auto& pair : *expected) images += pair.first == answers[i].first ? 1 : 0;
                }
                all = all && images == expected->size();
            }
            if (all && r.code != 0)
                fail("forwarding a holding plan to an archive that stores all ended with " + std::to_string(r.code) +
                     ": " + r.out + r.err);
            if (!all && r.code != 1)
                fail("forwarding to an archive that did not store all ended with " + std::to_string(r.code) + ": " +
                     r.out + r.err);
            return;
        }
        const fs::path output = site_.scratch() / ("forward-" + std::to_string(events_.size()) + ".out");
        auto child = site_.ctlStarted(args, output);
        if (how <= 7) {
            const int ms = between(0, 600);
            note(who + mode + ", corvactl killed after " + std::to_string(ms) + " ms");
            site_.runLink(std::chrono::milliseconds(ms));
            child->signal(SIGKILL);
            killed_ = true;
        } else if (how == 8 && site_.archiveState() == DaySite::ArchiveState::Up) {
            const int ms = between(0, 400);
            note(who + mode + ", the archive stops after " + std::to_string(ms) + " ms");
            site_.runLink(std::chrono::milliseconds(ms));
            site_.archiveDown();
        } else if (chance(50)) {
            note(who + mode + ", the next patient is exposed meanwhile");
            expose();
        } else {
            // The reader sends the same plates again while they are forwarded: what is
            // filed anew meanwhile was not what was sent, and must stay.
            const Patient& patient = patients_[static_cast<std::size_t>(patientIndexOfStudy(study))];
            std::vector<fs::path> files;
            for (const auto& uid : patient.images)
                if (images_[uid].sent) files.push_back(images_[uid].file);
            const int ms = between(0, 300);
            note(who + mode + ", the reader sends the study's plates again after " + std::to_string(ms) + " ms");
            site_.runLink(std::chrono::milliseconds(ms));
            const CommandResult r = site_.readerSends(files);
            if (r.code != 0) fail("storescu to Recvora failed (" + std::to_string(r.code) + "): " + r.output);
        }
        if (!child->wait(120s)) fail("corvactl forward did not end");
    }

    // The operator at the station: the window shows the study and its records, Automatic
    // is enabled, she answers the pairs question Yes and OKs the job window.
    void stationForward(const std::string& study, bool keep,
                        const std::vector<std::pair<std::string, std::int64_t>>& expected) {
        const int p = patientIndexOfStudy(study);
        note("forward study of patient " + std::to_string(p) + " at the station, " + (keep ? "keep" : "no keep") +
             " (archive " + archiveText() + ")");
        const auto run = site_.stationForward(patients_[static_cast<std::size_t>(p)].id, keep);
        ++stationForwards_;
        std::string what = "  station: " + run.loadNote + (run.pressed ? "; Automatic pressed" : "; Automatic disabled");
        for (const auto& shown : run.shown) what += "; " + shown;
        note(std::regex_replace(what, std::regex("\r?\n"), " / "));
        if (!run.enabled) {
            fail("Automatic was disabled for a study whose " + std::to_string(expected.size()) +
                 " image(s) pair one to one with their records");
            return;
        }
        // Only an archive that answers lets the station ask; then the pairs are the plan's.
        const bool asked = std::any_of(run.shown.begin(), run.shown.end(), [](const std::string& s) {
            return s.starts_with("message Forward the study with these exposure records?");
        });
        const auto state = site_.archiveState();
        const bool reachable = state != DaySite::ArchiveState::Down && state != DaySite::ArchiveState::Refusing;
        if (reachable && !asked) fail("the station did not ask to forward a study whose plan holds");
        if (asked && std::none_of(run.shown.begin(), run.shown.end(),
                                  [](const std::string& s) { return s.starts_with("window "); }))
            fail("the station asked, was answered Yes, and showed no job window");
        // The job window names each warning and each image the archive refused.
        const auto answers = site_.archiveAnswers();
        for (std::size_t i = answeredBefore_; i < answers.size(); ++i) {
            const auto& [uid, answer] = answers[i];
            const std::string named = answer.starts_with("B") ? "Stored with warning " + answer
                                      : storedAnswer(answer)  ? std::string()
                                                              : std::string("Not sent: ") + uid;
            if (!named.empty() && (run.jobLog.find(named) == std::string::npos || run.jobLog.find(uid) == std::string::npos))
                fail("the station's job log does not name " + uid + " answered " + answer + ":\n" + run.jobLog);
        }
    }

    void send(const std::string& study) {
        const bool series = chance(60);
        const bool keep = chance(50);
        const Patient& patient = patients_[static_cast<std::size_t>(patientIndexOfStudy(study))];
        std::vector<std::string> args{"send", series ? "--series" : "--study", series ? patient.seriesUid : study,
                                      "--to", site_.archiveDestination(), keep ? "--keep" : "--no-keep"};
        const std::string what = std::string("send ") + (series ? "series" : "study (converted images)") +
                                 " of patient " + patientOfStudy(study) + (keep ? " --keep" : " --no-keep") +
                                 " (archive " + archiveText() + ")";
        if (chance(20)) {
            const int ms = between(0, 800);
            note(what + ", corvactl killed after " + std::to_string(ms) + " ms");
            auto child = site_.ctlStarted(args, site_.scratch() / ("send-" + std::to_string(events_.size()) + ".out"));
            site_.runLink(std::chrono::milliseconds(ms));
            child->signal(SIGKILL);
            killed_ = true;
            child->wait(60s);
            return;
        }
        note(what);
        const CtlRun r = site_.ctl(args);
        if (series && site_.archiveState() == DaySite::ArchiveState::Up && r.code != 0)
            fail("sending a series to a working archive ended with " + std::to_string(r.code) + ": " + r.out + r.err);
    }

    void remove(const std::string& study) {
        // Whatever is filed of the study now may go.
        for (const auto& [uid, of] : site_.imageStudies())
            if (of == study && images_.count(uid)) images_[uid].mayBeGone = true;
        std::vector<std::string> args{"delete", "--study", study};
        if (chance(30)) {
            const int ms = between(0, 500);
            note("delete study of patient " + patientOfStudy(study) + ", corvactl killed after " + std::to_string(ms) +
                 " ms");
            auto child = site_.ctlStarted(args, site_.scratch() / ("delete-" + std::to_string(events_.size()) + ".out"));
            site_.runLink(std::chrono::milliseconds(ms));
            child->signal(SIGKILL);
            killed_ = true;
            child->wait(60s);
            return;
        }
        note("delete study of patient " + patientOfStudy(study));
        const CtlRun r = site_.ctl(args);
        if (r.code != 0) fail("corvactl delete ended with " + std::to_string(r.code) + ": " + r.out + r.err);
    }

    void edit(const std::string& study) {
        const std::string value = "Screening " + std::to_string(events_.size());
        note("edit study of patient " + patientOfStudy(study) + ": Study Description = " + value);
        const CtlRun r = site_.ctl({"edit", "--study", study, "--set", "0008,1030=" + value});
        if (r.code != 0) fail("corvactl edit ended with " + std::to_string(r.code) + ": " + r.out + r.err);
    }

    void exportStudy(const std::string& study) {
        const fs::path to = site_.scratch() / ("export-" + std::to_string(events_.size()));
        fs::create_directories(to);
        std::size_t rows = 0;
        for (const auto& [uid, of] : site_.imageStudies()) rows += of == study;
        note("export study of patient " + patientOfStudy(study) + " (" + std::to_string(rows) + " images)");
        const CtlRun r = site_.ctl({"export", "--study", study, "--to", to.string(), "--dicom"});
        if (r.code != 0) fail("corvactl export ended with " + std::to_string(r.code) + ": " + r.out + r.err);
        std::size_t files = 0;
        for (const auto& e : fs::recursive_directory_iterator(to))
            files += e.is_regular_file() && e.path().filename() != "DICOMDIR";
        if (files != rows) fail("the export holds " + std::to_string(files) + " files for " + std::to_string(rows) + " images");
    }

    void restartIngest() {
        note("Ingrado killed and started again");
        site_.killIngest();
        site_.restartIngest();
    }

    // Records whose plate will never be filed: the operator deletes them from the dose list.
    std::vector<int> tidyable() {
        std::vector<int> out;
        const auto rows = site_.imageRows();
        const auto pending = pendingIds();
        for (std::size_t i = 0; i < exposures_.size(); ++i) {
            const Exposure& e = exposures_[i];
            if (!e.recordId || !pending.count(e.recordId)) continue;
            if (e.imageUid.empty() || (images_[e.imageUid].sent && !rows.count(e.imageUid)))
                out.push_back(static_cast<int>(i));
        }
        return out;
    }

    void tidy() {
        std::vector<std::int64_t> ids;
        std::string what = "operator deletes stray records from the dose list:";
        for (int i : tidyable()) {
            Exposure& e = exposures_[static_cast<std::size_t>(i)];
            ids.push_back(e.recordId);
            e.discarded = true;
            what += std::string(" ") + e.view.code + "/" + std::to_string(e.mas) + "mAs";
        }
        note(what);
        site_.doseStore().deletePending(ids);
    }

    // Two exams' records wait at once, and no study pairs: the operator gives up the
    // records of one patient (its images go without dose).
    void discard() {
        const int p = pickOf(pendingPatients());
        std::vector<std::int64_t> ids;
        const auto pending = pendingIds();
        for (Exposure& e : exposures_)
            if (e.patient == p && e.recordId && pending.count(e.recordId)) {
                ids.push_back(e.recordId);
                e.discarded = true;
            }
        note("operator deletes the " + std::to_string(ids.size()) + " waiting record(s) of patient " +
             std::to_string(p) + " from the dose list");
        site_.doseStore().deletePending(ids);
    }

    // ---- the pairing rules on the site's state ----

    // The pairs a plan must make for the study (image UID, record ID; sorted), or nullopt
    // with the reason it must refuse.
    std::optional<std::vector<std::pair<std::string, std::int64_t>>> expectedPairs(const std::string& study,
                                                                                   std::string& why) {
        refusedForClock_ = false;
        std::map<std::string, std::vector<const Image*>> images;
        for (const auto& [uid, of] : site_.imageStudies())
            if (of == study && images_.count(uid)) images[exposures_[static_cast<std::size_t>(images_.at(uid).exposure)].view.key].push_back(&images_.at(uid));
        struct Waiting {
            std::int64_t id;
            QDateTime time;
            int patient;
        };
        std::map<std::string, std::vector<Waiting>> records;
        for (const DoseRecordRow& row : site_.doseRecords()) {
            if (row.status == "1" || row.status.empty()) continue;
            const Exposure* e = exposureByMas(row.mas);
            if (!e) {
                why = "a record no exposure made";
                return std::nullopt;
            }
            records[e->view.key].push_back({row.id, e->recordTime, e->patient});
        }
        if (images.empty()) {
            why = "no images";
            return std::nullopt;
        }
        for (const auto& [key, list] : images)
            if (records[key].size() != list.size()) {
                why = key + ": " + std::to_string(list.size()) + " image(s), " + std::to_string(records[key].size()) +
                      " record(s)";
                return std::nullopt;
            }
        for (const auto& [key, list] : records)
            if (!list.empty() && !images.count(key)) {
                why = std::to_string(list.size()) + " record(s) of " + key + " without an image";
                return std::nullopt;
            }
        std::vector<std::pair<std::string, std::int64_t>> pairs;
        for (auto& [key, list] : images) {
            auto& waiting = records[key];
            std::sort(list.begin(), list.end(),
                      [](const Image* a, const Image* b) { return a->readerTaken < b->readerTaken; });
            std::stable_sort(waiting.begin(), waiting.end(), [](const Waiting& a, const Waiting& b) {
                return a.time != b.time ? a.time < b.time : a.id < b.id;
            });
            for (std::size_t i = 0; i < list.size(); ++i) {
                // The unit names the patient in its record: another patient's record is refused.
                if (list[i]->patient != waiting[i].patient) {
                    why = "a record the unit made for another patient";
                    return std::nullopt;
                }
                // The record is made at the exposure, the plate read minutes later: a
                // record of another day, long before or after its image by the two
                // clocks cannot be its.
                const QDateTime& taken = list[i]->readerTaken;
                const qint64 minutes = taken.secsTo(waiting[i].time) / 60;
                if (waiting[i].time.date() != taken.date() || minutes > dose::RecordAfterImageMinutes ||
                    -minutes > dose::RecordBeforeImageMinutes) {
                    why = "the reader's clock: record " + waiting[i].time.toString("dd.MM.yyyy HH:mm:ss").toStdString() +
                          ", image " + taken.toString("dd.MM.yyyy HH:mm:ss").toStdString();
                    refusedForClock_ = true;
                    return std::nullopt;
                }
                pairs.emplace_back(list[i]->uid, waiting[i].id);
            }
        }
        std::sort(pairs.begin(), pairs.end());
        return pairs;
    }

    // ---- the promises ----

    struct Snapshot {
        std::map<std::int64_t, std::string> records;
        std::set<std::string> rows;
        std::size_t archived = 0;
        bool operator==(const Snapshot&) const = default;
    };
    Snapshot snapshot() {
        Snapshot s;
        for (const DoseRecordRow& r : site_.doseRecords()) s.records[r.id] = r.status;
        s.rows = site_.imageRows();
        for (const auto& [uid, copies] : site_.archived()) s.archived += copies.size();
        return s;
    }

    void checkPromises() {
        const auto rows = site_.imageRows();
        const auto& archive = site_.archived();
        std::set<std::string> temp;
        for (const auto& name : site_.tempImages()) temp.insert(name.substr(0, name.size() - 4));
        site_archivedCount_ = 0;
        for (const auto& [uid, copies] : archive) site_archivedCount_ += copies.size();

        // 1. No image is lost.
        for (const auto& [uid, image] : images_)
            if (image.sent && !rows.count(uid) && !archive.count(uid) && !temp.count(uid) && !image.mayBeGone)
                fail("image lost: " + describeImage(uid) + " is neither filed, nor at the archive, nor deleted");

        // 2. Rows and files match. A job killed between its rows and its files leaves what
        //    the check shows and its repair puts back (a file whose row went is filed
        //    again): after a kill the operator repairs, as the station's start asks.
        std::vector<std::string> findings = checkFindings();
        if (!findings.empty() && killed_) {
            note("  after the kill corvactl check finds:" + join(findings) + "; corvactl check --repair");
            // Its own report lists the refiled files as waiting: the check after their filing tells.
            const CtlRun repair = site_.ctl({"check", "--repair"});
            if (repair.out.find("image rows checked") == std::string::npos)
                fail("corvactl check --repair gave no summary (" + std::to_string(repair.code) + "): " + repair.out +
                     repair.err);
            if (!site_.waitIdle()) fail("the repaired files were not filed: Temp holds " + join(site_.tempImages()));
            findings = checkFindings();
        }
        for (const std::string& finding : findings) fail("corvactl check: " + finding);
        killed_ = false;

        // 3. A converted image at the archive carries its own exposure.
        for (const auto& [uid, copies] : archive) {
            const auto found = images_.find(uid);
            // A forwarding's dose report follows its images: no image of the reader's.
            if (found == images_.end() && !copies.empty() && copies.front().sopClassUid == dicom::XRayRadiationDoseSrClass)
                continue;
            if (found == images_.end()) {
                fail("the archive holds an image the reader never sent: " + uid);
                continue;
            }
            const Exposure& e = exposures_[static_cast<std::size_t>(found->second.exposure)];
            for (const ArchivedCopy& c : copies) {
                const bool converted = c.sopClassUid == MammographySop || c.kvp || c.exposure;
                if (!converted) continue;
                if (c.kvp != double(e.kv) || c.exposure != double(e.mas) || c.imageLaterality != e.view.side)
                    fail("archive copy " + c.file + " of " + describeImage(uid) + " carries kVp " + show(c.kvp) +
                         ", mAs " + show(c.exposure) + ", side '" + c.imageLaterality + "'; its exposure was " +
                         std::to_string(e.kv) + " kV, " + std::to_string(e.mas) + " mAs, side " + e.view.side);
            }
        }

        // 4. A record is used only when its image is at the archive, converted with it.
        for (const DoseRecordRow& row : site_.doseRecords()) {
            if (row.status != "1") continue;
            const Exposure* e = exposureByMas(row.mas);
            if (!e) {
                fail("used record " + std::to_string(row.id) + " (" + row.mas + " mAs) was made by no exposure");
                continue;
            }
            bool stored = false;
            if (!e->imageUid.empty() && archive.count(e->imageUid))
                for (const ArchivedCopy& c : archive.at(e->imageUid))
                    stored = stored || (c.kvp == double(e->kv) && c.exposure == double(e->mas));
            if (!stored)
                fail("record " + std::to_string(row.id) + " (" + e->view.code + ", " + row.mas +
                     " mAs) is used, but " +
                     (e->imageUid.empty() ? std::string("it has no image")
                                          : describeImage(e->imageUid) + " is not at the archive with it"));
        }
        // The operator's deletions from the dose list hold.
        const auto pending = pendingIds();
        for (const Exposure& e : exposures_)
            if (e.discarded && pending.count(e.recordId))
                fail("record " + std::to_string(e.recordId) + " still waits after the operator deleted it");
    }

    // 5. What the archive answered in this step, against what the step's send or
    //    forwarding did (a killed one is judged by the check and its repair alone).
    static bool storedAnswer(const std::string& answer) { return answer == "0000" || answer.starts_with("B"); }

    void checkAnswers(const Snapshot& before, std::size_t answeredBefore) {
        const auto answers = site_.archiveAnswers();
        if (answers.size() <= answeredBefore || killed_) return;
        const auto rows = site_.imageRows();
        std::map<std::int64_t, std::string> status;
        for (const DoseRecordRow& r : site_.doseRecords()) status[r.id] = r.status;
        bool all = true, stalled = false;
        for (std::size_t i = answeredBefore; i < answers.size(); ++i) {
            all = all && storedAnswer(answers[i].second);
            stalled = stalled || (!storedAnswer(answers[i].second) && !answers[i].second.starts_with("A") &&
                                  !answers[i].second.starts_with("C"));
        }
        const auto recordOf = [&](const std::string& uid) -> std::int64_t {
            const auto found = images_.find(uid);
            return found == images_.end() ? 0 : exposures_[static_cast<std::size_t>(found->second.exposure)].recordId;
        };
        for (std::size_t i = answeredBefore; i < answers.size(); ++i) {
            const auto& [uid, answer] = answers[i];
            if (!images_.count(uid) || images_.at(uid).mayBeGone || !before.rows.count(uid)) continue;
            const std::int64_t record = recordOf(uid);
            if (answer.starts_with("B")) {
                if (!rows.count(uid)) fail(describeImage(uid) + " was stored with warning " + answer + " and removed");
                if (forwarding_ && all && record && before.records.count(record) && before.records.at(record) != "1" &&
                    status[record] != "1")
                    fail(describeImage(uid) + " was forwarded with warning " + answer + " in a forwarding that stored "
                         "all, but its record " + std::to_string(record) + " still waits");
            } else if (!storedAnswer(answer)) {
                if (!rows.count(uid)) fail(describeImage(uid) + " was answered " + answer + " and removed");
                if (record && before.records.count(record) && before.records.at(record) != "1" && status[record] == "1")
                    fail(describeImage(uid) + " was answered " + answer + ", but its record " + std::to_string(record) +
                         " is used");
            }
        }
        if (stalled) {
            for (const std::string& uid : before.rows)
                if (!rows.count(uid))
                    fail("a send the archive stalled removed " + (images_.count(uid) ? describeImage(uid) : uid));
            for (const auto& [id, was] : before.records)
                if (was != "1" && status[id] == "1")
                    fail("a send the archive stalled used record " + std::to_string(id));
        }
    }

    // ---- helpers ----

    // What corvactl check finds beyond converted images waiting in bin.
    std::vector<std::string> checkFindings() {
        const CtlRun check = site_.ctl({"check"});
        if (check.out.find("image rows checked") == std::string::npos)
            fail("corvactl check gave no summary (" + std::to_string(check.code) + "): " + check.out + check.err);
        std::vector<std::string> out;
        for (const std::string& line : splitLines(check.out)) {
            const auto tab = line.find('\t');
            if (tab != std::string::npos && line.substr(0, tab) != "waiting in bin") out.push_back(line);
        }
        return out;
    }

    Exposure* exposureByMas(const std::string& mas) {
        for (Exposure& e : exposures_)
            if (std::to_string(e.mas) == mas) return &e;
        return nullptr;
    }
    std::set<std::int64_t> pendingIds() const {
        std::set<std::int64_t> ids;
        for (const DoseRecordRow& r : site_.doseRecords())
            if (r.status != "1" && !r.status.empty()) ids.insert(r.id);
        return ids;
    }
    std::size_t used() const {
        std::size_t n = 0;
        for (const DoseRecordRow& r : site_.doseRecords()) n += r.status == "1";
        return n;
    }
    std::vector<int> patientsWithUnsent() const {
        std::vector<int> out;
        for (std::size_t p = 0; p < patients_.size(); ++p)
            for (const auto& uid : patients_[p].images)
                if (!images_.at(uid).sent) {
                    out.push_back(static_cast<int>(p));
                    break;
                }
        return out;
    }
    std::vector<int> patientsAllSent() const {
        std::vector<int> out;
        for (std::size_t p = 0; p < patients_.size(); ++p) {
            const auto& images = patients_[p].images;
            if (!images.empty() &&
                std::all_of(images.begin(), images.end(), [&](const std::string& uid) { return images_.at(uid).sent; }))
                out.push_back(static_cast<int>(p));
        }
        return out;
    }
    std::vector<std::string> unsentOf(int p) const {
        std::vector<std::string> out;
        for (const auto& uid : patients_[static_cast<std::size_t>(p)].images)
            if (!images_.at(uid).sent) out.push_back(uid);
        return out;
    }
    // Patients with records waiting on the dose list.
    std::vector<int> pendingPatients() const {
        std::set<int> out;
        const auto pending = pendingIds();
        for (const Exposure& e : exposures_)
            if (e.recordId && pending.count(e.recordId)) out.insert(e.patient);
        return {out.begin(), out.end()};
    }
    // Studies with a row of the reader's images (a dose report filed alone pairs nothing).
    std::vector<std::string> studiesWithRows() const {
        std::set<std::string> out;
        for (const auto& [uid, study] : site_.imageStudies())
            if (images_.count(uid)) out.insert(study);
        return {out.begin(), out.end()};
    }
    int patientIndexOfStudy(const std::string& study) const {
        for (std::size_t p = 0; p < patients_.size(); ++p)
            if (patients_[p].studyUid == study) return static_cast<int>(p);
        throw std::runtime_error("a study the simulation did not make: " + study);
    }
    std::string patientOfStudy(const std::string& study) const { return std::to_string(patientIndexOfStudy(study)); }
    std::string describeImage(const std::string& uid) const {
        const Image& image = images_.at(uid);
        const Exposure& e = exposures_[static_cast<std::size_t>(image.exposure)];
        return "image " + uid + " (patient " + std::to_string(image.patient) + ", " + e.view.code + ", " +
               std::to_string(e.mas) + " mAs)";
    }
    std::string viewsOf(const std::vector<std::string>& uids) const {
        std::string out;
        for (const auto& uid : uids) {
            const Image& image = images_.at(uid);
            out += (out.empty() ? "" : " ") + std::to_string(image.patient) + ":" +
                   exposures_[static_cast<std::size_t>(image.exposure)].view.code;
        }
        return out;
    }
    std::string archiveText() const {
        switch (site_.archiveState()) {
            case DaySite::ArchiveState::Up: return "up";
            case DaySite::ArchiveState::Refusing: return "refusing";
            case DaySite::ArchiveState::Down: return "down";
            case DaySite::ArchiveState::Warning: return "warning";
            case DaySite::ArchiveState::RefusingSome: return "refusing some";
            case DaySite::ArchiveState::Stalling: return "stalling";
        }
        return "?";
    }
    static std::string show(const std::optional<double>& v) {
        if (!v) return "none";
        std::ostringstream s;
        s << *v;
        return s.str();
    }
    static std::string join(const std::vector<std::string>& v) {
        std::string out;
        for (const auto& s : v) out += " " + s;
        return out;
    }

    void log(const std::string& prefix) { pendingPrefix_ = prefix; }
    void note(const std::string& text) {
        events_.push_back(pendingPrefix_ + text);
        pendingPrefix_ = "      ";
        if (std::getenv("CORVA_SIM_VERBOSE")) std::cout << "[sim " << seed_ << "] " << events_.back() << std::endl;
    }
    void fail(const std::string& text) { failures_.push_back(text); }

    std::string describe() {
        std::ostringstream s;
        s << "Clinical day simulation failed: seed " << seed_ << " (replay: CORVA_SIM_SEED=" << seed_
          << " CORVA_SIM_STEPS=" << steps_ << ")\nThe reader at the start: " << firstReader_ << "\nSteps:\n";
        for (const auto& e : events_) s << "  " << e << "\n";
        s << "Broken:\n";
        for (const auto& f : failures_) s << "  " << f << "\n";
        for (const auto& u : site_.unreadableArchiveFiles()) s << "  (unreadable archive file " << u << ")\n";
        s << "Logs:\n" << site_.logs();
        return s.str();
    }

    std::uint32_t seed_;
    int steps_;
    std::mt19937 rng_;
    DaySite site_;
    std::vector<Patient> patients_;
    std::vector<Exposure> exposures_;
    std::map<std::string, Image> images_;
    std::vector<std::string> events_;
    std::vector<std::string> failures_;
    std::string pendingPrefix_;
    int forwarded_ = 0;
    int stationForwards_ = 0;
    std::mt19937 readerRng_;  // apart from the day's events' own
    Reader reader_;
    const std::string firstReader_ = reader_.describe();
    bool refusedForClock_ = false;  // the last expectedPairs refused for the two clocks
    int clockRefusals_ = 0;
    bool killed_ = false;  // corvactl was killed since the last check
    bool forwarding_ = false;  // this step forwarded a holding plan
    std::size_t answeredBefore_ = 0;  // the archive's answers before this step's forwarding
    std::size_t site_archivedCount_ = 0;
};

std::vector<std::uint32_t> seedsToRun() {
    if (const char* one = std::getenv("CORVA_SIM_SEED"); one && *one)
        return {static_cast<std::uint32_t>(std::stoul(one))};
    const int count = envNumber("CORVA_SIM_SEEDS", 0);
    std::vector<std::uint32_t> seeds = CiSeeds;
    if (count > 0) {
        std::random_device fresh;
        seeds.resize(std::min<std::size_t>(seeds.size(), static_cast<std::size_t>(count)));
        while (seeds.size() < static_cast<std::size_t>(count)) seeds.push_back(fresh());
    }
    return seeds;
}

TEST(ClinicalDayTest, EveryStepKeepsImagesRecordsAndTheArchiveTrue) {
    station::ScriptedOperator nobody;  // the link asks nothing of a Sophie unit's records
    station::OperatorSeamGuard guard(nobody);
    const int steps = envNumber("CORVA_SIM_STEPS", DefaultSteps);
    const int seconds = envNumber("CORVA_SIM_SECONDS", 0);
    const auto start = Clock::now();
    std::vector<std::uint32_t> seeds = seedsToRun();
    std::random_device fresh;
    for (std::size_t i = 0;; ++i) {
        if (i >= seeds.size()) {
            if (seconds <= 0 || Clock::now() - start >= std::chrono::seconds(seconds)) break;
            seeds.push_back(fresh());
        }
        const std::uint32_t seed = seeds[i];
        std::cout << "[sim] seed " << seed << std::endl;
        Day day(seed, steps);
        std::string report;
        const bool held = day.run(report);
        std::cout << "[sim] " << day.summary() << std::endl;
        ASSERT_TRUE(held) << report;
    }
    EXPECT_TRUE(nobody.unexpected().empty()) << nobody.unexpected().front().text.toStdString();
}

}  // namespace
}  // namespace corva::test::day
