#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>

#include "PremiereXML.hpp"
#include "PremiereXMLInternal.hpp"

namespace osterveil::premiere_xml {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Length of the well-formed UTF-8 sequence at s[i], or 0.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else
        return 0;
    if (i + n > s.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return n;
}

std::string lastPathComponent(const std::string& path) { return std::filesystem::path(path).filename().string(); }

std::string extensionOf(const std::string& path) {
    std::string ext = std::filesystem::path(lastPathComponent(path)).extension().string();
    if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
    return ext;
}

} // namespace

std::string trimmed(std::string_view s) {
    std::size_t a = 0, b = s.size();
    while (a < b && isBlank(s[a])) ++a;
    while (b > a && isBlank(s[b - 1])) --b;
    return std::string(s.substr(a, b - a));
}

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

bool isValidUTF8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8SequenceLength(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string validUTF8(std::string_view s) {
    if (isValidUTF8(s)) return std::string(s);
    std::string out;
    out.reserve(s.size() + 8);
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8SequenceLength(s, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string stringValue(Element e) {
    std::string out;
    // Iterative walk: the nesting below an element is the file's to choose.
    pugi::xml_node n = e.first_child();
    while (n && n != e) {
        if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) out += n.value();
        if (n.first_child()) {
            n = n.first_child();
            continue;
        }
        while (n != e && !n.next_sibling()) n = n.parent();
        if (n == e) break;
        n = n.next_sibling();
    }
    return out;
}

std::optional<std::string> text(Element e, const char* name) {
    const Element c = e.child(name);
    if (!c) return std::nullopt;
    // Fast path for the usual element holding one text node.
    const pugi::xml_node first = c.first_child();
    if (!first) return std::string();
    if (!first.next_sibling() && (first.type() == pugi::node_pcdata || first.type() == pugi::node_cdata))
        return validUTF8(trimmed(first.value()));
    return validUTF8(trimmed(stringValue(c)));
}

std::optional<std::int64_t> integer(const std::optional<std::string>& s) {
    if (!s || s->empty()) return std::nullopt;
    std::string_view v = *s;
    if (v.front() == '+') {
        v.remove_prefix(1);
        if (v.empty() || v.front() == '-') return std::nullopt;
    }
    std::int64_t out = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
    if (ec != std::errc() || end != v.data() + v.size()) return std::nullopt;
    return out;
}

std::optional<double> number(const std::optional<std::string>& s) {
    if (!s || s->empty()) return std::nullopt;
    std::string_view v = *s;
    if (v.front() == '+') {
        v.remove_prefix(1);
        if (v.empty() || v.front() == '-') return std::nullopt;
    }
    double out = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
    if (ec != std::errc() || end != v.data() + v.size()) return std::nullopt;
    if (!std::isfinite(out) || std::fabs(out) > maxMagnitude) return std::nullopt;
    return out;
}

bool xmlBool(const std::optional<std::string>& s, bool fallback) {
    if (!s) return fallback;
    const std::string v = lowered(trimmed(*s));
    if (v == "true" || v == "yes" || v == "1") return true;
    if (v == "false" || v == "no" || v == "0") return false;
    return fallback;
}

std::vector<Element> elementChildren(Element e) {
    std::vector<Element> out;
    for (Element c = e.first_child(); c; c = c.next_sibling())
        if (c.type() == pugi::node_element) out.push_back(c);
    return out;
}

std::vector<Element> descendants(Element e, const char* name, const std::stop_token& stop) {
    std::vector<Element> out;
    pugi::xml_node n = e.first_child();
    for (std::size_t visited = 1; n && n != e; ++visited) {
        if (visited % 65536 == 0 && stop.stop_requested()) throw PremiereXMLError::stopped();
        if (n.type() == pugi::node_element && std::string_view(n.name()) == name) out.push_back(n);
        if (n.first_child()) {
            n = n.first_child();
            continue;
        }
        while (n != e && !n.next_sibling()) n = n.parent();
        if (n == e) break;
        n = n.next_sibling();
    }
    return out;
}

double XMLRate::fps() const {
    if (timebase < 2) return 1.0;
    const double base = static_cast<double>(timebase);
    if (ntsc && (timebase == 24 || timebase == 30 || timebase == 60)) return base * 1000.0 / 1001.0;
    return base;
}

std::optional<XMLRate> rate(Element e) {
    Element r = e.child("rate");
    if (!r) r = e.child("format").child("samplecharacteristics").child("rate");
    if (!r) return std::nullopt;
    const auto timebase = integer(r, "timebase");
    if (!timebase) return std::nullopt;
    return XMLRate{*timebase, xmlBool(text(r, "ntsc"), false)};
}

Element sampleCharacteristics(Element e) {
    return e.child("media").child("video").child("format").child("samplecharacteristics");
}

std::string FileRecord::codecLabel() const {
    if (!path || path->empty()) return "Offline";
    std::string ext = extensionOf(*path);
    if (ext.empty()) return "Media";
    for (char& c : ext)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return ext;
}

FileTable fileRecords(Element root, const XMLRate& fallbackRate, const std::stop_token& stop) {
    FileTable table;
    for (const Element file : descendants(root, "file", stop)) {
        if (stop.stop_requested()) throw PremiereXMLError::stopped();
        const pugi::xml_attribute idAttr = file.attribute("id");
        if (!idAttr) continue;
        const std::string id = validUTF8(idAttr.value());
        auto [it, fresh] = table.try_emplace(id);
        FileRecord& r = it->second;
        if (fresh) {
            r.id = id;
            r.name = id;
        }
        if (auto name = text(file, "name"); name && !name->empty()) r.name = *name;
        if (auto url = text(file, "pathurl")) {
            std::string p = PremiereXML::filePath(*url);
            if (!p.empty()) r.path = std::move(p);
        }
        if (auto d = number(file, "duration")) r.durationFrames = *d;
        if (auto fr = rate(file)) r.rate = *fr;
        const Element media = file.child("media");
        if (const Element video = media.child("video")) {
            r.hasVideo = true;
            Element sc = video.child("samplecharacteristics");
            if (!sc) sc = video.child("format").child("samplecharacteristics");
            if (auto w = integer(sc, "width")) r.width = std::max<std::int64_t>(*w, 0);
            if (auto h = integer(sc, "height")) r.height = std::max<std::int64_t>(*h, 0);
        }
        if (media.child("audio")) r.hasAudio = true;
        if (!r.rate) r.rate = fallbackRate;
        if (r.name == r.id && r.path) {
            const std::string stem = std::filesystem::path(lastPathComponent(*r.path)).stem().string();
            if (!stem.empty()) r.name = stem;
        }
    }
    return table;
}

MediaItem mediaItem(const FileRecord& record, const XMLRate& sequenceRate) {
    const XMLRate fileRate = record.rate.value_or(sequenceRate);
    static const std::set<std::string, std::less<>> imageExtensions{"jpg",  "jpeg", "png", "tif",
                                                                    "tiff", "gif",  "heic", "dpx"};
    const bool isImage = record.path && imageExtensions.count(lowered(extensionOf(*record.path))) > 0;

    MediaItem item;
    item.id = Uuid::make();
    item.name = record.name;
    item.kind = isImage ? MediaKind::image : record.hasVideo ? MediaKind::video : MediaKind::audio;
    item.path = record.path.value_or("");
    item.duration = record.durationFrames ? *record.durationFrames / fileRate.fps() : 0.0;
    item.width = record.width;
    item.height = record.height;
    item.nominalFrameRate = fileRate.fps();
    item.codec = record.codecLabel();
    item.hasVideo = record.hasVideo || isImage;
    item.hasAudio = record.hasAudio;
    return item;
}

void UnionFind::add(const std::string& x) { parent_.try_emplace(x, x); }

std::string UnionFind::find(const std::string& x) {
    add(x);
    std::string root = x;
    for (;;) {
        const auto it = parent_.find(root);
        if (it == parent_.end() || it->second == root) break;
        root = it->second;
    }
    std::string at = x;
    while (at != root) {
        std::string& p = parent_[at];
        std::string next = p;
        p = root;
        at = std::move(next);
    }
    return root;
}

void UnionFind::unite(const std::string& x, const std::string& y) {
    const std::string a = find(x);
    const std::string b = find(y);
    if (a != b) parent_[a] = b;
}

std::unordered_map<std::string, std::vector<std::string>> UnionFind::groups(const std::stop_token& stop) {
    std::vector<std::string> ids;
    ids.reserve(parent_.size());
    for (const auto& [id, parent] : parent_) ids.push_back(id);
    std::unordered_map<std::string, std::vector<std::string>> out;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i % 4096 == 4095 && stop.stop_requested()) throw PremiereXMLError::stopped();
        out[find(ids[i])].push_back(ids[i]);
    }
    return out;
}

std::unordered_map<std::string, Uuid> linkGroups(UnionFind& links, const std::stop_token& stop) {
    std::unordered_map<std::string, Uuid> out;
    for (const auto& [root, members] : links.groups(stop)) {
        if (stop.stop_requested()) throw PremiereXMLError::stopped();
        if (members.size() < 2) continue;
        const Uuid group = Uuid::make();
        for (const std::string& m : members) out[m] = group;
    }
    return out;
}

} // namespace osterveil::premiere_xml

namespace osterveil {

std::string PremiereXML::filePath(std::string_view pathurl) {
    std::string s = premiere_xml::trimmed(pathurl);
    const std::string lower = premiere_xml::lowered(s);
    if (lower.starts_with("file://localhost")) s.erase(0, 16);
    else if (lower.starts_with("file://")) s.erase(0, 7);

    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string decoded;
    decoded.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            decoded.push_back(s[i]);
            continue;
        }
        const int hi = i + 2 < s.size() ? hex(s[i + 1]) : -1;
        const int lo = i + 2 < s.size() ? hex(s[i + 2]) : -1;
        // A NUL byte would cut the path short wherever it is handed to the system.
        if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return premiere_xml::validUTF8(s);
        decoded.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    if (decoded.empty() || !premiere_xml::isValidUTF8(decoded)) return premiere_xml::validUTF8(s);
    return decoded;
}

} // namespace osterveil
