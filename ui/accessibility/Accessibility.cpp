#include "ui/accessibility/Accessibility.h"

#include "res/DialogTemplate.h"
#include "ui/accessibility/ControlTexts.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHash>
#include <QWidget>

namespace kestrane {
namespace {

// The main window is a QDialog, which Qt would present as a dialog.
constexpr char kMainWindowClass[] = "kestrane::CTavrinDlg";
constexpr char kAnnouncement[] = "announcement";

// Qt names a minimized window by its icon text, which the program never sets:
// the main window keeps its title, with the count of unread lines, as its name.
class MainWindowInterface : public QAccessibleWidget {
public:
    explicit MainWindowInterface(QWidget* window)
        : QAccessibleWidget(window, QAccessible::Window) {}
    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name && widget()->accessibleName().isEmpty()) {
            return widget()->windowTitle();
        }
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface* MakeInterface(const QString& className, QObject* object) {
    if (!object->isWidgetType()) {
        return nullptr;
    }
    auto* widget = static_cast<QWidget*>(object);
    if (className == QLatin1String(kMainWindowClass)) {
        return new MainWindowInterface(widget);
    }
    if (className == QLatin1String("QWidget") &&
        widget->objectName() == QLatin1String(kAnnouncement)) {
        return new QAccessibleWidget(widget, QAccessible::Notification);
    }
    return nullptr;
}

// A hidden child of `window` that carries what is announced as its name. Hidden,
// it takes no room and no focus, and showing the window sends nothing for it.
QWidget& AnnouncementOf(QWidget& window) {
    auto* announcement =
        window.findChild<QWidget*>(QLatin1String(kAnnouncement), Qt::FindDirectChildrenOnly);
    if (announcement == nullptr) {
        // Named before it has a parent: joining one makes Qt look up, and keep,
        // its accessible interface, which the name chooses.
        announcement = new QWidget;
        announcement->setObjectName(QLatin1String(kAnnouncement));
        announcement->setParent(&window);
        announcement->hide();
    }
    return *announcement;
}

} // namespace

void Accessibility::Install() {
    QAccessible::installFactory(MakeInterface);
}

void Accessibility::NameControls(QWidget& dialog, int templateId) {
    const DialogTemplate* dialogTemplate = FindDialogTemplate(templateId);
    if (dialogTemplate == nullptr) {
        return;
    }
    // Controls without an id of their own share one: they come in template order.
    QHash<int, qsizetype> taken;
    for (const ControlTemplate& control : dialogTemplate->controls) {
        const QList<QWidget*> sameId =
            dialog.findChildren<QWidget*>(QString::number(control.id), Qt::FindDirectChildrenOnly);
        QWidget* widget = sameId.value(taken[control.id]++);
        const ControlTexts* texts = FindControlTexts(templateId, control.id, control.kind);
        if (widget == nullptr || texts == nullptr) {
            continue;
        }
        if (texts->name != nullptr) {
            widget->setAccessibleName(QString::fromUtf8(texts->name));
        }
        widget->setAccessibleDescription(QString::fromUtf8(texts->description));
    }
}

// Qt 6.4's AT-SPI bridge drops QAccessible::Alert and has no announcement
// event; it does turn ObjectShow into object:state-changed:showing, which
// screen readers read out for an object of role notification without moving
// the focus. The name change before it reaches them as
// object:property-change:accessible-name.
void Accessibility::Announce(QWidget& window, const QString& text) {
    QWidget& announcement = AnnouncementOf(window);
    announcement.setAccessibleName(text);
    QAccessibleEvent shown(&announcement, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}

} // namespace kestrane
