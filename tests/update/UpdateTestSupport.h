#pragma once

// A window on a virtual bus with virtual hubs, shortened timing, and a record
// of every frame the hub received together with the window's state at that
// moment.

#include "ErrorCapture.h"
#include "HidIap.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"

#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace updatetest {

using testsupport::ErrorCapture;

// Counts the enabled-state changes of a widget.
class EnabledChangeCounter : public QObject {
public:
    explicit EnabledChangeCounter(QWidget* widget);
    int count = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// Answers every question box the window shows while it lives, and notes
// what it asked and whether No was the default.
class QuestionAnswerer : public QObject {
public:
    explicit QuestionAnswerer(QMessageBox::StandardButton answer);
    QStringList asked;
    bool defaultWasNo = true;

private:
    QTimer m_poll;
};

// One request frame as the hub saw it, with what the window showed then.
struct SentFrame {
    std::uint8_t command = 0;
    hubsim::Bytes payload;
    std::int64_t timeNs = 0;
    bool panelEnabled = true;
    bool updateInProgress = false;
    bool armed = false; // automatic update armed
    int progress = 0;   // pbProgram position
    bool autoBoxEnabled = true;
};

// Index of the first frame with this command, or frames.size().
std::size_t firstIndexOf(const std::vector<SentFrame>& frames, std::uint8_t command);

struct HubBlock {
    std::uint32_t address = 0;
    hubsim::Bytes data;
};

// The data lines of an image text, read here independently of the program.
std::vector<HubBlock> expectedBlocks(const QString& resourcePath);

class UpdateFixture : public ::testing::Test {
protected:
    void TearDown() override;

    // A hub on the bus, not yet plugged; quick restarts.
    VirtualHub& addHub();
    // The window, with its waits shortened.
    TfrmMain& makeWindow(const QString& firmwareResource = QStringLiteral("appbin"));
    // Records every frame the given hub receives; onFrame runs on the writer's
    // thread before the hub serves the frame.
    void watch(VirtualHub& hub, std::function<void(const SentFrame&)> onFrame = {});
    bool waitForHub(int timeoutMs = 3000);

    QStringList logLines() const;
    bool lampIs(int index) const;
    std::vector<SentFrame> framesOf(std::uint8_t command) const;
    std::vector<std::uint8_t> commands() const;

    ErrorCapture errors;
    VirtualHidBus bus;
    std::vector<std::unique_ptr<VirtualHub>> hubs;
    std::unique_ptr<TfrmMain> w;
    std::vector<SentFrame> frames; // UI thread only
};

} // namespace updatetest
