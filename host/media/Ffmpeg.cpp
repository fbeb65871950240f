#include "Ffmpeg.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "Error.h"
#include "Stop.h"
#include "Text.h"

extern char** environ;

namespace fieldfx {

namespace {

bool g_verbose = false;

std::string trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

}  // namespace

void setFfmpegVerbose(bool verbose) { g_verbose = verbose; }
bool ffmpegVerbose() { return g_verbose; }

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args, Pipe pipe,
                           const std::string& subject)
    : program_(program) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw UserError(subject, "cannot start " + program + ": " + std::strerror(errno));
    const int childEnd = pipe == Pipe::FromChild ? ends[1] : ends[0];
    const int ourEnd = pipe == Pipe::FromChild ? ends[0] : ends[1];
    if (!g_verbose) log_ = std::tmpfile();

    // The child's descriptors, signals and process group; every step is
    // checked, since a child started without one of them (its output not
    // on the pipe, its signals blocked) would not do what it is run for.
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int error = posix_spawn_file_actions_init(&actions);
    if (error == 0 && (error = posix_spawnattr_init(&attributes)) != 0) posix_spawn_file_actions_destroy(&actions);
    if (error == 0) {
        // A process group of its own, and the signals fieldfx ignores or
        // catches back at their defaults (a broken pipe ends it quietly).
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, s);
        sigset_t none;
        sigemptyset(&none);
        const std::function<int()> steps[] = {
            [&] { return posix_spawn_file_actions_adddup2(&actions, childEnd, pipe == Pipe::FromChild ? 1 : 0); },
            [&] {
                return pipe == Pipe::FromChild ? posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) : 0;
            },
            [&] { return log_ != nullptr ? posix_spawn_file_actions_adddup2(&actions, fileno(log_), 2) : 0; },
            [&] { return posix_spawnattr_setsigdefault(&attributes, &defaults); },
            [&] { return posix_spawnattr_setsigmask(&attributes, &none); },
            [&] { return posix_spawnattr_setpgroup(&attributes, 0); },
            [&] {
                return posix_spawnattr_setflags(&attributes,
                                                POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
            },
        };
        for (const auto& step : steps) {
            if (error == 0) error = step();
        }
        if (error == 0) {
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            error = posix_spawnp(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ);
        }
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    close(childEnd);
    if (error == 0) {
        stream_ = fdopen(ourEnd, pipe == Pipe::FromChild ? "rb" : "wb");
        if (stream_ == nullptr) {
            error = errno;
            ::kill(pid_, SIGKILL);
            while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
            }
        }
    }
    if (error != 0) {
        pid_ = -1;
        close(ourEnd);
        if (log_ != nullptr) std::fclose(log_);
        log_ = nullptr;
        throw UserError(subject, "cannot start " + program + ": " + std::strerror(error));
    }
}

ChildProcess::~ChildProcess() {
    reap(true);
    if (log_ != nullptr) std::fclose(log_);
}

void ChildProcess::reap(bool kill) {
    if (stream_ != nullptr) std::fclose(stream_);
    stream_ = nullptr;
    if (pid_ <= 0) return;
    if (kill) ::kill(pid_, SIGKILL);
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

bool ChildProcess::finish() {
    reap(false);
    return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
}

void ChildProcess::stop() { reap(true); }

std::string ChildProcess::firstMessage(const std::string& from, const std::string& to, bool errorsOnly) const {
    if (log_ == nullptr) return "";
    std::string text, line;
    std::rewind(log_);
    char buffer[1024];
    // "[error]" and "[fatal]" mark errors of ffmpeg run with -loglevel
    // level+error; other lines are an encoder's own talk (x265's [info]).
    const auto wanted = [&](const std::string& t) {
        return !t.empty() && (!errorsOnly || t.find("[error]") != std::string::npos || t.find("[fatal]") != std::string::npos);
    };
    // The first line names the cause; later ones tell what failed after it.
    while (!wanted(text) && std::fgets(buffer, sizeof buffer, log_) != nullptr) {
        line += buffer;
        if (line.back() != '\n') continue;
        text = trimmed(line);
        line.clear();
    }
    if (!wanted(text)) text = trimmed(line);
    if (!wanted(text)) text.clear();
    std::fseek(log_, 0, SEEK_END);
    // "[mov,mp4 @ 0x55d0] partial file": the component's address says nothing.
    if (const size_t at = text.find(" @ 0x"); text.rfind('[', 0) == 0 && at != std::string::npos) {
        const size_t close = text.find("] ", at);
        if (close != std::string::npos) text = text.substr(1, at - 1) + ": " + text.substr(close + 2);
    }
    // The level ffmpeg puts before its message: "[error] ".
    for (const char* level : {"[error] ", "[fatal] "}) {
        if (const size_t at = text.find(level); at != std::string::npos && (at == 0 || (at >= 2 && text.compare(at - 2, 2, ": ") == 0))) {
            text.erase(at, std::strlen(level));
        }
    }
    for (size_t at = from.empty() ? std::string::npos : text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string ChildProcess::failure() const {
    std::string how;
    if (WIFSIGNALED(status_)) how = program_ + " was ended by signal " + std::to_string(WTERMSIG(status_));
    else how = program_ + " exited with status " + std::to_string(WEXITSTATUS(status_));
    const std::string message = firstMessage();
    return message.empty() ? how : how + ": " + message;
}

bool ffmpegAvailable() {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    const std::string list = path;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t colon = std::min(list.find(':', start), list.size());
        const std::string dir = colon > start ? list.substr(start, colon - start) : ".";
        if (access((dir + "/ffmpeg").c_str(), X_OK) == 0) return true;
        start = colon + 1;
    }
    return false;
}

int pixFmtBits(const std::string& pixFmt) {
    // Formats name their depth after the chroma: yuv420p10le, gray12be.
    for (const char* bits : {"16", "14", "12", "10", "9"}) {
        const size_t at = pixFmt.rfind(bits);
        if (at != std::string::npos && at > 0 && pixFmt[at - 1] == 'p' && at + std::strlen(bits) + 2 == pixFmt.size()) {
            return std::atoi(bits);
        }
    }
    if (pixFmt.find("48") != std::string::npos || pixFmt.find("64") != std::string::npos) return 16;
    return 8;
}

bool pixFmtHasAlpha(const std::string& pixFmt) {
    return pixFmt.rfind("yuva", 0) == 0 || pixFmt.rfind("gbrap", 0) == 0 || pixFmt.rfind("ya", 0) == 0 ||
           pixFmt.find("rgba") != std::string::npos || pixFmt.find("argb") != std::string::npos ||
           pixFmt.find("bgra") != std::string::npos || pixFmt.find("abgr") != std::string::npos ||
           pixFmt.find("ayuv") != std::string::npos || pixFmt.find("vuya") != std::string::npos;
}

std::string eightBitPixFmt(const std::string& pixFmt) {
    const bool alpha = pixFmtHasAlpha(pixFmt);
    const bool rgb = pixFmt.find("rgb") != std::string::npos || pixFmt.find("bgr") != std::string::npos ||
                     pixFmt.rfind("gbr", 0) == 0;
    if (alpha) return "yuva444p";
    if (rgb || pixFmt.find("444") != std::string::npos) return "yuv444p";
    if (pixFmt.find("422") != std::string::npos) return "yuv422p";
    return "yuv420p";
}

}  // namespace fieldfx
