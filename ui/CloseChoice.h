#pragma once

#include <QObject>
#include <memory>

class QAction;
class QActionGroup;
class QMenu;
class QWidget;

namespace kestrane {

/// What the window's close button does while a notification area holds the
/// program: hide the window there, or quit. The first time the person is
/// asked, and the answer is kept when they tick "Remember my choice"; the
/// window's menu offers the three ways (ask, keep running, quit). Kept in the
/// settings. UI thread only.
class CloseChoice : public QObject {
    Q_OBJECT

public:
    enum class Way { Ask, KeepRunning, Quit };
    /// What a press of the close button comes to.
    enum class Answer { Hide, Quit, Stay };

    /// Reads the settings.
    explicit CloseChoice(QObject* parent = nullptr);
    ~CloseChoice() override;

    Way Kept() const { return way; }
    void Keep(Way chosen);
    /// The close button was pressed on `window`: asks, unless a way was kept.
    /// Stay when the person cancels the question.
    Answer Decide(QWidget& window);
    /// Adds the submenu, after a separator, to `menu`.
    void AddItems(QMenu& menu);

private:
    Answer Ask(QWidget& window);
    void ShowCheck();

    Way way = Way::Ask;
    std::unique_ptr<QMenu> submenu; // the menus it is added to come and go
    QActionGroup* ways;
};

} // namespace kestrane
