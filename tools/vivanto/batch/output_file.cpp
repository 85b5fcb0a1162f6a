#include "output_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace vivanto {

namespace {

std::string temporaryNameFor(const std::string& finalPath)
{
    static std::atomic<int> counter{0};
    std::filesystem::path target(finalPath);
    std::string name = ".vivanto-" + std::to_string(getpid()) + "-" + std::to_string(counter++)
        + "-" + target.filename().string();
    return (target.parent_path() / name).string();
}

} // namespace

OutputFile::OutputFile(std::string finalPath)
    : final_(std::move(finalPath))
    , temporary_(temporaryNameFor(final_))
{
}

OutputFile::~OutputFile()
{
    if (!committed_)
        std::remove(temporary_.c_str());
}

void OutputFile::commit(bool replace)
{
    int result = replace
        ? std::rename(temporary_.c_str(), final_.c_str())
        : renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, final_.c_str(), RENAME_NOREPLACE);
    if (result != 0) {
        int error = errno;
        if (error == EEXIST)
            throw std::runtime_error("already exists (use --force to replace it)");
        throw std::runtime_error(std::string("cannot be written: ") + std::strerror(error));
    }
    committed_ = true;
}

} // namespace vivanto
