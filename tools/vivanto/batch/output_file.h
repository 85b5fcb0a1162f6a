// A file that appears whole or not at all: written under a temporary name in
// the target folder (so the final rename stays on one file system and is
// atomic), then renamed onto its name. Destroyed before commit(), it removes
// the temporary file, so an error or an interrupt leaves nothing behind.
#pragma once

#include <string>

namespace vivanto {

class OutputFile {
public:
    // `finalPath`'s suffix is kept on the temporary name, since the image
    // library picks the format by it.
    explicit OutputFile(std::string finalPath);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& temporaryPath() const { return temporary_; }
    const std::string& finalPath() const { return final_; }

    // Moves the temporary file onto the final name. Unless `replace`, an
    // existing file of that name (even one that appeared while we worked) is
    // left alone and std::runtime_error is thrown; so it is on any failure.
    void commit(bool replace);

private:
    std::string final_;
    std::string temporary_;
    bool committed_ = false;
};

} // namespace vivanto
