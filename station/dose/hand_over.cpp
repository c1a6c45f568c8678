#include "dose/hand_over.h"

#include <QFile>
#include <system_error>

#include "core/error.h"

namespace corva::dose {
namespace {

QString qPath(const std::filesystem::path& p) { return QString::fromStdString(p.string()); }

constexpr int FileError = 75;  // path/file access error

}  // namespace

void HandOverFiles::append(const QString& record) const {
    QFile file(qPath(inputFile()));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        throw Error(FileError, "Cannot open cInput.txt: " + file.errorString().toStdString(), "HandOverFiles");
    const QByteArray bytes = record.toLatin1() + "\r\n";
    if (file.write(bytes) != bytes.size())
        throw Error(FileError, "Cannot write cInput.txt: " + file.errorString().toStdString(), "HandOverFiles");
}

std::optional<QString> HandOverFiles::takeOver() const {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(inputFile(), ec)) return std::nullopt;
    QFile file(qPath(inputFile()));
    if (!file.open(QIODevice::ReadOnly))
        throw Error(FileError, "Cannot read cInput.txt: " + file.errorString().toStdString(), "HandOverFiles");
    const QString text = QString::fromLatin1(file.readAll());
    file.close();
    std::filesystem::remove(doneFile(), ec);
    std::filesystem::rename(inputFile(), doneFile(), ec);
    if (ec) throw Error(FileError, "Cannot move cInput.txt to done.txt: " + ec.message(), "HandOverFiles");
    return text;
}

void HandOverFiles::removeInput() const {
    std::error_code ec;
    std::filesystem::remove(inputFile(), ec);
}

}  // namespace corva::dose
