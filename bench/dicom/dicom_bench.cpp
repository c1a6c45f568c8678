// Speed of the adapter's hot paths (not a test): rendering mammograms for the viewer
// and header-only reads for registration.
//   dicom_bench [repetitions]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "temp_dir.h"

using namespace corva;
using namespace corva::dicom;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

double millis(const std::function<void()>& f)
{
    const auto t0 = Clock::now();
    f();
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A 4096 x 3328 12-bit mammogram-sized image with noise (so that nothing is trivially uniform).
std::filesystem::path writeMammogram(const std::filesystem::path& file)
{
    test::DicomRecipe recipe;
    recipe.rows = 4096;
    recipe.columns = 3328;
    recipe.sopClassUid = uid::DigitalMammographyForPresentation;
    recipe.modality = "MG";
    recipe.extra = {{{0x0028, 0x1050}, "2047\\1800"}, {{0x0028, 0x1051}, "4096\\3000"}};
    Image image = test::makeImage(recipe);
    std::mt19937 rng(42);
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(recipe.rows) * recipe.columns * 2);
    for (std::size_t i = 0; i < pixels.size(); i += 2) {
        const std::uint16_t v = static_cast<std::uint16_t>(((i / 2) % recipe.columns) + rng() % 512) & 0x0FFF;
        pixels[i] = static_cast<std::uint8_t>(v & 0xFF);
        pixels[i + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    image.setPixelData(recipe.rows, recipe.columns, 16, pixels);
    image.attributes().set(Tag{0x0028, 0x0101}, 12.0);
    image.attributes().set(Tag{0x0028, 0x0102}, 11.0);
    image.write(file);
    return file;
}

}  // namespace

int main(int argc, char** argv)
{
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    test::TempDir dir("corva-bench");
    const auto big = writeMammogram(dir / "mammo.dcm");
    const auto small = test::writeDicom(dir / "small.dcm", test::DicomRecipe{});
    std::printf("mammogram file: %.1f MB\n", std::filesystem::file_size(big) / 1e6);

    std::vector<double> readFull, render, renderOnly, headerBig, headerSmall, four;
    for (int r = 0; r < reps; ++r) {
        headerSmall.push_back(millis([&] { (void)Image::read(small, ReadMode::HeaderOnly).patientName(); }));
        headerBig.push_back(millis([&] { (void)Image::read(big, ReadMode::HeaderOnly).patientName(); }));
        readFull.push_back(millis([&] { (void)Image::read(big).patientName(); }));
        Image loaded = Image::read(big);
        Bitmap b;
        renderOnly.push_back(millis([&] { b = loaded.render(400, 500); }));
        render.push_back(millis([&] { b = Image::read(big).render(400, 500); }));
        if (r == 0)
            std::printf("rendered size: %d x %d\n", b.width, b.height);
        // The viewer: four images read and rendered on two threads.
        four.push_back(millis([&] {
            auto work = [&] {
                for (int i = 0; i < 2; ++i)
                    (void)Image::read(big).render(400, 500);
            };
            std::thread t1(work), t2(work);
            t1.join();
            t2.join();
        }));
    }
    std::printf("header-only read, small file:        %7.2f ms\n", median(headerSmall));
    std::printf("header-only read, 4096x3328 file:    %7.2f ms\n", median(headerBig));
    std::printf("full read, 4096x3328 file:           %7.2f ms\n", median(readFull));
    std::printf("render 4096x3328 -> 400x500:         %7.2f ms\n", median(renderOnly));
    std::printf("read + render 4096x3328 -> 400x500:  %7.2f ms\n", median(render));
    std::printf("four images on two threads:          %7.2f ms\n", median(four));

    // Small objects over one association to storescp: without TCP_NODELAY each one
    // waits for a delayed acknowledgement. initNetwork() sets it whatever the
    // environment says (try TCP_NODELAY=0 dicom_bench); storescp, started after it,
    // inherits the setting for its side.
    initNetwork();
    std::filesystem::create_directories(dir / "in");
    const int port = test::freePort();
    std::vector<std::string> args{"storescp", "-od", (dir / "in").string(), "+uf", std::to_string(port)};
    std::vector<char*> spawnArgs;
    for (auto& a : args)
        spawnArgs.push_back(a.data());
    spawnArgs.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "storescp", nullptr, nullptr, spawnArgs.data(), environ) != 0)
        return 1;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    Image smallImage = Image::read(small);
    Association a;
    a.open("127.0.0.1", port, "BENCH", "STORESCP", Association::contextsFor({&smallImage}));
    const double sendMs = millis([&] {
        for (int i = 0; i < 50; ++i)
            a.send(smallImage);
    });
    a.close();
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::printf("send 50 small images, one association: %7.2f ms\n", sendMs);
    return 0;
}
