// Cost of the message dialog as the unread queue grows: opening it on the
// newest entry, a skip from the newest (the usual walk down the queue) and a
// skip of the oldest (every later entry moves down one place), each with 10
// queued entries and with 10,000, the dialog shown and painted offscreen.
//   kestrane_message_dialog_bench           the full run
//   kestrane_message_dialog_bench --short   a quick run that only checks it works
#include "chat/ChatSender.h"
#include "core/unread/HistoryEntry.h"
#include "core/unread/MessageQueue.h"
#include "core/unread/UnreadLines.h"
#include "platform/ToneSink.h"
#include "ui/CMessageDlg.h"

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class SilentToneSink : public kestrane::ToneSink {
public:
    void Play(std::vector<kestrane::Tone> /*tones*/) override {}
};

kestrane::HistoryEntry MakeEntry(int number) {
    kestrane::HistoryEntry entry;
    entry.AppendText(
        QString::fromStdString("line " + std::to_string(number) +
                               " waiting in the queue, long enough to look like chat\r\n"));
    entry.SetSender(QStringLiteral("PC%1.LAN.TEST").arg(number % 50));
    entry.senderBytes = entry.GetSender().toStdString();
    return entry;
}

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

double Microseconds(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

kestrane::SendResult SendNothing(const kestrane::HistoryEntry& /*entry*/, const QString& /*text*/) {
    return kestrane::SendResult::Sent;
}

// One queue length: the queue, a dialog kept open on it, and the samples.
struct Case {
    // Filled through the vector: past the 1,000 entries Append keeps, so the
    // cost shows against a length ten times what the window ever queues.
    explicit Case(int queued) : nextNumber(queued) {
        for (int number = 0; number < queued; ++number) {
            queue.entries.push_back(MakeEntry(number));
        }
    }

    // Opens a dialog on the newest entry, shown and painted, and closes it again.
    void TimeOpen() {
        const auto start = Clock::now();
        queue.current = queue.Size() - 1;
        kestrane::CMessageDlg opened(queue, unread, tones, SendNothing);
        opened.show();
        QCoreApplication::processEvents();
        opened.hide();
        open.push_back(Microseconds(start));
    }

    // One skip at `index`, painted; an appended entry keeps the queue's length.
    void TimeSkip(int index, std::vector<double>& samples) {
        if (!dialog) {
            queue.current = queue.Size() - 1;
            dialog = std::make_unique<kestrane::CMessageDlg>(queue, unread, tones, SendNothing);
            dialog->show();
            QCoreApplication::processEvents();
        }
        queue.current = index;
        const auto start = Clock::now();
        dialog->OnSkip();
        QCoreApplication::processEvents();
        samples.push_back(Microseconds(start));
        queue.entries.push_back(MakeEntry(nextNumber++));
    }

    kestrane::MessageQueue queue;
    kestrane::UnreadLines unread{queue, {}};
    SilentToneSink tones;
    std::unique_ptr<kestrane::CMessageDlg> dialog;
    int nextNumber;
    std::vector<double> open;
    std::vector<double> skipNewest;
    std::vector<double> skipOldest;
};

void Row(const char* name, const std::vector<double>& few, const std::vector<double>& many) {
    const double a = Median(few);
    const double b = Median(many);
    std::printf("  %-22s %9.1f us %9.1f us %7.2f\n", name, a, b, b / a);
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);

    const int large = quick ? 1000 : 10000;
    const int runs = quick ? 5 : 301;
    Case warmUp(10);
    for (int run = 0; run < 20; ++run) {
        warmUp.TimeOpen(); // fonts and caches
    }
    // The two lengths take turns, so load on the machine weighs on both alike.
    Case few(10);
    Case many(large);
    for (int run = 0; run < runs; ++run) {
        few.TimeOpen();
        many.TimeOpen();
    }
    for (int run = 0; run < runs; ++run) {
        for (Case* measured : {&few, &many}) {
            measured->TimeSkip(measured->queue.Size() - 1, measured->skipNewest);
            measured->TimeSkip(0, measured->skipOldest);
        }
    }
    std::printf("message dialog, 10 and %d queued entries (medians of %d runs)\n", large, runs);
    std::printf("  %-22s %12s %12s %7s\n", "", "10", std::to_string(large).c_str(), "ratio");
    Row("open on the newest", few.open, many.open);
    Row("skip from the newest", few.skipNewest, many.skipNewest);
    Row("skip of the oldest", few.skipOldest, many.skipOldest);
    std::printf("  target: each ratio at most about 1\n");
    return 0;
}
