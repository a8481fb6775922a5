#pragma once
// Builds small PE32+ x64 driver images for the loader's tests: code at RVA 0x1000 (.text), data
// at 0x2000 (.data), the import address tables at 0x3000 (.idata), base relocations at 0x4000
// and a COFF symbol table naming the test's functions.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kvstest {

constexpr uint32_t kTestCodeRva = 0x1000;
constexpr uint32_t kTestDataRva = 0x2000;
constexpr uint32_t kTestImportRva = 0x3000;

class PeBuilder {
  public:
    // Appends a function; returns its RVA.
    uint32_t Function(const std::string& name, const std::vector<uint8_t>& code);
    // Adds an import (imports of one module must be added together); returns its slot's RVA.
    uint32_t Import(const std::string& module, const std::string& name);
    // Appends data; returns its RVA.
    uint32_t Data(const std::vector<uint8_t>& bytes);
    // A 64-bit word at `rva` that holds an absolute address (adjusted by the loader).
    void Relocate(uint32_t rva) { relocations_.push_back(rva); }
    // The address the image is linked at.
    static constexpr uint64_t kImageBase = 0x140000000;

    // Offset of `targetRva` from the end of an instruction of `length` bytes at code RVA `at`,
    // for RIP-relative operands.
    static uint32_t RipRelative(uint32_t at, uint32_t length, uint32_t targetRva) {
        return targetRva - (at + length);
    }
    // RVA the next Function() will get.
    uint32_t NextFunctionRva() const {
        return kTestCodeRva + ((static_cast<uint32_t>(code_.size()) + 15) & ~15u);
    }

    std::vector<uint8_t> Build() const;

  private:
    struct Import_ {
        std::string module;
        std::string name;
        uint32_t slotRva;
    };
    std::vector<uint8_t> code_;
    std::vector<uint8_t> data_;
    std::vector<std::pair<std::string, uint32_t>> functions_;
    std::vector<Import_> imports_;
    std::vector<uint32_t> relocations_;
};

// Little-endian bytes of a 32-bit value, for instruction operands.
std::vector<uint8_t> Le32(uint32_t value);
std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts);

}  // namespace kvstest
