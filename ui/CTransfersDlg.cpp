#include "ui/CTransfersDlg.h"

#include "ui/FileTransfers.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace kestrane {
namespace {

enum Column { kWho, kWhat, kProgress, kFigures, kActions, kColumns };
constexpr int kRefreshMilliseconds = 500;

QString Size(std::uint64_t bytes) {
    return QLocale::system().formattedDataSize(static_cast<qint64>(bytes));
}

QString StateText(FileTransfers::State state) {
    switch (state) {
    case FileTransfers::State::Preparing:
        return QStringLiteral("Reading the files");
    case FileTransfers::State::Offered:
        return QStringLiteral("Offered");
    case FileTransfers::State::Waiting:
        return QStringLiteral("Waiting for you");
    case FileTransfers::State::Running:
        return QStringLiteral("Receiving");
    case FileTransfers::State::Done:
        return QStringLiteral("Done");
    case FileTransfers::State::Failed:
        return QStringLiteral("Failed");
    case FileTransfers::State::Declined:
        return QStringLiteral("Declined");
    case FileTransfers::State::Cancelled:
        return QStringLiteral("Cancelled");
    }
    return {};
}

bool IsActive(FileTransfers::State state) {
    return state == FileTransfers::State::Preparing || state == FileTransfers::State::Offered ||
           state == FileTransfers::State::Running;
}

} // namespace

CTransfersDlg::CTransfersDlg(FileTransfers& fileTransfers, QWidget* parent)
    : QDialog(parent), transfers(fileTransfers) {
    setWindowTitle(QStringLiteral("Kestrane: file transfers"));
    setWindowFlag(Qt::WindowMinimizeButtonHint);
    table = new QTableWidget(0, kColumns, this);
    table->setHorizontalHeaderLabels({QStringLiteral("Host"), QStringLiteral("Files"),
                                      QStringLiteral("Progress"),
                                      QStringLiteral("Bytes, rate, time left"), QString()});
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(table);
    resize(760, 300);
    connect(&transfers, &FileTransfers::Changed, this, &CTransfersDlg::Rebuild);
    refresh.setInterval(kRefreshMilliseconds);
    connect(&refresh, &QTimer::timeout, this, &CTransfersDlg::Refresh);
    refresh.start();
    Rebuild();
}

void CTransfersDlg::Rebuild() {
    const auto& list = transfers.Transfers();
    table->setRowCount(static_cast<int>(list.size()));
    for (int row = 0; row < static_cast<int>(list.size()); ++row) {
        const FileTransfers::Transfer& transfer = list[static_cast<std::size_t>(row)];
        const QString who =
            (transfer.incoming ? QStringLiteral("from ") : QStringLiteral("to ")) + transfer.peer;
        table->setItem(row, kWho, new QTableWidgetItem(who));
        auto* what = new QTableWidgetItem(transfer.title);
        what->setToolTip(transfer.message);
        table->setItem(row, kWhat, what);
        auto* bar = new QProgressBar;
        bar->setRange(0, 1000);
        bar->setFormat(StateText(transfer.state) +
                       (IsActive(transfer.state) ? QStringLiteral(" %p%") : QString()));
        table->setCellWidget(row, kProgress, bar);
        table->setItem(row, kFigures, new QTableWidgetItem(transfer.message));
        AddButtons(row, transfer.id, transfer.state == FileTransfers::State::Waiting,
                   IsActive(transfer.state));
    }
    Refresh();
}

void CTransfersDlg::AddButtons(int row, int id, bool waiting, bool active) {
    auto* buttons = new QWidget;
    auto* layout = new QHBoxLayout(buttons);
    layout->setContentsMargins(2, 0, 2, 0);
    auto add = [&](const QString& text, auto action) {
        auto* button = new QPushButton(text);
        layout->addWidget(button);
        connect(button, &QPushButton::clicked, this, action);
    };
    if (waiting) {
        add(QStringLiteral("&Accept"),
            [this, id] { transfers.Accept(id, FileTransfers::DefaultFolder()); });
        add(QStringLiteral("Accept &into..."), [this, id] { AcceptInto(id); });
        add(QStringLiteral("&Decline"), [this, id] { transfers.Decline(id); });
    } else if (active) {
        add(QStringLiteral("&Cancel"), [this, id] { transfers.Cancel(id); });
    }
    table->setCellWidget(row, kActions, buttons);
}

void CTransfersDlg::AcceptInto(int id) {
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Receive the files into"), FileTransfers::DefaultFolder());
    if (!folder.isEmpty()) {
        transfers.Accept(id, folder);
    }
}

void CTransfersDlg::Refresh() {
    const auto now = std::chrono::steady_clock::now();
    const auto& list = transfers.Transfers();
    for (int row = 0; row < static_cast<int>(list.size()) && row < table->rowCount(); ++row) {
        const FileTransfers::Transfer& transfer = list[static_cast<std::size_t>(row)];
        const std::uint64_t done = transfers.DoneBytes(transfer);
        if (auto* bar = qobject_cast<QProgressBar*>(table->cellWidget(row, kProgress))) {
            bar->setValue(transfer.bytes == 0 ? (done == 0 && IsActive(transfer.state) ? 0 : 1000)
                                              : static_cast<int>(done * 1000 / transfer.bytes));
        }
        if (!IsActive(transfer.state) || transfer.bytes == 0) {
            continue;
        }
        Sample& sample = samples[transfer.id];
        const double seconds = std::chrono::duration<double>(now - sample.at).count();
        if (sample.at.time_since_epoch().count() != 0 && seconds > 0 && done >= sample.bytes) {
            sample.rate =
                0.7 * sample.rate + 0.3 * static_cast<double>(done - sample.bytes) / seconds;
        }
        sample.bytes = done;
        sample.at = now;
        QString figures = QStringLiteral("%1 of %2").arg(Size(done), Size(transfer.bytes));
        if (sample.rate > 1) {
            const auto left =
                static_cast<qint64>(static_cast<double>(transfer.bytes - done) / sample.rate);
            figures +=
                QStringLiteral(", %1/s, %2 left")
                    .arg(Size(static_cast<std::uint64_t>(sample.rate)),
                         QLocale::system().toString(QTime(0, 0).addSecs(static_cast<int>(left)),
                                                    QStringLiteral("H:mm:ss")));
        }
        table->item(row, kFigures)->setText(figures);
    }
}

} // namespace kestrane
