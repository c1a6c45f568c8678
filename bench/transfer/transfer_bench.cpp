// Speed of the export (not a test):
//   JPEG export of a four-view study of 27 MB mammograms, against dcmj2pnm +oj on the
//   same files at the same quality and window;
//   ZIP archive of 20 such images, against the zip command at the same deflate level.
//   transfer_bench [repetitions]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "transfer/image_exporter.h"
#include "temp_dir.h"
#include "transfer/zip_packer.h"

using namespace corva;
using namespace corva::station::transfer;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(const std::function<void()>& f)
{
    const auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void run(const std::string& command)
{
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

// A 4096 x 3328 12-bit mammogram (27 MB) with a gradient under noise, so that neither
// the JPEG coder nor deflate meets trivially uniform data.
fs::path writeMammogram(const fs::path& file, const std::string& studyUid, int seed)
{
    test::DicomRecipe recipe;
    recipe.rows = 4096;
    recipe.columns = 3328;
    recipe.studyUid = studyUid;
    recipe.sopClassUid = dicom::uid::DigitalMammographyForPresentation;
    recipe.modality = "MG";
    recipe.extra = {{{0x0028, 0x1050}, "2047"}, {{0x0028, 0x1051}, "4096"}};
    dicom::Image image = test::makeImage(recipe);
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(recipe.rows) * recipe.columns * 2);
    for (std::size_t i = 0; i < pixels.size(); i += 2) {
        const auto v = static_cast<std::uint16_t>(((i / 2) % recipe.columns) + rng() % 256) & 0x0FFF;
        pixels[i] = static_cast<std::uint8_t>(v & 0xFF);
        pixels[i + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    image.setPixelData(recipe.rows, recipe.columns, 16, pixels);
    image.attributes().set(dicom::Tag{0x0028, 0x0101}, 12.0);
    image.attributes().set(dicom::Tag{0x0028, 0x0102}, 11.0);
    image.write(file);
    return file;
}

}  // namespace

int main(int argc, char** argv)
{
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    test::TempDir dir("corva-transfer-bench");
    const std::string study = test::uniqueUid();
    std::vector<fs::path> images;
    for (int i = 0; i < 20; ++i)
        images.push_back(writeMammogram(dir / ("mammo" + std::to_string(i) + ".dcm"), study, i));
    const std::vector<fs::path> fourViews(images.begin(), images.begin() + 4);
    std::printf("mammogram file: %.1f MB\n", fs::file_size(images[0]) / 1e6);

    // JPEG at slider 8 (quality 80) with the header's window.
    std::vector<double> ours, theirs;
    for (int r = 0; r < reps; ++r) {
        const fs::path outOurs = dir / ("jpeg-ours-" + std::to_string(r));
        const fs::path outTheirs = dir / ("jpeg-dcmtk-" + std::to_string(r));
        fs::create_directories(outOurs);
        fs::create_directories(outTheirs);
        ours.push_back(seconds([&] { ImageExporter({ExportFormat::Jpeg, outOurs, 8, false}).run(fourViews); }));
        theirs.push_back(seconds([&] {
            for (std::size_t i = 0; i < fourViews.size(); ++i)
                run("dcmj2pnm -q +oj +Jq 80 +Wi 1 '" + fourViews[i].string() + "' '" +
                    (outTheirs / (std::to_string(i) + ".jpg")).string() + "'");
        }));
    }
    std::printf("JPEG export, 4 views, quality 80:  ours %.2f s, dcmj2pnm +oj %.2f s\n", median(ours), median(theirs));

    // ZIP of 20 images at deflate level 6, members with their folder.
    const fs::path tree = dir / "tree";
    fs::create_directories(tree / study);
    std::vector<fs::path> members;
    for (std::size_t i = 0; i < images.size(); ++i) {
        members.push_back(tree / study / images[i].filename());
        fs::create_hard_link(images[i], members.back());
    }
    std::uintmax_t total = 0;
    for (const auto& m : members)
        total += fs::file_size(m);
    ours.clear();
    theirs.clear();
    std::uintmax_t oursSize = 0, theirsSize = 0;
    for (int r = 0; r < reps; ++r) {
        fs::remove(tree / "ours.zip");
        fs::remove(tree / "theirs.zip");
        ZipPacker packer;
        ours.push_back(seconds([&] {
            if (packer.pack(tree, "ours.zip", members) != ZipResult::Ok)
                std::fprintf(stderr, "zip failed: %s\n", packer.error().c_str());
        }));
        theirs.push_back(seconds([&] { run("cd '" + tree.string() + "' && zip -q -6 theirs.zip '" + study + "'/*"); }));
        oursSize = fs::file_size(tree / "ours.zip");
        theirsSize = fs::file_size(tree / "theirs.zip");
    }
    std::printf("ZIP of 20 images (%.0f MB), level 6:  ours %.2f s (%.0f MB), zip -6 %.2f s (%.0f MB)\n", total / 1e6,
                median(ours), oursSize / 1e6, median(theirs), theirsSize / 1e6);
    return 0;
}
