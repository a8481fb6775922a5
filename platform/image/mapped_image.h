#pragma once
// A driver image mapped into host memory the way the kernel's loader maps it: headers and
// sections at their RVAs in one block, relocated for the block's address, import slots filled
// in by the caller. The host address is also the guest address, so pointers into the image mean
// the same on both sides.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/image/pe_file.h"

namespace image {

// Access the guest has to a part of the image (or of any memory it is given).
enum GuestAccess : uint32_t { kGuestRead = 1, kGuestWrite = 2, kGuestExecute = 4 };

struct ImageRegion {
    uint64_t start = 0;
    uint64_t size = 0;  // whole pages
    uint32_t access = 0;
};

class MappedImage {
  public:
    // Maps `pe` at an address the host chooses. nullptr with `error` on failure.
    static std::unique_ptr<MappedImage> Map(const PeFile& pe, std::string* error);
    ~MappedImage();
    MappedImage(const MappedImage&) = delete;
    MappedImage& operator=(const MappedImage&) = delete;

    uint64_t Base() const { return base_; }
    uint64_t Size() const { return size_; }
    bool Contains(uint64_t address) const { return address - base_ < size_; }
    bool IsCode(uint64_t address) const;
    uint64_t EntryPoint() const { return base_ + entryRva_; }
    const std::vector<ImageRegion>& Regions() const { return regions_; }
    // Writes the address an import is bound to into its slot.
    void BindImport(const PeImport& import, uint64_t address);

    // "Function+0x1c" for an address in the image (from the symbol table), "kvsbda.sys+0x..."
    // where no function symbol covers it.
    std::string Describe(uint64_t address) const;
    // Address of a symbol by its (mangled) name.
    std::optional<uint64_t> Find(const std::string& name) const;
    // The demangled name of the function that starts exactly at `address`, if one does.
    std::optional<std::string> FunctionAt(uint64_t address) const;
    // Every instruction site in the code that moves to or from CR8 (the inline IRQL accessors).
    const std::vector<uint64_t>& IrqlAccessSites() const { return irqlSites_; }

  private:
    MappedImage() = default;
    void FindIrqlAccessSites(const PeFile& pe);

    uint8_t* memory_ = nullptr;
    uint64_t base_ = 0;
    uint64_t size_ = 0;
    uint32_t entryRva_ = 0;
    std::vector<ImageRegion> regions_;
    std::vector<PeSymbol> symbols_;
    std::vector<uint64_t> irqlSites_;
};

}  // namespace image
