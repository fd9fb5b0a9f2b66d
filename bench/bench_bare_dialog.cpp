// Bare Qt Widgets programs, the floors under the helper's costs, for bench/run:
//
//   bench_bare_dialog                  a dialog that shows a message box and quits (memory floor)
//   bench_bare_dialog --busy-ms N      a dialog with a label and a busy progress bar, like the
//                                      helper's while it waits, shown for N ms (CPU floor)

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    QDialog dialog;
    dialog.setFixedSize(500, 150);

    const qsizetype busy = arguments.indexOf(QLatin1String("--busy-ms"));
    if (busy > 0 && busy + 1 < arguments.size()) {
        auto *layout = new QVBoxLayout(&dialog);
        layout->addWidget(new QLabel(QStringLiteral("Waiting..."), &dialog));
        auto *progressBar = new QProgressBar(&dialog);
        progressBar->setRange(0, 0);
        progressBar->setTextVisible(false);
        layout->addWidget(progressBar);
        dialog.show();
        QTimer::singleShot(arguments.at(busy + 1).toInt(), &QCoreApplication::quit);
        return application.exec();
    }

    dialog.show();
    QTimer::singleShot(200, &dialog, [&dialog] {
        QTimer::singleShot(300, &dialog, [] {
            if (QWidget *box = QApplication::activeModalWidget())
                box->close();
        });
        QMessageBox::warning(&dialog, QStringLiteral("Bench"), QStringLiteral("A message box."));
        QCoreApplication::quit();
    });
    return application.exec();
}
