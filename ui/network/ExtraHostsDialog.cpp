#include "ui/network/ExtraHostsDialog.h"

#include "core/network/ExtraHosts.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QVBoxLayout>
#include <chrono>

namespace kestrane {
namespace {

QLabel* PlainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

} // namespace

ExtraHostsDialog::ExtraHostsDialog(ExtraHosts& extraHosts, QWidget* parent)
    : QDialog(parent), hosts(extraHosts), editor(new QPlainTextEdit(this)),
      problem(PlainLabel({}, this)), status(new QListWidget(this)) {
    setWindowTitle(QStringLiteral("Extra hosts"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PlainLabel(
        QStringLiteral("Hosts and networks beyond this one that also get the hello and every "
                       "line to everybody. One a line: an address (10.8.0.7), a host name, or a "
                       "range (10.20.0.0/24). Lines starting with # are notes. Those hosts must "
                       "list this one too."),
        this));
    editor->setPlainText(hosts.Entries().join(QLatin1Char('\n')));
    editor->setObjectName(QStringLiteral("entries"));
    editor->setAccessibleName(QStringLiteral("Extra hosts, one a line"));
    layout->addWidget(editor);
    problem->setObjectName(QStringLiteral("problem"));
    problem->setAccessibleName(QStringLiteral("Problem"));
    problem->setStyleSheet(QStringLiteral("color: #b00000"));
    problem->hide();
    layout->addWidget(problem);
    layout->addWidget(PlainLabel(QStringLiteral("What each entry gives now:"), this));
    status->setObjectName(QStringLiteral("status"));
    status->setAccessibleName(QStringLiteral("What each entry gives now"));
    layout->addWidget(status);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &ExtraHostsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &ExtraHostsDialog::reject);
    layout->addWidget(buttons);
    statusRefresh.setInterval(std::chrono::seconds(1));
    connect(&statusRefresh, &QTimer::timeout, this, [this] { ShowStatus(); });
    statusRefresh.start();
    ShowStatus();
}

void ExtraHostsDialog::accept() {
    if (const std::optional<QString> error =
            hosts.SetEntries(editor->toPlainText().split(QLatin1Char('\n')))) {
        problem->setText(*error);
        problem->show();
        return;
    }
    problem->hide();
    ShowStatus();
    QDialog::accept();
}

void ExtraHostsDialog::ShowStatus() {
    status->clear();
    for (const auto& [entry, now] : hosts.Status()) {
        status->addItem(QStringLiteral("%1: %2").arg(entry, now));
    }
}

} // namespace kestrane
