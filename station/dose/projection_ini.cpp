#include "dose/projection_ini.h"

#include <QAbstractButton>
#include <QFile>
#include <QStringDecoder>
#include <QWidget>
#include <system_error>

#include "core/error.h"
#include "dose/exposure.h"

namespace corva::dose {

ProjectionCaptions ProjectionCaptions::read(const std::filesystem::path& file) {
    ProjectionCaptions result;
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return result;
    QFile f(QString::fromStdString(file.string()));
    if (!f.open(QIODevice::ReadOnly))
        throw Error(errc::NotFound, "Cannot read projection.ini: " + f.errorString().toStdString(),
                    "LoadProjectionCaptions");
    const QByteArray bytes = f.readAll();
    // Written on the workstation in its code page or as UTF-8.
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(bytes);
    if (utf8.hasError()) text = QString::fromLatin1(bytes);

    qsizetype pos = 0;
    while (pos < text.size() && result.lines_ < ProjectionButtonCount) {
        qsizetype end = text.indexOf(QLatin1Char('\n'), pos);
        if (end < 0) end = text.size();
        QString line = text.mid(pos, end - pos);
        if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
        result.captions_[static_cast<std::size_t>(result.lines_++)] = line;
        pos = end + 1;
    }
    return result;
}

ProjectionCaptions ProjectionCaptions::load(const std::filesystem::path& programFolder, int xrayType) {
    if (xrayType != unit::Giotto) return {};
    return read(programFolder / "projection.ini");
}

int ProjectionCaptions::count() const { return lines_; }

void ProjectionCaptions::apply(const ProjectionButtons& buttons) const {
    for (int i = 0; i < lines_; ++i)
        if (QAbstractButton* button = buttons[static_cast<std::size_t>(i)])
            button->setText(captions_[static_cast<std::size_t>(i)]);
}

void disableUncaptionedProjectionButtons(const ProjectionButtons& buttons) {
    for (QAbstractButton* button : buttons)
        if (button && button->text().isEmpty()) button->setEnabled(false);
}

}  // namespace corva::dose
