#pragma once

#include <cstdarg>
#include <filesystem>

namespace osterveil::stills {

// libtiff tells what it meets in a damaged or unusual file (a warning or an error at every opening,
// and readers open a file several times) on the terminal unless told otherwise. While a
// `TiffMessages` lives on a thread, what libtiff says there is taken for the file it names and goes
// to the program's log (category "media") as one line: the first message, the first time the file
// has any, so that a file read for its import, its thumbnail and each preview is told of once.
// Messages with none living go to the log as they come.
class TiffMessages {
  public:
    // `file`: the path being read; empty for bytes of no file, told of once for this reading.
    explicit TiffMessages(std::filesystem::path file);
    ~TiffMessages();
    TiffMessages(const TiffMessages&) = delete;
    TiffMessages& operator=(const TiffMessages&) = delete;

    // Where a reader that gives libtiff handlers of its own sends what they receive.
    static void report(bool error, const char* module, const char* format, va_list args);

  private:
    std::filesystem::path file_;
    bool told_ = false;
    TiffMessages* outer_;
};

} // namespace osterveil::stills
