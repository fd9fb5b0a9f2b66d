#include "update_log_file.h"

#include <QFile>

bool openUpdateLog(QFile &file)
{
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate);
}
