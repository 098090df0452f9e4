#include "runs/image.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "runs/ports.h"
#include "tests/kit/test_files.h"

namespace oxu::runs {
namespace {

TEST(Sha256Hex, MatchesTheStandardVectors) {
    const Bytes abc{'a', 'b', 'c'};
    EXPECT_EQ(sha256Hex(abc), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex(Bytes{}),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(ImageSnapshot, IsReadCheckedAndHashedOnce) {
    testkit::TempDir files;
    const Bytes content = testkit::patterned(1000);
    const std::string path = files.file("fw.bin", content);
    const ImageSnapshot image = ImageSnapshot::take(path);
    EXPECT_EQ(image.bytes(), content);
    EXPECT_EQ(image.size(), 1000u);
    EXPECT_EQ(image.pages(), 4);
    EXPECT_EQ(image.sha256(), sha256Hex(content));
    EXPECT_EQ(image.absolutePath(), path);
    EXPECT_FALSE(image.changedOnDisk());

    for (const std::string& bad :
         {files.path() + "/missing.bin", files.path(), files.file("big.bin", Bytes(65'281))}) {
        EXPECT_THROW(ImageSnapshot::take(bad), ImageError) << bad;
    }
}

TEST(ImageSnapshot, KnowsWhenTheFileOnDiskNoLongerHoldsItsBytes) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> change;
        bool changed;
    };
    const Case cases[] = {
        {"touched, same bytes",
         [](const std::string& path) {
             std::filesystem::last_write_time(
                 path, std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
         },
         false},
        {"rewritten with the same bytes",
         [](const std::string& path) {
             const std::string text = testkit::readText(path);
             std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
         },
         false},
        {"one byte other",
         [](const std::string& path) {
             std::fstream(path, std::ios::binary | std::ios::in | std::ios::out).put('!');
         },
         true},
        {"replaced by another file",
         [](const std::string& path) {
             std::filesystem::remove(path);
             std::ofstream(path, std::ios::binary) << "other";
         },
         true},
        {"removed", [](const std::string& path) { std::filesystem::remove(path); }, true},
    };
    for (const Case& c : cases) {
        testkit::TempDir files;
        const std::string path = files.file("fw.bin", testkit::patterned(600));
        const ImageSnapshot image = ImageSnapshot::take(path);
        c.change(path);
        EXPECT_EQ(image.changedOnDisk(), c.changed) << c.name;
        EXPECT_EQ(image.bytes(), testkit::patterned(600)) << c.name;
    }
}

TEST(FindDeviceNames, GivesTheRealPathAndEveryStableNamePointingToIt) {
    testkit::TempDir root;
    const std::filesystem::path dev = std::filesystem::path(root.path()) / "dev";
    std::filesystem::create_directories(dev / "serial/by-id");
    std::filesystem::create_directories(dev / "serial/by-path");
    std::ofstream(dev / "ttyUSB0") << "";
    std::ofstream(dev / "ttyUSB1") << "";
    std::filesystem::create_symlink("../../ttyUSB0", dev / "serial/by-id/usb-FTDI_A1-if00-port0");
    std::filesystem::create_symlink("../../ttyUSB1", dev / "serial/by-id/usb-FTDI_B2-if00-port0");
    std::filesystem::create_symlink("../../ttyUSB0", dev / "serial/by-path/pci-usb-0:2:1.0-port0");

    const DeviceNames names =
        findDeviceNames((dev / "serial/by-path/pci-usb-0:2:1.0-port0").string(), root.path());
    EXPECT_EQ(names.realPath, (dev / "ttyUSB0").string());
    EXPECT_EQ(names.byId,
              std::vector<std::string>{(dev / "serial/by-id/usb-FTDI_A1-if00-port0").string()});
    EXPECT_EQ(names.byPath,
              std::vector<std::string>{(dev / "serial/by-path/pci-usb-0:2:1.0-port0").string()});

    const DeviceNames missing = findDeviceNames((dev / "ttyUSB7").string(), root.path());
    EXPECT_TRUE(missing.realPath.empty());
    EXPECT_TRUE(missing.byId.empty());
}

}  // namespace
}  // namespace oxu::runs
