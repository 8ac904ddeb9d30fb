#include "UpdateTestSupport.h"

#include "HidControllerClass.h"
#include "LedCalibrationStore.h"
#include "TestSupport.h"
#include "UpdateHistory.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

namespace updatetest {

EnabledChangeCounter::EnabledChangeCounter(QWidget* widget) : QObject(widget) {
    widget->installEventFilter(this);
}

bool EnabledChangeCounter::eventFilter(QObject*, QEvent* event) {
    if (event->type() == QEvent::EnabledChange)
        ++count;
    return false;
}

QuestionAnswerer::QuestionAnswerer(QMessageBox::StandardButton answer) {
    connect(&m_poll, &QTimer::timeout, this, [this, answer] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        asked << box->text();
        defaultWasNo = defaultWasNo && box->defaultButton() == box->button(QMessageBox::No);
        box->button(answer)->click();
    });
    m_poll.start(10);
}

std::vector<HubBlock> expectedBlocks(const QString& resourcePath) {
    QFile file(resourcePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    std::vector<HubBlock> blocks;
    for (QByteArray line : file.readAll().split('\n')) {
        line = line.trimmed();
        if (line.size() < 2 || line.at(1) != '1')
            continue;
        const int n = line.mid(2, 2).toInt(nullptr, 16);
        HubBlock block;
        block.address = line.mid(4, 4).toUInt(nullptr, 16);
        const QByteArray data = QByteArray::fromHex(line.mid(8, 2 * (n - 3)));
        block.data.assign(data.begin(), data.end());
        blocks.push_back(block);
    }
    return blocks;
}

std::size_t firstIndexOf(const std::vector<SentFrame>& frames, std::uint8_t command) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].command == command)
            return i;
    }
    return frames.size();
}

void UpdateFixture::TearDown() {
    for (auto& hub : hubs)
        hub->trace().setListener({});
    w.reset();
    hubs.clear();
    // Levels kept by a failed run, and the history, belong to this test only.
    QFile::remove(LedCalibrationStore::defaultPath());
}

VirtualHub& UpdateFixture::addHub() {
    hubs.push_back(std::make_unique<VirtualHub>(bus));
    hubs.back()->setRestartDelays(40, 40);
    return *hubs.back();
}

TfrmMain& UpdateFixture::makeWindow(const QString& firmwareResource) {
    w = std::make_unique<TfrmMain>(bus, firmwareResource);
    w->timing.writePauseMs = 1;
    // Room for replies on a loaded machine; the wait ends with the reply.
    // Tests of silence set a short limit of their own.
    w->timing.replyTimeoutMs = 1000;
    w->timing.modePollMs = 25;
    w->timing.modeWaitMs = 800;
    // The program's event loop runs the controller's start-up pass at once. Let
    // it run here too, or it replaces the hub in the middle of a test's first
    // exchange and may take that reply with the old read handle.
    EXPECT_TRUE(testsupport::waitUntil([this] { return w->controller()->FirstPassDone(); }));
    return *w;
}

void UpdateFixture::watch(VirtualHub& hub, std::function<void(const SentFrame&)> onFrame) {
    QThread* uiThread = QThread::currentThread();
    hub.trace().setListener([this, uiThread, onFrame](const hubsim::TraceEntry& entry) {
        // Replies are recorded on the hub's thread; only requests come from ours.
        if (entry.direction != hubsim::TraceEntry::Direction::ToHub || QThread::currentThread() != uiThread)
            return;
        const hubsim::RequestFrame request = hubsim::parseRequest(entry.bytes);
        SentFrame frame;
        frame.command = request.command;
        frame.payload = request.payload;
        frame.timeNs = entry.timeNs;
        if (w) {
            frame.panelEnabled = w->pnlUpdate->isEnabled();
            frame.updateInProgress = w->updateInProgress();
            frame.armed = w->autoUpdateArmed();
            frame.progress = w->pbProgram->value();
            frame.autoBoxEnabled = w->chkAutoPRG->isEnabled();
        }
        frames.push_back(frame);
        if (onFrame)
            onFrame(frame);
    });
}

bool UpdateFixture::waitForHub(int timeoutMs) {
    return testsupport::waitUntil([this] { return w->currentHub() != nullptr; }, timeoutMs);
}

QStringList UpdateFixture::logLines() const {
    const QString text = w->mmoUplog->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

bool UpdateFixture::lampIs(int index) const {
    return w->imgIndicator->pixmap().toImage() == w->ilLED.at(index).toImage();
}

std::vector<SentFrame> UpdateFixture::framesOf(std::uint8_t command) const {
    std::vector<SentFrame> result;
    for (const SentFrame& f : frames) {
        if (f.command == command)
            result.push_back(f);
    }
    return result;
}

std::vector<std::uint8_t> UpdateFixture::commands() const {
    std::vector<std::uint8_t> result;
    for (const SentFrame& f : frames)
        result.push_back(f.command);
    return result;
}

} // namespace updatetest
