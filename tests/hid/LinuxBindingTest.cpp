#include "Hid.h"
#include "HidControllerClass.h"
#include "LinuxHidPlatform.h"
#include "ModuleLoader.h"
#include "SetupApi.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

TEST(LinuxPureParts, UeventHidIdAndInstanceNumber) {
    const auto uevent = Hid::parseUevent("DRIVER=hid-generic\nHID_ID=0003:0000FFF0:00000018\n"
                                         "HID_NAME=Quorvi Charging Hub\nHID_PHYS=usb-0000:00:14.0-2/input0\n"
                                         "MODALIAS=hid:b0003g0001v0000FFF0p00000018\nbroken line\n");
    EXPECT_EQ(uevent.value("HID_NAME"), "Quorvi Charging Hub");
    EXPECT_EQ(uevent.value("HID_PHYS"), "usb-0000:00:14.0-2/input0");
    EXPECT_FALSE(uevent.contains("broken line"));

    quint32 bus = 0;
    quint16 vendor = 0, product = 0;
    ASSERT_TRUE(Hid::parseHidId(uevent.value("HID_ID"), bus, vendor, product));
    EXPECT_EQ(bus, 3u);
    EXPECT_EQ(vendor, 0xFFF0);
    EXPECT_EQ(product, 0x0018);
    EXPECT_FALSE(Hid::parseHidId("0003:0000FFF0", bus, vendor, product));
    EXPECT_FALSE(Hid::parseHidId("0003:0001FFF0:00000018", bus, vendor, product)); // beyond 16 bits
    EXPECT_FALSE(Hid::parseHidId("0003:XYZ:00000018", bus, vendor, product));

    quint32 instance = 0;
    ASSERT_TRUE(Hid::instanceNumberFromHidName(QStringLiteral("0003:FFF0:0018.000A"), instance));
    EXPECT_EQ(instance, 10u);
    ASSERT_TRUE(Hid::instanceNumberFromHidName(QStringLiteral("0005:046D:B33D.01F3"), instance));
    EXPECT_EQ(instance, 0x1F3u);
    EXPECT_FALSE(Hid::instanceNumberFromHidName(QStringLiteral("0003:FFF0:0018"), instance));
    EXPECT_FALSE(Hid::instanceNumberFromHidName(QStringLiteral("0003:FFF0:0018."), instance));
}

TEST(LinuxPureParts, UeventSerialNumberAndPort) {
    QString serial, port;
    Hid::identityFromUevent(Hid::parseUevent("HID_ID=0003:0000FFF0:00000018\nHID_UNIQ=QH-000123 \n"
                                             "HID_PHYS=usb-0000:00:14.0-2/input0\n"),
                            serial, port);
    EXPECT_EQ(serial, QStringLiteral("QH-000123"));
    EXPECT_EQ(port, QStringLiteral("usb-0000:00:14.0-2/input0"));

    // A hub without a serial number has the key with nothing after it, or none.
    Hid::identityFromUevent(Hid::parseUevent("HID_UNIQ=\nHID_PHYS=usb-0000:00:14.0-3/input0\n"), serial,
                            port);
    EXPECT_TRUE(serial.isEmpty());
    EXPECT_EQ(port, QStringLiteral("usb-0000:00:14.0-3/input0"));
    Hid::identityFromUevent(Hid::parseUevent("HID_PHYS=usb-1/input0\n"), serial, port);
    EXPECT_TRUE(serial.isEmpty());

    // Blanks and control characters make no serial number; the rest keeps its case.
    Hid::identityFromUevent({{"HID_UNIQ", QByteArray("\x01\x02 \t")}, {"HID_PHYS", "p"}}, serial, port);
    EXPECT_TRUE(serial.isEmpty());
    Hid::identityFromUevent({{"HID_UNIQ", QByteArray("ab\x07"
                                                     "Cd")}},
                            serial, port);
    EXPECT_EQ(serial, QStringLiteral("abCd"));
    EXPECT_TRUE(port.isEmpty());
}

// A socketpair stands in for a hidraw node: one datagram per report.
QByteArray inotifyEvent(quint32 mask, const char* name) {
    const qsizetype nameLength = name ? qsizetype(std::strlen(name)) + 1 : 0;
    const qsizetype padded = (nameLength + 15) / 16 * 16;
    inotify_event event{};
    event.wd = 1;
    event.mask = mask;
    event.len = quint32(padded);
    QByteArray bytes(reinterpret_cast<const char*>(&event), sizeof event);
    QByteArray tail(padded, '\0');
    if (name)
        std::memcpy(tail.data(), name, size_t(nameLength));
    return bytes + tail;
}

bool concernsHidraw(const QByteArray& bytes) {
    return Hid::inotifyEventsConcernHidraw(bytes.constData(), bytes.size());
}

TEST(LinuxPureParts, InotifyEventsThatCallForAPass) {
    EXPECT_TRUE(concernsHidraw(inotifyEvent(IN_CREATE, "hidraw3")));
    EXPECT_TRUE(concernsHidraw(inotifyEvent(IN_CREATE, "ttyS0") + inotifyEvent(IN_ATTRIB, "hidraw0")));
    EXPECT_FALSE(concernsHidraw(inotifyEvent(IN_CREATE, "ttyS0") + inotifyEvent(IN_DELETE, "hidra")));
    // Events were lost: only a full pass can tell whether a hub came or went.
    EXPECT_TRUE(concernsHidraw(inotifyEvent(IN_Q_OVERFLOW, nullptr)));
    EXPECT_TRUE(concernsHidraw(inotifyEvent(IN_CREATE, "tty1") + inotifyEvent(IN_Q_OVERFLOW, nullptr)));
    // A batch cut short is read no further than it goes.
    const QByteArray cut = inotifyEvent(IN_CREATE, "hidraw1");
    EXPECT_FALSE(concernsHidraw(cut.left(sizeof(inotify_event) - 1)));
    EXPECT_FALSE(concernsHidraw(cut.left(sizeof(inotify_event) + 3)));
    EXPECT_FALSE(concernsHidraw(QByteArray()));
}

class ReadLoop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ASSERT_GE(wake, 0);
    }
    void TearDown() override {
        for (int fd : fds)
            if (fd >= 0)
                ::close(fd);
        ::close(wake);
    }
    int fds[2] = {-1, -1};
    int wake = -1;
    quint8 buffer[65] = {};
};

TEST_F(ReadLoop, UnnumberedReportsGetAReportIdZeroInFront) {
    QByteArray report(64, '\0');
    for (int i = 0; i < 64; ++i)
        report[i] = char(0x55 + i);
    ASSERT_EQ(::write(fds[1], report.constData(), 64), 64);
    std::memset(buffer, 0xEE, sizeof(buffer));
    const Hid::ReadOutcome outcome = Hid::waitAndRead(fds[0], wake, 1000, buffer, 65, true);
    EXPECT_EQ(outcome.wait, HidReadWait::Completed);
    EXPECT_EQ(outcome.error, 0);
    EXPECT_EQ(outcome.bytes, 65u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(buffer + 1), 64), report);

    // Numbered devices deliver the id themselves.
    const char numbered[] = {2, 10, 20};
    ASSERT_EQ(::write(fds[1], numbered, 3), 3);
    const Hid::ReadOutcome second = Hid::waitAndRead(fds[0], wake, 1000, buffer, 65, false);
    EXPECT_EQ(second.bytes, 3u);
    EXPECT_EQ(buffer[0], 2);
    EXPECT_EQ(buffer[2], 20);
}

TEST_F(ReadLoop, TimeoutAndWakeUp) {
    EXPECT_EQ(Hid::waitAndRead(fds[0], wake, 5, buffer, 65, true).wait, HidReadWait::TimedOut);
    const quint64 one = 1;
    ASSERT_EQ(::write(wake, &one, sizeof(one)), ssize_t(sizeof(one)));
    EXPECT_EQ(Hid::waitAndRead(fds[0], wake, 10000, buffer, 65, true).wait, HidReadWait::Interrupted);
    // The wake-up was drained: the next wait times out again.
    EXPECT_EQ(Hid::waitAndRead(fds[0], wake, 5, buffer, 65, true).wait, HidReadWait::TimedOut);
}

TEST_F(ReadLoop, HangUpAndEioCompleteAsFailures) {
    ::close(fds[1]);
    fds[1] = -1;
    const Hid::ReadOutcome hup = Hid::waitAndRead(fds[0], wake, 1000, buffer, 65, true);
    EXPECT_EQ(hup.wait, HidReadWait::Completed);
    EXPECT_NE(hup.error, 0);
    EXPECT_EQ(hup.bytes, 0u);

    // A pty master whose other side is closed reads EIO, as a hidraw node does
    // after its device went away.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    ::close(slave);
    const Hid::ReadOutcome eio = Hid::waitAndRead(master, wake, 1000, buffer, 65, true);
    ::close(master);
    EXPECT_EQ(eio.wait, HidReadWait::Completed);
    EXPECT_TRUE(eio.error == EIO || eio.error == ENODEV) << eio.error;
    EXPECT_EQ(eio.bytes, 0u);
}

TEST(LinuxBinding, ModuleLoaderAccumulatesMissingNames) {
    TModuleHandle handle = nullptr;
    EXPECT_FALSE(ModuleLoader::LoadModule(handle, "libquorvi-does-not-exist.so.9"));
    EXPECT_EQ(ModuleLoader::GetModuleSymbol(handle, "anything"), nullptr);
    ASSERT_TRUE(ModuleLoader::LoadModule(handle, "libc.so.6"));
    bool accu = true;
    EXPECT_NE(ModuleLoader::GetModuleSymbolEx(handle, "strlen", accu), nullptr);
    EXPECT_TRUE(accu);
    EXPECT_EQ(ModuleLoader::GetModuleSymbolEx(handle, "quorvi_no_such_symbol", accu), nullptr);
    EXPECT_FALSE(accu);
    EXPECT_NE(ModuleLoader::GetModuleSymbolEx(handle, "strlen", accu), nullptr);
    EXPECT_FALSE(accu); // stays false
    ModuleLoader::UnloadModule(handle);
    EXPECT_EQ(handle, nullptr);
}

TEST(LinuxBinding, MissingLibudevMeansNoDevicesAndNoCrash) {
    SetupApi api("libquorvi-missing-udev.so.1");
    EXPECT_FALSE(api.LoadSetupApi());
    EXPECT_FALSE(api.IsSetupApiLoaded());
    EXPECT_EQ(api.useCount(), 0);
    EXPECT_EQ(api.udev_new, nullptr);

    LinuxHidPlatform platform("libquorvi-missing-udev.so.1");
    THidDeviceController controller(nullptr, platform);
    int changes = 0;
    controller.setOnDeviceChange(TNotifyEvent(&changes, [&](QObject*) { ++changes; }));
    testsupport::pumpFor(20);
    EXPECT_EQ(controller.count(), 0);
    EXPECT_EQ(changes, 0);
    CheckedOutDevice device;
    EXPECT_FALSE(controller.CheckOutNext(device));
    EXPECT_TRUE(controller.FirstPassDone()); // no pass will come to wait for
}

TEST(LinuxBinding, LibudevIsCountedAndEnumerates) {
    SetupApi probe;
    if (!probe.LoadSetupApi())
        GTEST_SKIP() << "libudev.so.1 is not installed";
    EXPECT_TRUE(probe.LoadSetupApi());
    EXPECT_EQ(probe.useCount(), 2);
    probe.UnloadSetupApi();
    EXPECT_TRUE(probe.IsSetupApiLoaded());
    probe.UnloadSetupApi();
    EXPECT_FALSE(probe.IsSetupApiLoaded());
    EXPECT_EQ(probe.udev_new, nullptr); // table emptied

    // On whatever this machine has attached, a pass must run and find only
    // interfaces it could identify.
    LinuxHidPlatform platform;
    THidDeviceController controller(nullptr, platform);
    controller.DeviceChange();
    for (int i = 0; i < controller.count(); ++i) {
        const THidDevice* d = controller.deviceAt(i);
        EXPECT_FALSE(d->PnPInfo()->InterfacePath.isEmpty());
        EXPECT_TRUE(d->ReadWriteAccess() || d->OpenError() != 0);
    }
}

} // namespace
