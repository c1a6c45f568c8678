#include "zip_packer.h"

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <system_error>

#include "log/error_log.h"

namespace corva::station::transfer {

namespace fs = std::filesystem;

namespace {

struct ZipDiscard {
    void operator()(zip_t* z) const { zip_discard(z); }
};

std::string trimmed(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool endsWithZip(const std::string& name)
{
    if (name.size() < 4)
        return false;
    std::string tail = name.substr(name.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
    return tail == ".zip";
}

bool isJpeg(const fs::path& file)
{
    std::string ext = file.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".jpg" || ext == ".jpeg";
}

std::string zipError(zip_t* z)
{
    return zip_strerror(z);
}

struct Callbacks {
    const ZipPacker::Progress* progress;
    const ZipPacker::CancelCheck* cancelled;
};

}  // namespace

std::string ZipPacker::proposedName(int hours, int minutes, int seconds)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d", hours, minutes, seconds);
    return buf;
}

std::string ZipPacker::archiveName(const std::optional<std::string>& answer, const std::string& proposal)
{
    std::string name = answer ? trimmed(*answer) : std::string();
    // An empty answer would make a hidden ".zip": take the proposal as for a cancel.
    if (name.empty())
        name = proposal;
    if (!endsWithZip(name))
        name += ".zip";
    return name;
}

ZipResult ZipPacker::pack(const fs::path& folder, const std::string& name, const std::vector<fs::path>& files,
                          const Progress& progress, const CancelCheck& cancelled)
{
    error_.clear();
    try {
        if (name.empty() || name.find('/') != std::string::npos || name.find('\0') != std::string::npos ||
            name == "." || name == "..") {
            error_ = "\"" + name + "\" is not a file name";
            return ZipResult::Failed;
        }
        if (files.empty()) {
            error_ = "No files to pack";
            return ZipResult::Failed;
        }
        const fs::path archive = folder / name;
        int code = 0;
        // ZIP_TRUNCATE: libzip writes a temporary file beside the archive and renames it
        // over the old one only when complete; a failed close removes the temporary file.
        std::unique_ptr<zip_t, ZipDiscard> zip(zip_open(archive.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code));
        if (!zip) {
            zip_error_t err;
            zip_error_init_with_code(&err, code);
            error_ = "Cannot create " + archive.string() + ": " + zip_error_strerror(&err);
            zip_error_fini(&err);
            return ZipResult::Failed;
        }
        for (const auto& file : files) {
            // Length 0 reads the whole file, its size taken when the archive is written:
            // libzip then decides by itself where ZIP64 records are needed.
            zip_source_t* source = zip_source_file(zip.get(), file.c_str(), 0, 0);
            if (!source) {
                error_ = "Cannot read " + file.string() + ": " + zipError(zip.get());
                return ZipResult::Failed;
            }
            fs::path member = file.lexically_relative(folder);
            if (member.empty() || member.native().starts_with(".."))
                member = file.filename();
            const zip_int64_t index =
                zip_file_add(zip.get(), member.generic_string().c_str(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
            if (index < 0) {
                zip_source_free(source);
                error_ = "Cannot add " + file.string() + ": " + zipError(zip.get());
                return ZipResult::Failed;
            }
            // JPEG pictures do not get smaller by deflating.
            const bool store = isJpeg(file);
            if (zip_set_file_compression(zip.get(), static_cast<zip_uint64_t>(index),
                                         store ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                                         store ? 0 : static_cast<zip_uint32_t>(level)) != 0) {
                error_ = "Cannot set the compression of " + file.string() + ": " + zipError(zip.get());
                return ZipResult::Failed;
            }
        }
        Callbacks callbacks{&progress, &cancelled};
        if (progress)
            zip_register_progress_callback_with_state(
                zip.get(), 0.01,
                [](zip_t*, double fraction, void* ud) { (*static_cast<Callbacks*>(ud)->progress)(fraction); }, nullptr,
                &callbacks);
        if (cancelled)
            zip_register_cancel_callback_with_state(
                zip.get(), [](zip_t*, void* ud) { return (*static_cast<Callbacks*>(ud)->cancelled)() ? 1 : 0; },
                nullptr, &callbacks);
        if (zip_close(zip.get()) != 0) {
            const bool wasCancelled = zip_error_code_zip(zip_get_error(zip.get())) == ZIP_ER_CANCELLED;
            error_ = zipError(zip.get());
            // zip stays open: the deleter discards it (libzip has removed its temporary file).
            return wasCancelled ? ZipResult::Cancelled : ZipResult::Failed;
        }
        zip.release();  // closed
        return ZipResult::Ok;
    } catch (const std::exception& e) {
        error_ = e.what();
        log::LogError(1, error_, "ExportForm CreateZIP");
        return ZipResult::Unexpected;
    }
}

}  // namespace corva::station::transfer
