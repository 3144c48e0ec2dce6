#include "ui/CTransfersDlg.h"

#include "core/transfers/FileTransfers.h"
#include "ui/UiMessageBox.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QTextDocument>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

namespace kestrane {
namespace {

enum Column { kWho, kWhat, kSize, kProgress, kFigures, kColumns };
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

// Qt shows a tooltip that looks like HTML as rich text, and a peer's words
// reach the tooltips: they go in as a paragraph of plain text, whatever they hold.
QString PlainToolTip(const QString& text) {
    return text.isEmpty() ? QString() : Qt::convertFromPlainText(text);
}

} // namespace

CTransfersDlg::CTransfersDlg(FileTransfers& fileTransfers, OpenUrl urlOpener, QWidget* parent)
    : QDialog(parent), transfers(fileTransfers), openUrl(std::move(urlOpener)) {
    if (!openUrl) {
        openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    }
    setWindowTitle(QStringLiteral("Kestrane: file transfers"));
    setWindowFlag(Qt::WindowMinimizeButtonHint);
    table = new QTableWidget(0, kColumns, this);
    table->setAccessibleName(QStringLiteral("File transfers"));
    table->setHorizontalHeaderLabels({QStringLiteral("Host"), QStringLiteral("Files"),
                                      QStringLiteral("Size"), QStringLiteral("Progress"),
                                      QStringLiteral("Bytes, rate, time left")});
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(table);
    // Below the list, so that they never scroll away however many rows there are.
    auto* bar = new QHBoxLayout;
    layout->addLayout(bar);
    acceptButton = AddButton(*bar, "accept", QStringLiteral("&Accept"), [this](const auto& chosen) {
        transfers.Accept(chosen.id, FileTransfers::DefaultFolder());
    });
    acceptIntoButton = AddButton(*bar, "acceptInto", QStringLiteral("Accept &into..."),
                                 [this](const auto& chosen) { AcceptInto(chosen.id); });
    declineButton = AddButton(*bar, "decline", QStringLiteral("&Decline"),
                              [this](const auto& chosen) { transfers.Decline(chosen.id); });
    cancelButton = AddButton(*bar, "cancel", QStringLiteral("&Cancel"),
                             [this](const auto& chosen) { transfers.Cancel(chosen.id); });
    openButton = AddButton(*bar, "open", QStringLiteral("&Open"), [this](const auto& chosen) {
        openUrl(QUrl::fromLocalFile(chosen.placed));
    });
    showFolderButton =
        AddButton(*bar, "showFolder", QStringLiteral("&Show in folder"),
                  [this](const auto& chosen) { openUrl(QUrl::fromLocalFile(chosen.folder)); });
    bar->addStretch();
    clearButton = AddButton(*bar, "clearFinished", QStringLiteral("Clear &finished"), nullptr);
    connect(clearButton, &QPushButton::clicked, &transfers, &FileTransfers::ClearEnded);
    resize(760, 300);
    connect(table, &QTableWidget::itemSelectionChanged, this, &CTransfersDlg::UpdateButtons);
    connect(&transfers, &FileTransfers::Changed, this, &CTransfersDlg::Rebuild);
    refresh.setInterval(kRefreshMilliseconds);
    connect(&refresh, &QTimer::timeout, this, &CTransfersDlg::Refresh);
    refresh.start();
    Rebuild();
}

bool CTransfersDlg::MayQuit(const FileTransfers& fileTransfers, QWidget* parent) {
    const int active = fileTransfers.ActiveCount();
    if (active == 0) {
        return true;
    }
    const QString question =
        active == 1
            ? QStringLiteral("A file transfer is under way. Quitting ends it.")
            : QStringLiteral("%1 file transfers are under way. Quitting ends them.").arg(active);
    return AskQuestion(parent, question, QStringLiteral("&Quit anyway"),
                       QStringLiteral("&Keep running"));
}

QPushButton* CTransfersDlg::AddButton(QBoxLayout& bar, const char* name, const QString& text,
                                      std::function<void(const FileTransfers::Transfer&)> action) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QLatin1String(name));
    // A dialog's buttons default to answering Enter; an offer is answered only on purpose.
    button->setAutoDefault(false);
    bar.addWidget(button);
    if (action) {
        connect(button, &QPushButton::clicked, this, [this, action = std::move(action)] {
            if (const FileTransfers::Transfer* chosen = Chosen()) {
                action(*chosen);
            }
        });
    }
    return button;
}

const FileTransfers::Transfer* CTransfersDlg::Chosen() const {
    const QList<QTableWidgetItem*> chosen = table->selectedItems();
    if (chosen.isEmpty()) {
        return nullptr;
    }
    const int id = table->item(chosen.front()->row(), kWho)->data(Qt::UserRole).toInt();
    for (const FileTransfers::Transfer& transfer : transfers.Transfers()) {
        if (transfer.id == id) {
            return &transfer;
        }
    }
    return nullptr;
}

void CTransfersDlg::UpdateButtons() {
    const FileTransfers::Transfer* chosen = Chosen();
    const FileTransfers::State state =
        chosen != nullptr ? chosen->state : FileTransfers::State::Failed;
    const bool waiting = chosen != nullptr && state == FileTransfers::State::Waiting;
    const bool arrived = chosen != nullptr && chosen->incoming &&
                         state == FileTransfers::State::Done && !chosen->placed.isEmpty();
    acceptButton->setEnabled(waiting);
    acceptIntoButton->setEnabled(waiting);
    declineButton->setEnabled(waiting);
    cancelButton->setEnabled(chosen != nullptr && FileTransfers::IsActive(state));
    openButton->setEnabled(arrived);
    showFolderButton->setEnabled(arrived);
    const auto& list = transfers.Transfers();
    clearButton->setEnabled(std::any_of(list.begin(), list.end(), [](const auto& transfer) {
        return FileTransfers::HasEnded(transfer.state);
    }));
}

void CTransfersDlg::Rebuild() {
    const FileTransfers::Transfer* chosen = Chosen();
    int chosenId = chosen != nullptr ? chosen->id : 0;
    const auto& list = transfers.Transfers();
    // With nothing chosen the newest offer is, and so is an offer that has just
    // come unless the person is choosing among waiting offers: its answer is
    // then one deliberate key away (Alt+A, Alt+D), and never Enter.
    const bool choosingAmongOffers =
        chosen != nullptr && chosen->state == FileTransfers::State::Waiting;
    for (const FileTransfers::Transfer& transfer : list) {
        const bool justCame = transfer.id > newestListed && !choosingAmongOffers;
        if (transfer.state == FileTransfers::State::Waiting && (chosen == nullptr || justCame)) {
            chosenId = transfer.id;
        }
    }
    for (const FileTransfers::Transfer& transfer : list) {
        newestListed = std::max(newestListed, transfer.id);
    }
    const QSignalBlocker quiet(table); // the buttons follow once, at the end
    table->clearSelection();
    table->setRowCount(static_cast<int>(list.size()));
    for (int row = 0; row < static_cast<int>(list.size()); ++row) {
        const FileTransfers::Transfer& transfer = list[static_cast<std::size_t>(row)];
        const QString who =
            (transfer.incoming ? QStringLiteral("from ") : QStringLiteral("to ")) + transfer.peer;
        auto* whoItem = new QTableWidgetItem(who);
        whoItem->setData(Qt::UserRole, transfer.id);
        table->setItem(row, kWho, whoItem);
        auto* what = new QTableWidgetItem(transfer.title);
        what->setToolTip(PlainToolTip(transfer.message));
        table->setItem(row, kWhat, what);
        const bool sized = transfer.state != FileTransfers::State::Preparing;
        table->setItem(row, kSize, new QTableWidgetItem(sized ? Size(transfer.bytes) : QString()));
        auto* bar = new QProgressBar;
        bar->setRange(0, 1000);
        bar->setFormat(StateText(transfer.state) + (FileTransfers::IsActive(transfer.state)
                                                        ? QStringLiteral(" %p%")
                                                        : QString()));
        table->setCellWidget(row, kProgress, bar);
        auto* figures = new QTableWidgetItem(transfer.message);
        figures->setToolTip(PlainToolTip(transfer.message));
        table->setItem(row, kFigures, figures);
        if (transfer.id == chosenId) {
            table->selectRow(row);
        }
    }
    UpdateButtons();
    Refresh();
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
            bar->setValue(transfer.bytes == 0
                              ? (done == 0 && FileTransfers::IsActive(transfer.state) ? 0 : 1000)
                              : static_cast<int>(done * 1000 / transfer.bytes));
        }
        if (!FileTransfers::IsActive(transfer.state) || transfer.bytes == 0) {
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
