#include "message_box_closer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

MessageBoxCloser::MessageBoxCloser(QObject *parent) : QObject(parent)
{
    timer.setInterval(20);
    connect(&timer, &QTimer::timeout, this, [this] { poll(); });
    timer.start();
}

bool MessageBoxCloser::isBoxOpen() const
{
    return qobject_cast<QMessageBox *>(QApplication::activeModalWidget()) != nullptr;
}

void MessageBoxCloser::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;

    if (box != lastBox) {
        lastBox = box;
        QString icon;
        switch (box->icon()) {
        case QMessageBox::Critical:
            icon = QStringLiteral("critical");
            break;
        case QMessageBox::Warning:
            icon = QStringLiteral("warning");
            break;
        case QMessageBox::Information:
            icon = QStringLiteral("information");
            break;
        case QMessageBox::Question:
            icon = QStringLiteral("question");
            break;
        default:
            icon = QStringLiteral("none");
            break;
        }
        seen.append({box->windowTitle(), box->text(), icon});
        connect(box, &QObject::destroyed, this, [this, box] {
            if (lastBox == box)
                lastBox = nullptr;
        });
    }

    if (!answering)
        return;
    const QList<QAbstractButton *> buttons = box->buttons();
    if (!buttons.isEmpty())
        buttons.first()->click();
    else
        box->reject();
}
