// ffmpeg and ffprobe as child processes: the one way this program runs them. Each runs in a process group of its
// own, so the terminal's Ctrl-C (sent to the whole foreground group) reaches
// fieldfx only: fieldfx then closes the child's input and the child finishes
// its file. The child's messages are kept in a scratch file and shown only
// in the one line of a failure, or as they come with --verbose.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace fieldfx {

// --verbose: ffmpeg's own output goes to stderr as it comes.
void setFfmpegVerbose(bool verbose);
bool ffmpegVerbose();

class ChildProcess {
public:
    enum class Pipe { FromChild, ToChild };
    // Starts `program` (found on the PATH) with `args`; stream() is a pipe
    // from its standard output or to its standard input. Throws UserError
    // naming `subject` when it cannot start.
    ChildProcess(const std::string& program, const std::vector<std::string>& args, Pipe pipe,
                 const std::string& subject);
    ~ChildProcess();  // a child still running is killed and waited for
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    FILE* stream() const { return stream_; }
    // Closes the pipe and waits for the child. True when it exited with 0.
    bool finish();
    // Stops the child at once (it is no longer wanted) and waits for it.
    void stop();
    // Why it failed: its exit status or signal and its first message line.
    std::string failure() const;
    // The first line it printed, with `from` replaced by `to` (a temporary
    // name by the name the user gave). `errorsOnly`: the first line ffmpeg run with
    // -loglevel level+error marks as an error, or "" when none is.
    std::string firstMessage(const std::string& from = "", const std::string& to = "", bool errorsOnly = false) const;
    bool running() const { return pid_ > 0; }

private:
    void reap(bool kill);
    pid_t pid_ = -1;
    FILE* stream_ = nullptr;
    FILE* log_ = nullptr;  // the child's standard error, unless verbose
    int status_ = 0;
    std::string program_;
};

// Bits a sample of an ffmpeg pixel format (8 for yuv420p, 10 for
// yuv422p10le), and the 8-bit YUV4MPEG2 pixel format of the same chroma.
int pixFmtBits(const std::string& pixFmt);
// Whether ffmpeg is on the PATH.
bool ffmpegAvailable();
std::string eightBitPixFmt(const std::string& pixFmt);
// Whether an ffmpeg pixel format has an alpha channel (yuva420p, rgba, ...).
bool pixFmtHasAlpha(const std::string& pixFmt);

}  // namespace fieldfx
