#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;

// The sample client's window while it fetches an update: what it has of what it needs, the rate,
// and that the client goes on working meanwhile.
class FetchWindow : public QWidget
{
public:
    explicit FetchWindow(const QString &version, QWidget *parent = nullptr);

    void showProgress(qint64 received, qint64 total, double bytesPerSecond);
    void showFetched();

private:
    QLabel *title;
    QProgressBar *bar;
    QLabel *amount;
};
