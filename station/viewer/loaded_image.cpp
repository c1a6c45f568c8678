#include "viewer/loaded_image.h"

#include <QThread>
#include <QThreadPool>

namespace corva::station {

LoadedImage::LoadedImage(dicom::Image image, std::filesystem::path file)
    : image_(std::move(image)), file_(std::move(file)), sopInstanceUid_(image_.sopInstanceUid()) {}

std::shared_ptr<LoadedImage> LoadedImage::read(const std::filesystem::path& file) {
    return std::make_shared<LoadedImage>(dicom::Image::read(file), file);
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
        result = toQImage(image_.render(std::max(1, cell.width()), std::max(1, cell.height())));
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
        return toQImage(image_.render(std::max(1, size.width()), std::max(1, size.height()), window));
    } catch (const std::exception&) {
        return {};
    }
}

QSize LoadedImage::pixelSize() const {
    std::lock_guard renderLock(renderMutex_);
    const dicom::DataSet header = image_.attributes();
    const auto number = [&header](dicom::Tag tag) {
        const dicom::Attribute a = header.get(tag);
        if (!a.values.empty())
            if (const auto* d = std::get_if<double>(&a.values.front())) return static_cast<int>(*d);
        return 0;
    };
    return {number({0x0028, 0x0011}), number({0x0028, 0x0010})};
}

std::optional<dicom::DisplayWindow> LoadedImage::displayWindow() const {
    std::lock_guard renderLock(renderMutex_);
    try {
        return image_.displayWindow();
    } catch (const std::exception&) {
        return std::nullopt;
    }
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
