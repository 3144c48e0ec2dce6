#include "ui/CloseChoice.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <algorithm>
#include <array>

namespace kestrane {
namespace {

const QString kWayKey = QStringLiteral("window/closeButton");
const std::array<QString, 3> kWayNames{QStringLiteral("ask"), QStringLiteral("keepRunning"),
                                       QStringLiteral("quit")};

QSettings Settings() {
    return QSettings(QStringLiteral("kestrane"), QStringLiteral("kestrane"));
}

} // namespace

CloseChoice::CloseChoice(QObject* parent)
    : QObject(parent), submenu(std::make_unique<QMenu>(QStringLiteral("&Close button"))),
      ways(new QActionGroup(this)) {
    const std::array<QString, 3> texts{QStringLiteral("&Asks what to do"),
                                       QStringLiteral("&Keeps Kestrane running in the tray"),
                                       QStringLiteral("&Quits Kestrane")};
    for (std::size_t index = 0; index < texts.size(); ++index) {
        QAction* action = submenu->addAction(texts[index]);
        action->setCheckable(true);
        action->setData(static_cast<int>(index));
        ways->addAction(action);
    }
    connect(ways, &QActionGroup::triggered, this,
            [this](QAction* action) { Keep(static_cast<Way>(action->data().toInt())); });
    const auto kept = std::ranges::find(kWayNames, Settings().value(kWayKey).toString());
    way = kept != kWayNames.end() ? static_cast<Way>(kept - kWayNames.begin()) : Way::Ask;
    ShowCheck();
}

CloseChoice::~CloseChoice() = default;

void CloseChoice::Keep(Way chosen) {
    way = chosen;
    QSettings settings = Settings();
    settings.setValue(kWayKey, kWayNames[static_cast<std::size_t>(chosen)]);
    settings.sync();
    ShowCheck();
}

CloseChoice::Answer CloseChoice::Decide(QWidget& window) {
    switch (way) {
    case Way::KeepRunning:
        return Answer::Hide;
    case Way::Quit:
        return Answer::Quit;
    case Way::Ask:
        break;
    }
    return Ask(window);
}

CloseChoice::Answer CloseChoice::Ask(QWidget& window) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Close Kestrane"),
                    QStringLiteral("Keep Kestrane running in the notification area?"),
                    QMessageBox::Cancel, &window);
    box.setInformativeText(
        QStringLiteral("Lines that come while the window is closed make the icon blink and wait "
                       "for you. Once Kestrane quits, nobody can reach you until you start it "
                       "again."));
    QPushButton* keep = box.addButton(QStringLiteral("&Keep running"), QMessageBox::AcceptRole);
    QPushButton* quit = box.addButton(QStringLiteral("&Quit"), QMessageBox::DestructiveRole);
    box.setDefaultButton(keep);
    box.setEscapeButton(QMessageBox::Cancel);
    QCheckBox remember(QStringLiteral("&Remember my choice"));
    box.setCheckBox(&remember);
    box.exec();
    const Answer answer = box.clickedButton() == keep   ? Answer::Hide
                          : box.clickedButton() == quit ? Answer::Quit
                                                        : Answer::Stay;
    if (remember.isChecked() && answer != Answer::Stay) {
        Keep(answer == Answer::Hide ? Way::KeepRunning : Way::Quit);
    }
    return answer;
}

void CloseChoice::AddItems(QMenu& menu) {
    menu.addSeparator();
    menu.addMenu(submenu.get());
}

void CloseChoice::ShowCheck() {
    ways->actions().at(static_cast<int>(way))->setChecked(true);
}

} // namespace kestrane
