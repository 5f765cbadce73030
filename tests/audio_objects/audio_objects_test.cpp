#include "audio_objects/audio_objects.hpp"

#include <gtest/gtest.h>

#include "output_fabric/device_reader.hpp"
#include "process_tap/capture.hpp"
#include "tests/audio_objects/fake_object_properties.hpp"

namespace pellimar::audio_objects {
namespace {

using output_fabric::FabricError;
using process_tap::TapError;
using testing::FakeObjectProperties;

TEST(FourCC, RendersPrintableBytesAndDashesOtherwise) {
    EXPECT_EQ(fourCC(audio::kAudioHardwareBadObjectError), "!obj");
    EXPECT_EQ(fourCC(0x20202020), "    ");
    EXPECT_EQ(fourCC(0x7E7E7E7E), "~~~~");
    EXPECT_EQ(fourCC(-50), "----");
    EXPECT_EQ(fourCC(0), "----");
    EXPECT_EQ(fourCC(0x1F414141), "----");
    EXPECT_EQ(fourCC(0x4141417F), "----");
    EXPECT_EQ(fourCC(static_cast<Status>(0x80414141)), "----");
}

TEST(AudioError, TextForms) {
    EXPECT_EQ(TapError::status("Read property 1886415204", 560947818).description(),
              "Read property 1886415204 failed (OSStatus 560947818, fourCC !obj).");
    EXPECT_EQ(TapError::status("Read property 1886415204", -50).description(),
              "Read property 1886415204 failed (OSStatus -50, fourCC ----).");
    EXPECT_EQ(TapError::usage("Missing value for --live-input-name").description(),
              "Missing value for --live-input-name");
    EXPECT_EQ(FabricError::message("Output fabric clock master is unavailable.").description(),
              "Output fabric clock master is unavailable.");
}

TEST(ObjectIDs, ReadsListAndReportsEachStepWithProgramTexts) {
    FakeObjectProperties system;
    system.setList(audio::kAudioHardwarePropertyDevices, {7, 3, 9});
    auto ids = objectIDs<TapError>(system, audio::kAudioHardwarePropertyDevices);
    ASSERT_TRUE(ids);
    EXPECT_EQ(*ids, (std::vector<ObjectID>{7, 3, 9}));
    EXPECT_EQ(*objectIDs<FabricError>(system), (std::vector<ObjectID>{7, 3, 9}));

    system.fault("size", 1, audio::kAudioHardwarePropertyDevices, -50, 2);
    EXPECT_EQ(
        objectIDs<TapError>(system, audio::kAudioHardwarePropertyDevices).error().description(),
        "Read object-list size failed (OSStatus -50, fourCC ----).");
    EXPECT_EQ(
        objectIDs<FabricError>(system, audio::kAudioHardwarePropertyDevices).error().description(),
        "Read device-list size failed (OSStatus -50, fourCC ----).");
    system.fault("get", 1, audio::kAudioHardwarePropertyDevices,
                 audio::kAudioHardwareBadObjectError, 2);
    EXPECT_EQ(objectIDs<TapError>(system, audio::kAudioHardwarePropertyDevices).error().text,
              "Read object list");
    EXPECT_EQ(objectIDs<FabricError>(system, audio::kAudioHardwarePropertyDevices).error().text,
              "Read device list");
}

TEST(ObjectIDs, FewerThanFourBytesIsAnEmptyListWithoutARead) {
    FakeObjectProperties system;
    for (std::size_t bytes = 0; bytes < 4; ++bytes) {
        system.setBytes(1, audio::kAudioHardwarePropertyTapList,
                        std::vector<unsigned char>(bytes, 0xAB));
        auto ids = objectIDs<TapError>(system, audio::kAudioHardwarePropertyTapList);
        ASSERT_TRUE(ids);
        EXPECT_TRUE(ids->empty());
    }
    EXPECT_EQ(system.countCalls("get"), 0u);
}

// The list can shrink between the size query and the read (a process quits); the IDs beyond
// what the read delivered are no objects and must not be returned as ID 0.
TEST(ObjectIDs, ListThatShrankBeforeTheReadIsCutToTheDeliveredIDs) {
    struct Shrinking : FakeObjectProperties {
        Status getPropertyData(ObjectID object, const audio::AudioObjectPropertyAddress& address,
                               std::uint32_t qualifierSize, const void* qualifier,
                               std::uint32_t& ioSize, void* outData) override {
            const Status status = FakeObjectProperties::getPropertyData(
                object, address, qualifierSize, qualifier, ioSize, outData);
            ioSize = std::min<std::uint32_t>(ioSize, 4);
            return status;
        }
    } system;
    system.setList(audio::kAudioHardwarePropertyProcessObjectList, {7, 3, 9});
    auto ids = objectIDs<TapError>(system, audio::kAudioHardwarePropertyProcessObjectList);
    ASSERT_TRUE(ids);
    EXPECT_EQ(*ids, std::vector<ObjectID>{7});
}

TEST(Scalar, MessageNamesTheSelectorNotTheObject) {
    FakeObjectProperties system;
    system.setScalar<std::int32_t>(5, audio::kAudioProcessPropertyPID, 4242);
    auto pid = scalar<TapError>(system, 5, audio::kAudioProcessPropertyPID, std::int32_t{0});
    ASSERT_TRUE(pid);
    EXPECT_EQ(*pid, 4242);

    system.fault("get", 0, audio::kAudioProcessPropertyPID, audio::kAudioHardwareBadObjectError);
    const auto a = scalar<TapError>(system, 5, audio::kAudioProcessPropertyPID, std::int32_t{0});
    const auto b = scalar<TapError>(system, 6, audio::kAudioProcessPropertyPID, std::int32_t{0});
    EXPECT_EQ(a.error().description(),
              "Read property 1886415204 failed (OSStatus 560947818, fourCC !obj).");
    EXPECT_EQ(a.error().description(), b.error().description());
    EXPECT_EQ(scalar<FabricError>(system, 5, audio::kAudioProcessPropertyPID, 0).error().text,
              "Read property (selector)");
}

TEST(String, NullReferenceIsEmptyAndFailuresCarryTheSelector) {
    FakeObjectProperties system;
    system.setString(5, audio::kAudioProcessPropertyBundleID, std::nullopt);
    system.setString(6, audio::kAudioProcessPropertyBundleID, "com.apple.Music");
    auto empty = string<TapError>(system, 5, audio::kAudioProcessPropertyBundleID);
    ASSERT_TRUE(empty);
    EXPECT_EQ(*empty, "");
    EXPECT_EQ(*string<TapError>(system, 6, audio::kAudioProcessPropertyBundleID),
              "com.apple.Music");

    system.fault("string", 6, 0, audio::kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(
        string<TapError>(system, 6, audio::kAudioProcessPropertyBundleID).error().description(),
        "Read string property 1885497700 failed (OSStatus 2003332927, fourCC who?).");
    EXPECT_EQ(string<FabricError>(system, 6, audio::kAudioProcessPropertyBundleID).error().text,
              "Read string property (selector)");
}

}  // namespace
}  // namespace pellimar::audio_objects
