// DbgPrint of the image: formats take their arguments from the guest's argument words with the
// Windows kernel's sizes ("l" is 32 bits) and conversions (%ws, %wZ, %p).
#include "platform/image/guest_format.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/kernel.h"

namespace {

class Words : public image::GuestCall {
  public:
    explicit Words(std::vector<uint64_t> words) : words_(std::move(words)) {}
    uint64_t Word(size_t index) const override {
        return index < words_.size() ? words_[index] : 0xBAD0BAD0BAD0BAD0ULL;
    }
    void Fault(const std::string&) const override {}

  private:
    std::vector<uint64_t> words_;
};

uint64_t P(const void* pointer) {
    return reinterpret_cast<uint64_t>(pointer);
}

struct FormatCase {
    const char* format;
    std::vector<uint64_t> words;  // from word 1 on
    const char* expected;
};

class GuestFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(GuestFormatTest, FormatsAsTheKernelDoes) {
    const FormatCase& c = GetParam();
    std::vector<uint64_t> words = {0};
    words.insert(words.end(), c.words.begin(), c.words.end());
    EXPECT_EQ(image::FormatGuestPrint(c.format, Words(words), 1), c.expected) << c.format;
}

const char kText[] = "bridge";
const char16_t kWide[] = u"KVS7100";
UNICODE_STRING kCounted = {6, 16, const_cast<char16_t*>(u"abcdef")};

INSTANTIATE_TEST_SUITE_P(
    Conversions, GuestFormatTest,
    ::testing::Values(
        // Upper bits of a 32-bit argument's slot are not the argument's.
        FormatCase{"%d|%u|%x|%X",
                   {0xFFFFFFFF'FFFFFFFE, 0xAAAAAAAA'00000005, 0x1'0000ABCD, 255},
                   "-2|5|abcd|FF"},
        FormatCase{"%ld %lu %lx", {0xFFFFFFFF'FFFFFFFF, 0x7'00000001, 0x9'0000000A}, "-1 1 a"},
        FormatCase{"%I64x %llu %Id",
                   {0x123456789ABCDEF0, 0xFFFFFFFFFFFFFFFF, 0x100000000},
                   "123456789abcdef0 18446744073709551615 4294967296"},
        FormatCase{"%hd %hu %hhx", {0x1'FFFF, 0x12345, 0x1FF}, "-1 9029 ff"},
        FormatCase{"[%5d|%-4x|%04X|%.3d]", {42, 10, 0xB, 7}, "[   42|a   |000B|007]"},
        FormatCase{"[%*d|%.*s]", {6, 13, 3, 0}, "[    13|(nu]"},
        FormatCase{"%s, %ws, %S, %ls",
                   {P(kText), P(kWide), P(kWide), P(kWide)},
                   "bridge, KVS7100, KVS7100, KVS7100"},
        FormatCase{"%s %wZ", {0, P(&kCounted)}, "(null) abc"},
        FormatCase{"%c%c%%%C", {'o', 0x4B'6B, 0x41}, "ok%A"},
        FormatCase{"%p", {0xFFFFF800'12345678}, "FFFFF80012345678"},
        FormatCase{"tail %", {}, "tail %"}));

}  // namespace
