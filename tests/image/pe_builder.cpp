#include "image/pe_builder.h"

#include <cstring>
#include <map>

namespace kvstest {
namespace {

constexpr uint32_t kRelocationRva = 0x4000;
constexpr uint32_t kSectionSpan = 0x1000;
constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kHeaderBytes = 0x400;

void Put16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
    std::memcpy(out.data() + at, &value, 2);
}
void Put32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
    std::memcpy(out.data() + at, &value, 4);
}
void Put64(std::vector<uint8_t>& out, size_t at, uint64_t value) {
    std::memcpy(out.data() + at, &value, 8);
}

}  // namespace

std::vector<uint8_t> Le32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

uint32_t PeBuilder::Function(const std::string& name, const std::vector<uint8_t>& code) {
    while (code_.size() % 16 != 0) code_.push_back(0xCC);
    const uint32_t rva = kTestCodeRva + static_cast<uint32_t>(code_.size());
    code_.insert(code_.end(), code.begin(), code.end());
    functions_.emplace_back(name, rva);
    return rva;
}

uint32_t PeBuilder::Data(const std::vector<uint8_t>& bytes) {
    while (data_.size() % 8 != 0) data_.push_back(0);
    const uint32_t rva = kTestDataRva + static_cast<uint32_t>(data_.size());
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return rva;
}

uint32_t PeBuilder::Import(const std::string& module, const std::string& name) {
    // Each module's address table ends in a zero slot.
    uint32_t slot = kTestImportRva;
    if (!imports_.empty())
        slot = imports_.back().slotRva + (imports_.back().module == module ? 8 : 16);
    imports_.push_back({module, name, slot});
    return slot;
}

std::vector<uint8_t> PeBuilder::Build() const {
    // .idata: address tables, then descriptors, then hint/name entries and module names.
    std::vector<uint8_t> idata(kSectionSpan, 0);
    std::vector<std::string> modules;
    for (const Import_& import : imports_)
        if (modules.empty() || modules.back() != import.module) modules.push_back(import.module);
    uint32_t descriptors = 0;
    for (const Import_& import : imports_) descriptors = std::max(descriptors, import.slotRva + 16);
    uint32_t strings = descriptors + 20 * static_cast<uint32_t>(modules.size() + 1);
    auto addString = [&](const std::string& text, bool hint) {
        const uint32_t rva = strings;
        uint32_t at = rva - kTestImportRva;
        if (hint) at += 2;
        std::memcpy(idata.data() + at, text.c_str(), text.size() + 1);
        strings += static_cast<uint32_t>(text.size() + 1 + (hint ? 2 : 0));
        strings = (strings + 1) & ~1u;
        return rva;
    };
    for (size_t m = 0; m < modules.size(); ++m) {
        uint32_t firstSlot = 0;
        for (const Import_& import : imports_) {
            if (import.module != modules[m]) continue;
            if (firstSlot == 0) firstSlot = import.slotRva;
            Put64(idata, import.slotRva - kTestImportRva, addString(import.name, true));
        }
        const size_t at = descriptors - kTestImportRva + 20 * m;
        Put32(idata, at + 12, addString(modules[m], false));
        Put32(idata, at + 16, firstSlot);
    }
    // .reloc: one block per page.
    std::vector<uint8_t> reloc;
    std::map<uint32_t, std::vector<uint16_t>> pages;
    for (uint32_t rva : relocations_)
        pages[rva & ~0xFFFu].push_back(static_cast<uint16_t>(0xA000 | (rva & 0xFFF)));
    for (auto& [page, entries] : pages) {
        if (entries.size() % 2 != 0) entries.push_back(0);
        const size_t at = reloc.size();
        reloc.resize(at + 8 + 2 * entries.size());
        Put32(reloc, at, page);
        Put32(reloc, at + 4, static_cast<uint32_t>(8 + 2 * entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) Put16(reloc, at + 8 + 2 * i, entries[i]);
    }

    struct Section {
        const char* name;
        uint32_t rva;
        std::vector<uint8_t> bytes;
        uint32_t characteristics;
    };
    std::vector<Section> sections = {
        {".text", kTestCodeRva, code_, 0x60000020},
        {".data", kTestDataRva, data_, 0xC0000040},
        {".idata", kTestImportRva, idata, 0xC0000040},
        {".reloc", kRelocationRva, reloc, 0x42000040},
    };
    for (Section& s : sections)
        if (s.bytes.empty()) s.bytes.push_back(0);

    std::vector<uint8_t> out(kHeaderBytes, 0);
    out[0] = 'M';
    out[1] = 'Z';
    Put32(out, 0x3C, 0x80);
    Put32(out, 0x80, 0x00004550);
    const size_t file = 0x84;
    Put16(out, file, 0x8664);
    Put16(out, file + 2, static_cast<uint16_t>(sections.size()));
    Put16(out, file + 16, 240);
    Put16(out, file + 18, 0x2022);
    const size_t optional = file + 20;
    Put16(out, optional, 0x20B);
    Put32(out, optional + 16, functions_.empty() ? kTestCodeRva : functions_.front().second);
    Put64(out, optional + 24, kImageBase);
    Put32(out, optional + 32, kSectionSpan);
    Put32(out, optional + 36, kFileAlignment);
    Put32(out, optional + 56, kRelocationRva + kSectionSpan);
    Put32(out, optional + 60, kHeaderBytes);
    Put16(out, optional + 68, 1);  // native
    Put32(out, optional + 108, 16);
    Put32(out, optional + 112 + 8 * 1, descriptors);
    Put32(out, optional + 116 + 8 * 1, 20 * static_cast<uint32_t>(modules.size() + 1));
    Put32(out, optional + 112 + 8 * 5, kRelocationRva);
    Put32(out, optional + 116 + 8 * 5, static_cast<uint32_t>(reloc.size()));
    size_t table = optional + 240;
    for (const Section& s : sections) {
        const uint32_t raw = static_cast<uint32_t>(out.size());
        const uint32_t rawSize =
            (static_cast<uint32_t>(s.bytes.size()) + kFileAlignment - 1) & ~(kFileAlignment - 1);
        std::memcpy(out.data() + table, s.name, std::strlen(s.name));
        Put32(out, table + 8, static_cast<uint32_t>(s.bytes.size()));
        Put32(out, table + 12, s.rva);
        Put32(out, table + 16, rawSize);
        Put32(out, table + 20, raw);
        Put32(out, table + 36, s.characteristics);
        table += 40;
        out.insert(out.end(), s.bytes.begin(), s.bytes.end());
        out.resize(raw + rawSize, 0);
    }
    // Symbol table: one function symbol (section 1) per function; long names in the string table.
    const uint32_t symbolsAt = static_cast<uint32_t>(out.size());
    std::vector<uint8_t> stringTable(4, 0);
    for (const auto& [name, rva] : functions_) {
        std::vector<uint8_t> symbol(18, 0);
        Put32(symbol, 4, static_cast<uint32_t>(stringTable.size()));
        stringTable.insert(stringTable.end(), name.begin(), name.end());
        stringTable.push_back(0);
        Put32(symbol, 8, rva - kTestCodeRva);
        Put16(symbol, 12, 1);
        Put16(symbol, 14, 0x20);
        symbol[16] = 2;
        out.insert(out.end(), symbol.begin(), symbol.end());
    }
    Put32(stringTable, 0, static_cast<uint32_t>(stringTable.size()));
    out.insert(out.end(), stringTable.begin(), stringTable.end());
    Put32(out, file + 8, symbolsAt);
    Put32(out, file + 12, static_cast<uint32_t>(functions_.size()));
    return out;
}

}  // namespace kvstest
