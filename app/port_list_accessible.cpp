#include "app/port_list_accessible.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QKeySequence>

namespace oxu {
namespace {

class PortListAccessible : public QAccessibleWidget {
public:
    explicit PortListAccessible(QComboBox* list) : QAccessibleWidget(list, QAccessible::ComboBox) {}

    QString text(QAccessible::Text kind) const override {
        switch (kind) {
            case QAccessible::Name: {
                // The accessible name, or the buddy label's text; a list with
                // neither is named by its value, as Qt names it.
                const QString name = QAccessibleWidget::text(kind);
                return name.isEmpty() ? list()->currentText() : name;
            }
            case QAccessible::Value:
                return list()->currentText();
            case QAccessible::Accelerator:
                return QKeySequence(Qt::Key_Down).toString(QKeySequence::NativeText);
            default:
                return QAccessibleWidget::text(kind);
        }
    }

    // The one child is the popup's item list, where the reader finds the
    // choices; the popup itself is a window of its own, not a child widget.
    int childCount() const override { return list()->view() ? 1 : 0; }
    QAccessibleInterface* child(int index) const override {
        return index == 0 && list()->view() ? QAccessible::queryAccessibleInterface(list()->view())
                                            : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child != nullptr && child->object() == list()->view() ? 0 : -1;
    }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QStringList actionNames() const override {
        return {QAccessibleActionInterface::showMenuAction(),
                QAccessibleActionInterface::pressAction()};
    }
    void doAction(const QString& action) override {
        if (action != QAccessibleActionInterface::showMenuAction() &&
            action != QAccessibleActionInterface::pressAction())
            return;
        if (list()->view()->isVisible())
            list()->hidePopup();
        else
            list()->showPopup();
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QComboBox* list() const { return static_cast<QComboBox*>(widget()); }
};

QAccessibleInterface* createPortListAccessible(const QString& className, QObject* object) {
    if (className != QLatin1String("QComboBox") ||
        object->objectName() != QLatin1String(kPortListName))
        return nullptr;
    return new PortListAccessible(static_cast<QComboBox*>(object));
}

}  // namespace

void installPortListAccessibility() {
    // Factories installed later are asked first, before Qt's own.
    static const bool installed = (QAccessible::installFactory(&createPortListAccessible), true);
    (void)installed;
}

}  // namespace oxu
