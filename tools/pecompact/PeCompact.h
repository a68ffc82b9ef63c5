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
// safely: one the tools' PE/COFF reader refuses (the reason is its own), or one with file offsets
// in a directory or a symbol table, or data after the sections.
// An image already compacted comes out unchanged.
bool CompactHeaders(std::vector<uint8_t> &image, std::string &why);

// Derives the shipped image from one linked with DWARF (lld-link /debug:dwarf): drops the
// discardable .debug_* sections behind the image's own sections, the COFF symbol table and the
// CodeView entry lld-link appends to the end of .rdata, and sets the header sizes they counted
// in. Every other section keeps its RVA and its bytes, so the linked file serves as the
// shipped image's symbol file. Then compacts the headers. False, with the reason, for an image
// the reader refuses or that this cannot strip without moving code or data (debug sections
// among the others, a debug directory that is not at the end of its section).
bool StripDebugInformation(std::vector<uint8_t> &image, std::string &why);

}  // namespace pe

#endif  // TOOLS_PECOMPACT_PE_COMPACT_H_
