// Progress through a batch: a bar redrawn in place when standard error is a
// terminal, plain lines otherwise (logs, pipes, CI), and messages that do not
// tangle with the bar. Several files may be under way at once. Safe to call
// from any thread.
#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace vivanto {

class Progress {
public:
    // `dataOnStdout`: standard output carries data (--json), so every line of
    // text goes to standard error.
    Progress(int files, bool terminal, bool dataOnStdout = false);

    // Starts file `index` (1-based).
    void startFile(int index, const std::string& name);
    // How far file `index` has come (0..1) and in which step.
    void update(int index, const std::string& step, double fraction);
    // File `index` is over, done or not.
    void finishFile(int index);
    // A message on its own line, on stderr (errors) or stdout.
    void message(const std::string& text, bool error);
    // One line of data on standard output.
    void data(const std::string& line);
    // Removes the bar.
    void finish();

private:
    struct UnderWay {
        std::string name;
        std::string step;
        double fraction = 0;
    };

    void drawLocked();
    void clearLocked();

    std::mutex mutex_;
    int files_;
    bool terminal_;
    std::FILE* text_; // where lines of text go
    int finished_ = 0;
    int latest_ = 0; // the file last started, whose name the bar shows
    std::map<int, UnderWay> underWay_;
    bool drawn_ = false;
};

} // namespace vivanto
