#pragma once

#include <array>
#include <exception>
#include <string_view>
#include <vector>

namespace osterveil {

// A .cube file that cannot be used. No user-facing text: the colour pipeline grades without the table.
class CubeLUTError : public std::exception {
public:
    enum class Kind {
        unreadable, // a size line was found, but the size or the domain is unusable or the data too short
        empty,      // no lines, or no usable size line
    };

    static CubeLUTError unreadable() { return CubeLUTError(Kind::unreadable); }
    static CubeLUTError empty() { return CubeLUTError(Kind::empty); }

    Kind kind() const { return kind_; }
    const char* what() const noexcept override;
    bool operator==(const CubeLUTError& o) const { return kind_ == o.kind_; }

private:
    explicit CubeLUTError(Kind k) : kind_(k) {}
    Kind kind_;
};

// How an input coordinate reaches a table's lattice: u = x · scale + offset, clamped to 0...1, where 0
// and 1 are the first and last lattice points. A table over 0...1 has scale 1 and offset 0.
struct CubeLUTDomain {
    std::array<float, 3> scale{1, 1, 1};
    std::array<float, 3> offset{0, 0, 0};
    bool isUnit() const { return scale == std::array<float, 3>{1, 1, 1} && offset == std::array<float, 3>{0, 0, 0}; }
    bool operator==(const CubeLUTDomain&) const = default;
};

struct CubeLUTResult {
    // Grid points per side: 2...64 for a 3D table, 2...32 for an expanded 1D table.
    int dimension = 0;
    // dimension³ entries of R, G, B, A (A always 1), red index fastest, then green, then blue; entry
    // (r, g, b) lies at lattice coordinate (r, g, b) / (dimension - 1). Values are not clamped.
    std::vector<float> data;
    // Where inputs fall on the cube's lattice: the file's domain, kept as it is written.
    CubeLUTDomain domain;
    // A 1D stage applied to each channel before the cube (a shaper): `shaperSize` entries of R, G, B
    // (0: none), interpolated linearly on their own lattice, reached through `shaperDomain`.
    int shaperSize = 0;
    std::vector<float> shaper;
    CubeLUTDomain shaperDomain;
};

// Reads the text of a .cube file (IRIDAS/Adobe and Resolve dialects) into the stages the colour cube
// applies, using the file's own lattices as written.
//
// A 3D table is passed through value for value; a 1D table over 0...1 of at most 32 entries becomes a
// cube of that many points per side that reproduces its three curves. An input domain other than 0...1 (DOMAIN_MIN /
// DOMAIN_MAX, LUT_3D_INPUT_RANGE, LUT_1D_INPUT_RANGE) is kept as a per-channel scale and offset in
// front of its table, and a 1D shaper before a 3D table as its own stage, so that nothing is resampled:
// x → shaper (linear, inputs clamped to its domain) → cube (trilinear, inputs clamped to its domain).
// A longer 1D table, or one over another domain, is such a shaper in front of a two-point cube that
// passes its output range through. Malformed lines are skipped; only the final checks throw. Pure function,
// safe on any thread.
namespace CubeLUT {
CubeLUTResult parse(std::string_view text);
}

} // namespace osterveil
