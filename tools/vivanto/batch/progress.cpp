#include "progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vivanto {

Progress::Progress(int files, bool terminal, bool dataOnStdout)
    : files_(files)
    , terminal_(terminal)
    , text_(dataOnStdout ? stderr : stdout)
{
}

void Progress::startFile(int index, const std::string& name)
{
    std::lock_guard lock(mutex_);
    underWay_[index] = {name, "reading", 0};
    latest_ = index;
    if (terminal_)
        drawLocked();
    else
        std::fprintf(text_, "[%d/%d] %s\n", index, files_, name.c_str());
    std::fflush(text_);
}

void Progress::update(int index, const std::string& step, double fraction)
{
    std::lock_guard lock(mutex_);
    auto found = underWay_.find(index);
    if (found == underWay_.end())
        return;
    found->second.step = step;
    found->second.fraction = std::clamp(fraction, 0.0, 1.0);
    if (terminal_)
        drawLocked();
}

void Progress::finishFile(int index)
{
    std::lock_guard lock(mutex_);
    if (underWay_.erase(index) != 0)
        ++finished_;
    if (terminal_ && !underWay_.empty())
        drawLocked();
}

void Progress::message(const std::string& text, bool error)
{
    std::lock_guard lock(mutex_);
    clearLocked();
    std::FILE* stream = error ? stderr : text_;
    std::fprintf(stream, "%s\n", text.c_str());
    std::fflush(stream);
    if (terminal_ && !underWay_.empty())
        drawLocked();
}

void Progress::data(const std::string& line)
{
    std::lock_guard lock(mutex_);
    clearLocked();
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
    if (terminal_ && !underWay_.empty())
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
    double done = finished_;
    for (const auto& [index, file] : underWay_)
        done += file.fraction;
    double overall = files_ == 0 ? 1.0 : done / files_;
    int filled = static_cast<int>(std::lround(overall * width));
    std::string bar(std::size_t(std::clamp(filled, 0, width)), '#');
    bar.resize(width, '-');
    auto shown = underWay_.find(latest_);
    if (shown == underWay_.end())
        shown = underWay_.begin();
    std::string current;
    if (shown != underWay_.end()) {
        current = " " + shown->second.name + ": " + shown->second.step;
        if (underWay_.size() > 1)
            current += " (+" + std::to_string(underWay_.size() - 1) + " more)";
    }
    std::fprintf(stderr, "\r\033[K[%s] %d/%d%s", bar.c_str(), finished_, files_, current.c_str());
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
