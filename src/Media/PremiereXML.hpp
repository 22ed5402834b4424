#pragma once

#include <exception>
#include <string>
#include <stop_token>
#include <string_view>
#include <vector>

#include "Model/Project.hpp"

namespace osterveil {

// What an import of a Final Cut Pro XML file produced, and what it left behind.
struct PremiereXMLResult {
    // fileVersion 1, name "Untitled", one media item per source file (ascending file id), the file's
    // first sequence with its tracks and clips, no nests.
    Project project;
    // Effects, effect parameters and transitions that were not carried over; each once, sorted.
    std::vector<std::string> skippedEffects;
    // Sentences about what was skipped or assumed, in the order they arose.
    std::vector<std::string> notes;
    // Imported clips that were disabled in the file (they are imported disabled).
    int disabledClipCount = 0;
};

// The file cannot be imported. Carries only the sentence shown to the user.
class PremiereXMLError : public std::exception {
public:
    enum class Kind {
        notASequence, // well-formed XML without a sequence (or a sequence without media)
        malformed,    // not well-formed XML
        stopped,      // the caller's stop token asked for it: nobody waits for the result any more
    };

    static PremiereXMLError notASequence();
    static PremiereXMLError stopped();
    // `parserMessage` is the XML parser's description; `offset` the byte where it stopped.
    static PremiereXMLError malformed(std::string_view parserMessage, std::ptrdiff_t offset);

    Kind kind() const { return kind_; }
    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const PremiereXMLError& o) const { return kind_ == o.kind_ && description_ == o.description_; }

private:
    PremiereXMLError(Kind kind, std::string description) : kind_(kind), description_(std::move(description)) {}

    Kind kind_;
    std::string description_;
};

// Reads Final Cut Pro XML (xmeml) as Premiere Pro exports it into a fresh project. Stateless; each call
// is independent and safe on any thread. External entities are never loaded, and any input — truncated,
// hostile or merely odd — either throws `PremiereXMLError` or returns a result whose numbers are all
// finite and whose text is valid UTF-8.
namespace PremiereXML {

// The file's bytes: UTF-8 (with or without a byte-order mark), UTF-16 in either byte order, or Latin-1
// when the XML declaration says so. `stop` is looked at for every page of nodes the parser lays down,
// then as the document is walked and for every track and clip item read; once it is,
// `PremiereXMLError::stopped` is thrown.
PremiereXMLResult parse(std::string_view data, const std::stop_token& stop = {});

// A `pathurl` as a POSIX path: "file://localhost" or "file://" removed (any letter case), then
// percent-decoded; an escape that does not decode to UTF-8 text leaves the text undecoded.
std::string filePath(std::string_view pathurl);

} // namespace PremiereXML
} // namespace osterveil
