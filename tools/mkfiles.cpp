// Writes the files an installation ships besides the executables:
//   <folder>/Data/QADef.dat   the empty image database (template of QAData.dat)
//   <folder>/Data/QAUser.dat  the configuration database, its dictionary filled from
//                             the toolkit's data dictionary, with the attribute names
//                             of attribute_names.tsv (the toolkit knows only keywords)
//   <folder>/CorvaLogo.bmp    the splash logo
// Each file is written under a temporary name and renamed, so an interrupted build
// never leaves half a file behind.
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "core/error.h"
#include "core/paths.h"
#include "db/database.h"
#include "db/schema.h"
#include "dicom/dicom.h"

namespace fs = std::filesystem;

namespace {

void removeDatabaseFiles(const fs::path& file)
{
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        fs::remove(fs::path(file.string() + suffix), ec);
}

// Builds a database under a temporary name with `fill`, then renames it into place.
template <typename Fill>
void writeDatabase(const fs::path& file, Fill fill)
{
    const fs::path tmp = file.string() + ".tmp";
    removeDatabaseFiles(tmp);
    {
        corva::db::Database db(tmp, true);
        fill(db);
        // Closing the last connection checkpoints and removes the WAL: one self-contained file.
    }
    fs::rename(tmp, file);
}

std::string tagText(std::uint16_t group, std::uint16_t element)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X,%04X", group, element);
    return buf;
}

// Attribute names by tag text, from lines "0010,0010<TAB>Patient's Name" ('#' starts a comment).
std::map<std::string, std::string> readAttributeNames(const fs::path& file)
{
    std::ifstream in(file);
    if (!in)
        throw corva::Error(corva::errc::Generic, "cannot read " + file.string(), "mkfiles");
    std::map<std::string, std::string> names;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto tab = line.find('\t');
        if (line.empty() || line[0] == '#' || tab == std::string::npos || tab + 1 >= line.size())
            continue;
        names[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return names;
}

// A name made from a keyword the name list lacks: "RETIRED_FileSetID" -> "File Set ID".
std::string nameFromKeyword(std::string keyword)
{
    const std::string retired = "RETIRED_";
    if (keyword.rfind(retired, 0) == 0)
        keyword.erase(0, retired.size());
    std::string name;
    const auto up = [](char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; };
    const auto low = [](char c) { return std::islower(static_cast<unsigned char>(c)) != 0; };
    for (std::size_t i = 0; i < keyword.size(); ++i) {
        const char c = keyword[i];
        // A word starts at a capital after a small letter, or at the last capital of an
        // abbreviation that a small letter follows ("SOPClass" -> "SOP Class").
        if (i > 0 && up(c) && (low(keyword[i - 1]) || (i + 1 < keyword.size() && up(keyword[i - 1]) && low(keyword[i + 1]))))
            name += ' ';
        name += c;
    }
    return name;
}

void fillDictionary(corva::db::Database& db, const std::map<std::string, std::string>& names)
{
    auto entries = corva::dicom::publicDictionary();
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.tag < b.tag; });
    std::set<corva::dicom::Tag> seen;
    corva::db::Transaction t(db);
    auto insert = db.prepare("INSERT INTO tblDictionary (Tag, Type, Description, Visible) VALUES (?, ?, ?, ?)");
    for (const auto& e : entries) {
        if (!seen.insert(e.tag).second)
            continue;
        const std::string tag = tagText(e.tag.group, e.tag.element);
        const auto named = names.find(tag);
        insert.reset();
        insert.bind(1, tag)
            .bind(2, e.vr)
            .bind(3, named != names.end() ? named->second : nameFromKeyword(e.name))
            .bind(4, corva::db::Yes);
        insert.run();
    }
    t.commit();
}

void writeLogo(const fs::path& file)
{
    QImage img(400, 250, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient bg(0, 0, 0, 250);
    bg.setColorAt(0, QColor(18, 42, 74));
    bg.setColorAt(1, QColor(6, 14, 28));
    p.fillRect(img.rect(), bg);
    // A stylised breast outline with a light beam: the product's field at a glance.
    p.setPen(QPen(QColor(120, 190, 240), 6));
    p.drawArc(QRect(40, 60, 130, 130), 90 * 16, 180 * 16);
    p.setPen(QPen(QColor(250, 210, 90), 4));
    p.drawLine(105, 40, 105, 210);
    p.setPen(QColor(235, 240, 248));
    QFont title("DejaVu Sans", 30, QFont::Bold);
    p.setFont(title);
    p.drawText(QRect(150, 80, 240, 60), Qt::AlignLeft | Qt::AlignVCenter, "Corvalight");
    QFont sub("DejaVu Sans", 11);
    p.setFont(sub);
    p.setPen(QColor(160, 180, 205));
    p.drawText(QRect(152, 140, 240, 30), Qt::AlignLeft | Qt::AlignVCenter, "Mammography gateway");
    p.end();
    const fs::path tmp = file.string() + ".tmp";
    if (!img.save(QString::fromStdString(tmp.string()), "BMP"))
        throw corva::Error(corva::errc::Generic, "cannot write " + tmp.string(), "mkfiles");
    fs::rename(tmp, file);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: corva_mkfiles <program folder> <attribute_names.tsv>\n";
        return 2;
    }
    // Text on the logo needs the font database of a GUI application (offscreen is enough).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    try {
        const fs::path folder = argv[1];
        const auto names = readAttributeNames(argv[2]);
        const fs::path data = folder / corva::folder::Data;
        fs::create_directories(data);
        writeDatabase(data / corva::db::TemplateDatabaseFile, [](corva::db::Database& db) {
            corva::db::createImageSchema(db);
        });
        writeDatabase(data / corva::db::UserDatabaseFile, [&names](corva::db::Database& db) {
            corva::db::createUserSchema(db);
            fillDictionary(db, names);
            corva::db::addDefaultFilter(db);
        });
        writeLogo(folder / "CorvaLogo.bmp");
    } catch (const corva::Error& e) {
        std::cerr << "corva_mkfiles: " << e.message() << " (" << e.where() << ")\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "corva_mkfiles: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
