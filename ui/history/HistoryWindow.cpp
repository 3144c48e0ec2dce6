#include "ui/history/HistoryWindow.h"

#include "core/history/HistorySearch.h"
#include "core/history/HistorySettings.h"
#include "ui/UiMessageBox.h"
#include "ui/history/HistoryExport.h"
#include "ui/history/HistoryModel.h"

#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSpinBox>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <iterator>

namespace kestrane {
namespace {

constexpr int kSearchDelayMilliseconds = 150;
constexpr std::int64_t kMegabyte = std::int64_t{1} << 20;
constexpr int kMostMegabytes = 100000;

struct KeepChoice {
    const char* text;
    int days; // 0: no limit
};
constexpr KeepChoice kKeepChoices[] = {
    {"1 month", 30}, {"3 months", 91}, {"1 year", 365}, {"5 years", 1826}, {"Forever", 0}};

// Buttons that never answer Enter: Enter in the search line must not clear the history.
QPushButton* AddButton(QBoxLayout& bar, const char* name, const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setAutoDefault(false);
    bar.addWidget(button);
    return button;
}

} // namespace

class HistoryWindow::Parts {
public:
    explicit Parts(Hooks windowHooks)
        : hooks(std::move(windowHooks)), limits(HistorySettings::Load()) {}

    Hooks hooks;
    HistoryStore::Limits limits; // as saved last
    QVBoxLayout* layout = nullptr;
    HistoryModel* model = nullptr;
    QLineEdit* search = nullptr;
    QTimer searchDelay;
    QDateEdit* date = nullptr;
    QTableView* table = nullptr;
    QLabel* note = nullptr;
    QComboBox* keep = nullptr;
    QSpinBox* megabytes = nullptr;
    bool shown = false;
};

HistoryWindow::HistoryWindow(HistoryStore::ReadAccess access, Hooks hooks, QWidget* parent)
    : QDialog(parent), parts(std::make_unique<Parts>(std::move(hooks))) {
    setWindowTitle(QStringLiteral("Kestrane History"));
    setWindowFlags(Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    parts->model = new HistoryModel(std::move(access), this);
    parts->layout = new QVBoxLayout(this);
    BuildSearchBar();
    BuildTable();
    parts->note = new QLabel(this);
    parts->note->setObjectName(QStringLiteral("note"));
    parts->note->setTextFormat(Qt::PlainText);
    parts->layout->addWidget(parts->note);
    BuildBottomBar();
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        parts->search->setFocus(Qt::ShortcutFocusReason);
        parts->search->selectAll();
    });
    resize(900, 560);
    Reload(false);
}

HistoryWindow::~HistoryWindow() = default;

void HistoryWindow::BuildSearchBar() {
    auto* bar = new QHBoxLayout;
    parts->search = new QLineEdit(this);
    parts->search->setObjectName(QStringLiteral("search"));
    parts->search->setPlaceholderText(QStringLiteral("Search"));
    parts->search->setClearButtonEnabled(true);
    parts->search->setAccessibleName(QStringLiteral("Search the history"));
    bar->addWidget(parts->search, 1);
    parts->searchDelay.setSingleShot(true);
    parts->searchDelay.setInterval(kSearchDelayMilliseconds);
    connect(parts->search, &QLineEdit::textChanged, &parts->searchDelay,
            qOverload<>(&QTimer::start));
    connect(&parts->searchDelay, &QTimer::timeout, this, [this] { Reload(false); });
    parts->date = new QDateEdit(QDate::currentDate(), this);
    parts->date->setObjectName(QStringLiteral("date"));
    parts->date->setCalendarPopup(true);
    parts->date->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    parts->date->setAccessibleName(QStringLiteral("Date to go to"));
    bar->addWidget(parts->date);
    connect(AddButton(*bar, "goToDate", QStringLiteral("&Go to date"), this), &QPushButton::clicked,
            this, &HistoryWindow::GoToDate);
    parts->layout->addLayout(bar);
}

void HistoryWindow::BuildTable() {
    auto* table = new QTableView(this);
    parts->table = table;
    table->setObjectName(QStringLiteral("rows"));
    table->setAccessibleName(QStringLiteral("Lines"));
    table->setModel(parts->model);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setWordWrap(false);
    table->setAlternatingRowColors(true);
    // Fixed sizes: a column or row sized to its contents would read every row.
    QHeaderView* rows = table->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(fontMetrics().height() + 6);
    QHeaderView* columns = table->horizontalHeader();
    const auto width = [this](const char* sample) {
        return fontMetrics().horizontalAdvance(QLatin1String(sample)) + 24;
    };
    columns->resizeSection(HistoryModel::kWhen, width("2026-12-07 19:03:04"));
    columns->resizeSection(HistoryModel::kWho, width("To PC-WITH-A-LONG-NAME"));
    columns->resizeSection(HistoryModel::kDelivery, width("Partly delivered"));
    columns->setSectionResizeMode(HistoryModel::kLine, QHeaderView::Stretch);
    parts->layout->addWidget(table);
}

void HistoryWindow::BuildBottomBar() {
    auto* bar = new QHBoxLayout;
    auto* keepLabel = new QLabel(QStringLiteral("Keep history for"), this);
    bar->addWidget(keepLabel);
    parts->keep = new QComboBox(this);
    keepLabel->setBuddy(parts->keep); // which also names it to screen readers
    parts->keep->setObjectName(QStringLiteral("keep"));
    for (const KeepChoice& choice : kKeepChoices) {
        parts->keep->addItem(QLatin1String(choice.text), choice.days);
    }
    if (parts->keep->findData(parts->limits.keepDays) < 0) {
        parts->keep->addItem(QStringLiteral("%1 days").arg(parts->limits.keepDays),
                             parts->limits.keepDays);
    }
    parts->keep->setCurrentIndex(parts->keep->findData(parts->limits.keepDays));
    bar->addWidget(parts->keep);
    auto* mostLabel = new QLabel(QStringLiteral("At most"), this);
    bar->addWidget(mostLabel);
    parts->megabytes = new QSpinBox(this);
    mostLabel->setBuddy(parts->megabytes);
    parts->megabytes->setObjectName(QStringLiteral("megabytes"));
    parts->megabytes->setRange(1, kMostMegabytes);
    parts->megabytes->setSuffix(QStringLiteral(" MB"));
    parts->megabytes->setValue(static_cast<int>(parts->limits.mostBytes / kMegabyte));
    // Typing 500 passes through 5 and 50: only a finished value trims the history.
    parts->megabytes->setKeyboardTracking(false);
    bar->addWidget(parts->megabytes);
    connect(parts->keep, &QComboBox::currentIndexChanged, this, &HistoryWindow::ApplyLimits);
    connect(parts->megabytes, &QSpinBox::valueChanged, this, &HistoryWindow::ApplyLimits);
    bar->addStretch();
    connect(AddButton(*bar, "refresh", QStringLiteral("&Refresh"), this), &QPushButton::clicked,
            this, &HistoryWindow::Refresh);
    connect(AddButton(*bar, "export", QStringLiteral("&Export..."), this), &QPushButton::clicked,
            this, &HistoryWindow::Export);
    connect(AddButton(*bar, "clear", QStringLiteral("&Clear history"), this), &QPushButton::clicked,
            this, &HistoryWindow::ClearHistory);
    parts->layout->addLayout(bar);
}

void HistoryWindow::Refresh() {
    Reload(true);
}

void HistoryWindow::Reload(bool keepPlace) {
    QTableView& table = *parts->table;
    const QScrollBar& scroll = *table.verticalScrollBar();
    const bool atBottom = !keepPlace || scroll.value() == scroll.maximum();
    const std::int64_t topId = parts->model->IdAt(table.rowAt(0));
    parts->searchDelay.stop();
    const HistorySearch::Condition search = HistorySearch::Where(parts->search->text());
    if (!parts->model->Load(search)) {
        parts->note->setText(QStringLiteral("The history cannot be read (%1). Refresh tries again.")
                                 .arg(parts->model->Problem()));
    } else {
        const int count = parts->model->rowCount();
        const QString lines =
            count == 1 ? QStringLiteral("1 line") : QStringLiteral("%1 lines").arg(count);
        parts->note->setText(search.sql.isEmpty() ? lines : lines + QStringLiteral(" found"));
    }
    if (atBottom) {
        table.scrollToBottom();
    } else if (topId != 0) {
        table.scrollTo(parts->model->index(parts->model->RowOfId(topId), 0),
                       QAbstractItemView::PositionAtTop);
    }
}

void HistoryWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Laid out only now: the newest rows can be scrolled to at the first showing.
    if (!parts->shown) {
        parts->shown = true;
        parts->table->scrollToBottom();
    }
}

void HistoryWindow::GoToDate() {
    const std::int64_t start = parts->date->date().startOfDay().toMSecsSinceEpoch();
    const int row = parts->model->RowAtOrAfter(start);
    if (row >= 0) {
        parts->table->scrollTo(parts->model->index(row, 0), QAbstractItemView::PositionAtTop);
        parts->table->selectRow(row);
    }
}

void HistoryWindow::Export() {
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Export history"),
        QDir::home().filePath(HistoryExport::DefaultFileName(QDate::currentDate())),
        QStringLiteral("Text files (*.txt);;All files (*)"));
    QString error;
    if (path.isEmpty()) {
        return;
    }
    if (HistoryExport::Write(*parts->model, path, error)) {
        const int count = parts->model->rowCount();
        parts->note->setText(
            (count == 1 ? QStringLiteral("1 line") : QStringLiteral("%1 lines").arg(count)) +
            QStringLiteral(" written to %1").arg(QDir::toNativeSeparators(path)));
        return;
    }
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Kestrane"),
                    QStringLiteral("The history could not be written to %1: %2").arg(path, error),
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void HistoryWindow::ClearHistory() {
    if (!AskQuestion(this,
                     QStringLiteral("Delete every stored line? Unread lines and lines waiting in "
                                    "the outbox are kept."),
                     QStringLiteral("&Delete"), QStringLiteral("&Keep"))) {
        return;
    }
    if (parts->hooks.clear) {
        parts->hooks.clear();
    }
    Reload(true);
}

void HistoryWindow::ApplyLimits() {
    HistoryStore::Limits limits;
    limits.keepDays = parts->keep->currentData().toInt();
    limits.mostBytes = parts->megabytes->value() * kMegabyte;
    if (limits.keepDays == parts->limits.keepDays && limits.mostBytes == parts->limits.mostBytes) {
        return;
    }
    parts->limits = limits;
    HistorySettings::Save(limits);
    if (parts->hooks.limitsChanged) {
        parts->hooks.limitsChanged(limits);
    }
}

} // namespace kestrane
