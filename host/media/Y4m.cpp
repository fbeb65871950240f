#include "Y4m.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "Error.h"

namespace fieldfx {

namespace {

constexpr size_t kMaxHeaderLine = 4096;
const char kMagic[] = "YUV4MPEG2";

bool parseNumber(const std::string& text, int64_t& value) {
    if (text.empty() || text.size() > 12) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool parseRatio(const std::string& text, Rational& ratio) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    return parseNumber(text.substr(0, colon), ratio.num) && parseNumber(text.substr(colon + 1), ratio.den);
}

// Reads one line of at most `limit` bytes; false at end of stream before any
// byte. Throws when the line is longer or ends without a newline.
bool readLine(FILE* file, std::string& line, size_t limit, const std::string& source, const char* what) {
    line.clear();
    for (;;) {
        const int c = std::fgetc(file);
        if (c == EOF) {
            if (std::ferror(file)) throw UserError(source, std::string("read error: ") + std::strerror(errno));
            if (line.empty()) return false;
            throw UserError(source, std::string("truncated ") + what);
        }
        if (c == '\n') return true;
        if (line.size() >= limit) throw UserError(source, std::string("malformed ") + what + " (no end of line)");
        line.push_back(static_cast<char>(c));
    }
}

}  // namespace

VideoFormat parseY4mHeader(const std::string& line, const std::string& source) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word != kMagic) throw UserError(source, "not a YUV4MPEG2 stream (no YUV4MPEG2 header)");
    VideoFormat f;
    bool haveW = false, haveH = false;
    while (in >> word) {
        const char tag = word[0];
        const std::string value = word.substr(1);
        int64_t n = 0;
        switch (tag) {
        case 'W':
        case 'H':
            if (!parseNumber(value, n) || n <= 0 || n > 65535) {
                throw UserError(source, "malformed YUV4MPEG2 header: bad frame size '" + word + "'");
            }
            (tag == 'W' ? f.width : f.height) = static_cast<int>(n);
            (tag == 'W' ? haveW : haveH) = true;
            break;
        case 'F':
            if (!parseRatio(value, f.rate) || !f.rate.known()) {
                throw UserError(source, "malformed YUV4MPEG2 header: bad frame rate '" + word + "'");
            }
            break;
        case 'A':
            if (!parseRatio(value, f.aspect)) {
                throw UserError(source, "malformed YUV4MPEG2 header: bad pixel aspect '" + word + "'");
            }
            break;
        case 'I':
            if (value == "t") f.interlace = Interlace::TopFirst;
            else if (value == "b") f.interlace = Interlace::BottomFirst;
            else if (value == "p" || value == "?") f.interlace = Interlace::Progressive;
            else if (value == "m") throw UserError(source, "mixed interlacing (Im) is not supported");
            else throw UserError(source, "malformed YUV4MPEG2 header: bad interlace flag '" + word + "'");
            break;
        case 'C':
            if (!parseChromaName(value, f.chroma)) {
                throw UserError(source, "unsupported chroma format '" + value +
                                            "' (supported: 420jpeg, 420mpeg2, 420paldv, 422, 444, 444alpha)");
            }
            break;
        default:
            break;  // X comments and unknown tags carry nothing we use
        }
    }
    if (!haveW || !haveH) throw UserError(source, "malformed YUV4MPEG2 header: no frame size");
    const std::string problem = formatProblem(f);
    if (!problem.empty()) throw UserError(source, problem);
    return f;
}

std::string formatY4mHeader(const VideoFormat& f) {
    std::ostringstream out;
    out << kMagic << " W" << f.width << " H" << f.height << " F" << f.rate.num << ':' << f.rate.den << " I"
        << (f.interlace == Interlace::TopFirst ? 't' : f.interlace == Interlace::BottomFirst ? 'b' : 'p')
        << " A" << f.aspect.num << ':' << f.aspect.den << " C" << chromaName(f.chroma);
    return out.str();
}

Y4mReader::Y4mReader(FILE* file, std::string source) : file_(file), source_(std::move(source)) {
    std::string line;
    try {
        if (!readLine(file_, line, kMaxHeaderLine, source_, "YUV4MPEG2 header")) {
            throw UserError(source_, "empty input (no YUV4MPEG2 header)");
        }
    } catch (const UserError&) {
        // A line cut short or too long is a broken header only if it begins
        // as one; otherwise the stream is something else.
        const size_t begun = std::min(line.size(), std::strlen(kMagic));
        if (begun > 0 && line.compare(0, begun, kMagic, begun) != 0) {
            throw UserError(source_, "not a YUV4MPEG2 stream (no YUV4MPEG2 header)");
        }
        throw;
    }
    format_ = parseY4mHeader(line, source_);
}

bool Y4mReader::readFrameLine() {
    std::string line;
    if (!readLine(file_, line, kMaxHeaderLine, source_, "frame header")) return false;
    if (line.compare(0, 5, "FRAME") != 0 || (line.size() > 5 && line[5] != ' ')) {
        throw UserError(source_, "malformed frame " + std::to_string(framesRead_ + 1) + " (no FRAME line)");
    }
    return true;
}

bool Y4mReader::readFrame(Frame& frame) {
    frame.data.resize(frameBytes(format_));
    return readFrame(frame.data.data());
}

bool Y4mReader::readFrame(uint8_t* data) {
    if (!readFrameLine()) return false;
    const size_t size = frameBytes(format_);
    const size_t got = std::fread(data, 1, size, file_);
    if (got != size) {
        if (std::ferror(file_)) throw UserError(source_, std::string("read error: ") + std::strerror(errno));
        if (endAtCutFrame_) {
            cutShort_ = true;
            return false;
        }
        throw UserError(source_, "truncated frame " + std::to_string(framesRead_ + 1) + " (" +
                                     std::to_string(got) + " of " + std::to_string(size) + " bytes)");
    }
    ++framesRead_;
    return true;
}

bool Y4mReader::skipFrame() {
    // A file is passed over by seeking (countFrames has checked that every
    // frame is whole); a pipe is read.
    struct stat info {};
    if (fstat(fileno(file_), &info) == 0 && S_ISREG(info.st_mode)) {
        if (!readFrameLine()) return false;
        const off_t end = ftello(file_) + off_t(frameBytes(format_));
        if (end > info.st_size || fseeko(file_, end, SEEK_SET) != 0) {
            throw UserError(source_, "truncated frame " + std::to_string(framesRead_ + 1));
        }
        ++framesRead_;
        return true;
    }
    Frame scratch;
    return readFrame(scratch);
}

int64_t Y4mReader::countFrames(bool wholeOnly) {
    const off_t start = ftello(file_);
    struct stat info {};
    if (start < 0 || fstat(fileno(file_), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    const int64_t size = frameBytes(format_);
    int64_t count = 0;
    const int64_t before = framesRead_;
    while (readFrameLine()) {
        const off_t here = ftello(file_);
        if (here + size > info.st_size && wholeOnly) {
            cutShort_ = true;
            break;
        }
        if (here + size > info.st_size) {
            throw UserError(source_, "truncated frame " + std::to_string(framesRead_ + 1) + " (" +
                                         std::to_string(info.st_size - here) + " of " + std::to_string(size) +
                                         " bytes)");
        }
        if (fseeko(file_, here + size, SEEK_SET) != 0) return -1;
        ++count;
        ++framesRead_;
    }
    framesRead_ = before;
    clearerr(file_);
    if (fseeko(file_, start, SEEK_SET) != 0) return -1;
    return count;
}

Y4mWriter::Y4mWriter(FILE* file, const VideoFormat& format, std::string target, bool header)
    : file_(file), format_(format), target_(std::move(target)) {
    if (!header) return;
    const std::string line = formatY4mHeader(format_) + "\n";
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size()) {
        throw UserError(target_, std::string("write error: ") + std::strerror(errno));
    }
}

void Y4mWriter::writeFrame(const uint8_t* data, size_t size) {
    if (std::fputs("FRAME\n", file_) < 0 || std::fwrite(data, 1, size, file_) != size) {
        throw UserError(target_, std::string("write error: ") + std::strerror(errno));
    }
}

}  // namespace fieldfx
