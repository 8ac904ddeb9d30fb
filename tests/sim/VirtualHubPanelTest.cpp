#include "VirtualHubPanel.h"
#include "TestSupport.h"
#include "VirtualHub.h"

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <gtest/gtest.h>

TEST(VirtualHubPanel, TraceLineShowsTheFrameThroughItsChecksum) {
    QByteArray report(65, '\x11');
    report.replace(0, 6, QByteArray::fromHex("00550500 07A5"));
    const QString line = VirtualHubPanel::formatTraceLine(1.5, false, report);
    EXPECT_TRUE(line.endsWith(QStringLiteral("host->hub 00 55 05 00 07 A5 ..."))) << line.toStdString();
    EXPECT_TRUE(line.contains(QStringLiteral("1.500 ms")));
    // Something that is no frame is shown whole.
    EXPECT_TRUE(VirtualHubPanel::formatTraceLine(0, true, QByteArray::fromHex("00AA0102"))
                    .endsWith(QStringLiteral("hub->host 00 AA 01 02")));
}

TEST(VirtualHubPanel, ControlsDriveTheHubAndFollowIt) {
    VirtualHidBus bus;
    VirtualHub hub(bus);
    ASSERT_TRUE(hub.plug());
    VirtualHubPanel panel(hub);
    EXPECT_EQ(panel.windowTitle(), QStringLiteral("Virtual hub"));
    EXPECT_EQ(panel.versionLabel()->text(), QStringLiteral("11150905"));

    QTest::mouseClick(panel.plugButton(), Qt::LeftButton);
    EXPECT_FALSE(bus.isPlugged(hub.deviceId()));
    EXPECT_TRUE(panel.modeLabel()->text().contains(QStringLiteral("off the bus")));
    QTest::mouseClick(panel.plugButton(), Qt::LeftButton);
    EXPECT_TRUE(bus.isPlugged(hub.deviceId()));

    panel.silentBox()->setChecked(true);
    panel.replyDelayBox()->setValue(25);
    EXPECT_TRUE(hub.faults().silent);
    EXPECT_EQ(hub.faults().replyDelayMs, 25);

    hub.setMode(hubsim::HubMode::Bootloader);
    hub.setFirmwareVersion(0x12000000);
    ASSERT_TRUE(testsupport::waitUntil([&] { return panel.versionLabel()->text() == "12000000"; }));
    EXPECT_TRUE(panel.modeLabel()->text().startsWith(QStringLiteral("Bootloader")));
}

TEST(VirtualHubPanel, TraceViewStaysBounded) {
    VirtualHidBus bus;
    VirtualHub hub(bus);
    ASSERT_TRUE(hub.plug());
    VirtualHubPanel panel(hub);
    const int sent = VirtualHubPanel::TraceLines + 50;
    for (int i = 0; i < sent; ++i)
        ASSERT_TRUE(hub.sendUnsolicited());
    ASSERT_TRUE(testsupport::waitUntil([&] { return hub.trace().size() == std::size_t(sent); }));
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return panel.traceView()->document()->blockCount() == VirtualHubPanel::TraceLines; }));
    EXPECT_TRUE(panel.traceView()->toPlainText().contains(QStringLiteral("hub->host 00 55")));
}
