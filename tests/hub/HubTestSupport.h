#pragma once

// The main window over the virtual bus with one virtual hub, and helpers to
// read what crossed the cable.

#include "ErrorCapture.h"
#include "HidControllerClass.h"
#include "HidIap.h"
#include "TestSupport.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"

#include <QLabel>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

// Sets the flags that only the update procedure writes.
struct TfrmMainTestAccess {
    static void setUpdateInProgress(TfrmMain& w, bool on) { w.m_session.m_updateInProgress = on; }
};

namespace hubtest {

using hubsim::Bytes;

// Exchanges that are meant to be answered get room on a loaded machine (the
// wait ends with the reply, so this costs nothing); tests of the limit itself
// set their own.
constexpr int RoomyReplyTimeoutMs = 1000;

using testsupport::ErrorCapture;

inline std::vector<Bytes> framesToHub(VirtualHub& hub) {
    return hub.trace().reports(hubsim::TraceEntry::Direction::ToHub);
}

inline Bytes head(const Bytes& bytes, std::size_t n) {
    return Bytes(bytes.begin(), bytes.begin() + std::ptrdiff_t(std::min(n, bytes.size())));
}

// Link lamp shows image k of the image list.
inline bool lampIs(const TfrmMain& w, int k) {
    return w.imgIndicator->pixmap().toImage() == w.ilLED.at(k).toImage();
}

// The window created with the hub attached, after the controller's first
// posted notification has been handled, so no start-up pass replaces the hub
// in the middle of a test's exchange.
class WindowWithHub : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(hub.plug());
        window = std::make_unique<TfrmMain>(bus);
        window->timing.replyTimeoutMs = RoomyReplyTimeoutMs;
        window->tmrAuto->stop();
        ASSERT_TRUE(testsupport::waitUntil([this] { return window->controller()->FirstPassDone(); }));
        ASSERT_NE(window->currentHub(), nullptr);
        hub.trace().clear();
    }
    void TearDown() override {
        window.reset();
        EXPECT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
    }

    void setFaults(const std::function<void(hubsim::HubFaults&)>& change) {
        hubsim::HubFaults faults = hub.faults();
        change(faults);
        hub.setFaults(faults);
    }

    ErrorCapture errors;
    VirtualHidBus bus;
    VirtualHub hub{bus};
    std::unique_ptr<TfrmMain> window;
};

} // namespace hubtest
