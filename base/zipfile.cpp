#include "zipfile.h"

#include <cstdio>

namespace {

voidpf ZCALLBACK openReading(voidpf, const void *path, int mode)
{
    if (!path || (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    return fopen64(static_cast<const char *>(path), "rbe");
}

}

unzFile openZipFile(const char *path)
{
    zlib_filefunc64_def functions;
    fill_fopen64_filefunc(&functions);
    functions.zopen64_file = openReading;
    return unzOpen2_64(path, &functions);
}
