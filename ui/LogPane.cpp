#include "ui/LogPane.h"

#include "core/NetworkText.h"
#include "core/delivery/LineLook.h"
#include "ui/LogControl.h"
#include "ui/LogMarks.h"
#include "ui/LogText.h"
#include "ui/TextBox.h"

#include <QDateTime>
#include <QMenu>
#include <QSettings>
#include <optional>
#include <utility>

namespace kestrane {
namespace {

const QString kTimesKey = QStringLiteral("log/showTimes");

QSettings Settings() {
    return QSettings(QStringLiteral("kestrane"), QStringLiteral("kestrane"));
}

} // namespace

LogPane::LogPane(LogText& logText, Hooks paneHooks)
    : text(logText), hooks(std::move(paneHooks)), marks(std::make_unique<LogMarks>(logText)) {}

LogPane::~LogPane() = default;

void LogPane::Show(TextBox& logView) {
    view = &logView;
    logView.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    logView.setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    control = std::make_unique<LogControl>(logView);
    marks->Show(logView);
    marks->ShowTimes(Settings().value(kTimesKey).toBool());
    logView.setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(&logView, &QWidget::customContextMenuRequested, &logView,
                     [this](const QPoint& position) { ShowMenu(position); });
}

std::uint64_t LogPane::Append(const QString& more, SessionView::Stamp stamp) {
    const std::uint64_t line = text.NextLineNumber();
    text += more;
    if (stamp != SessionView::Stamp::None) {
        marks->SetTime(line, QDateTime::currentDateTime(), stamp == SessionView::Stamp::Sent);
    }
    return line;
}

void LogPane::SetMark(std::uint64_t line, LineLook look, const QString& words) {
    marks->Set(line, look, words);
}

void LogPane::SetTrust(std::uint64_t line, LineTrust trust, const QString& sender) {
    marks->SetTrust(line, trust, sender);
}

void LogPane::SetSender(std::uint64_t line, const std::string& sender) {
    marks->SetSender(line, sender);
}

void LogPane::Read() {
    if (control) {
        control->Read(text);
    }
}

void LogPane::Write() {
    if (control) {
        control->Write(text);
    }
}

void LogPane::ShowMenu(const QPoint& position) {
    std::unique_ptr<QMenu> menu(view->createStandardContextMenu(position));
    const std::optional<std::uint64_t> line = marks->LineAt(position);
    QAction* first = nullptr;
    if (line && (marks->LookOf(*line) == LineLook::NotDelivered ||
                 marks->LookOf(*line) == LineLook::Partly)) {
        first = menu->addAction(QStringLiteral("Send &again"), view,
                                [this, line = *line] { hooks.sendAgain(line); });
    } else if (const std::string sender = line ? marks->SenderOf(*line) : std::string();
               !sender.empty()) {
        // The name as plain text in a menu: "&" would make a shortcut of it.
        QString name = NetworkName(sender);
        first = menu->addAction(QStringLiteral("&Reply to %1").arg(name.replace('&', "&&")), view,
                                [this, sender] { hooks.replyTo(sender); });
    }
    if (first != nullptr) {
        menu->insertAction(menu->actions().value(0), first);
        menu->insertSeparator(menu->actions().value(1));
    }
    QAction* times = menu->addAction(QStringLiteral("Show &times"));
    times->setCheckable(true);
    times->setChecked(Settings().value(kTimesKey).toBool());
    QObject::connect(times, &QAction::toggled, view, [this](bool shown) {
        Settings().setValue(kTimesKey, shown);
        marks->ShowTimes(shown);
    });
    hooks.addItems(*menu);
    menu->exec(view->viewport()->mapToGlobal(position));
}

} // namespace kestrane
