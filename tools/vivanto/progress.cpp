#include "progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vivanto {

Progress::Progress(int files, bool terminal)
    : files_(files)
    , terminal_(terminal)
{
}

void Progress::startFile(int index, const std::string& name)
{
    std::lock_guard lock(mutex_);
    index_ = index;
    name_ = name;
    step_ = "reading";
    fraction_ = 0;
    if (terminal_)
        drawLocked();
    else
        std::printf("[%d/%d] %s\n", index, files_, name.c_str());
    std::fflush(stdout);
}

void Progress::update(const std::string& step, double fraction)
{
    std::lock_guard lock(mutex_);
    step_ = step;
    fraction_ = std::clamp(fraction, 0.0, 1.0);
    if (terminal_)
        drawLocked();
}

void Progress::message(const std::string& text, bool error)
{
    std::lock_guard lock(mutex_);
    clearLocked();
    std::FILE* stream = error ? stderr : stdout;
    std::fprintf(stream, "%s\n", text.c_str());
    std::fflush(stream);
    if (terminal_ && index_ > 0)
        drawLocked();
}

void Progress::finish()
{
    std::lock_guard lock(mutex_);
    clearLocked();
}

void Progress::drawLocked()
{
    constexpr int width = 30;
    double overall = files_ == 0 ? 1.0 : (index_ - 1 + fraction_) / files_;
    int filled = static_cast<int>(std::lround(overall * width));
    std::string bar(std::size_t(filled), '#');
    bar.resize(width, '-');
    std::fprintf(stderr, "\r\033[K[%s] %d/%d %s: %s", bar.c_str(), index_, files_, name_.c_str(),
                 step_.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::clearLocked()
{
    if (!drawn_)
        return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
}

} // namespace vivanto
