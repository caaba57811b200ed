// libFuzzer target: what a download brings to the host before it is written: the file
// name the server gave (the first line) and the document (the rest), checked as XML.
#include "Downloaded.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray in(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype eol = in.indexOf('\n');
    Cli_Dfe71000::safeFileName(QString::fromUtf8(in.left(eol < 0 ? 0 : eol)));
    Cli_Dfe71000::xmlProblem(eol < 0 ? in : in.mid(eol + 1));
    return 0;
}
