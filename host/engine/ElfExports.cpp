#include "ElfExports.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace fieldfx {

namespace {

// Values of the ELF format used here.
constexpr uint16_t kSharedObject = 3;          // e_type ET_DYN
constexpr uint32_t kLoadSegment = 1;           // PT_LOAD
constexpr uint32_t kDynamicSegment = 2;        // PT_DYNAMIC
constexpr int64_t kDtNull = 0, kDtHash = 4, kDtStrtab = 5, kDtSymtab = 6, kDtStrsz = 10, kDtSyment = 11;
constexpr int64_t kDtGnuHash = 0x6ffffef5;
constexpr unsigned kFunction = 2, kIndirectFunction = 10;              // STT_FUNC, STT_GNU_IFUNC
constexpr unsigned kGlobal = 1, kWeak = 2, kUnique = 10;               // STB_*
constexpr unsigned kDefaultVisibility = 0, kProtectedVisibility = 3;   // STV_*

// Bounds on what a sane library holds; past them the file is refused
// rather than read at length.
constexpr uint64_t kMaxDynamicEntries = 1 << 16;
constexpr uint64_t kMaxSymbols = 1 << 24;
constexpr uint64_t kMaxStringBytes = uint64_t(1) << 28;

struct Segment {
    uint64_t offset = 0, address = 0, fileBytes = 0;
};

class ElfFile {
public:
    ElfFile(const ByteReader& read, uint64_t size) : read_(read), size_(size) {}

    std::string read(const std::vector<std::string>& functions, std::vector<bool>& found) {
        found.assign(functions.size(), false);
        uint8_t ident[16];
        if (size_ < sizeof ident || !read_(0, sizeof ident, ident) || std::memcmp(ident, "\x7f" "ELF", 4) != 0) {
            return "not an ELF file";
        }
        if ((ident[4] != 1 && ident[4] != 2) || (ident[5] != 1 && ident[5] != 2)) {
            return "not an ELF file of 32 or 64 bits in either byte order";
        }
        wide_ = ident[4] == 2;
        bigEndian_ = ident[5] == 2;

        uint8_t header[64];
        if (!read_(0, wide_ ? 64 : 52, header)) return malformed("its file header is cut short");
        if (half(header + 16) != kSharedObject) return "not a shared library";
        const uint64_t tableOffset = wide_ ? word64(header + 32) : word32(header + 28);
        const unsigned entryBytes = half(header + (wide_ ? 54 : 42));
        const unsigned entries = half(header + (wide_ ? 56 : 44));
        if (entryBytes < (wide_ ? 56u : 32u)) return malformed("its program headers are too small");

        bool haveDynamic = false;
        Segment dynamic;
        for (unsigned i = 0; i < entries; ++i) {
            uint8_t entry[56];
            if (!readAt(tableOffset, uint64_t(i) * entryBytes, wide_ ? 56 : 32, entry)) {
                return malformed("its program headers lie past the end of the file");
            }
            const uint32_t type = word32(entry);
            Segment s;
            s.offset = wide_ ? word64(entry + 8) : word32(entry + 4);
            s.address = wide_ ? word64(entry + 16) : word32(entry + 8);
            s.fileBytes = wide_ ? word64(entry + 32) : word32(entry + 16);
            if (type == kLoadSegment) loads_.push_back(s);
            if (type == kDynamicSegment && !haveDynamic) {
                dynamic = s;
                haveDynamic = true;
            }
        }
        if (!haveDynamic) return "not a shared library (it has no dynamic section)";

        // The dynamic section: where the symbols, their names and the hash
        // table are (as addresses, found in the file through the segments).
        uint64_t symbols = 0, strings = 0, stringBytes = 0, hash = 0, gnuHash = 0;
        uint64_t symbolBytes = wide_ ? 24 : 16;
        bool haveSymbols = false, haveStrings = false;
        const unsigned dynamicEntry = wide_ ? 16 : 8;
        const uint64_t count = std::min(dynamic.fileBytes / dynamicEntry, kMaxDynamicEntries);
        for (uint64_t i = 0; i < count; ++i) {
            uint8_t entry[16];
            if (!readAt(dynamic.offset, i * dynamicEntry, dynamicEntry, entry)) {
                return malformed("its dynamic section lies past the end of the file");
            }
            const int64_t tag = wide_ ? int64_t(word64(entry)) : int64_t(int32_t(word32(entry)));
            const uint64_t value = wide_ ? word64(entry + 8) : word32(entry + 4);
            if (tag == kDtNull) break;
            switch (tag) {
            case kDtSymtab: symbols = value; haveSymbols = true; break;
            case kDtStrtab: strings = value; haveStrings = true; break;
            case kDtStrsz: stringBytes = value; break;
            case kDtSyment: symbolBytes = value; break;
            case kDtHash: hash = value; break;
            case kDtGnuHash: gnuHash = value; break;
            default: break;
            }
        }
        if (!haveSymbols || !haveStrings) return "";  // it exports nothing
        if (symbolBytes < (wide_ ? 24u : 16u) || symbolBytes > 256) {
            return malformed("its symbols have a size of " + std::to_string(symbolBytes));
        }
        uint64_t symbolsAt = 0, stringsAt = 0;
        if (!fileOffset(symbols, symbolsAt) || !fileOffset(strings, stringsAt)) {
            return malformed("its symbol table lies outside the file");
        }
        stringBytes = std::min(stringBytes, size_ - stringsAt);

        uint64_t symbolCount = 0;
        std::string why;
        if (hash != 0) why = countFromHash(hash, symbolCount);
        else if (gnuHash != 0) why = countFromGnuHash(gnuHash, symbolCount);
        else return "";  // the loader finds no name in it
        if (!why.empty()) return malformed(why);

        // The names, read at once; then the symbols, a block at a time.
        if (stringBytes > kMaxStringBytes) return malformed("its symbol names take " + std::to_string(stringBytes) + " bytes");
        std::vector<char> names(size_t(stringBytes) + 1, '\0');  // a name at the very end stays terminated
        if (!readAt(stringsAt, 0, size_t(stringBytes), names.data())) return malformed("its symbol names cannot be read");
        constexpr uint64_t kBlock = 256;
        std::vector<uint8_t> block(size_t(kBlock * symbolBytes));
        for (uint64_t first = 0; first < symbolCount; first += kBlock) {
            const uint64_t n = std::min(kBlock, symbolCount - first);
            // The last symbol needs only its own fields, not a whole entry of padding.
            const uint64_t bytes = (n - 1) * symbolBytes + (wide_ ? 24 : 16);
            if (!readAt(symbolsAt, first * symbolBytes, size_t(bytes), block.data())) {
                return malformed("its symbol table runs past the end of the file");
            }
            for (uint64_t i = 0; i < n; ++i) {
                const uint8_t* sym = block.data() + i * symbolBytes;
                const uint64_t nameAt = word32(sym);
                const uint8_t info = sym[wide_ ? 4 : 12], other = sym[wide_ ? 5 : 13];
                const uint16_t section = half(sym + (wide_ ? 6 : 14));
                const unsigned binding = info >> 4, type = info & 0xf, visibility = other & 3;
                if (section == 0 || (type != kFunction && type != kIndirectFunction)) continue;
                if (binding != kGlobal && binding != kWeak && binding != kUnique) continue;
                if (visibility != kDefaultVisibility && visibility != kProtectedVisibility) continue;
                if (nameAt >= stringBytes) continue;
                const char* name = names.data() + nameAt;
                for (size_t f = 0; f < functions.size(); ++f) {
                    if (std::strcmp(name, functions[f].c_str()) == 0) found[f] = true;
                }
            }
        }
        return "";
    }

private:
    static std::string malformed(const std::string& why) { return "a malformed ELF file (" + why + ")"; }

    uint16_t half(const uint8_t* p) const {
        return bigEndian_ ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]);
    }
    uint32_t word32(const uint8_t* p) const {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t(p[bigEndian_ ? 3 - i : i]) << (8 * i);
        return v;
    }
    uint64_t word64(const uint8_t* p) const {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= uint64_t(p[bigEndian_ ? 7 - i : i]) << (8 * i);
        return v;
    }

    // Reads `bytes` at `base` + `offset` of the file, false past its end
    // (or when the sum overflows).
    bool readAt(uint64_t base, uint64_t offset, size_t bytes, void* into) const {
        const uint64_t at = base + offset;
        if (at < base || at > size_ || bytes > size_ - at) return false;
        return read_(at, bytes, into);
    }

    // The file offset of a loaded address: within the file part of a
    // loadable segment.
    bool fileOffset(uint64_t address, uint64_t& offset) const {
        for (const Segment& s : loads_) {
            if (address < s.address || address - s.address >= s.fileBytes) continue;
            offset = s.offset + (address - s.address);
            if (offset < s.offset || offset >= size_) return false;
            return true;
        }
        return false;
    }

    // The classic hash table holds the number of symbols (nchain).
    std::string countFromHash(uint64_t address, uint64_t& count) const {
        uint64_t at = 0;
        uint8_t header[8];
        if (!fileOffset(address, at) || !readAt(at, 0, 8, header)) return "its hash table lies outside the file";
        count = word32(header + 4);
        if (count > kMaxSymbols) return "its hash table names " + std::to_string(count) + " symbols";
        return "";
    }

    // The GNU hash table: symbols from `first` on sit in chains, one per
    // bucket, in order; the last symbol is the end of the chain that starts
    // at the highest bucket's symbol.
    std::string countFromGnuHash(uint64_t address, uint64_t& count) const {
        uint64_t at = 0;
        uint8_t header[16];
        if (!fileOffset(address, at) || !readAt(at, 0, 16, header)) return "its GNU hash table lies outside the file";
        const uint64_t buckets = word32(header), first = word32(header + 4), bloomWords = word32(header + 8);
        const uint64_t bucketsAt = 16 + bloomWords * (wide_ ? 8 : 4);
        if (buckets > size_ / 4 || first > kMaxSymbols || bucketsAt > size_) {
            return "its GNU hash table is larger than the file";
        }
        uint64_t last = 0;
        std::vector<uint8_t> block(4 * 1024);
        for (uint64_t b = 0; b < buckets; b += block.size() / 4) {
            const size_t n = size_t(std::min<uint64_t>(buckets - b, block.size() / 4));
            if (!readAt(at, bucketsAt + 4 * b, 4 * n, block.data())) {
                return "its GNU hash buckets lie past the end of the file";
            }
            for (size_t i = 0; i < n; ++i) last = std::max<uint64_t>(last, word32(block.data() + 4 * i));
        }
        if (last < first) {
            count = first;
            return "";
        }
        const uint64_t chainsAt = bucketsAt + 4 * buckets;
        for (uint64_t symbol = last;; ++symbol) {
            if (symbol >= kMaxSymbols) return "its GNU hash chain does not end";
            uint8_t value[4];
            if (!readAt(at, chainsAt + 4 * (symbol - first), 4, value)) {
                return "its GNU hash chain runs past the end of the file";
            }
            if (word32(value) & 1) {
                count = symbol + 1;
                return "";
            }
        }
    }

    const ByteReader& read_;
    uint64_t size_;
    bool wide_ = false, bigEndian_ = false;
    std::vector<Segment> loads_;
};

}  // namespace

std::string readElfExports(const ByteReader& read, uint64_t fileSize, const std::vector<std::string>& functions,
                           std::vector<bool>& exported) {
    ElfFile file(read, fileSize);
    return file.read(functions, exported);
}

std::string readElfExports(const std::string& path, const std::vector<std::string>& functions, std::vector<bool>& exported) {
    exported.assign(functions.size(), false);
    // Not blocking on a FIFO: only a regular file is read.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::strerror(errno);
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return "not a regular file";
    }
    const ByteReader read = [fd](uint64_t offset, size_t size, void* into) {
        char* p = static_cast<char*>(into);
        while (size > 0) {
            const ssize_t n = pread(fd, p, size, off_t(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;  // the file shrank, or cannot be read
            p += n;
            offset += uint64_t(n);
            size -= size_t(n);
        }
        return true;
    };
    const std::string problem = readElfExports(read, uint64_t(info.st_size), functions, exported);
    close(fd);
    return problem;
}

std::string readElfExports(const uint8_t* bytes, size_t size, const std::vector<std::string>& functions,
                           std::vector<bool>& exported) {
    const ByteReader read = [bytes, size](uint64_t offset, size_t n, void* into) {
        if (offset > size || n > size - offset) return false;
        std::memcpy(into, bytes + offset, n);
        return true;
    };
    return readElfExports(read, size, functions, exported);
}

}  // namespace fieldfx
