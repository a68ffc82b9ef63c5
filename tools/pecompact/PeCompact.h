// Compacts the headers of a PE32+ image as lld-link writes it. lld-link puts a DOS program
// after the DOS header and all sixteen data directories in the optional header; a firmware
// loader runs no DOS program and reads no directory past the tenth (TLS). The compacted image
// keeps the 64-byte DOS header (pointing straight at the PE header), the first ten directories
// (or more, if a later one is in use), and moves the sections' raw data up behind the shorter
// headers. Every RVA (sections, entry point, directories) stays as it was.
#ifndef TOOLS_PECOMPACT_PE_COMPACT_H_
#define TOOLS_PECOMPACT_PE_COMPACT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace pe {

// Directories kept at least: export to TLS.
constexpr uint32_t kKeptDirectories = 10;

// Rewrites `image` in place; false, with the reason, when it is not an image this can compact
// safely (not PE32+, file offsets in a directory or a symbol table, data after the sections).
// An image already compacted comes out unchanged.
bool CompactHeaders(std::vector<uint8_t> &image, std::string &why);

}  // namespace pe

#endif  // TOOLS_PECOMPACT_PE_COMPACT_H_
