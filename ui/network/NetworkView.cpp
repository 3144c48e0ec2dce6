#include "ui/network/NetworkView.h"

#include "core/NetworkText.h"
#include "core/network/ExtraHosts.h"
#include "core/network/FirewallProbe.h"
#include "core/network/HeardHosts.h"
#include "port/BroadcastFanout.h"
#include "port/HostLookup.h"
#include "ui/OwnKeyLabel.h"
#include "ui/network/ExtraHostsDialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTableWidget>
#include <QVBoxLayout>
#include <system_error>

namespace kestrane {

namespace {

QTableWidget* AddTable(QVBoxLayout& layout, const QString& objectName, const QString& title,
                       const QStringList& columns) {
    auto* label = new QLabel(title);
    layout.addWidget(label);
    auto* table = new QTableWidget(0, static_cast<int>(columns.size()));
    table->setObjectName(objectName);
    table->setAccessibleName(title);
    label->setBuddy(table);
    table->setHorizontalHeaderLabels(columns);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    layout.addWidget(table);
    return table;
}

// Items of a QTableWidget show their text as it is, never as markup.
void SetRow(QTableWidget& table, int row, const QStringList& cells) {
    for (int column = 0; column < cells.size(); ++column) {
        table.setItem(row, column, new QTableWidgetItem(cells[column]));
    }
}

QString Dotted(in_addr_t address) {
    return address == 0 ? QString() : QString::fromStdString(DottedAddress(address));
}

} // namespace

void NetworkView::ShowOwnKey(const KeyPair& keys) {
    AddSection(OwnKeyLabel::Make(keys));
}

void NetworkView::AddSection(QWidget* section) {
    auto* box = static_cast<QBoxLayout*>(layout());
    box->insertWidget(box->count() - 1, section); // above the buttons
}

NetworkView::NetworkView(const HeardHosts& heardHosts, ExtraHosts& extras,
                         std::chrono::system_clock::time_point startedAt, QWidget* parent)
    : QDialog(parent), heard(heardHosts), extraHosts(extras), started(startedAt) {
    setWindowTitle(QStringLiteral("Kestrane network"));
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    addresses = AddTable(*layout, QStringLiteral("addresses"), QStringLiteral("&Addresses"),
                         {QStringLiteral("Interface"), QStringLiteral("Address"),
                          QStringLiteral("Broadcast"), QStringLiteral("Broadcasts")});
    sends = AddTable(*layout, QStringLiteral("sends"), QStringLiteral("&Sent to everybody"),
                     {QStringLiteral("Target"), QStringLiteral("Destination"),
                      QStringLiteral("Sent"), QStringLiteral("Failed"), QStringLiteral("Last sent"),
                      QStringLiteral("Last error")});
    hosts =
        AddTable(*layout, QStringLiteral("heard"), QStringLiteral("&Hosts heard"),
                 {QStringLiteral("Name"), QStringLiteral("Address"), QStringLiteral("Interface"),
                  QStringLiteral("Last heard"), QStringLiteral("Datagrams")});
    diagnosis = new QLabel;
    diagnosis->setObjectName(QStringLiteral("diagnosis"));
    diagnosis->setAccessibleName(QStringLiteral("Diagnosis"));
    diagnosis->setTextFormat(Qt::PlainText);
    diagnosis->setWordWrap(true);
    diagnosis->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    diagnosis->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    auto* scroll = new QScrollArea;
    scroll->setWidget(diagnosis);
    scroll->setWidgetResizable(true);
    layout->addWidget(scroll);

    auto* buttons = new QDialogButtonBox;
    QPushButton* extra =
        buttons->addButton(QStringLiteral("&Extra hosts..."), QDialogButtonBox::ActionRole);
    QPushButton* again =
        buttons->addButton(QStringLiteral("&Refresh"), QDialogButtonBox::ActionRole);
    QPushButton* close = buttons->addButton(QDialogButtonBox::Close);
    // Enter in a table must not close the view.
    for (QPushButton* button : {extra, again, close}) {
        button->setAutoDefault(false);
    }
    connect(extra, &QPushButton::clicked, this, [this] { EditExtraHosts(); });
    connect(again, &QPushButton::clicked, this, [this] { Refresh(); });
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    layout->addWidget(buttons);

    refresh.setInterval(kRefreshEvery);
    connect(&refresh, &QTimer::timeout, this, [this] { Refresh(); });
    resize(760, 640);
}

void NetworkView::Refresh() {
    BroadcastFanout& fanout = BroadcastFanout::Process();
    NetworkDiagnosis::Facts facts;
    facts.all = ReadNetworkInterfaces();
    // Before the first choice is set, sends follow the routing table; the rule
    // still tells which addresses broadcasts would leave through.
    facts.used = fanout.Active() ? fanout.Interfaces() : BroadcastInterfaces(facts.all);
    facts.sends = fanout.Records();
    facts.heard = heard.All();
    facts.started = started;
    facts.now = std::chrono::system_clock::now();
    facts.firewall = FirewallProbe::Running();
    Show(facts);
}

void NetworkView::Show(const NetworkDiagnosis::Facts& facts) {
    ShowAddresses(facts);
    ShowSends(facts);
    ShowHeard(facts);
    diagnosis->setText(NetworkDiagnosis::Explain(facts).join(QStringLiteral("\n\n")));
}

void NetworkView::ShowAddresses(const NetworkDiagnosis::Facts& facts) {
    addresses->setRowCount(static_cast<int>(facts.all.size()));
    for (int row = 0; row < addresses->rowCount(); ++row) {
        const NetworkInterface& address = facts.all[static_cast<std::size_t>(row)];
        const QString why = NetworkDiagnosis::WhyUnused(address, facts.used);
        SetRow(*addresses, row,
               {QString::fromStdString(address.name), NetworkDiagnosis::AddressWithPrefix(address),
                Dotted(address.broadcast), why.isEmpty() ? QStringLiteral("used") : why});
    }
}

void NetworkView::ShowSends(const NetworkDiagnosis::Facts& facts) {
    sends->setRowCount(static_cast<int>(facts.sends.size()));
    for (int row = 0; row < sends->rowCount(); ++row) {
        const FanoutRecord& record = facts.sends[static_cast<std::size_t>(row)];
        SetRow(*sends, row,
               {QString::fromStdString(record.target), QString::fromStdString(record.destination),
                QString::number(record.sent), QString::number(record.failed),
                record.sent == 0 ? QStringLiteral("never")
                                 : NetworkDiagnosis::TimeOfDay(record.lastSent),
                record.lastError == 0
                    ? QString()
                    : QString::fromStdString(std::generic_category().message(record.lastError))});
    }
}

void NetworkView::ShowHeard(const NetworkDiagnosis::Facts& facts) {
    hosts->setRowCount(static_cast<int>(facts.heard.size()));
    for (int row = 0; row < hosts->rowCount(); ++row) {
        const HeardHosts::Host& host = facts.heard[static_cast<std::size_t>(row)];
        SetRow(*hosts, row,
               {NetworkName(host.name), NetworkName(host.address),
                NetworkDiagnosis::HeardOn(host.address, facts.all),
                NetworkDiagnosis::TimeOfDay(host.lastHeard), QString::number(host.datagrams)});
    }
}

void NetworkView::EditExtraHosts() {
    ExtraHostsDialog dialog(extraHosts, this);
    dialog.exec();
    Refresh();
}

void NetworkView::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    refresh.start();
}

void NetworkView::hideEvent(QHideEvent* event) {
    refresh.stop();
    QDialog::hideEvent(event);
}

} // namespace kestrane
