#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>

#include "ImagingTestSupport.hpp"
#include "Media/CubeLUT.hpp"

using namespace imaging_test;

namespace {

std::filesystem::path cubeDir() {
    return std::filesystem::path(OSTERVEIL_TESTDATA) / "cube";
}

std::string readCube(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A parsed table as the colour pipeline hands it to the cube.
std::shared_ptr<const ColorCube> cubeOf(const std::string& text) {
    auto lut = osterveil::CubeLUT::parse(text);
    const auto domain = [](const osterveil::CubeLUTDomain& d) { return CubeDomain{d.scale, d.offset}; };
    CubeShaper shaper;
    if (lut.shaperSize) shaper = {lut.shaperSize, std::move(lut.shaper), domain(lut.shaperDomain)};
    return ColorCube::make(lut.dimension, std::move(lut.data), domain(lut.domain), std::move(shaper));
}

std::shared_ptr<const ColorCube> loadCube(const char* name) { return cubeOf(readCube(cubeDir() / name)); }

// What a .cube file defines, read independently of the program's reader and evaluated in double
// precision: the input mapped through the shaper's domain (clamped) and its linear interpolation,
// then through the table's domain (clamped) and trilinear interpolation; a 1D-only file is its curves.
struct CubeDefinition {
    int size1D = 0, size3D = 0;
    std::vector<double> values;
    std::array<double, 3> domainMin{0, 0, 0}, domainMax{1, 1, 1};
    std::optional<std::array<double, 2>> range1D, range3D;

    explicit CubeDefinition(const std::string& text) {
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            std::string key;
            if (!(words >> key) || key[0] == '#' || key == "TITLE") continue;
            if (key == "LUT_1D_SIZE") words >> size1D;
            else if (key == "LUT_3D_SIZE") words >> size3D;
            else if (key == "DOMAIN_MIN") words >> domainMin[0] >> domainMin[1] >> domainMin[2];
            else if (key == "DOMAIN_MAX") words >> domainMax[0] >> domainMax[1] >> domainMax[2];
            else if (key == "LUT_1D_INPUT_RANGE") words >> range1D.emplace()[0] >> (*range1D)[1];
            else if (key == "LUT_3D_INPUT_RANGE") words >> range3D.emplace()[0] >> (*range3D)[1];
            else {
                double v[3] = {std::stod(key), 0, 0};
                words >> v[1] >> v[2];
                values.insert(values.end(), v, v + 3);
            }
        }
    }
    bool hasShaper() const { return size1D > 0 && values.size() >= 3u * (size1D + std::size_t(size3D) * size3D * size3D); }

    static double position(double x, double lo, double hi, int count) {
        return std::clamp((x - lo) / (hi - lo), 0.0, 1.0) * (count - 1);
    }
    std::array<double, 3> operator()(std::array<double, 3> x) const {
        const bool shaper = size3D == 0 || hasShaper();
        if (shaper) {
            for (int c = 0; c < 3; ++c) {
                const double lo = range1D ? (*range1D)[0] : domainMin[c], hi = range1D ? (*range1D)[1] : domainMax[c];
                const double p = position(x[c], lo, hi, size1D);
                const int k = std::min(int(p), size1D - 2);
                x[c] = values[3 * k + c] + (values[3 * (k + 1) + c] - values[3 * k + c]) * (p - k);
            }
            if (size3D == 0) return x;
        }
        const int n = size3D;
        const std::size_t base = shaper ? 3 * std::size_t(size1D) : 0;
        int i[3];
        double f[3];
        for (int c = 0; c < 3; ++c) {
            const double lo = range3D ? (*range3D)[0] : shaper ? 0 : domainMin[c];
            const double hi = range3D ? (*range3D)[1] : shaper ? 1 : domainMax[c];
            const double p = position(x[c], lo, hi, n);
            i[c] = std::min(int(p), n - 2);
            f[c] = p - i[c];
        }
        std::array<double, 3> out{0, 0, 0};
        for (int corner = 0; corner < 8; ++corner) {
            const int r = i[0] + (corner & 1), g = i[1] + (corner >> 1 & 1), b = i[2] + (corner >> 2 & 1);
            const double w = (corner & 1 ? f[0] : 1 - f[0]) * (corner & 2 ? f[1] : 1 - f[1]) * (corner & 4 ? f[2] : 1 - f[2]);
            for (int c = 0; c < 3; ++c) out[c] += w * values[base + 3 * (r + n * (g + n * b)) + c];
        }
        return out;
    }
};

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7f", v);
    return text;
}

// Resolve's layout: a LogC-style shaper from linear scene values to 0…1, then a 9³ look on the unit cube.
std::string logCShaperFile() {
    std::string t = "TITLE \"LogC look\"\nLUT_1D_SIZE 256\nLUT_1D_INPUT_RANGE 0.0 16.0\nLUT_3D_SIZE 9\nLUT_3D_INPUT_RANGE 0.0 1.0\n";
    for (int k = 0; k < 256; ++k) {
        const double x = 16.0 * k / 255;
        const double logc = std::clamp(0.24719 * std::log10(5.555556 * x + 0.052272) + 0.385537, 0.0, 1.0);
        t += number(logc) + ' ' + number(logc) + ' ' + number(logc) + '\n';
    }
    for (int b = 0; b < 9; ++b)
        for (int g = 0; g < 9; ++g)
            for (int r = 0; r < 9; ++r) {
                const double R = r / 8.0, G = g / 8.0, B = b / 8.0;
                t += number(R * R * 0.9 + 0.1 * G) + ' ' + number(std::sqrt(G) * 0.8 + 0.2 * B * R) + ' ' +
                     number((R + G + B) / 3 * 1.2 - 0.05) + '\n';
            }
    return t;
}

// A gamma shaper over per-channel domains, then a 5³ table over its own input range.
std::string shaperWithDomainsFile() {
    std::string t = "LUT_1D_SIZE 17\nDOMAIN_MIN -0.1 -0.2 0.0\nDOMAIN_MAX 1.5 2.0 4.0\nLUT_3D_SIZE 5\nLUT_3D_INPUT_RANGE 0.2 0.9\n";
    for (int k = 0; k < 17; ++k) {
        const double u = k / 16.0;
        t += number(std::pow(u, 1 / 2.2)) + ' ' + number(u * u) + ' ' + number(1 - u) + '\n';
    }
    for (int b = 0; b < 5; ++b)
        for (int g = 0; g < 5; ++g)
            for (int r = 0; r < 5; ++r)
                t += number(std::sin(r + 2 * g) * 0.5 + 0.5) + ' ' + number(g * b / 16.0) + ' ' + number(1.1 - r / 4.0) + '\n';
    return t;
}

// A 1D table of 100 entries over per-channel domains (more entries than a cube side may hold).
std::string long1DWithDomainsFile() {
    std::string t = "LUT_1D_SIZE 100\nDOMAIN_MIN -1 0 0.5\nDOMAIN_MAX 3 0.5 0.75\n";
    for (int k = 0; k < 100; ++k) {
        const double u = k / 99.0;
        t += number(std::cos(9 * u)) + ' ' + number(u * u * u * 2) + ' ' + number(std::sqrt(u) - 0.3) + '\n';
    }
    return t;
}

// A 1D table over 0…1 of `size` entries, each channel its own curve of the entry's input.
std::string unit1DFile(int size, double (*r)(double), double (*g)(double), double (*b)(double)) {
    std::string t = "LUT_1D_SIZE " + std::to_string(size) + "\n";
    for (int k = 0; k < size; ++k) {
        const double u = double(k) / (size - 1);
        t += number(r(u)) + ' ' + number(g(u)) + ' ' + number(b(u)) + '\n';
    }
    return t;
}

double logCurve(double u) { return std::log10(1 + 1000 * u) / 3; }
double fourthPower(double u) { return u * u * u * u; }
double srgbDecode(double u) { return u <= 0.04045 ? u / 12.92 : std::pow((u + 0.055) / 1.055, 2.4); }

} // namespace

// Tables from other programs applied to pictures, through the reader and the colour cube together.
TEST(LUTApplication, RealTablesGradeAsTheyShould) {
    if (!std::filesystem::is_directory(cubeDir())) GTEST_SKIP() << "shared test data not found at " << cubeDir();

    // A 1D identity leaves a picture unchanged but for interpolation (and its 6-digit values).
    const Image ramp = picture(32, 8, [](int x, int y) { return Color{x / 31.0f, y / 7.0f, (x * 7 + y * 3) % 32 / 31.0f, 1}; });
    const Rendered before = render(ramp, {0, 0, 32, 8});
    const Rendered after = render(ramp.colorCube(loadCube("obs__original_1d32_identity.cube")), {0, 0, 32, 8});
    EXPECT_LT(maxDifference(before, after), 2e-5f);

    // The 32³ grayscale table: pure reds on its lattice give the first row's sweep (0 up to 0.498) as grey,
    // and half-way between lattice points the mean of the two neighbours.
    const auto gray = loadCube("obs__grayscale_3d32.cube");
    const Image reds = picture(32, 1, [](int x, int) { return Color{x / 31.0f, 0, 0, 1}; });
    const Rendered r = render(reds.colorCube(gray), {0, 0, 32, 1});
    const auto table = gray->rgba();
    for (int x = 0; x < 32; ++x) {
        expectColor(r.at(x, 0), {table[4 * x], table[4 * x], table[4 * x], 1}, 1e-6f);
        if (x > 0) {
            EXPECT_GT(r.at(x, 0).r, r.at(x - 1, 0).r);
        }
    }
    EXPECT_NEAR(r.at(31, 0).r, 0.498f, 1e-3f);
    const Rendered mid = render(solid(1, 1, {0.5f / 31, 0, 0, 1}).colorCube(gray), {0, 0, 1, 1});
    EXPECT_NEAR(mid.at(0, 0).g, (table[0] + table[4]) / 2, 1e-6f);

    // The sRGB decoding table over wide domains: after mapping onto the unit cube, mid grey decodes
    // close to the curve's 0.214 (blue, tabulated up to 3 on 8 points, is coarser) instead of the values
    // of lattice point 3.5 of 7 that reading the table as 0…1 would give.
    const Rendered srgb = render(solid(1, 1, {0.5f, 0.5f, 0.5f, 1}).colorCube(loadCube("colour__eotf_sRGB_3D8_domain.cube")), {0, 0, 1, 1});
    EXPECT_NEAR(srgb.at(0, 0).r, 0.214f, 0.03f);
    EXPECT_NEAR(srgb.at(0, 0).b, 0.214f, 0.07f);
}

// A table with a shaper, a domain other than 0…1, or a 1D table of any length grades as the file
// defines it: at 1,000 seeded inputs, some beyond the domains, the result is the file's own lattice
// evaluated as written.
TEST(LUTApplication, ShapersDomainsAndLong1DTablesFollowTheFilesOwnDefinition) {
    std::vector<std::pair<std::string, std::string>> files = {
        {"LogC shaper", logCShaperFile()},
        {"shaper with domains", shaperWithDomainsFile()},
        {"long 1D with domains", long1DWithDomainsFile()},
        {"4096-entry log curve", unit1DFile(4096, logCurve, logCurve, logCurve)},
        {"4096-entry x⁴", unit1DFile(4096, fourthPower, fourthPower, fourthPower)},
        {"1024-entry sRGB", unit1DFile(1024, srgbDecode, srgbDecode, srgbDecode)},
        {"65,536 entries, a curve a channel", unit1DFile(65536, logCurve, fourthPower, srgbDecode)}};
    if (std::filesystem::is_directory(cubeDir())) {
        files.emplace_back("eotf_sRGB_3D8_domain", readCube(cubeDir() / "colour__eotf_sRGB_3D8_domain.cube"));
        files.emplace_back("iridas_1d", readCube(cubeDir() / "ocio__iridas_1d.cube"));
    }
    for (const auto& [name, text] : files) {
        SCOPED_TRACE(name);
        const CubeDefinition file(text);
        // Inputs over the first stage's domain and a tenth of it beyond either side.
        std::array<double, 3> lo, hi;
        for (int c = 0; c < 3; ++c) {
            const bool shaper = file.size3D == 0 || file.hasShaper();
            lo[c] = shaper && file.range1D ? (*file.range1D)[0] : !shaper && file.range3D ? (*file.range3D)[0] : file.domainMin[c];
            hi[c] = shaper && file.range1D ? (*file.range1D)[1] : !shaper && file.range3D ? (*file.range3D)[1] : file.domainMax[c];
            const double margin = (hi[c] - lo[c]) * 0.1;
            lo[c] -= margin;
            hi[c] += margin;
        }
        std::mt19937 rng(1807);
        std::vector<std::array<double, 3>> inputs(1000);
        for (auto& in : inputs)
            for (int c = 0; c < 3; ++c) in[c] = std::uniform_real_distribution<double>(lo[c], hi[c])(rng);
        const Image image = picture(1000, 1, [&](int x, int) {
            return Color{float(inputs[x][0]), float(inputs[x][1]), float(inputs[x][2]), 1};
        });
        const Rendered out = render(image.colorCube(cubeOf(text)), {0, 0, 1000, 1});
        double worst = 0;
        for (int x = 0; x < 1000; ++x) {
            // The file's definition at the input as the picture holds it (in single precision).
            const auto want = file({double(float(inputs[x][0])), double(float(inputs[x][1])), double(float(inputs[x][2]))});
            const Color got = out.at(x, 0);
            worst = std::max({worst, std::abs(got.r - want[0]), std::abs(got.g - want[1]), std::abs(got.b - want[2])});
        }
        EXPECT_LT(worst, 1e-5);
    }
}

// Tables over 0…1 without a shaper are looked up as they always were: the reader passes the file's
// values through with no domain or shaper, and the cube reads the input as it stands.
TEST(LUTApplication, UnitDomainTablesAreUnchanged) {
    if (!std::filesystem::is_directory(cubeDir())) GTEST_SKIP() << "shared test data not found at " << cubeDir();
    for (const char* name : {"obs__grayscale_3d32.cube", "colour__Colour_Correct_foundry_3d4.cube"}) {
        const std::string text = readCube(cubeDir() / name);
        const auto lut = osterveil::CubeLUT::parse(text);
        EXPECT_TRUE(lut.domain.isUnit());
        EXPECT_EQ(lut.shaperSize, 0);
        const CubeDefinition file(text);
        ASSERT_EQ(lut.data.size(), file.values.size() / 3 * 4);
        for (std::size_t i = 0; i < file.values.size(); ++i) ASSERT_EQ(lut.data[i / 3 * 4 + i % 3], float(file.values[i])) << name << ' ' << i;
    }
}
