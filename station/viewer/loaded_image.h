#pragma once
// One image of the loaded image set: the DICOM object read from the image store and its
// rendering for the viewer, cached per cell size so that scrolling and repainting do
// not decode again. Rendering may run on a worker thread.
//
// A file read here stays open for the image's lifetime and only its header is parsed:
// renderings read the stored rows they need from it (a mammogram shown in a cell never
// has its 27 MB in memory), and the open file keeps the pixels readable after the file
// is moved or deleted, as a copy in memory would.
#include <QImage>
#include <QSize>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dicom/dicom.h"

class QThreadPool;

namespace corva::station {

class LoadedImage {
public:
    LoadedImage(dicom::Image image, std::filesystem::path file);

    // Reads a file (throws corva::Error when it cannot be read).
    static std::shared_ptr<LoadedImage> read(const std::filesystem::path& file);

    const dicom::Image& image() const { return image_; }
    dicom::Image& image() { return image_; }
    const std::string& sopInstanceUid() const { return sopInstanceUid_; }
    const std::filesystem::path& file() const { return file_; }

    // The rendering that fits `cell` with the file's window and the aspect kept; rendered
    // now unless cached for this size. A null image when the pixels cannot be rendered.
    QImage rendered(QSize cell) const;
    // The cached rendering when it was made for `cell`; a null image otherwise.
    QImage cachedFor(QSize cell) const;
    // True when `cell` was rendered already (out null when the pixels cannot be shown).
    bool renderedFor(QSize cell, QImage& out) const;
    // The last rendering of any size (drawn scaled until the right size is ready).
    QImage anyCached() const;

    // For a closer look: the whole image rendered to fit `size` through `window`, not
    // cached (the look keeps its own). A null image when the pixels cannot be rendered.
    QImage renderWith(QSize size, const std::optional<dicom::DisplayWindow>& window) const;
    // The stored size (Columns x Rows); empty when the header does not say.
    QSize pixelSize() const;
    // The window the image shows with by default (header's or its range); none for colour.
    // May decode the whole image: call it on a decode thread (knownDisplayWindow() for
    // the user-interface thread). Remembered once found.
    std::optional<dicom::DisplayWindow> displayWindow() const;
    // True when displayWindow() is known already (out: it), without computing it.
    bool knownDisplayWindow(std::optional<dicom::DisplayWindow>& out) const;

private:
    class HeldFile;
    QImage renderNow(QSize size, const std::optional<dicom::DisplayWindow>& window) const;
    // The object with its pixel data, for the toolkit's renderings (under renderMutex_).
    const dicom::Image& withPixels() const;

    dicom::Image image_;  // the header only when read from a file
    std::filesystem::path file_;
    std::string sopInstanceUid_;
    QSize pixelSize_;
    std::shared_ptr<const HeldFile> held_;         // the file, open; none for an object built in memory
    mutable std::optional<dicom::Image> full_;     // read whole from held_ when the toolkit must render
    mutable std::optional<std::optional<dicom::DisplayWindow>> ownWindow_;  // under cacheMutex_
    mutable std::mutex renderMutex_;  // one rendering of this image at a time
    mutable std::mutex cacheMutex_;
    mutable QImage cache_;
    mutable QSize cacheSize_;
    mutable bool cacheFailed_ = false;
};

using LoadedImages = std::vector<std::shared_ptr<LoadedImage>>;

// The process-wide loaded image set: what the viewer shows and the jobs work on.
LoadedImages& loadedImageSet();

// The worker threads that decode images (one per core): the pool of the live
// DecodePoolOwner, or without one (tests of single parts) a pool for the process.
QThreadPool& decodePool();

// Owns the decode pool for the program's lifetime: the program makes one right after
// its application object, so the pool is drained (every decode finished) before the
// application object ends.
class DecodePoolOwner {
public:
    DecodePoolOwner();
    ~DecodePoolOwner();
    DecodePoolOwner(const DecodePoolOwner&) = delete;
    DecodePoolOwner& operator=(const DecodePoolOwner&) = delete;
    QThreadPool& pool() { return *pool_; }

private:
    std::unique_ptr<QThreadPool> pool_;
    DecodePoolOwner* previous_;
};

// Converts an adapter bitmap to a QImage (deep copy).
QImage toQImage(const dicom::Bitmap& bitmap);

}  // namespace corva::station
