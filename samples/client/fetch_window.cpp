#include "fetch_window.h"

#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QVBoxLayout>

namespace {

// In the units a Russian user reads: "12,3 МБ".
QString megabytes(double bytes)
{
    return QLocale(QLocale::Russian).toString(bytes / 1048576.0, 'f', 1) + QStringLiteral(" МБ");
}

} // namespace

FetchWindow::FetchWindow(const QString &version, QWidget *parent)
    : QWidget(parent),
      title(new QLabel(QStringLiteral("Загрузка обновления Corvane %1").arg(version), this)),
      bar(new QProgressBar(this)), amount(new QLabel(this))
{
    setWindowTitle(QStringLiteral("Corvane"));
    setFixedSize(460, 150);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    bar->setRange(0, 1000);
    bar->setTextVisible(false);
    auto *note = new QLabel(QStringLiteral("Можно продолжать работу: Corvane закроется только на "
                                           "время установки."),
                            this);
    note->setWordWrap(true);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(22, 18, 22, 18);
    layout->addWidget(title);
    layout->addWidget(bar);
    layout->addWidget(amount);
    layout->addWidget(note);
    showProgress(0, 0, 0);
}

void FetchWindow::showProgress(qint64 received, qint64 total, double bytesPerSecond)
{
    bar->setValue(total > 0 ? int(received * 1000 / total) : 0);
    amount->setText(QStringLiteral("Загружено %1 из %2 · %3/с")
                            .arg(megabytes(double(received)), megabytes(double(total)),
                                 megabytes(bytesPerSecond)));
}

void FetchWindow::showFetched()
{
    bar->setValue(bar->maximum());
    title->setText(QStringLiteral("Обновление загружено. Corvane закроется для установки..."));
}
