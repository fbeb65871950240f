// How an output written through ffmpeg is encoded: which video and audio
// encoders, at which profile, pixel format and quality, with which of the
// user's own ffmpeg options. By default the output keeps the input's codec
// and profile wherever the output's container takes it, else the
// container's usual codec; audio keeps its codec the same way. Every choice
// is made, and every option checked, before a frame is rendered: a format
// the encoder cannot take is either refused or replaced by one it takes,
// said in one line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Video.h"

namespace fieldfx {

// What the first input holds, as ffprobe tells it; empty for inputs that
// do not come through ffmpeg (YUV4MPEG2, PNG).
struct EncodingSource {
    std::string codec;       // e.g. prores
    std::string profile;     // e.g. HQ
    std::string audioCodec;  // e.g. pcm_s24le; empty without audio
    int64_t bitRate = 0;     // the video stream's bits a second, 0 unknown
    bool alpha = false;      // its pictures have an alpha channel
};

// The command line's choices.
struct EncodingRequest {
    std::string codec;         // --codec: a codec or encoder name, empty for the default
    std::string quality;       // --quality: draft, good, high or lossless; empty for the encoder's default
    std::string audioCodec;    // --audio-codec
    std::string encoderArgs;   // --encoder-args, as given
    bool pixFmtGiven = false;  // --pix-fmt was given
};

// --quality's levels, in the order of their size and fidelity.
const std::vector<std::string>& qualityLevels();

// Splits `text` into words as a shell would, without running one: blanks
// separate words; '...' keeps everything literally; "..." keeps everything
// but \" \\ \$ \` which lose their backslash; a backslash outside quotes
// keeps the next character. Throws UserError naming `option` for an
// unfinished quote or escape.
std::vector<std::string> splitArguments(const std::string& text, const std::string& option);

struct EncodingPlan {
    std::string videoEncoder;              // empty: ffmpeg's own choice (an unknown container)
    std::vector<std::string> videoArgs;    // -c:v, -profile:v, quality
    std::string inputProfile;              // the input's profile, when its codec is kept
    std::string pixFmt;                    // -pix_fmt of the output; empty: ffmpeg chooses
    std::string audioEncoder;              // the output's audio encoder; empty: ffmpeg's choice
    std::vector<std::string> audioArgs;    // -c:a and its settings
    // The audio of a chunk, carried losslessly so that joining encodes it
    // once: -c:a of a lossless codec the container takes, or audioArgs when
    // it takes none.
    std::vector<std::string> chunkAudioArgs;
    std::vector<std::string> userArgs;     // --encoder-args, split
    std::vector<std::string> notes;        // what was chosen instead of what was asked, one line each
};

// Chooses the encoders for `output` (a file ffmpeg writes) and checks the
// request: an unknown encoder, one the container does not take, a
// --quality the encoder has no form of, or bad --encoder-args throw
// UserError.
EncodingPlan planEncoding(const std::string& output, const EncodingSource& source, const EncodingRequest& request);

// Settles the output's pictures for the plan's encoder: `format`'s chroma
// (the frames this program hands to ffmpeg) and the plan's pixel format at
// `bits` a sample. H.264 and HEVC from 4:4:4 get 4:2:0 unless --pix-fmt
// asked; a chroma, depth or alpha the encoder cannot keep is replaced by
// the nearest it takes, and said in the plan's notes; an interlaced run
// into a container that cannot flag field order is said too.
void fitPictures(EncodingPlan& plan, const std::string& output, const EncodingRequest& request, bool sourceAlpha,
                 VideoFormat& format, int bits);

// The ffmpeg options of the output's video and audio as planned, with the
// user's own last so that they win. `chunk`: the audio is a chunk's.
std::vector<std::string> encodingArguments(const EncodingPlan& plan, bool hasAudio, bool chunk);

}  // namespace fieldfx
