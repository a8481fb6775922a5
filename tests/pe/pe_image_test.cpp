// Checks the Windows kernel build's kvsbda.sys as the Windows loader will see it: a native x64
// image whose entry point is DriverEntry, that imports only from kernel modules, carries a valid
// checksum and relocations, and has nothing the kernel cannot honour (static initialisation,
// thread-local storage, writable code).
//
// The image is taken from the environment variable KVSBDA_SYS, else from the path configured in
// the build (build/windows-kernel/kvsbda.sys). Without an image the tests are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#ifndef KVSBDA_WINDOWS_SYS
#define KVSBDA_WINDOWS_SYS "build/windows-kernel/kvsbda.sys"
#endif

namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kOptionalMagicPe32Plus = 0x20B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint32_t kDirectoryExport = 0;
constexpr uint32_t kDirectoryImport = 1;
constexpr uint32_t kDirectoryBaseRelocation = 5;
constexpr uint32_t kDirectoryTls = 9;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionWrite = 0x80000000;

struct Section {
    std::string name;
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct Symbol {
    std::string name;
    uint32_t value = 0;
    int16_t section = 0;  // 1-based; 0 and below are not in a section
};

// A reader for the parts of a PE32+ image that the checks need. Every read is bounds-checked;
// a malformed image is reported through `error`.
class PeImage {
  public:
    explicit PeImage(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) { Parse(); }

    const std::string& error() const { return error_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    uint16_t machine() const { return machine_; }
    uint16_t optionalMagic() const { return optionalMagic_; }
    uint16_t subsystem() const { return subsystem_; }
    uint32_t entryPoint() const { return entryPoint_; }
    uint32_t checksum() const { return checksum_; }
    size_t checksumOffset() const { return checksumOffset_; }
    const std::vector<Section>& sections() const { return sections_; }
    const std::vector<Symbol>& symbols() const { return symbols_; }
    DataDirectory directory(uint32_t index) const {
        return index < directories_.size() ? directories_[index] : DataDirectory{};
    }

    // File offset of an RVA, if a section's raw data holds it.
    std::optional<size_t> OffsetOf(uint32_t rva) const {
        for (const Section& s : sections_) {
            uint32_t span = std::max(s.virtualSize, s.rawSize);
            if (rva >= s.virtualAddress && rva - s.virtualAddress < span &&
                rva - s.virtualAddress < s.rawSize)
                return size_t{s.rawOffset} + (rva - s.virtualAddress);
        }
        return std::nullopt;
    }

    std::optional<std::string> StringAt(uint32_t rva) const {
        auto offset = OffsetOf(rva);
        if (!offset) return std::nullopt;
        std::string text;
        for (size_t i = *offset; i < bytes_.size(); ++i) {
            if (bytes_[i] == 0) return text;
            text.push_back(static_cast<char>(bytes_[i]));
        }
        return std::nullopt;
    }

    template <typename T>
    std::optional<T> Read(size_t offset) const {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return std::nullopt;
        T value{};
        std::memcpy(&value, bytes_.data() + offset,
                    sizeof(T));  // the image and the host are both little-endian
        return value;
    }

    // Names of the modules in the import directory, or nullopt when it cannot be walked.
    std::optional<std::vector<std::string>> ImportedModules() const {
        DataDirectory imports = directory(kDirectoryImport);
        std::vector<std::string> modules;
        if (imports.rva == 0) return modules;
        auto offset = OffsetOf(imports.rva);
        if (!offset) return std::nullopt;
        constexpr size_t kDescriptorBytes = 20;
        for (size_t at = *offset;; at += kDescriptorBytes) {
            auto originalThunk = Read<uint32_t>(at);
            auto nameRva = Read<uint32_t>(at + 12);
            auto firstThunk = Read<uint32_t>(at + 16);
            if (!originalThunk || !nameRva || !firstThunk) return std::nullopt;
            if (*originalThunk == 0 && *nameRva == 0 && *firstThunk == 0) break;
            auto name = StringAt(*nameRva);
            if (!name) return std::nullopt;
            modules.push_back(*name);
            if (modules.size() > 256) return std::nullopt;
        }
        return modules;
    }

    // RVA of the import address table slot through which the image calls `function`.
    std::optional<uint32_t> ImportSlot(const std::string& function) const {
        DataDirectory imports = directory(kDirectoryImport);
        auto offset = OffsetOf(imports.rva);
        if (imports.rva == 0 || !offset) return std::nullopt;
        constexpr size_t kDescriptorBytes = 20;
        for (size_t at = *offset;; at += kDescriptorBytes) {
            auto lookup = Read<uint32_t>(at);
            auto firstThunk = Read<uint32_t>(at + 16);
            if (!lookup || !firstThunk) return std::nullopt;
            if (*lookup == 0 && *firstThunk == 0) return std::nullopt;
            for (uint32_t index = 0;; ++index) {
                auto entryOffset = OffsetOf(*lookup + index * 8);
                if (!entryOffset) break;
                auto entry = Read<uint64_t>(*entryOffset);
                if (!entry || *entry == 0) break;
                if (*entry >> 63) continue;  // imported by ordinal
                auto name = StringAt(static_cast<uint32_t>(*entry) + 2);
                if (name && *name == function) return *firstThunk + index * 8;
            }
        }
    }

    // Code that refers to the data at `rva` through a 32-bit displacement from the end of the
    // instruction (rip-relative, as every call through the import table is): the RVAs just past
    // each such displacement.
    std::vector<uint32_t> CodeReferencesTo(uint32_t rva) const {
        std::vector<uint32_t> ends;
        for (const Section& section : sections_) {
            if (!(section.characteristics & kSectionExecute)) continue;
            const uint32_t size = std::min(section.rawSize, section.virtualSize);
            for (uint32_t i = 0; i + 4 <= size; ++i) {
                auto displacement = Read<int32_t>(size_t{section.rawOffset} + i);
                const int64_t end = int64_t{section.virtualAddress} + i + 4;
                if (displacement && end + *displacement == rva)
                    ends.push_back(static_cast<uint32_t>(end));
            }
        }
        return ends;
    }

    std::optional<uint32_t> SymbolRva(const std::string& name) const {
        for (const Symbol& symbol : symbols_) {
            if (symbol.name == name && symbol.section >= 1 &&
                size_t(symbol.section) <= sections_.size())
                return sections_[symbol.section - 1].virtualAddress + symbol.value;
        }
        return std::nullopt;
    }

  private:
    void Fail(const char* what) {
        if (error_.empty()) error_ = what;
    }

    void Parse() {
        if (bytes_.size() < 0x40 || bytes_[0] != 'M' || bytes_[1] != 'Z')
            return Fail("no MZ header");
        uint32_t nt = Read<uint32_t>(0x3C).value_or(0);
        auto signature = Read<uint32_t>(nt);
        if (!signature || *signature != 0x00004550) return Fail("no PE signature");
        size_t fileHeader = nt + 4;
        machine_ = Read<uint16_t>(fileHeader).value_or(0);
        uint16_t sectionCount = Read<uint16_t>(fileHeader + 2).value_or(0);
        uint32_t symbolTable = Read<uint32_t>(fileHeader + 8).value_or(0);
        uint32_t symbolCount = Read<uint32_t>(fileHeader + 12).value_or(0);
        uint16_t optionalSize = Read<uint16_t>(fileHeader + 16).value_or(0);
        size_t optional = fileHeader + 20;
        if (optional + optionalSize > bytes_.size()) return Fail("truncated optional header");
        optionalMagic_ = Read<uint16_t>(optional).value_or(0);
        if (optionalMagic_ != kOptionalMagicPe32Plus || optionalSize < 112)
            return Fail("not a PE32+ optional header");
        entryPoint_ = Read<uint32_t>(optional + 16).value_or(0);
        checksumOffset_ = optional + 64;
        checksum_ = Read<uint32_t>(checksumOffset_).value_or(0);
        subsystem_ = Read<uint16_t>(optional + 68).value_or(0);
        uint32_t directoryCount = Read<uint32_t>(optional + 108).value_or(0);
        directoryCount = std::min<uint32_t>(directoryCount, (optionalSize - 112) / 8);
        for (uint32_t i = 0; i < directoryCount; ++i) {
            directories_.push_back({Read<uint32_t>(optional + 112 + 8 * i).value_or(0),
                                    Read<uint32_t>(optional + 116 + 8 * i).value_or(0)});
        }

        size_t sectionTable = optional + optionalSize;
        size_t stringTable = size_t{symbolTable} + size_t{symbolCount} * 18;
        for (uint16_t i = 0; i < sectionCount; ++i) {
            size_t at = sectionTable + size_t{i} * 40;
            if (at + 40 > bytes_.size()) return Fail("truncated section table");
            Section s;
            s.name = ShortName(at);
            s.virtualSize = *Read<uint32_t>(at + 8);
            s.virtualAddress = *Read<uint32_t>(at + 12);
            s.rawSize = *Read<uint32_t>(at + 16);
            s.rawOffset = *Read<uint32_t>(at + 20);
            s.characteristics = *Read<uint32_t>(at + 36);
            // Long section names ("/123") point into the string table.
            if (s.name.size() > 1 && s.name[0] == '/' && symbolTable != 0)
                s.name = LongName(stringTable + std::strtoul(s.name.c_str() + 1, nullptr, 10));
            sections_.push_back(s);
        }

        if (symbolTable == 0) return;
        for (uint32_t i = 0; i < symbolCount; ++i) {
            size_t at = size_t{symbolTable} + size_t{i} * 18;
            if (at + 18 > bytes_.size()) return Fail("truncated symbol table");
            Symbol symbol;
            uint32_t zeroes = *Read<uint32_t>(at);
            symbol.name =
                zeroes == 0 ? LongName(stringTable + *Read<uint32_t>(at + 4)) : ShortName(at);
            symbol.value = *Read<uint32_t>(at + 8);
            symbol.section = *Read<int16_t>(at + 12);
            uint8_t auxiliaryCount = bytes_[at + 17];
            symbols_.push_back(symbol);
            i += auxiliaryCount;
        }
    }

    std::string ShortName(size_t at) const {
        std::string name(reinterpret_cast<const char*>(bytes_.data() + at), 8);
        return name.substr(0, name.find('\0'));
    }

    std::string LongName(size_t at) const {
        std::string name;
        for (size_t i = at; i < bytes_.size() && bytes_[i] != 0; ++i)
            name.push_back(static_cast<char>(bytes_[i]));
        return name;
    }

    std::vector<uint8_t> bytes_;
    std::string error_;
    uint16_t machine_ = 0;
    uint16_t optionalMagic_ = 0;
    uint16_t subsystem_ = 0;
    uint32_t entryPoint_ = 0;
    uint32_t checksum_ = 0;
    size_t checksumOffset_ = 0;
    std::vector<DataDirectory> directories_;
    std::vector<Section> sections_;
    std::vector<Symbol> symbols_;
};

// The image checksum as the loader computes it: 16-bit words summed with end-around carry,
// the checksum field itself counted as zero, plus the file length.
uint32_t ComputeChecksum(const std::vector<uint8_t>& bytes, size_t checksumOffset) {
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        if (i >= checksumOffset && i < checksumOffset + 4) continue;
        uint32_t word = bytes[i] | (i + 1 < bytes.size() ? uint32_t{bytes[i + 1]} << 8 : 0u);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + bytes.size());
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string ImagePath() {
    const char* fromEnvironment = std::getenv("KVSBDA_SYS");
    return fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment
                                                                  : KVSBDA_WINDOWS_SYS;
}

class DriverImage : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ifstream file(ImagePath(), std::ios::binary);
        if (!file)
            GTEST_SKIP() << "no Windows driver image at " << ImagePath()
                         << " (build the windows-kernel preset)";
        image_.emplace(std::vector<uint8_t>(std::istreambuf_iterator<char>(file),
                                            std::istreambuf_iterator<char>()));
        ASSERT_EQ(image_->error(), "") << ImagePath();
    }

    const PeImage& image() const { return *image_; }

  private:
    std::optional<PeImage> image_;
};

TEST_F(DriverImage, IsANativeX64ImageTheLoaderAccepts) {
    EXPECT_EQ(image().machine(), kMachineAmd64);
    EXPECT_EQ(image().optionalMagic(), kOptionalMagicPe32Plus);
    EXPECT_EQ(image().subsystem(), kSubsystemNative);
    // The loader verifies a driver's checksum; a zero or stale one keeps the driver from loading.
    EXPECT_NE(image().checksum(), 0u);
    EXPECT_EQ(image().checksum(), ComputeChecksum(image().bytes(), image().checksumOffset()));
    // A driver is loaded wherever the kernel finds room: it must carry its relocations.
    EXPECT_NE(image().directory(kDirectoryBaseRelocation).size, 0u);
}

TEST_F(DriverImage, EntryPointIsDriverEntry) {
    if (image().symbols().empty()) GTEST_SKIP() << "image has no symbol table";
    auto driverEntry = image().SymbolRva("DriverEntry");
    ASSERT_TRUE(driverEntry.has_value()) << "no DriverEntry symbol";
    EXPECT_EQ(image().entryPoint(), *driverEntry);
}

TEST_F(DriverImage, ImportsOnlyFromKernelModules) {
    const std::set<std::string> kernelModules = {"ntoskrnl.exe", "hal.dll", "ks.sys", "bdasup.sys",
                                                 "usbd.sys"};
    auto modules = image().ImportedModules();
    ASSERT_TRUE(modules.has_value()) << "import directory cannot be walked";
    std::set<std::string> imported;
    for (const std::string& module : *modules) imported.insert(Lower(module));

    EXPECT_TRUE(imported.count("ntoskrnl.exe"));
    EXPECT_TRUE(imported.count("ks.sys"));
    EXPECT_TRUE(imported.count("bdasup.sys"));
    for (const std::string& module : imported) {
        EXPECT_TRUE(kernelModules.count(module))
            << "imports from user-mode or unknown module " << module;
        for (const char* userMode :
             {"msvcrt", "kernel32", "libstdc++", "libgcc", "ucrt", "api-ms-", "ntdll"})
            EXPECT_EQ(module.find(userMode), std::string::npos) << module;
    }
}

TEST_F(DriverImage, HasNothingTheKernelCannotHonour) {
    // Thread-local storage is not supported for drivers.
    EXPECT_EQ(image().directory(kDirectoryTls).size, 0u) << "image has a TLS directory";
    // Code pages must not be writable (refused under hypervisor-protected code integrity).
    for (const Section& section : image().sections()) {
        bool executable = section.characteristics & kSectionExecute;
        bool writable = section.characteristics & kSectionWrite;
        EXPECT_FALSE(executable && writable)
            << "section " << section.name << " is writable and executable";
    }
    // Static constructors and destructors would never run: there is no runtime to call them.
    for (const Symbol& symbol : image().symbols()) {
        EXPECT_EQ(symbol.name.find("_GLOBAL__sub_I_"), std::string::npos) << symbol.name;
        EXPECT_EQ(symbol.name.find("_GLOBAL__sub_D_"), std::string::npos) << symbol.name;
    }
}

TEST_F(DriverImage, ExportsNothing) {
    const DataDirectory exports = image().directory(kDirectoryExport);
    if (exports.rva == 0) return;
    auto offset = image().OffsetOf(exports.rva);
    ASSERT_TRUE(offset.has_value()) << "export directory cannot be read";
    EXPECT_EQ(image().Read<uint32_t>(*offset + 20).value_or(1), 0u) << "exported functions";
    EXPECT_EQ(image().Read<uint32_t>(*offset + 24).value_or(1), 0u) << "exported names";
}

// Every block of the driver comes from one pool function, which asks for no-execute non-paged
// pool (NonPagedPoolNx, 512) in the first argument register before it calls the kernel.
TEST_F(DriverImage, AllocatesOnlyNoExecutePool) {
    auto slot = image().ImportSlot("ExAllocatePoolWithTag");
    ASSERT_TRUE(slot.has_value()) << "ExAllocatePoolWithTag is not imported";
    const std::vector<uint32_t> references = image().CodeReferencesTo(*slot);
    ASSERT_EQ(references.size(), 1u) << "the pool is reached from more than one place";
    auto end = image().OffsetOf(references[0]);
    ASSERT_TRUE(end.has_value() && *end >= 24);
    const std::vector<uint8_t>& bytes = image().bytes();
    // The call (or tail jump) through the slot, and the instructions that lead to it.
    const std::vector<uint8_t> before(bytes.begin() + static_cast<long>(*end - 24),
                                      bytes.begin() + static_cast<long>(*end - 4));
    const uint8_t callOrJump = before[before.size() - 1];
    EXPECT_TRUE(callOrJump == 0x15 || callOrJump == 0x25) << "not a call through the slot";
    const std::vector<uint8_t> noExecute = {0xB9, 0x00, 0x02, 0x00, 0x00};  // mov ecx, 512
    EXPECT_NE(std::search(before.begin(), before.end(), noExecute.begin(), noExecute.end()),
              before.end())
        << "the pool type is not NonPagedPoolNx";
}

}  // namespace
