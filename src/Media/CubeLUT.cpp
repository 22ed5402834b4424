#include "CubeLUT.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>

namespace osterveil {

const char* CubeLUTError::what() const noexcept {
    return kind_ == Kind::unreadable ? "cube LUT: unreadable" : "cube LUT: empty";
}

namespace {

constexpr long long kMax3DSize = 64;
constexpr int kMaxExpanded1DSize = 32;
// A 1D table kept as written (a shaper) holds at most this many entries.
constexpr long long kMaxShaperSize = 1 << 20;

using Triple = std::array<double, 3>;

struct Domain {
    Triple min{0, 0, 0};
    Triple max{1, 1, 1};
    bool isUnit() const { return min == Triple{0, 0, 0} && max == Triple{1, 1, 1}; }
    bool isUsable() const {
        for (int c = 0; c < 3; ++c)
            if (!std::isfinite(min[c]) || !std::isfinite(max[c]) || !(min[c] < max[c])) return false;
        return true;
    }
};

// Splits at every line break the Unicode standard knows (LF, VT, FF, CR, CR LF, NEL, LS, PS), leaving
// out empty lines.
template <typename F> void forEachLine(std::string_view text, F&& f) {
    std::size_t start = 0;
    std::size_t i = 0;
    auto emit = [&](std::size_t end) {
        if (end > start) f(text.substr(start, end - start));
    };
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t breakLength = 0;
        if (c == '\n' || c == '\v' || c == '\f') breakLength = 1;
        else if (c == '\r') breakLength = (i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
        else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85)
            breakLength = 2;
        else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                 (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9))
            breakLength = 3;
        if (breakLength) {
            emit(i);
            i += breakLength;
            start = i;
        } else {
            ++i;
        }
    }
    emit(text.size());
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Up to `N` leading pieces of a line split at runs of blanks, and the total count of pieces.
template <std::size_t N> struct Pieces {
    std::array<std::string_view, N> first{};
    std::size_t count = 0;
    std::string_view last;
};

template <std::size_t N> Pieces<N> split(std::string_view s) {
    Pieces<N> p;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && isBlank(s[i])) ++i;
        if (i == s.size()) break;
        const std::size_t begin = i;
        while (i < s.size() && !isBlank(s[i])) ++i;
        const auto piece = s.substr(begin, i - begin);
        if (p.count < N) p.first[p.count] = piece;
        p.last = piece;
        ++p.count;
    }
    return p;
}

// A leading "+" is accepted like the sign of the usual number parsers; from_chars takes only "-".
std::string_view withoutPlus(std::string_view s) {
    if (s.size() > 1 && s[0] == '+' && s[1] != '-' && s[1] != '+') s.remove_prefix(1);
    return s;
}

std::optional<long long> parseInteger(std::string_view s) {
    s = withoutPlus(s);
    long long v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<float> parseFloat(std::string_view s) {
    s = withoutPlus(s);
    float v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

// The numbers following a keyword, or nothing if any of them is missing or not a number.
template <std::size_t N> std::optional<std::array<double, N>> keywordValues(std::string_view line) {
    const auto p = split<N + 1>(line);
    if (p.count < N + 1) return std::nullopt;
    std::array<double, N> out{};
    for (std::size_t i = 0; i < N; ++i) {
        const auto v = parseFloat(p.first[i + 1]);
        if (!v) return std::nullopt;
        out[i] = *v;
    }
    return out;
}

struct ParseState {
    std::optional<long long> size3D;
    std::optional<long long> size1D;
    std::vector<float> samples;
    std::optional<Triple> domainMin, domainMax;
    std::optional<std::array<double, 2>> range1D, range3D;
};

void readLine(std::string_view raw, ParseState& st) {
    const std::string_view line = trimmed(raw);
    if (line.empty() || line.starts_with('#') || line.starts_with("TITLE")) return;
    if (line.starts_with("DOMAIN_")) {
        if (line.starts_with("DOMAIN_MIN")) {
            if (const auto v = keywordValues<3>(line)) st.domainMin = *v;
        } else if (line.starts_with("DOMAIN_MAX")) {
            if (const auto v = keywordValues<3>(line)) st.domainMax = *v;
        }
        return;
    }
    if (line.starts_with("LUT_3D_SIZE")) {
        st.size3D = parseInteger(split<1>(line).last);
        return;
    }
    if (line.starts_with("LUT_1D_SIZE")) {
        st.size1D = parseInteger(split<1>(line).last);
        return;
    }
    if (line.starts_with("LUT_3D_INPUT_RANGE")) {
        if (const auto v = keywordValues<2>(line)) st.range3D = *v;
        return;
    }
    if (line.starts_with("LUT_1D_INPUT_RANGE")) {
        if (const auto v = keywordValues<2>(line)) st.range1D = *v;
        return;
    }
    const auto p = split<3>(line);
    if (p.count < 3) return;
    const auto r = parseFloat(p.first[0]);
    const auto g = parseFloat(p.first[1]);
    const auto b = parseFloat(p.first[2]);
    if (!r || !g || !b) return;
    st.samples.insert(st.samples.end(), {*r, *g, *b});
}

Domain fileDomain(const ParseState& st) {
    Domain d;
    if (st.domainMin) d.min = *st.domainMin;
    if (st.domainMax) d.max = *st.domainMax;
    return d;
}

Domain rangeDomain(const std::array<double, 2>& r) { return {{r[0], r[0], r[0]}, {r[1], r[1], r[1]}}; }

// Where an input falls among `count` evenly spaced table entries over [lo, hi]; clamped to the table,
// NaN to its start.
struct Position {
    long long lo;
    long long hi;
    double t;
};
Position locate(double x, double lo, double hi, long long count) {
    double p = (x - lo) / (hi - lo) * static_cast<double>(count - 1);
    if (!(p > 0)) p = 0;
    if (p > static_cast<double>(count - 1)) p = static_cast<double>(count - 1);
    const auto i = static_cast<long long>(p);
    return {i, std::min(i + 1, count - 1), p - static_cast<double>(i)};
}

std::vector<float> rgbaData(std::span<const float> samples, std::size_t count) {
    std::vector<float> out;
    out.reserve(4 * count);
    for (std::size_t i = 0; i < count; ++i) out.insert(out.end(), {samples[3 * i], samples[3 * i + 1], samples[3 * i + 2], 1.0f});
    return out;
}

// A 1D table over 0...1 sampled at n evenly spaced inputs, per channel, in 32-bit float arithmetic.
CubeLUTResult expand1D(std::span<const float> samples, long long size) {
    const int n = static_cast<int>(std::min<long long>(size, kMaxExpanded1DSize));
    std::array<std::vector<float>, 3> curves;
    for (int c = 0; c < 3; ++c) {
        curves[c].resize(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            const double u = static_cast<double>(i) / (n - 1);
            const Position p = locate(u, 0.0, 1.0, size);
            const float lo = samples[static_cast<std::size_t>(3 * p.lo + c)];
            const float hi = samples[static_cast<std::size_t>(3 * p.hi + c)];
            curves[c][static_cast<std::size_t>(i)] = (hi - lo) * static_cast<float>(p.t) + lo;
        }
    }
    CubeLUTResult out{n, {}};
    out.data.reserve(static_cast<std::size_t>(4 * n * n * n));
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r)
                out.data.insert(out.data.end(), {curves[0][static_cast<std::size_t>(r)], curves[1][static_cast<std::size_t>(g)],
                                                 curves[2][static_cast<std::size_t>(b)], 1.0f});
    return out;
}

// The map from a domain onto the lattice coordinate 0...1.
CubeLUTDomain lattice(const Domain& d) {
    if (d.isUnit()) return {};
    CubeLUTDomain out;
    for (int c = 0; c < 3; ++c) {
        const double width = d.max[c] - d.min[c];
        out.scale[c] = static_cast<float>(1 / width);
        out.offset[c] = static_cast<float>(-d.min[c] / width);
    }
    return out;
}

// A 1D table over another domain, or longer than a cube side: the table as a shaper, then a two-point
// cube whose corners are the smallest and largest value of each curve, reached through the map of
// that range onto 0...1, so the cube gives back what the shaper gave it.
CubeLUTResult shaperOnly(std::span<const float> samples, long long size, const Domain& domain) {
    CubeLUTResult out;
    out.shaperSize = static_cast<int>(size);
    out.shaper.assign(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(3 * size));
    out.shaperDomain = lattice(domain);
    std::array<float, 3> lo{0, 0, 0}, hi{0, 0, 0};
    for (int c = 0; c < 3; ++c) {
        bool any = false;
        for (long long k = 0; k < size; ++k) {
            const float v = samples[static_cast<std::size_t>(3 * k + c)];
            if (!std::isfinite(v)) continue;
            lo[c] = any ? std::min(lo[c], v) : v;
            hi[c] = any ? std::max(hi[c], v) : v;
            any = true;
        }
        const double width = static_cast<double>(hi[c]) - lo[c];
        const bool spread = width > 0 && std::isfinite(1 / width);
        out.domain.scale[c] = spread ? static_cast<float>(1 / width) : 0.0f;
        out.domain.offset[c] = spread ? static_cast<float>(-lo[c] / width) : 0.0f;
        if (!spread) hi[c] = lo[c];
    }
    out.dimension = 2;
    for (int b = 0; b < 2; ++b)
        for (int g = 0; g < 2; ++g)
            for (int r = 0; r < 2; ++r) out.data.insert(out.data.end(), {r ? hi[0] : lo[0], g ? hi[1] : lo[1], b ? hi[2] : lo[2], 1.0f});
    return out;
}

} // namespace

CubeLUTResult CubeLUT::parse(std::string_view text) {
    ParseState st;
    bool anyLine = false;
    forEachLine(text, [&](std::string_view line) {
        anyLine = true;
        readLine(line, st);
    });
    if (!anyLine) throw CubeLUTError::empty();

    const std::span<const float> samples(st.samples);
    const auto triples = static_cast<long long>(samples.size() / 3);

    if (st.size3D) {
        const long long n = *st.size3D;
        if (n < 2 || n > kMax3DSize) throw CubeLUTError::unreadable();
        const long long entries = n * n * n;
        if (triples < entries) throw CubeLUTError::unreadable();

        // A shaper is present only when the data holds both tables; otherwise the leading values are
        // the 3D table itself, as in files that merely carry both size lines.
        const long long shaperSize = (st.size1D && *st.size1D >= 2 && *st.size1D <= kMaxShaperSize &&
                                      triples - entries >= *st.size1D)
                                         ? *st.size1D
                                         : 0;
        const auto shaper = samples.first(static_cast<std::size_t>(3 * shaperSize));
        const auto table = samples.subspan(static_cast<std::size_t>(3 * shaperSize), static_cast<std::size_t>(3 * entries));
        const Domain tableDomain = st.range3D ? rangeDomain(*st.range3D) : (shaperSize ? Domain{} : fileDomain(st));
        const Domain shaperDomain = st.range1D ? rangeDomain(*st.range1D) : fileDomain(st);
        if (!tableDomain.isUsable() || (shaperSize && !shaperDomain.isUsable())) throw CubeLUTError::unreadable();

        CubeLUTResult out{static_cast<int>(n), rgbaData(table, static_cast<std::size_t>(entries))};
        out.domain = lattice(tableDomain);
        if (shaperSize) {
            out.shaperSize = static_cast<int>(shaperSize);
            out.shaper.assign(shaper.begin(), shaper.end());
            out.shaperDomain = lattice(shaperDomain);
        }
        return out;
    }
    if (st.size1D) {
        const long long s = *st.size1D;
        if (s < 2 || triples < s) throw CubeLUTError::unreadable();
        const Domain domain = st.range1D ? rangeDomain(*st.range1D) : fileDomain(st);
        if (!domain.isUsable()) throw CubeLUTError::unreadable();
        // A table short enough to be a cube side is one exactly; a longer one would be resampled
        // onto 32 points, so it is carried as written, as a shaper.
        if (domain.isUnit() && s <= kMaxExpanded1DSize) return expand1D(samples, s);
        if (s > kMaxShaperSize) throw CubeLUTError::unreadable();
        return shaperOnly(samples, s, domain);
    }
    throw CubeLUTError::empty();
}

} // namespace osterveil
