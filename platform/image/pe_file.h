#pragma once
// Reads a PE32+ (x64) driver image: headers, sections, imports, base relocations and the COFF
// symbol table. Every read is bounds-checked; a malformed image is refused with a reason.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace image {

struct PeSection {
    std::string name;
    uint32_t rva = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;

    bool Executable() const { return (characteristics & 0x20000000) != 0; }
    bool Writable() const { return (characteristics & 0x80000000) != 0; }
};

struct PeImport {
    std::string module;  // as the image names it, e.g. "ntoskrnl.exe"
    std::string name;    // empty when imported by ordinal
    uint16_t ordinal = 0;
    uint32_t slotRva = 0;  // the import address table entry the loader fills in
};

struct PeSymbol {
    std::string name;
    uint32_t rva = 0;
    bool function = false;
};

class PeFile {
  public:
    // Parses `bytes`; false with `error` set when the image is not a well-formed PE32+ x64 image.
    static bool Parse(std::vector<uint8_t> bytes, PeFile* out, std::string* error);

    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    uint64_t ImageBase() const { return imageBase_; }
    uint32_t SizeOfImage() const { return sizeOfImage_; }
    uint32_t SizeOfHeaders() const { return sizeOfHeaders_; }
    uint32_t EntryRva() const { return entryRva_; }
    const std::vector<PeSection>& Sections() const { return sections_; }
    const std::vector<PeImport>& Imports() const { return imports_; }
    // RVAs of the 64-bit words the base relocations adjust.
    const std::vector<uint32_t>& Relocations() const { return relocations_; }
    // Sorted by RVA.
    const std::vector<PeSymbol>& Symbols() const { return symbols_; }

  private:
    bool Read(std::string* error);
    std::optional<size_t> OffsetOf(uint32_t rva) const;
    bool ReadImports(uint32_t rva, std::string* error);
    bool ReadRelocations(uint32_t rva, uint32_t size, std::string* error);
    void ReadSymbols(uint32_t offset, uint32_t count);
    template <typename T>
    bool Get(size_t offset, T* value) const;
    std::optional<std::string> CString(size_t offset) const;

    std::vector<uint8_t> bytes_;
    uint64_t imageBase_ = 0;
    uint32_t sizeOfImage_ = 0;
    uint32_t sizeOfHeaders_ = 0;
    uint32_t entryRva_ = 0;
    std::vector<PeSection> sections_;
    std::vector<PeImport> imports_;
    std::vector<uint32_t> relocations_;
    std::vector<PeSymbol> symbols_;
};

}  // namespace image
