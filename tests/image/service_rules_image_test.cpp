// Every service the emulation binds for an image, and every import of the Windows build's
// image, has a row in the service rule table: an import without one could be called with no
// check at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "image_fixture.h"
#include "platform/host/service_rules.h"
#include "platform/image/kernel_imports.h"
#include "platform/image/pe_file.h"

namespace kvsbda_image_test {
namespace {

TEST(ServiceRulesForImages, EveryBoundExportHasARule) {
    for (const std::string& name : image::KernelExportNames())
        EXPECT_NE(host::FindServiceRule(name.c_str()), nullptr) << name;
}

TEST(ServiceRulesForImages, EveryImportOfTheDriverImageHasARule) {
    if (!std::filesystem::exists(ImagePath())) GTEST_SKIP() << "no driver image at " << ImagePath();
    std::ifstream file(ImagePath(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    image::PeFile pe;
    std::string error;
    ASSERT_TRUE(image::PeFile::Parse(std::move(bytes), &pe, &error)) << error;
    ASSERT_FALSE(pe.Imports().empty());
    for (const image::PeImport& import : pe.Imports()) {
        ASSERT_FALSE(import.name.empty()) << import.module << " imported by ordinal";
        EXPECT_NE(host::FindServiceRule(import.name.c_str()), nullptr)
            << import.module << "!" << import.name;
    }
}

}  // namespace
}  // namespace kvsbda_image_test
