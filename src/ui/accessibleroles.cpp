// SPDX-License-Identifier: MIT
#include "accessibleroles.h"

#include <QAccessibleWidget>
#include <QWidget>

namespace {

// Asked with each class name of the object, the most derived first.
QAccessibleInterface *roleFactory(const QString &className, QObject *object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    auto *widget = static_cast<QWidget *>(object);
    if (className == QLatin1String("ChatWindow"))
        return new QAccessibleWidget(widget, QAccessible::Window);
    if (className == QLatin1String("ConnectForm"))
        return new QAccessibleWidget(widget, QAccessible::Dialog);
    if (className == QLatin1String("QWidget") && widget->objectName() == QLatin1String(AnnouncementName))
        return new QAccessibleWidget(widget, QAccessible::Notification);
    return nullptr;
}

} // namespace

void installAccessibleRoles()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    QAccessible::installFactory(roleFactory);
}
