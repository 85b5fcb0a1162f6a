// Progress through a batch: a bar redrawn in place when standard error is a
// terminal, plain lines otherwise (logs, pipes, CI), and messages that do not
// tangle with the bar. Safe to call from render threads.
#pragma once

#include <mutex>
#include <string>

namespace vivanto {

class Progress {
public:
    Progress(int files, bool terminal);

    // Starts file `index` (1-based).
    void startFile(int index, const std::string& name);
    // How far the current file has come (0..1) and in which step.
    void update(const std::string& step, double fraction);
    // A message on its own line, on stderr (errors) or stdout.
    void message(const std::string& text, bool error);
    // Removes the bar.
    void finish();

private:
    void drawLocked();
    void clearLocked();

    std::mutex mutex_;
    int files_;
    bool terminal_;
    int index_ = 0;
    std::string name_;
    std::string step_;
    double fraction_ = 0;
    bool drawn_ = false;
};

} // namespace vivanto
