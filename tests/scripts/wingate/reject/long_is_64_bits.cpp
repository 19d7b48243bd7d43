// Sizes held in a long: fine on 64-bit Linux, where long has 64 bits; Windows keeps long at 32.
#include <QtGlobal>

const long maxLogSize = 4294967296;

qint64 toBytes(long kilobytes)
{
    return qint64(kilobytes) * 1024;
}
