// SPDX-License-Identifier: MIT
#include "app/Accessibility.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QLabel>
#include <QPixmap>

#include "app/PushLikeButton.h"

namespace kavrin {
namespace {

constexpr char kLampName[] = "kavrinLampName";
constexpr char kLampLit[] = "kavrinLampLit";

class PushLikeAccessible : public QAccessibleWidget {
public:
    explicit PushLikeAccessible(QAbstractButton* button)
        : QAccessibleWidget(button, QAccessible::PushButton) {}

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.checkable = true;
        state.checked = Button()->isChecked();
        state.pressed = Button()->isChecked() || Button()->isDown();
        return state;
    }

    QStringList actionNames() const override {
        return QAccessibleWidget::actionNames() << pressAction();
    }

    void doAction(const QString& action) override {
        if (action != pressAction()) {
            QAccessibleWidget::doAction(action);
            return;
        }
        if (Button()->isEnabled()) Button()->click();
    }

private:
    QAbstractButton* Button() const { return static_cast<QAbstractButton*>(object()); }
};

class LampAccessible : public QAccessibleWidget {
public:
    explicit LampAccessible(QLabel* lamp) : QAccessibleWidget(lamp, QAccessible::StaticText) {}

    QString text(QAccessible::Text kind) const override {
        if (kind != QAccessible::Name) return QAccessibleWidget::text(kind);
        const bool lit = object()->property(kLampLit).toBool();
        //: A lamp's name and its state, as a screen reader says it: "Transfer lamp: on"
        return QCoreApplication::translate("Accessibility", "%1: %2")
            .arg(object()->property(kLampName).toString(),
                 lit ? QCoreApplication::translate("Accessibility", "on")
                     : QCoreApplication::translate("Accessibility", "off"));
    }
};

QAccessibleInterface* DescribeControl(const QString&, QObject* object) {
    if (auto* button = dynamic_cast<CPushLikeButton*>(object)) {
        return new PushLikeAccessible(button);
    }
    auto* label = qobject_cast<QLabel*>(object);
    if (label != nullptr && label->property(kLampName).isValid()) {
        return new LampAccessible(label);
    }
    return nullptr;
}

}  // namespace

void InstallAccessibleFactory() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    QAccessible::installFactory(DescribeControl);
}

void MarkLamp(QLabel& lamp, const QString& name) {
    lamp.setProperty(kLampName, name);
    lamp.setProperty(kLampLit, false);
}

void ShowLamp(QLabel& lamp, const QPixmap& picture, bool lit) {
    lamp.setPixmap(picture);
    lamp.setProperty(kLampLit, lit);
}

}  // namespace kavrin
