// SPDX-License-Identifier: MIT
#include "app/Accessibility.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QLabel>
#include <QPixmap>
#include <QToolButton>

#include "app/PushLikeButton.h"

namespace kavrin {
namespace {

constexpr char kLampName[] = "kavrinLampName";
constexpr char kLampLit[] = "kavrinLampLit";
constexpr char kRadio[] = "kavrinRadio";

// A tool button: pressed through the screen reader's action, described only when the
// description says more than the name.
class ButtonAccessible : public QAccessibleWidget {
public:
    explicit ButtonAccessible(QAbstractButton* button,
                              QAccessible::Role role = QAccessible::PushButton)
        : QAccessibleWidget(button, role) {}

    QString text(QAccessible::Text kind) const override {
        const QString text = QAccessibleWidget::text(kind);
        if (kind == QAccessible::Description && text == QAccessibleWidget::text(QAccessible::Name))
            return {};
        return text;
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

protected:
    QAbstractButton* Button() const { return static_cast<QAbstractButton*>(object()); }
};

// A push-like button: a push button pressed in or not, or a radio button of its group (asked
// each time: the window marks it after Qt may have made this description).
class PushLikeAccessible : public ButtonAccessible {
public:
    explicit PushLikeAccessible(QAbstractButton* button) : ButtonAccessible(button) {}

    QAccessible::Role role() const override {
        return Button()->property(kRadio).toBool() ? QAccessible::RadioButton
                                                   : QAccessible::PushButton;
    }

    QAccessible::State state() const override {
        QAccessible::State state = ButtonAccessible::state();
        state.checkable = true;
        state.checked = Button()->isChecked();
        state.pressed =
            role() == QAccessible::PushButton && (Button()->isChecked() || Button()->isDown());
        return state;
    }
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
    if (auto* button = qobject_cast<QToolButton*>(object)) return new ButtonAccessible(button);
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

void MarkRadio(QAbstractButton& button) {
    button.setProperty(kRadio, true);
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
