// What a shared library exports, read from its file without loading it.
// Loading a library runs its constructors, so a library is loaded as an
// operator only when its dynamic symbol table (the table the loader itself
// looks names up in: the dynamic segment's symbols, counted by its hash
// table) shows that it defines the operator entry points. ELF files of
// either class (32 and 64 bits) and byte order are read; anything malformed
// is refused with a reason, never read out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fieldfx {

// Copies `size` bytes at `offset` of the file into `into`; false when they
// are not all there.
using ByteReader = std::function<bool(uint64_t offset, size_t size, void* into)>;

// Finds which of `functions` the ELF shared library that `read` reads
// (`fileSize` bytes) exports as functions the loader would hand out: defined,
// global or weak, of default or protected visibility; exported[i] tells of
// functions[i]. Returns an empty text, or why the file is not a shared
// library that can be read ("not an ELF file", "a malformed ELF file (...)").
std::string readElfExports(const ByteReader& read, uint64_t fileSize, const std::vector<std::string>& functions,
                           std::vector<bool>& exported);

// The same for the file at `path`, which must be a regular file.
std::string readElfExports(const std::string& path, const std::vector<std::string>& functions, std::vector<bool>& exported);

// The same for bytes in memory.
std::string readElfExports(const uint8_t* bytes, size_t size, const std::vector<std::string>& functions,
                           std::vector<bool>& exported);

}  // namespace fieldfx
