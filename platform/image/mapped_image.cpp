#include "platform/image/mapped_image.h"

#include <cxxabi.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace image {
namespace {

constexpr uint64_t kPage = 0x1000;

uint64_t PageUp(uint64_t value) {
    return (value + kPage - 1) & ~(kPage - 1);
}

// mov cr8, r64 / mov r64, cr8: a REX prefix with R set (CR8 is control register 0 + 8), 0F 22 or
// 0F 20, and a ModRM byte whose reg field is 0. The DDK's KeGetCurrentIrql, KeRaiseIrql and
// KeLowerIrql compile to these.
bool IsIrqlAccess(const uint8_t* code) {
    return (code[0] & 0xF4) == 0x44 && code[1] == 0x0F && (code[2] == 0x20 || code[2] == 0x22) &&
           (code[3] & 0x38) == 0;
}

// The readable form of a symbol's C++ name (the name itself for C symbols).
std::string Demangled(const std::string& name) {
    int status = 0;
    char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (text == nullptr) return name;
    std::string result = text;
    std::free(text);
    return result;
}

}  // namespace

std::unique_ptr<MappedImage> MappedImage::Map(const PeFile& pe, std::string* error) {
    std::unique_ptr<MappedImage> image(new MappedImage);
    image->size_ = PageUp(pe.SizeOfImage());
    void* memory =
        mmap(nullptr, image->size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        *error = "cannot reserve memory for the image";
        image->size_ = 0;
        return nullptr;
    }
    image->memory_ = static_cast<uint8_t*>(memory);
    image->base_ = reinterpret_cast<uint64_t>(memory);
    image->entryRva_ = pe.EntryRva();
    const std::vector<uint8_t>& bytes = pe.Bytes();
    const uint32_t headerBytes = std::min<uint32_t>(pe.SizeOfHeaders(), bytes.size());
    std::memcpy(image->memory_, bytes.data(), headerBytes);
    image->regions_.push_back(
        {image->base_, PageUp(std::max<uint32_t>(headerBytes, 1)), kGuestRead});
    for (const PeSection& s : pe.Sections()) {
        // Raw data is padded to the file alignment; only the section's own bytes are copied.
        std::memcpy(image->memory_ + s.rva, bytes.data() + s.rawOffset,
                    s.virtualSize != 0 ? std::min(s.rawSize, s.virtualSize) : s.rawSize);
        uint32_t access = kGuestRead;
        if (s.Writable()) access |= kGuestWrite;
        if (s.Executable()) access |= kGuestExecute;
        const uint64_t span = PageUp(std::max<uint64_t>(std::max(s.virtualSize, s.rawSize), 1));
        if (s.rva % kPage != 0 ||
            s.rva < image->regions_.back().start - image->base_ + image->regions_.back().size) {
            *error = "section " + s.name + " is not page-aligned or overlaps the one before";
            return nullptr;
        }
        image->regions_.push_back({image->base_ + s.rva, span, access});
    }
    // The image runs where the host put it: every absolute address moves by the same amount.
    const uint64_t delta = image->base_ - pe.ImageBase();
    for (uint32_t rva : pe.Relocations()) {
        uint64_t word;
        std::memcpy(&word, image->memory_ + rva, sizeof word);
        word += delta;
        std::memcpy(image->memory_ + rva, &word, sizeof word);
    }
    image->symbols_ = pe.Symbols();
    image->FindIrqlAccessSites(pe);
    return image;
}

MappedImage::~MappedImage() {
    if (memory_ != nullptr) munmap(memory_, size_);
}

bool MappedImage::IsCode(uint64_t address) const {
    for (const ImageRegion& r : regions_)
        if ((r.access & kGuestExecute) && address - r.start < r.size) return true;
    return false;
}

void MappedImage::BindImport(const PeImport& import, uint64_t address) {
    std::memcpy(memory_ + import.slotRva, &address, sizeof address);
}

void MappedImage::FindIrqlAccessSites(const PeFile& pe) {
    for (const PeSection& s : pe.Sections()) {
        if (!s.Executable()) continue;
        const uint32_t length = std::min(s.virtualSize, s.rawSize);
        for (uint32_t i = 0; i + 4 <= length; ++i)
            if (IsIrqlAccess(memory_ + s.rva + i)) irqlSites_.push_back(base_ + s.rva + i);
    }
}

std::string MappedImage::Describe(uint64_t address) const {
    char text[64];
    if (!Contains(address)) {
        std::snprintf(text, sizeof text, "0x%llx (outside the image)",
                      static_cast<unsigned long long>(address));
        return text;
    }
    const uint64_t rva = address - base_;
    const PeSymbol* best = nullptr;
    for (const PeSymbol& symbol : symbols_) {
        if (symbol.rva > rva) break;
        if (symbol.function) best = &symbol;
    }
    if (best == nullptr) {
        std::snprintf(text, sizeof text, "image+0x%llx", static_cast<unsigned long long>(rva));
        return text;
    }
    std::snprintf(text, sizeof text, "+0x%llx (image+0x%llx)",
                  static_cast<unsigned long long>(rva - best->rva),
                  static_cast<unsigned long long>(rva));
    return Demangled(best->name) + text;
}

std::optional<std::string> MappedImage::FunctionAt(uint64_t address) const {
    if (!Contains(address)) return std::nullopt;
    for (const PeSymbol& symbol : symbols_)
        if (symbol.function && base_ + symbol.rva == address) return Demangled(symbol.name);
    return std::nullopt;
}

std::optional<uint64_t> MappedImage::Find(const std::string& name) const {
    for (const PeSymbol& symbol : symbols_)
        if (symbol.name == name) return base_ + symbol.rva;
    return std::nullopt;
}

}  // namespace image
