#pragma once

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

struct CubeLUTResult {
    // Grid points per side: 2...64 for a 3D table, 2...32 for an expanded 1D table.
    int dimension = 0;
    // dimension³ entries of R, G, B, A (A always 1), red index fastest, then green, then blue; entry
    // (r, g, b) covers the input (r, g, b) / (dimension - 1) on the unit cube. Values are not clamped.
    std::vector<float> data;
};

// Reads the text of a .cube file (IRIDAS/Adobe and Resolve dialects) into a table on the unit cube.
//
// A plain 3D table over the unit domain is passed through value for value; a 1D table becomes a cube of
// min(size, 32) points per side that reproduces its three curves. A table declared over another input
// domain (DOMAIN_MIN/DOMAIN_MAX, LUT_1D_INPUT_RANGE/LUT_3D_INPUT_RANGE), or a 1D shaper followed by a 3D
// table, is resampled onto the unit cube at the 3D table's own dimension, with the domain mapped and the
// shaper composed in (piecewise-linear shaper, trilinear table, inputs beyond a domain clamped to its
// edge), so that (dimension, data) always means 0...1 in. Malformed lines are skipped; only the final
// checks throw. Pure function, safe on any thread.
namespace CubeLUT {
CubeLUTResult parse(std::string_view text);
}

} // namespace osterveil
