#include "HelpTexts.h"

namespace fieldfx {

const char kUsage[] =
    "usage: fieldfx COMMAND [OPTIONS]\n"
    "\n"
    "Renders video field by field through effect operators.\n"
    "\n"
    "commands:\n"
    "  list                         the operators found, one a line\n"
    "  info OPERATOR                an operator's parameters\n"
    "  render OPERATOR IN [IN2] -o OUT [--set NAME=VALUE]...\n"
    "                               render a clip (two inputs for a transition)\n"
    "  join OUTPUT CHUNK...         join the outputs of render --chunk\n"
    "  demo [-o DIR]                render every operator over a built-in clip\n"
    "\n"
    "Run 'fieldfx COMMAND --help' for a command's options, 'fieldfx --version'\n"
    "for the version.\n";

const char kListHelp[] =
    "usage: fieldfx list [--ops DIR]\n"
    "\n"
    "Lists the operators found in --ops DIR, in the directories of FIELDFX_OPS\n"
    "(colon-separated) and beside the program: name, effect or transition, and\n"
    "what it does.\n";

const char kInfoHelp[] =
    "usage: fieldfx info OPERATOR [--ops DIR]\n"
    "\n"
    "Shows what --region means to the operator, and its parameters as its\n"
    "descriptors declare them: name (as used with --set), kind and label, then\n"
    "the initial value and the values it takes (a choice's entries one a line).\n"
    "OPERATOR is a name (Dye) or the path of an operator library.\n";

const char kRenderHelp[] =
    "usage: fieldfx render OPERATOR INPUT [INPUT2] -o OUTPUT [options]\n"
    "\n"
    "Runs the operator over the clip field by field. A transition takes two\n"
    "inputs of the same size and rate. '-' reads or writes YUV4MPEG2 on a pipe.\n"
    "Inputs: .y4m, .png (a still), or anything ffmpeg reads. Outputs: .y4m,\n"
    ".png (one frame, or a numbered sequence like out%04d.png), or anything\n"
    "ffmpeg writes. The output keeps the input's chroma (4:2:0, 4:2:2, 4:4:4),\n"
    "its field order (flagged in files ffmpeg writes) and, through ffmpeg, its\n"
    "sample depth: inputs of more than 8 bits are processed at 8 bits and\n"
    "written back at their depth. The input's audio goes into outputs that hold\n"
    "audio, cut to the run (a transition crossfades its two inputs' audio).\n"
    "An output that is one of the inputs is refused. Ctrl-C, SIGTERM and SIGHUP\n"
    "stop after the current frame and leave a valid, shorter file (exit status\n"
    "130, 143, 129).\n"
    "\n"
    "options:\n"
    "  -o, --output FILE       where to write the result\n"
    "  --set NAME=VALUE        a parameter: a number for sliders; an index, an\n"
    "                          entry's text or number for choices; #RRGGBB for\n"
    "                          colours; X,Y for points. Keyframed:\n"
    "                          NAME=V@POS,V@POS,... with positions in fields, or\n"
    "                          in seconds with an s suffix (2.5s)\n"
    "  --from N                start at frame N (or at a time, 2s)\n"
    "  --length N              render N frames (or a time, 2s)\n"
    "  --region X,Y,W,H        the fields' valid region, in field pixels and rows\n"
    "  --scale N/D             render at reduced size N/D\n"
    "  --field-order tff|bff   override the input's field order\n"
    "  --pix-fmt FORMAT        output chroma: 420jpeg, 420mpeg2, 420paldv, 422,\n"
    "                          444, 444alpha, or yuv420p, yuv422p, yuv444p,\n"
    "                          yuva444p, with 10le, 12le or 16le for the depth\n"
    "                          of outputs through ffmpeg (default: the input's\n"
    "                          chroma and depth)\n"
    "  --duration SECONDS      how long a PNG still input lasts (default 1)\n"
    "  --ops DIR               look for operators in DIR first\n"
    "  -j, --jobs N            render with N worker processes (default: one\n"
    "                          per core but one, at least 1; the main process\n"
    "                          reads and writes on the core left); an\n"
    "                          operator whose fields depend on the ones\n"
    "                          before it renders in one, unless its library\n"
    "                          exports OperatorReplay and its settings are\n"
    "                          not keyframed (Patina's replay reads them once)\n"
    "  --chunk K/N             render only the K-th of N nearly equal pieces of\n"
    "                          the run (whole frames), exactly as in the whole\n"
    "                          run: .y4m chunks after the first hold no stream\n"
    "                          header and PNG sequences are numbered by the\n"
    "                          frame of the whole run, so the chunks\n"
    "                          concatenate directly; other formats are whole\n"
    "                          files for 'fieldfx join'\n"
    "  --no-audio              write no audio\n"
    "  --allow-short           render a source that ends before its stated\n"
    "                          length as far as it goes (a warning, not an error)\n"
    "  --verbose               show ffmpeg's own messages\n"
    "  --quiet                 no progress bar and no summary\n";

const char kJoinHelp[] =
    "usage: fieldfx join OUTPUT CHUNK...\n"
    "\n"
    "Joins the outputs of 'fieldfx render --chunk K/N', given in order, into\n"
    "the whole run's output, after checking that they fit together:\n"
    "  .y4m       the first chunk's stream header, then every chunk's frames\n"
    "             (later chunks hold FRAME records only, or the same header)\n"
    "  %04d.png   numbered files copied to the output's numbers; each chunk's\n"
    "             numbers must follow the previous chunk's, sizes must agree\n"
    "  others     ffmpeg's concat demuxer with stream copy; codec, size, pixel\n"
    "             format, rate and the frames each chunk holds must fit\n"
    "Chunks named ...chunk-K-of-N... must come as 1..N. The output appears\n"
    "only when the join succeeded; the chunks are left as they are.\n";

const char kDemoHelp[] =
    "usage: fieldfx demo [-o DIR] [--seconds N] [-j N] [--ops DIR] [--quiet]\n"
    "\n"
    "Generates two 720x576 interlaced 25 fps clips, renders every operator\n"
    "found over them (transitions go from the first to the second) and writes\n"
    "DIR/<Operator>.y4m for each and DIR/contact-sheet.png with one row per\n"
    "operator. DIR defaults to demo-out. -j N renders with N worker processes\n"
    "(default: one per core but one), as fieldfx render does.\n";

}  // namespace fieldfx
