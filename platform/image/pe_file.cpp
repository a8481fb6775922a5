#include "platform/image/pe_file.h"

#include <algorithm>
#include <cstring>

namespace image {
namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kDirectoryImport = 1;
constexpr uint32_t kDirectoryBaseRelocation = 5;
constexpr uint16_t kRelocationAbsolute = 0;
constexpr uint16_t kRelocationDir64 = 10;
constexpr uint16_t kSymbolTypeFunction = 0x20;
constexpr size_t kSymbolBytes = 18;
constexpr size_t kSectionHeaderBytes = 40;
constexpr size_t kImportDescriptorBytes = 20;
constexpr uint64_t kImportByOrdinal = 1ULL << 63;
constexpr size_t kMaxNameBytes = 4096;

}  // namespace

template <typename T>
bool PeFile::Get(size_t offset, T* value) const {
    if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return false;
    std::memcpy(value, bytes_.data() + offset, sizeof(T));
    return true;
}

std::optional<std::string> PeFile::CString(size_t offset) const {
    std::string text;
    for (size_t i = offset; i < bytes_.size() && text.size() < kMaxNameBytes; ++i) {
        if (bytes_[i] == 0) return text;
        text.push_back(static_cast<char>(bytes_[i]));
    }
    return std::nullopt;
}

std::optional<size_t> PeFile::OffsetOf(uint32_t rva) const {
    if (rva < sizeOfHeaders_) return rva;
    for (const PeSection& s : sections_) {
        if (rva >= s.rva && rva - s.rva < s.rawSize) return size_t{s.rawOffset} + (rva - s.rva);
    }
    return std::nullopt;
}

bool PeFile::Parse(std::vector<uint8_t> bytes, PeFile* out, std::string* error) {
    *out = PeFile();
    out->bytes_ = std::move(bytes);
    return out->Read(error);
}

bool PeFile::Read(std::string* error) {
    uint16_t mz = 0;
    uint32_t peOffset = 0;
    uint32_t signature = 0;
    if (!Get(0, &mz) || mz != 0x5A4D || !Get(0x3C, &peOffset) || !Get(peOffset, &signature) ||
        signature != 0x00004550) {
        *error = "not a PE image";
        return false;
    }
    const size_t fileHeader = size_t{peOffset} + 4;
    uint16_t machine = 0, sectionCount = 0, optionalSize = 0;
    uint32_t symbolOffset = 0, symbolCount = 0;
    if (!Get(fileHeader, &machine) || !Get(fileHeader + 2, &sectionCount) ||
        !Get(fileHeader + 8, &symbolOffset) || !Get(fileHeader + 12, &symbolCount) ||
        !Get(fileHeader + 16, &optionalSize)) {
        *error = "truncated file header";
        return false;
    }
    if (machine != kMachineAmd64) {
        *error = "not an x64 image";
        return false;
    }
    const size_t optional = fileHeader + 20;
    uint16_t magic = 0;
    uint32_t directoryCount = 0;
    if (!Get(optional, &magic) || magic != kMagicPe32Plus || !Get(optional + 16, &entryRva_) ||
        !Get(optional + 24, &imageBase_) || !Get(optional + 56, &sizeOfImage_) ||
        !Get(optional + 60, &sizeOfHeaders_) || !Get(optional + 108, &directoryCount)) {
        *error = "not a PE32+ optional header";
        return false;
    }
    auto directory = [&](uint32_t index, uint32_t* rva, uint32_t* size) {
        *rva = *size = 0;
        if (index >= directoryCount || 112 + 8 * size_t{index} + 8 > optionalSize) return true;
        return Get(optional + 112 + 8 * size_t{index}, rva) &&
               Get(optional + 116 + 8 * size_t{index}, size);
    };
    const size_t sectionTable = optional + optionalSize;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const size_t at = sectionTable + i * kSectionHeaderBytes;
        char name[9] = {};
        PeSection s;
        if (at + kSectionHeaderBytes > bytes_.size() || !Get(at + 8, &s.virtualSize) ||
            !Get(at + 12, &s.rva) || !Get(at + 16, &s.rawSize) || !Get(at + 20, &s.rawOffset) ||
            !Get(at + 36, &s.characteristics)) {
            *error = "truncated section table";
            return false;
        }
        std::memcpy(name, bytes_.data() + at, 8);
        s.name = name;
        if (s.rawSize != 0 &&
            (s.rawOffset > bytes_.size() || bytes_.size() - s.rawOffset < s.rawSize)) {
            *error = "section " + s.name + " lies outside the file";
            return false;
        }
        if (uint64_t{s.rva} + std::max(s.virtualSize, s.rawSize) > sizeOfImage_) {
            *error = "section " + s.name + " lies outside the image";
            return false;
        }
        sections_.push_back(s);
    }
    if (entryRva_ >= sizeOfImage_ || sizeOfHeaders_ > sizeOfImage_) {
        *error = "entry point or headers outside the image";
        return false;
    }
    uint32_t rva = 0, size = 0;
    if (!directory(kDirectoryImport, &rva, &size) || (rva != 0 && !ReadImports(rva, error))) {
        if (error->empty()) *error = "truncated data directories";
        return false;
    }
    if (!directory(kDirectoryBaseRelocation, &rva, &size) ||
        (rva != 0 && !ReadRelocations(rva, size, error))) {
        if (error->empty()) *error = "truncated data directories";
        return false;
    }
    if (symbolOffset != 0) ReadSymbols(symbolOffset, symbolCount);
    return true;
}

bool PeFile::ReadImports(uint32_t rva, std::string* error) {
    for (uint32_t descriptor = rva;; descriptor += kImportDescriptorBytes) {
        std::optional<size_t> at = OffsetOf(descriptor);
        uint32_t lookup = 0, nameRva = 0, slots = 0;
        if (!at || !Get(*at, &lookup) || !Get(*at + 12, &nameRva) || !Get(*at + 16, &slots)) {
            *error = "truncated import directory";
            return false;
        }
        if (nameRva == 0 && slots == 0) return true;
        std::optional<size_t> nameAt = OffsetOf(nameRva);
        std::optional<std::string> module = nameAt ? CString(*nameAt) : std::nullopt;
        if (!module) {
            *error = "import module name outside the image";
            return false;
        }
        const uint32_t table = lookup != 0 ? lookup : slots;
        for (uint32_t i = 0;; ++i) {
            std::optional<size_t> entryAt = OffsetOf(table + 8 * i);
            uint64_t entry = 0;
            if (!entryAt || !Get(*entryAt, &entry)) {
                *error = "truncated import table of " + *module;
                return false;
            }
            if (entry == 0) break;
            PeImport import;
            import.module = *module;
            import.slotRva = slots + 8 * i;
            if (entry & kImportByOrdinal) {
                import.ordinal = static_cast<uint16_t>(entry & 0xFFFF);
            } else {
                std::optional<size_t> hintAt = OffsetOf(static_cast<uint32_t>(entry));
                std::optional<std::string> name = hintAt ? CString(*hintAt + 2) : std::nullopt;
                if (!name) {
                    *error = "import name outside the image (" + *module + ")";
                    return false;
                }
                import.name = *name;
            }
            if (uint64_t{import.slotRva} + 8 > sizeOfImage_) {
                *error = "import address table outside the image";
                return false;
            }
            imports_.push_back(import);
        }
    }
}

bool PeFile::ReadRelocations(uint32_t rva, uint32_t size, std::string* error) {
    uint32_t done = 0;
    while (done + 8 <= size) {
        std::optional<size_t> at = OffsetOf(rva + done);
        uint32_t page = 0, blockSize = 0;
        if (!at || !Get(*at, &page) || !Get(*at + 4, &blockSize) || blockSize < 8 ||
            blockSize > size - done) {
            *error = "malformed base relocation block";
            return false;
        }
        for (uint32_t i = 8; i + 2 <= blockSize; i += 2) {
            uint16_t entry = 0;
            if (!Get(*at + i, &entry)) {
                *error = "truncated base relocation block";
                return false;
            }
            const uint16_t type = entry >> 12;
            if (type == kRelocationAbsolute) continue;
            const uint32_t target = page + (entry & 0x0FFF);
            if (type != kRelocationDir64 || uint64_t{target} + 8 > sizeOfImage_) {
                *error = "unsupported base relocation (type " + std::to_string(type) + ")";
                return false;
            }
            relocations_.push_back(target);
        }
        done += blockSize;
    }
    return true;
}

void PeFile::ReadSymbols(uint32_t offset, uint32_t count) {
    const size_t strings = size_t{offset} + size_t{count} * kSymbolBytes;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = offset + size_t{i} * kSymbolBytes;
        uint32_t value = 0, zeros = 0, nameOffset = 0;
        int16_t section = 0;
        uint16_t type = 0;
        uint8_t storageClass = 0, auxiliary = 0;
        if (!Get(at, &zeros) || !Get(at + 4, &nameOffset) || !Get(at + 8, &value) ||
            !Get(at + 12, &section) || !Get(at + 14, &type) || !Get(at + 16, &storageClass) ||
            !Get(at + 17, &auxiliary))
            break;
        i += auxiliary;
        if (section < 1 || static_cast<size_t>(section) > sections_.size()) continue;
        if (storageClass != 2 && storageClass != 3) continue;  // external and static symbols
        std::string name;
        if (zeros == 0) {
            std::optional<std::string> text = CString(strings + nameOffset);
            if (!text) continue;
            name = *text;
        } else {
            char shortName[9] = {};
            std::memcpy(shortName, bytes_.data() + at, 8);
            name = shortName;
        }
        if (name.empty() || name[0] == '.') continue;  // section and label symbols
        symbols_.push_back(
            {name, sections_[section - 1].rva + value, (type & 0xF0) == kSymbolTypeFunction});
    }
    std::stable_sort(symbols_.begin(), symbols_.end(),
                     [](const PeSymbol& a, const PeSymbol& b) { return a.rva < b.rva; });
}

}  // namespace image
