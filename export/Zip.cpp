#include "Writers.h"

#include <QDateTime>
#include <QFile>
#include <minizip/zip.h>

namespace listexport {

bool writeZip(const QString &path, const std::vector<ZipEntry> &entries, QString *error)
{
    const QString part = path + QStringLiteral(".part");
    auto fail = [&](const QString &why) {
        QFile::remove(part);
        if (error)
            *error = why;
        return false;
    };
    zipFile zip = zipOpen64(QFile::encodeName(part).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        return fail(QStringLiteral("não foi possível criar %1").arg(path));
    const QDateTime now = QDateTime::currentDateTime();
    zip_fileinfo info{};
    info.tmz_date = {uInt(now.time().second()), uInt(now.time().minute()), uInt(now.time().hour()),
                     uInt(now.date().day()), uInt(now.date().month() - 1), uInt(now.date().year())};
    bool ok = true;
    for (const ZipEntry &e : entries) {
        const QByteArray name = e.name.toUtf8();
        // Flag 11: the name is UTF-8.
        ok = zipOpenNewFileInZip4_64(zip, name.constData(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                     Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, 0,
                                     1 << 11, 1) == ZIP_OK &&
             zipWriteInFileInZip(zip, e.bytes.constData(), unsigned(e.bytes.size())) == ZIP_OK &&
             zipCloseFileInZip(zip) == ZIP_OK;
        if (!ok)
            break;
    }
    if (zipClose(zip, nullptr) != ZIP_OK || !ok)
        return fail(QStringLiteral("não foi possível gravar %1").arg(path));
    QFile::remove(path);
    if (!QFile::rename(part, path))
        return fail(QStringLiteral("não foi possível gravar %1").arg(path));
    return true;
}

} // namespace listexport
