#include "ReportDescriptor.h"
#include "HidFixtures.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace hidtest;

namespace {

// Parses from an exact-size heap copy so a read past the end is caught.
std::optional<ReportDescriptorInfo> parse(const QByteArray& bytes) {
    auto copy = std::make_unique<quint8[]>(size_t(std::max<qsizetype>(bytes.size(), 1)));
    std::memcpy(copy.get(), bytes.constData(), size_t(bytes.size()));
    return parseReportDescriptor(copy.get(), bytes.size());
}

QByteArray bytesOf(std::initializer_list<int> list) {
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

TEST(ReportDescriptor, KnownDescriptorsGiveTheirReportLengths) {
    const auto keyboard = parse(keyboardDescriptor());
    ASSERT_TRUE(keyboard);
    EXPECT_EQ(keyboard->inputReportByteLength, 9);
    EXPECT_EQ(keyboard->outputReportByteLength, 2);
    EXPECT_EQ(keyboard->featureReportByteLength, 0);
    EXPECT_EQ(keyboard->usagePage, 0x01);
    EXPECT_EQ(keyboard->usage, 0x06);
    EXPECT_FALSE(keyboard->numberedReports);

    const auto hub = parse(hubDescriptor());
    ASSERT_TRUE(hub);
    EXPECT_EQ(hub->inputReportByteLength, 65);
    EXPECT_EQ(hub->outputReportByteLength, 65);
    EXPECT_EQ(hub->usagePage, 0xFF00);
    EXPECT_EQ(hub->usage, 0x01);
}

TEST(ReportDescriptor, SeveralReportIdsTakeTheLargestReportPerType) {
    const QByteArray composite = bytesOf({
        0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x01, 0x09, 0x01, 0xA1, 0x00, // mouse, report 1
        0x05, 0x09, 0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03,
        0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05, 0x81, 0x01, // 3 buttons + pad
        0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08,
        0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0,             // 3 bytes in
        0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, // consumer, report 2
        0x15, 0x00, 0x26, 0xFF, 0x03, 0x19, 0x00, 0x2A, 0xFF, 0x03, 0x75, 0x10,
        0x95, 0x04, 0x81, 0x00, 0x09, 0xE9, 0x75, 0x08, 0x95, 0x06, 0x91, 0x02, // 8 in, 6 out
        0xA4, 0x75, 0x08, 0x95, 0x03, 0xB1, 0x02, 0xB4,                         // push, feature 3, pop
        0xC0,
    });
    const auto info = parse(composite);
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->numberedReports);
    EXPECT_EQ(info->inputReportByteLength, 9);
    EXPECT_EQ(info->outputReportByteLength, 7);
    EXPECT_EQ(info->featureReportByteLength, 4);
    EXPECT_EQ(info->usagePage, 0x01);
    EXPECT_EQ(info->usage, 0x02);
}

TEST(ReportDescriptor, MalformedAndTruncatedDescriptorsAreRejected) {
    const QByteArray hub = hubDescriptor();
    // Every cut from the collection on ends inside an item or leaves it open.
    for (qsizetype cut = 6; cut < hub.size(); ++cut)
        EXPECT_FALSE(parse(hub.left(cut))) << "cut at " << cut;
    EXPECT_FALSE(parse(QByteArray()));
    EXPECT_FALSE(parse(bytesOf({0xC0})));                   // end without collection
    EXPECT_FALSE(parse(bytesOf({0x85, 0x00})));             // report id 0
    EXPECT_FALSE(parse(bytesOf({0xB4})));                   // pop without push
    EXPECT_FALSE(parse(bytesOf({0x27, 0xFF, 0xFF})));       // 4-byte item cut short
    EXPECT_FALSE(parse(bytesOf({0xFE, 0x10, 0x01, 0x00}))); // long item past the end
    EXPECT_FALSE(parse(bytesOf({0x75, 0x08, 0x97, 0xFF, 0xFF, 0xFF, 0x00, 0x81, 0x02}))); // huge count
    EXPECT_FALSE(parse(bytesOf({0x05, 0x01, 0xA1, 0x01, 0xF4, 0xC0}))); // unknown global tag, as the kernel
    const auto nothing = parse(bytesOf({0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0xC0}));
    ASSERT_TRUE(nothing); // valid, declares no reports
    EXPECT_EQ(nothing->inputReportByteLength, 0);
    EXPECT_EQ(nothing->outputReportByteLength, 0);
}

// The kernel skips unknown main items, reserved items and so a trailing zero
// byte; refusing them would leave a listed hub whose every frame is refused.
TEST(ReportDescriptor, ItemsTheKernelSkipsAreSkipped) {
    const QByteArray hub = hubDescriptor();
    const QByteArray endless = hub.left(hub.size() - 1); // without End Collection
    const struct {
        const char* what;
        QByteArray bytes;
    } cases[] = {
        {"trailing zero byte", hub + bytesOf({0x00})},
        {"unknown main item tag", endless + bytesOf({0xD1, 0x07}) + bytesOf({0xC0})},
        {"reserved item type", endless + bytesOf({0x0E, 0x0E, 0x01}) + bytesOf({0xC0})},
        {"reserved item before the collection", bytesOf({0x0C}) + hub},
    };
    for (const auto& c : cases) {
        const auto info = parse(c.bytes);
        ASSERT_TRUE(info) << c.what;
        EXPECT_EQ(info->inputReportByteLength, 65) << c.what;
        EXPECT_EQ(info->outputReportByteLength, 65) << c.what;
        EXPECT_EQ(info->usagePage, 0xFF00) << c.what;
        EXPECT_FALSE(info->numberedReports) << c.what;
    }
    // Local items still end with an unknown main item: no usage carries over.
    const auto later = parse(bytesOf({0x06, 0x00, 0xFF, 0x09, 0x01, 0xD0, 0xA1, 0x01, 0xC0}));
    ASSERT_TRUE(later);
    EXPECT_EQ(later->usagePage, 0);
}

} // namespace
