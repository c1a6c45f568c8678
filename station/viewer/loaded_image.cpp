#include "viewer/loaded_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <QThread>
#include <QThreadPool>
#include <atomic>

#include "core/error.h"

namespace corva::station {

namespace {

// Open files held by loaded images; past the limit images are read whole, as large series
// of small images were always read, and the process keeps descriptors for everything else.
std::atomic<int> heldFiles{0};
constexpr int MaxHeldFiles = 200;

}  // namespace

// A file held open; its name under /proc reaches the same file after it was moved or
// deleted.
class LoadedImage::HeldFile {
public:
    explicit HeldFile(const std::filesystem::path& file) {
        if (heldFiles.fetch_add(1) >= MaxHeldFiles) return;
        fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ >= 0) path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~HeldFile() {
        if (fd_ >= 0) ::close(fd_);
        heldFiles.fetch_sub(1);
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool usable() const {
        std::error_code ec;
        return fd_ >= 0 && std::filesystem::exists(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    int fd_ = -1;
    std::filesystem::path path_;
};

namespace {

QSize storedSize(const dicom::Image& image) {
    const dicom::DataSet header = image.attributes();
    const auto number = [&header](dicom::Tag tag) {
        const dicom::Attribute a = header.get(tag);
        if (!a.values.empty())
            if (const auto* d = std::get_if<double>(&a.values.front())) return static_cast<int>(*d);
        return 0;
    };
    return {number({0x0028, 0x0011}), number({0x0028, 0x0010})};
}

}  // namespace

LoadedImage::LoadedImage(dicom::Image image, std::filesystem::path file)
    : image_(std::move(image)),
      file_(std::move(file)),
      sopInstanceUid_(image_.sopInstanceUid()),
      pixelSize_(storedSize(image_)) {}

std::shared_ptr<LoadedImage> LoadedImage::read(const std::filesystem::path& file) {
    auto held = std::make_shared<const HeldFile>(file);
    if (!held->usable()) return std::make_shared<LoadedImage>(dicom::Image::read(file), file);  // whole, as ever
    // The header from the held file: what it says and what is rendered is one file.
    std::optional<dicom::Image> header;
    try {
        header = dicom::Image::read(held->path(), dicom::ReadMode::HeaderOnly);
    } catch (const Error& e) {
        // The log names the file, not the descriptor it was read through.
        std::string message = e.message();
        const std::string through = held->path().string();
        for (auto at = message.find(through); at != std::string::npos; at = message.find(through, at))
            message.replace(at, through.size(), file.string());
        throw Error(e.code(), message, e.where());
    }
    auto image = std::make_shared<LoadedImage>(std::move(*header), file);
    image->held_ = std::move(held);
    return image;
}

const dicom::Image& LoadedImage::withPixels() const {
    if (!held_) return image_;
    if (!full_) full_ = dicom::Image::read(held_->path());
    return *full_;
}

QImage LoadedImage::renderNow(QSize size, const std::optional<dicom::DisplayWindow>& window) const {
    const int w = std::max(1, size.width()), h = std::max(1, size.height());
    if (held_ && !full_)
        if (auto shrunk = dicom::renderFromFile(held_->path(), w, h, window)) return toQImage(*shrunk);
    return toQImage(withPixels().render(w, h, window));
}

QImage toQImage(const dicom::Bitmap& b) {
    if (b.width <= 0 || b.height <= 0) return {};
    const auto format = b.channels == 3 ? QImage::Format_RGB888 : QImage::Format_Grayscale8;
    const QImage view(b.pixels.data(), b.width, b.height, b.width * b.channels, format);
    return view.copy();
}

QImage LoadedImage::cachedFor(QSize cell) const {
    std::lock_guard lock(cacheMutex_);
    return cacheSize_ == cell ? cache_ : QImage();
}

bool LoadedImage::renderedFor(QSize cell, QImage& out) const {
    std::lock_guard lock(cacheMutex_);
    if (cacheSize_ != cell || (cache_.isNull() && !cacheFailed_)) return false;
    out = cache_;
    return true;
}

QImage LoadedImage::anyCached() const {
    std::lock_guard lock(cacheMutex_);
    return cache_;
}

QImage LoadedImage::rendered(QSize cell) const {
    {
        std::lock_guard lock(cacheMutex_);
        if (cacheSize_ == cell && (!cache_.isNull() || cacheFailed_)) return cache_;
    }
    std::lock_guard renderLock(renderMutex_);
    {
        // Another thread may have rendered this size while we waited.
        std::lock_guard lock(cacheMutex_);
        if (cacheSize_ == cell && (!cache_.isNull() || cacheFailed_)) return cache_;
    }
    QImage result;
    bool failed = false;
    try {
        result = renderNow(cell, std::nullopt);
        failed = result.isNull();
    } catch (const std::exception&) {
        failed = true;  // no pixels to show: the cell stays empty
    }
    std::lock_guard lock(cacheMutex_);
    cache_ = result;
    cacheSize_ = cell;
    cacheFailed_ = failed;
    return result;
}

QImage LoadedImage::renderWith(QSize size, const std::optional<dicom::DisplayWindow>& window) const {
    std::lock_guard renderLock(renderMutex_);
    try {
        return renderNow(size, window);
    } catch (const std::exception&) {
        return {};
    }
}

QSize LoadedImage::pixelSize() const {
    return pixelSize_;
}

std::optional<dicom::DisplayWindow> LoadedImage::displayWindow() const {
    std::optional<dicom::DisplayWindow> known;
    if (knownDisplayWindow(known)) return known;
    std::optional<dicom::DisplayWindow> found;
    {
        std::lock_guard renderLock(renderMutex_);
        try {
            // The header's window needs no pixels; the range of the values does.
            found = full_ || !held_ ? withPixels().displayWindow()
                                    : dicom::Image::read(held_->path(), dicom::ReadMode::HeaderOnly).displayWindow();
        } catch (const std::exception&) {
            found = std::nullopt;
        }
    }
    std::lock_guard lock(cacheMutex_);
    ownWindow_ = found;
    return found;
}

bool LoadedImage::knownDisplayWindow(std::optional<dicom::DisplayWindow>& out) const {
    std::lock_guard lock(cacheMutex_);
    if (!ownWindow_) return false;
    out = *ownWindow_;
    return true;
}

LoadedImages& loadedImageSet() {
    static LoadedImages set;
    return set;
}

namespace {

DecodePoolOwner* liveOwner = nullptr;

void sizeForThisMachine(QThreadPool& pool) {
    pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
}

}  // namespace

DecodePoolOwner::DecodePoolOwner() : pool_(std::make_unique<QThreadPool>()), previous_(liveOwner) {
    sizeForThisMachine(*pool_);
    liveOwner = this;
}

DecodePoolOwner::~DecodePoolOwner() {
    pool_->clear();       // decodes not yet started are dropped
    pool_->waitForDone();  // the running ones finish before the pool goes
    liveOwner = previous_;
}

QThreadPool& decodePool() {
    if (liveOwner) return liveOwner->pool();
    static QThreadPool pool;
    static const bool sized = [] {
        sizeForThisMachine(pool);
        return true;
    }();
    (void)sized;
    return pool;
}

}  // namespace corva::station
