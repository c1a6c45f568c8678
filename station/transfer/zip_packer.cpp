#include "transfer/zip_packer.h"

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <memory>
#include <system_error>
#include <thread>

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

// A member deflated ahead of libzip on a worker thread: libzip itself compresses one
// member after the other on one core, the zip command likewise. The members are
// deflated a few at a time in the order libzip asks for them, so memory holds only
// those few, and libzip copies the finished data.
struct Deflated {
    std::string data;  // raw deflate stream
    zip_uint64_t size = 0;
    zip_uint32_t crc = 0;
    std::string error;
};

Deflated deflateFile(const fs::path& file, int level)
{
    Deflated out;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        out.error = "Cannot read " + file.string();
        return out;
    }
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        out.error = "Cannot start deflating " + file.string();
        return out;
    }
    std::error_code ec;
    const auto expected = fs::file_size(file, ec);
    out.data.reserve(ec ? 0 : static_cast<std::size_t>(expected / 4 * 3));
    std::vector<char> buffer(1 << 20);
    uLong crc = crc32(0, nullptr, 0);
    bool end = false;
    char chunk[1 << 16];
    while (!end) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (in.bad()) {
            out.error = "Cannot read " + file.string();
            break;
        }
        end = in.eof() || got == 0;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(got));
        out.size += got;
        z.next_in = reinterpret_cast<Bytef*>(buffer.data());
        z.avail_in = static_cast<uInt>(got);
        do {
            z.next_out = reinterpret_cast<Bytef*>(chunk);
            z.avail_out = sizeof chunk;
            deflate(&z, end ? Z_FINISH : Z_NO_FLUSH);
            out.data.append(chunk, sizeof chunk - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    out.crc = static_cast<zip_uint32_t>(crc);
    return out;
}

// The members to deflate and the workers deflating them, a few ahead of libzip.
class DeflatePipeline {
public:
    DeflatePipeline(int level) : level_(level), ahead_(std::max(2u, std::thread::hardware_concurrency())) {}
    ~DeflatePipeline()
    {
        for (auto& f : results_)
            if (f.valid())
                f.wait();
    }

    std::size_t add(const fs::path& file)
    {
        files_.push_back(file);
        results_.emplace_back();
        return files_.size() - 1;
    }

    // The deflated member i (deflating it and the next few when not started yet).
    const Deflated& get(std::size_t i)
    {
        std::lock_guard lock(mutex_);
        for (std::size_t j = i; j < std::min(files_.size(), i + ahead_); ++j)
            if (!results_[j].valid() && !done_.count(j))
                results_[j] = std::async(std::launch::async, deflateFile, files_[j], level_).share();
        if (!done_.count(i)) {
            done_[i] = results_[i].get();
            results_[i] = {};
        }
        // libzip asks for a member's sizes once more after writing it, and never again
        // once it goes on to the next: the members before i are written.
        done_.erase(done_.begin(), done_.lower_bound(i));
        return done_[i];
    }

private:
    int level_;
    std::size_t ahead_;
    std::vector<fs::path> files_;
    std::vector<std::shared_future<Deflated>> results_;
    std::map<std::size_t, Deflated> done_;
    std::mutex mutex_;
};

// libzip's view of one deflated member: a source whose data is compressed already.
struct DeflatedSource {
    DeflatePipeline* pipeline;
    std::size_t index;
    const Deflated* member = nullptr;
    std::size_t offset = 0;
    zip_error_t error;

    static zip_int64_t callback(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd)
    {
        auto* self = static_cast<DeflatedSource*>(state);
        switch (cmd) {
        case ZIP_SOURCE_OPEN:
            self->member = &self->pipeline->get(self->index);
            self->offset = 0;
            return self->fail() ? -1 : 0;
        case ZIP_SOURCE_READ: {
            const std::size_t n = std::min<std::size_t>(len, self->member->data.size() - self->offset);
            std::memcpy(data, self->member->data.data() + self->offset, n);
            self->offset += n;
            return static_cast<zip_int64_t>(n);
        }
        case ZIP_SOURCE_CLOSE:
            self->member = nullptr;
            return 0;
        case ZIP_SOURCE_STAT: {
            const Deflated& m = self->pipeline->get(self->index);
            if (!m.error.empty()) {
                zip_error_set(&self->error, ZIP_ER_READ, EIO);
                return -1;
            }
            auto* st = static_cast<zip_stat_t*>(data);
            zip_stat_init(st);
            st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC;
            st->size = m.size;
            st->comp_size = m.data.size();
            st->comp_method = ZIP_CM_DEFLATE;
            st->crc = m.crc;
            return sizeof(zip_stat_t);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&self->error, data, len);
        case ZIP_SOURCE_FREE:
            zip_error_fini(&self->error);
            delete self;
            return 0;
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        default:
            zip_error_set(&self->error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    }

    bool fail()
    {
        if (member->error.empty())
            return false;
        zip_error_set(&error, ZIP_ER_READ, EIO);
        return true;
    }
};

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
        // Declared after the archive: destroyed first, it waits for its workers.
        DeflatePipeline pipeline(level);
        for (const auto& file : files) {
            // JPEG pictures do not get smaller by deflating: stored as they are.
            const bool store = isJpeg(file);
            std::error_code ec;
            if (!fs::is_regular_file(file, ec)) {
                error_ = "Cannot read " + file.string();
                return ZipResult::Failed;
            }
            // Every source states its sizes: libzip writes ZIP64 records where they are needed.
            zip_source_t* source = nullptr;
            if (store) {
                source = zip_source_file(zip.get(), file.c_str(), 0, 0);
            } else {
                auto state = std::make_unique<DeflatedSource>();
                state->pipeline = &pipeline;
                state->index = pipeline.add(file);
                zip_error_init(&state->error);
                source = zip_source_function(zip.get(), &DeflatedSource::callback, state.get());
                if (source)
                    state.release();  // the source frees it
            }
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
            if (store && zip_set_file_compression(zip.get(), static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0) != 0) {
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
