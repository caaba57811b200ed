#pragma once
// Every entry of a ZIP file by name, read back with minizip.
#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QString>
#include <minizip/unzip.h>

inline QMap<QString, QByteArray> unzipAll(const QString &path)
{
    QMap<QString, QByteArray> out;
    unzFile z = unzOpen64(QFile::encodeName(path).constData());
    if (!z)
        return out;
    for (int r = unzGoToFirstFile(z); r == UNZ_OK; r = unzGoToNextFile(z)) {
        char name[512];
        unz_file_info64 info{};
        unzGetCurrentFileInfo64(z, &info, name, sizeof name, nullptr, 0, nullptr, 0);
        QByteArray bytes(qsizetype(info.uncompressed_size), '\0');
        unzOpenCurrentFile(z);
        unzReadCurrentFile(z, bytes.data(), unsigned(bytes.size()));
        unzCloseCurrentFile(z);
        out.insert(QString::fromUtf8(name), bytes);
    }
    unzClose(z);
    return out;
}
